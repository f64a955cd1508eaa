"""From a formula and a data frame to a fitted model: :func:`lmm` parses the formula,
builds the design and the core, and optimises theta from lme4's start (or the caller's
starts), or evaluates the model at a theta the caller gives."""

from __future__ import annotations

import time
from collections.abc import Sequence
from typing import Any

from ._quorvelkit import LmmCore
from .batchplan import is_batch_source
from .design import build_design
from .errors import check_flag
from .fit import LmmFit, warn_if_singular
from .parsing import parse_formula
from .runcore import run_core
from .sources import lmm as lmm_batches

__all__ = ["lmm"]


def lmm(
    formula: str,
    data: Any,
    reml: bool = True,
    evaluator: str = "auto",
    starts: Any = None,
    *,
    theta: Sequence[float] | None = None,
    max_iter: int = 300,
    weights: Any = None,
    offset: Any = None,
    **source_options: Any,
) -> LmmFit:
    """Fit a linear mixed model written in lme4's notation.

    Args:
        formula: e.g. ``"Reaction ~ Days + (Days | Subject)"``, ``"y ~ x1 * x2 + C(site)
            + (1 | g)"`` or ``"y ~ 1 + (0 + x | g)"``. One or more random-effects terms
            ``(terms | group)`` on one grouping factor, a column (or ``a:b``, the
            interaction of two columns): terms in different bars are uncorrelated, and
            ``(x || g)`` is lme4's shorthand for ``(1 | g) + (0 + x | g)``.
            ``offset(expr)`` terms add a known ``expr`` to the linear predictor. The
            response, the fixed part and the left sides of the bars are built by
            formulaic, with R's meanings: ``I(x^2)`` is a square, ``factor(x)`` is
            ``C(x)``, ``Solar.R`` is a column name. Every expression is checked before
            anything evaluates it: only column names, numbers, arithmetic, comparisons
            and the functions of :data:`quorvelkit.expressions.ALLOWED_FUNCTIONS` are
            allowed.
        data: a pandas DataFrame, or anything pandas can turn into one (a dict of
            columns, a list of records, an object with ``to_pandas()``); or a source
            read in batches, never whole: a Parquet file or directory (a path), a
            pyarrow dataset, an iterator of DataFrames, a Dask or Spark DataFrame
            (see :func:`quorvelkit.sources.lmm`, whose options ``batch_rows``,
            ``levels`` and ``progress`` pass through ``source_options``). Such sources
            take the formula's ``offset()`` terms but not yet ``weights`` or
            ``offset``.
        reml: fit by REML (``True``, the default) or by maximum likelihood (``False``);
            a boolean (a NumPy boolean is fine), anything else is a ``TypeError``.
        evaluator: the core's kernel: ``"auto"``, ``"blocks"``, ``"aggregated"`` or
            ``"streaming"``; all give the same fit.
        starts: starting values for theta, one vector or several (a 2-D array or a flat
            concatenation); with several, the lowest optimum wins. By default the
            identity factor alone (lme4's start): the optimiser reaches the optimum
            from it, so further starts only cost time.
        theta: evaluate the model at this theta without optimising (like lme4's
            ``optimizer = NULL``); useful for comparisons and profiles.
        max_iter: iteration limit of the optimiser, per start.
        weights: prior weights, a column name or one number per row of ``data``: the
            residual variance of row i is sigma^2 / weights[i], as lme4's ``weights``
            (the criterion, log-likelihood, AIC and BIC are lme4's). Rows of weight
            zero carry no information and are left out (``fit.n_zero_weight`` counts
            them); a negative or non-finite weight is a ``ValueError`` naming its row.
            For data read in batches, a column name only (a ``SourceError`` names the
            column and the batch or partition of a bad weight).
        offset: a known part of the linear predictor, a column name or one number per
            row of ``data``, added to the formula's ``offset()`` terms (lme4's
            ``offset``). A missing value drops the row.

    Returns:
        The fitted model, :class:`LmmFit`.

    Raises:
        ValueError: a formula that cannot be read or uses unsupported notation
            (bar terms on different grouping factors, nested groups) or anything but column names,
            numbers, arithmetic and the allowed transforms; a column that is not in the
            data, a non-numeric response, infinite values, too few groups or
            observations; bad weights or offsets (see above); a degenerate response: a
            constant one, or one the fixed effects fit exactly (its residuals are zero to rounding error), which
            leaves no residual variation to estimate the variance components from.
        TypeError: ``reml`` that is not a boolean.
        RuntimeError: no start gives a feasible theta.

    Rows with a missing value in any column the model uses are dropped and counted
    (``fit.n_dropped``). Aliased fixed-effects columns are dropped with a
    :class:`~quorvelkit.formula.RankDeficiencyWarning` naming them. An optimised fit
    on the boundary (:attr:`LmmFit.is_singular`) gives a :class:`SingularFitWarning`.
    A response that the fixed and random effects fit exactly together (but the fixed
    effects alone do not), e.g. one that is constant within every group in a random-
    intercept model, has no finite optimum either; it is not detected before the fit,
    which ends at a very large theta with a sigma many orders of magnitude below the
    response's spread.
    """
    if is_batch_source(data):
        if offset is not None:
            raise ValueError(
                "offset= is not supported for data read in batches; write the offset as an offset() term of the formula"
            )
        return lmm_batches(
            formula, data, reml, evaluator, starts, theta=theta, max_iter=max_iter, weights=weights, **source_options
        )
    if source_options:
        raise TypeError(f"lmm() got options of a batched source for a data frame: {', '.join(source_options)}")
    check_flag("reml", reml)
    t0 = time.perf_counter()
    parsed = parse_formula(formula)
    design = build_design(parsed, data, weights=weights, offset=offset)
    t1 = time.perf_counter()
    core = LmmCore(
        design.core_y,
        design.x,
        design.z,
        design.codes,
        design.m,
        evaluator,
        blocks=design.blocks,
        weights=design.weights,
    )
    result, n_starts = run_core(
        core, f"response '{parsed.response}'", design.fe_names, reml, starts=starts, theta=theta, max_iter=max_iter
    )
    t2 = time.perf_counter()
    fit = LmmFit(
        design,
        core,
        result,
        n_starts=n_starts,
        fit_seconds=t2 - t1,
        total_seconds=t2 - t0,
        evaluator_requested=evaluator,
    )
    if theta is None:
        warn_if_singular(fit, stacklevel=2)
    return fit
