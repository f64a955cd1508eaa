"""The compiled GLMM cores of a design and their fit in lme4's layout of theta: shared
by :func:`quorvelkit.glmm` and the parametric bootstrap of its fits."""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _quorvelkit
from .design import Design, core_factors, theta_layout_of
from .fit_options import FitOptions

__all__ = ["fit_core", "make_core"]


def fit_core(
    core: Any,
    design: Design,
    nagq: int,
    theta: np.ndarray | None,
    beta: np.ndarray | None,
    max_iter: int | None = None,
) -> dict[str, Any]:
    """The core's fit from a start ``theta`` in lme4's layout, its theta returned in
    lme4's layout too: a crossed core keeps theta factor by factor in its own order of
    factors (:class:`~quorvelkit.grouping.ThetaLayout`); for one factor the two agree.
    ``max_iter`` None: :class:`~quorvelkit.fit_options.FitOptions`'s limit."""
    if max_iter is None:
        max_iter = FitOptions().max_iter
    layout = theta_layout_of(design)
    start = None if theta is None else np.ascontiguousarray(theta[np.asarray(layout.core_from_lme4, dtype=np.intp)])
    result = dict(core.fit(nagq=nagq, theta=start, beta=beta, max_iter=max_iter))
    result["theta"] = np.asarray(result["theta"], dtype=float)[np.asarray(layout.lme4_from_core, dtype=np.intp)]
    return result


def make_core(design: Design, prior: np.ndarray, family: str, link: str) -> Any:
    """The compiled core of the design's rows: one grouping factor's, or the crossed
    one's (its factors in lme4's order)."""
    rows = design.need_rows("the fit")
    offset = None if rows.offset is None else np.ascontiguousarray(rows.offset, dtype=float)
    x = np.ascontiguousarray(rows.x, dtype=float)
    if len(design.spec.factors) == 1:
        z = np.ascontiguousarray(rows.z, dtype=float)
        blocks = list(design.blocks)
        return _quorvelkit.GlmmCore(rows.y, x, z, rows.codes, design.m, blocks, prior, offset, family, link)
    return _quorvelkit.CrossedGlmmCore(rows.y, x, core_factors(design), prior, offset, family, link)
