"""The crossed route of GLMM fits from batches (:mod:`quorvelkit.sources.glmm_batches`):
models whose random effects sit on two or more grouping factors, crossed or nested,
each with one scalar term (``(1 | user) + (1 | item)``, ``(1 | school/class)``).

The compiled core's pass driver (``_quorvelkit.glmm_batches_crossed_fit``) runs the
in-memory crossed fit's PIRLS with one pass over the batches per step: each pass sums
the penalised weighted products of its point per level of each factor and, between
factors, per pair of levels that occur together (the sparse system the in-memory fit
factors), and the client factors that system and takes the step. The factors reach the
core in its order (most levels first, lme4's order of terms), each batch's codes and
columns one factor after another.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
import pandas as pd

import quorvelkit._quorvelkit as _qk

from ..model.description import ModelSpec
from ..model.design import Design, theta_layout_of

__all__ = ["crossed_arrays", "crossed_criterion", "fit_crossed", "refuse_terms"]


def refuse_terms(spec: ModelSpec) -> None:
    """``ValueError`` for what the crossed route does not fit: no grouping factor, or
    one with more than one random-effects column (a random slope, a vector-valued term)."""
    if not spec.factors:
        raise ValueError("a GLMM fit from batches needs a grouping factor: fit a model without one in memory")
    wide = [f.name for f in spec.factors if sum(f.blocks) != 1]
    if wide:
        raise ValueError(
            f"a GLMM fit from batches with several grouping factors takes one scalar term per factor "
            f"(a random intercept such as (1 | {spec.factors[0].name})); "
            f"{', '.join(repr(n) for n in wide)} {'has' if len(wide) == 1 else 'have'} more: fit it in memory"
        )


def crossed_arrays(design: Design) -> Callable[..., tuple[Any, ...]]:
    """The function (y, x, z, labels, weights, offset) -> a batch as the crossed driver
    reads it: its factors in the core's order, each factor's codes (in its sorted
    levels) and Z's columns one factor after another."""
    order = theta_layout_of(design).factor_order
    spans = design.spec.factor_columns()
    levels = design.factor_levels

    def arrays(
        y: np.ndarray, x: np.ndarray, z: np.ndarray, labels: tuple, weights: np.ndarray, offset: np.ndarray | None
    ) -> tuple[Any, ...]:
        codes = np.concatenate([levels[i].get_indexer(pd.Index(labels[i])) for i in order]).astype(np.int64)
        zs = np.concatenate([np.ascontiguousarray(z[:, spans[i]], dtype=float).ravel() for i in order])
        return (y, np.ascontiguousarray(x, dtype=float), zs, codes, weights, offset)

    return arrays


def _model_args(design: Design) -> tuple[list[int], int, list[int], list[list[int]]]:
    """The crossed driver's model: levels, fixed-effects columns, each factor's random
    effects and terms, the factors in the core's order."""
    order = theta_layout_of(design).factor_order
    factors = design.spec.factors
    return (
        [len(design.factor_levels[i]) for i in order],
        len(design.kept_columns),
        [sum(factors[i].blocks) for i in order],
        [list(factors[i].blocks) for i in order],
    )


def crossed_criterion(
    design: Design,
    read: Callable[[], Iterator[tuple[Any, ...]]],
    family: str,
    link: str,
    laplace: str | None,
    zi: bool = False,
) -> Any:
    """The compiled criterion of the crossed model at other points (a fit's profiles),
    reading the batches ``read`` returns as :func:`fit_crossed` does."""
    return _qk.glmm_batches_crossed_criterion(read, *_model_args(design), family, link, laplace, zi=zi)


def fit_crossed(
    design: Design,
    read: Callable[[], Iterator[tuple[Any, ...]]],
    family: str,
    link: str,
    laplace: str | None,
    theta: np.ndarray | None,
    max_iter: int,
    beta: np.ndarray | None,
    nagq: int = 1,
    zi: bool = False,
) -> dict[str, Any]:
    """The crossed driver's fit of the batches ``read`` returns (as
    :func:`crossed_arrays` makes them): the in-memory crossed core's dict, without
    eta and mu, with ``passes``; ``nagq`` 0 or 1. With one scalar term per factor,
    lme4's theta is the core's (its terms in the core's order of factors)."""
    return dict(
        _qk.glmm_batches_crossed_fit(
            read, *_model_args(design), family, link, laplace, theta, max_iter, beta, nagq, zi=zi
        )
    )
