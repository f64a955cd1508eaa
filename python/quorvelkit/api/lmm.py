"""From data to a fitted linear mixed model: :func:`lmm`, the entry point, fits a data
frame in memory through the one fit (:func:`~quorvelkit.fitting.model_fit.fit_model`, its rows
built once and kept) or hands a source read in batches to the source that accepts it
(:func:`quorvelkit.sources.registry.source_for`); all end
in the fit of a core under the same :class:`~quorvelkit.model.fit_options.FitOptions`
(:mod:`quorvelkit.fitting.core_fit`)."""

from __future__ import annotations

from typing import Any

from ..fitting.model_fit import LinearModel, fit_model
from ..formula.residual_terms import from_keywords, has_structure_term
from ..model.data_arguments import batch_refusal, is_expression
from ..model.fit_options import FitOptions, unknown_options
from ..results.lmm_fit import LmmFit
from ..results.structured_fit import StructuredFit
from ..sources import batch_loop, dask, structure_batches
from ..sources.registry import source_for
from ..support.heavy_imports import load_for_fit

__all__ = ["lmm"]


def lmm(
    formula: str,
    data: Any,
    *args: Any,
    weights: Any = None,
    offset: Any = None,
    subset: Any = None,
    correlation: str | None = None,
    variance: str | list[str] | None = None,
    **kwargs: Any,
) -> LmmFit | StructuredFit:
    """Fit a linear mixed model written in lme4's notation.

    Args:
        formula: e.g. ``"Reaction ~ Days + (Days | Subject)"``, ``"y ~ x1 * x2 + C(site)
            + (1 | g)"`` or ``"y ~ 1 + (0 + x | g)"``. One or more random-effects terms
            ``(terms | group)`` on one grouping factor, a column (or ``a:b``, the
            interaction of two columns): terms in different bars are uncorrelated, and
            ``(x || g)`` is lme4's shorthand for ``(1 | g) + (0 + x | g)``. Terms on
            several grouping factors (crossed ``(1 | s) + (1 | d)``, nested
            ``(1 | a/b)``) are read as lme4 reads them and fitted by the crossed core
            (a :class:`~quorvelkit.results.crossed_fit.CrossedFit`, whose random effects are per
            factor), from a data frame and from data read in batches alike.
            ``offset(expr)`` terms add a known ``expr`` to the linear predictor. The
            response, the fixed part and the left sides of the bars are built by
            formulaic, with R's meanings: ``I(x^2)`` is a square, ``factor(x)`` is
            ``C(x)``, ``Solar.R`` is a column name. Every expression is checked before
            anything evaluates it: only column names, numbers, arithmetic, comparisons
            and the functions of :data:`quorvelkit.formula.expressions.ALLOWED_FUNCTIONS` are
            allowed (R's math among them), and the formula's size is bounded
            (:mod:`quorvelkit.formula.formula_limits`).
        data: a pandas DataFrame, or anything pandas can turn into one (a dict of
            columns, a list of records, an object with ``to_pandas()``); or a source
            read in batches, never whole: a Parquet file or directory (a path), a
            pyarrow dataset, an iterator of DataFrames, a Dask or Spark DataFrame (see
            :func:`quorvelkit.sources.batch_loop.lmm` for their options ``batch_rows``, ``levels``
            and ``progress``).
        *args, **kwargs: the fit options, :class:`~quorvelkit.model.fit_options.FitOptions`
            (``reml``, ``evaluator`` and ``starts`` also by position; ``theta``,
            ``max_iter``), and for a batched source its options.
        weights: prior weights, a column name or one number per row of ``data``: the
            residual variance of row i is sigma^2 / weights[i], as lme4's ``weights``
            (the criterion, log-likelihood, AIC and BIC are lme4's). Rows of weight
            zero carry no information and are left out (``fit.n_zero_weight`` counts
            them); a negative or non-finite weight is a ``ValueError`` naming its row.
            For data read in batches, a column name only (a ``SourceError`` names the
            column and the batch or partition of a bad weight).
        offset: a known part of the linear predictor, a column name or one number per
            row of ``data``, added to the formula's ``offset()`` terms (lme4's
            ``offset``). A missing value drops the row. Data read in batches take the
            formula's ``offset()`` terms only.
            For data in memory, ``weights`` and ``offset`` may also be expressions of
            the columns, as R writes them (``offset="log(exposure)"``, ``weights="1 /
            (1 + Days)"``), evaluated as a formula term is
            (:mod:`quorvelkit.model.data_arguments`); a missing input of the offset drops
            the row.
        correlation: a residual correlation within subjects in nlme's notation, e.g.
            ``"corAR1(form = ~ visit | id)"``; the formula's terms (``ar1(visit | id)``,
            ``us(visit | id)``, ...) are the other way to write one
            (:mod:`quorvelkit.formula.residual_terms` has the table of both). The
            model may then have no random-effects term (nlme's ``gls``), random
            effects of one grouping factor within whose groups the subjects lie (nlme's
            ``lme``), or random effects of crossed factors, or of factors that do not
            nest the subjects (the structure then names its subject: ``ar1(visit |
            patient)``); the fit is a
            :class:`~quorvelkit.results.structured_fit.StructuredFit`. Without
            random effects it is also fitted exactly from data read in batches (a
            Parquet source, an iterable of DataFrames, a Dask DataFrame) whose batches
            or partitions each hold the whole of their subjects: repartition by subject
            first (Dask ``ddf.shuffle(on="id")`` or ``ddf.set_index("id")``; Parquet
            written sorted by subject or partitioned by it); a subject in two batches
            or partitions, random effects with a structure, and a one-shot iterator
            without ``levels=`` are refused with the reason
            (:mod:`quorvelkit.sources.structure_batches`). Such a fit keeps no rows:
            ``fitted``, ``residuals`` and conditional predictions raise
            :class:`~quorvelkit.support.errors.RowsUnavailable`.
        variance: nlme's variance functions (its ``weights=``), one or a list:
            ``"varIdent(form = ~ 1 | g)"``, ``"varPower(form = ~ x)"``,
            ``"varExp(form = ~ x)"``.
        subset: the rows to fit, as lmer's ``subset``: an expression of the columns
            (``"Days >= 2 & Subject != '308'"``, R's ``&``, ``|`` and ``!`` between
            comparisons; a row where it is NA is dropped, and not counted among the
            rows dropped for missing values) or one boolean per row. Transforms that
            depend on the data (``scale()``, ``center()``, ``poly()``) see only the
            rows kept (R computes them before the subset). Data in memory only.

    Returns:
        The fitted model, :class:`LmmFit`.

    Raises:
        ValueError: a formula that cannot be read (unbalanced parentheses, no
            response, no random-effects term, a bar term without a grouping factor) or
            that uses anything but column names, numbers, arithmetic and the allowed
            transforms; a column that is not in the
            data, a non-numeric response, infinite values, too few groups or
            observations; bad weights or offsets (see above); a degenerate response: a
            constant one, or one the fixed effects fit exactly (its residuals are zero to rounding error), which
            leaves no residual variation to estimate the variance components from. For
            data read in batches, :class:`~quorvelkit.support.errors.SourceError` (a
            ``ValueError``) names the column and the file, batch or partition of a bad
            value (see :func:`quorvelkit.sources.batch_loop.lmm`).
        TypeError: ``reml`` that is not a boolean; an argument ``lmm`` does not take.
        RuntimeError: no start gives a feasible theta.

    Rows with a missing value in any column the model uses are dropped and counted
    (``fit.n_dropped``). Aliased fixed-effects columns are dropped with a
    :class:`~quorvelkit.support.errors.RankDeficiencyWarning` naming them. An optimised fit
    on the boundary (:attr:`LmmFit.is_singular`) gives a :class:`SingularFitWarning`.
    A response that the fixed and random effects fit exactly together (but the fixed
    effects alone do not), e.g. one that is constant within every group in a random-
    intercept model, has no finite optimum either; it is not detected before the fit,
    which ends at a very large theta with a sigma many orders of magnitude below the
    response's spread.
    """
    load_for_fit()
    options = FitOptions.take(args, kwargs, "lmm()")
    residual = from_keywords(correlation, variance)
    source = source_for(data)
    structured = residual is not None or has_structure_term(formula)
    if structured and (source is not None or structure_batches.reiterable_frames(data)):
        if source is not None and source not in (batch_loop.PARQUET, batch_loop.ITERATOR, dask.SOURCE):
            raise ValueError(
                "a residual structure is fitted from Parquet, iterators of DataFrames and Dask, "
                f"not from {source.name}; write the data to Parquet sorted by subject, "
                "or read the rows into a data frame"
            )
        _batch_arguments(weights, offset, subset)
        dask_route = dask.structure_lmm if source is dask.SOURCE else None
        return structure_batches.lmm(
            formula, data, options=options, residual=residual, weights=weights, dask_route=dask_route, **kwargs
        )
    if source is not None:
        _batch_arguments(weights, offset, subset)
        return source.lmm(formula, data, options=options, weights=weights, **kwargs)
    if kwargs:
        raise unknown_options(kwargs, "lmm()")
    fit: LmmFit | StructuredFit = fit_model(
        formula, data, options, LinearModel(), weights=weights, offset=offset, subset=subset, residual=residual
    )
    return fit


def _batch_arguments(weights: Any, offset: Any, subset: Any) -> None:
    """Refuses what data read in batches does not take: subset=, offset=, weights that
    are expressions."""
    if subset is not None:
        raise ValueError(
            "subset= is for data in memory; for data read in batches select the rows in the source first "
            "(e.g. pyarrow.dataset's filter, or df[df.Days >= 2] on each pandas batch)"
        )
    if isinstance(weights, str) and is_expression(weights):
        raise batch_refusal("weights", weights)
    if offset is not None:
        raise ValueError(
            "offset= is not supported for data read in batches; write the offset as an offset() term of the formula"
        )
