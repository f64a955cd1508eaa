"""lme4's checks of a model's shape, one home each: a response with variation to
estimate from, the random-effects terms of a grouping factor, the numbers of levels,
observations and random effects (``check.nlev.gtr.1``, ``check.nobs.vs.nlev``,
``check.nobs.vs.nRE``), the bounds of a model read in batches, and the one rule that
decides which fixed-effects columns are aliased (and drops them with lme4's warning)."""

from __future__ import annotations

import warnings
from collections.abc import Sequence

import numpy as np

from ..support.errors import RankDeficiencyWarning, SourceError

__all__ = [
    "check_response_variation",
    "check_terms",
    "check_group_counts",
    "check_dimensions",
    "MAX_FIXED_COLUMNS",
    "MAX_GROUP_PRODUCTS",
    "aliased_columns",
    "drop_aliased",
]


def check_response_variation(y: np.ndarray, name: str) -> None:
    """Raise ``ValueError`` for a constant response, which leaves no variation to
    estimate anything from. (A response that the fixed effects fit exactly is refused
    by the core, where the products already hold the residual sum of squares; see
    :func:`quorvelkit.support.errors.exact_fit_error`.)"""
    if y.shape[0] and float(np.max(y)) == float(np.min(y)):
        raise ValueError(
            f"the {name} is constant (every value is {float(y[0]):.6g}): there is no "
            f"variation to estimate the variance components from"
        )


def check_terms(terms: Sequence[str], group_label: str, blocks: Sequence[int]) -> None:
    """``ValueError`` for a random-effects term without columns (``blocks``: the
    columns of each of ``terms``)."""
    if 0 in blocks:
        empty = terms[list(blocks).index(0)]
        raise ValueError(
            f"the random-effects term ({empty} | {group_label}) has no columns; use (1 | g) for a random intercept"
        )


#: The bounds of a model read in batches (:func:`check_dimensions`).
MAX_FIXED_COLUMNS = 10_000
MAX_GROUP_PRODUCTS = 1_000_000


def check_dimensions(p: int, q: int, where: str) -> None:
    """A model read in batches keeps q (q + p + 1) + 1 numbers of products per group,
    and a batch as many for each group it holds, besides X'X (p^2 numbers). Refused
    (:class:`SourceError`) before anything is allocated: more than
    :data:`MAX_FIXED_COLUMNS` fixed-effects columns, or more than
    :data:`MAX_GROUP_PRODUCTS` numbers of products per group (8 MB). Such columns
    come from a factor of very many levels, which ``where`` (the rows the model was
    learnt from) names."""
    per_group = q * (q + p + 1) + 1
    if p > MAX_FIXED_COLUMNS or per_group > MAX_GROUP_PRODUCTS:
        raise SourceError(
            f"the model learnt from {where} has {p} fixed-effects and {q} random-effects columns, "
            f"{per_group} numbers of products per group; a model read in batches may have at most "
            f"{MAX_FIXED_COLUMNS} fixed-effects columns and {MAX_GROUP_PRODUCTS} numbers per group (is a "
            f"column of many levels a factor by mistake?)"
        )


def check_group_counts(glabel: str, n: int, m: int, blocks: Sequence[int], allow_n: bool = False) -> None:
    """lme4's checks of the numbers of levels and observations (``ValueError``): more
    than one level, fewer levels than observations, and more observations than random
    effects of the largest term (``blocks``: the columns of each term). ``allow_n``:
    as many of each as observations is allowed (glmer's checks: a GLMM has no residual
    variance to tell apart from a random effect per observation)."""
    q = max(blocks)
    if m < 2:
        raise ValueError(f"the grouping factor '{glabel}' must have more than one level, it has {m}")
    if m > n or (m == n and not allow_n):
        raise ValueError(f"the number of levels of '{glabel}' ({m}) must be less than the number of observations ({n})")
    if m * q > n or (m * q == n and not allow_n):
        raise ValueError(
            f"the number of observations ({n}) must exceed the number of random effects "
            f"({m * q} = {m} levels x {q} terms); the random-effects parameters and the "
            f"residual variance are probably unidentifiable"
        )


def aliased_columns(xtx: np.ndarray, tol: float = 1e-7) -> list[int]:
    """Indices of the columns of X that are linear combinations of earlier columns,
    decided from X'X alone, so that rows in memory and products of rows read in batches
    drop the same columns.

    Columns are taken in order, as R's ``qr`` (which lme4 uses) takes them: a column
    whose distance to the span of the kept columns before it is below ``tol`` times its
    own norm is aliased, and a column of zeros always is. The distances are the
    diagonal of the Cholesky factor of the Gram matrix of the unit-scaled columns,
    built greedily over the kept columns. The Gram matrix squares the columns'
    condition, so against a QR of X the decision can differ only for a column whose
    relative distance lies within rounding of ``tol`` (about 1e-9 of it for a few
    columns)."""
    p = xtx.shape[0]
    d = np.sqrt(np.maximum(np.diag(xtx), 0.0))
    if p and np.all(d > 0) and np.all(np.isfinite(xtx)):
        # Pivots far above the tolerance: nothing is aliased (the greedy factor below
        # would keep every column and be this factor).
        try:
            chol = np.linalg.cholesky(xtx / np.outer(d, d))
            if np.all(np.abs(np.diag(chol)) >= 1e-5):
                return []
        except np.linalg.LinAlgError:
            pass
    dropped: list[int] = []
    kept: list[int] = []
    L = np.zeros((p, p))
    for j in range(p):
        if not d[j] > 0:
            dropped.append(j)
            continue
        g = np.array([xtx[j, k] / (d[j] * d[k]) for k in kept])
        row = np.zeros(len(kept))
        for i in range(len(kept)):
            row[i] = (g[i] - row[:i] @ L[i, :i]) / L[i, i]
        r2 = 1.0 - row @ row
        if not r2 > tol * tol:
            dropped.append(j)
            continue
        L[len(kept), : len(kept)] = row
        L[len(kept), len(kept)] = np.sqrt(r2)
        kept.append(j)
    return dropped


def drop_aliased(xtx: np.ndarray, fe_all: Sequence[str], stacklevel: int) -> list[int]:
    """The indices of the fixed-effects columns kept, with one
    :class:`RankDeficiencyWarning` (lme4's text) naming those dropped."""
    dropped = aliased_columns(xtx)
    if dropped:
        k = len(dropped)
        warnings.warn(
            f"fixed-effect model matrix is rank deficient so dropping {k} column{'s' if k > 1 else ''} / "
            f"coefficient{'s' if k > 1 else ''}: {', '.join(fe_all[j] for j in dropped)}",
            RankDeficiencyWarning,
            stacklevel=stacklevel + 1,
        )
    return [j for j in range(len(fe_all)) if j not in set(dropped)]
