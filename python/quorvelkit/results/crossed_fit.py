"""Models whose random-effects terms sit on several grouping factors, crossed or
nested: :class:`CrossedFit`, the name under which :func:`quorvelkit.lmm` returns them.
Everything of such a fit is :class:`~quorvelkit.LmmFit`'s, written once for one factor
and several (the random effects in :mod:`quorvelkit.results.mixed_effects`); the crossed
core takes and returns theta in lme4's layout (:mod:`quorvelkit.cores.crossed_core`).
"""

from __future__ import annotations

from .lmm_fit import LmmFit

__all__ = ["CrossedFit"]


class CrossedFit(LmmFit):
    """A fitted linear mixed model whose random-effects terms sit on several grouping
    factors (returned by :func:`lmm`): an :class:`LmmFit` with nothing of its own; its
    random effects are per factor (see :class:`~quorvelkit.results.mixed_effects.MixedEffects`)."""
