"""The fit of a linear model whose residuals have a structure within subjects
(:mod:`quorvelkit.formula.residual_terms`): the design's rows sorted by group, subject
and time, the structure's columns read into the core's arrays with the refusals that
name the column and the rows, the core's fit, and the fitted model
(:class:`~quorvelkit.results.structured_fit.StructuredFit`)."""

from __future__ import annotations

import functools
import time
from collections.abc import Callable
from dataclasses import replace

import numpy as np
import pandas as pd

from .._quorvelkit import StructuredCore
from ..cores.crossed_core import lme4_terms
from ..formula.residual_terms import FITTED, ResidualSpec
from ..model.design import Design, core_factors, theta_layout_of
from ..model.fit_options import FitOptions
from ..model.residual_rows import StructureRows, rows_named, structure_rows, unidentified
from ..results.structured_fit import StructuredFit, StructureLayout
from ..support.frames import sorted_levels

__all__ = ["fit_structured", "order_rows", "structured_core", "fit_core"]


def _subjects(spec: ResidualSpec, design: Design, frame: pd.DataFrame) -> np.ndarray:
    """Each row's subject code: of the subject column, else of the grouping factor, else
    0 (gls without a grouping: every row one subject's)."""
    if spec.subject is not None:
        codes, _ = sorted_levels(frame[spec.subject])
        return np.asarray(codes, dtype=np.int64)
    if design.spec.factors:
        return np.asarray(design.need_rows("the fit").codes, dtype=np.int64)
    return np.zeros(len(frame), np.int64)


def _crossed(design: Design, spec: ResidualSpec, subject: np.ndarray) -> bool:
    """Whether the random effects are on factors that do not nest the subjects (several
    factors, or one whose groups split a subject): the core's crossed layout, which
    needs the structure's subject column."""
    factors = design.spec.factors
    crossed = len(factors) > 1
    if len(factors) == 1 and spec.subject is not None:
        codes = design.need_rows("the fit").codes
        crossed = bool((pd.Series(codes).groupby(subject).nunique() > 1).any())
    if crossed and spec.subject is None:
        raise ValueError(
            f"with random effects on several grouping factors, {spec.text!r} needs its subject: "
            "give it after a '|', e.g. corAR1(form = ~ time | id) or ar1(time | id)"
        )
    return crossed


def order_rows(
    codes: np.ndarray | None,
    subject: np.ndarray,
    arrays: StructureRows,
    spec: ResidualSpec,
    frame: pd.DataFrame,
) -> tuple[np.ndarray, np.ndarray]:
    """The rows sorted by group, subject and time (stable), and each row's group code
    (``codes``: of the one grouping factor that nests the subjects; None without one);
    a subject that spans structure groups, or a time repeated within a subject, is
    refused."""
    group = np.asarray(codes, dtype=np.int64) if codes is not None else np.zeros(len(frame), np.int64)
    if arrays.group is not None:  # a subject's rows in one structure group
        per_subject = pd.Series(arrays.group).groupby(subject).nunique()
        if (per_subject > 1).any():
            bad = np.flatnonzero(np.isin(subject, per_subject.index[per_subject > 1]))
            raise ValueError(
                f"the subjects of {spec.text!r} must each lie within one level of {spec.group!r}; "
                f"{rows_named(frame.index, bad)} belong to a subject in several"
            )
    keys = [subject, group] if arrays.times is None else [arrays.times, subject, group]
    ordered = in_order(keys)
    order = np.arange(len(subject)) if ordered else np.lexsort(keys)
    if arrays.times is not None:
        s, t = (subject, arrays.times) if ordered else (subject[order], arrays.times[order])
        same = np.flatnonzero((s[1:] == s[:-1]) & (t[1:] == t[:-1]))
        if len(same):
            col = spec.position[0] if spec.position else "the rows' order"
            pair = np.array([order[same[0]], order[same[0] + 1]])
            raise ValueError(f"the time {col!r} is repeated within a subject in {rows_named(frame.index, pair)}")
    return order, group


def in_order(keys: list[np.ndarray]) -> bool:
    """Whether the rows are already sorted by ``keys`` (the last the primary key, as
    np.lexsort takes them): then np.lexsort's stable order is the rows' own. A NaN
    compares false, so a key holding one is taken as not in order."""
    n = len(keys[0])
    if n < 2:
        return True
    ahead = np.zeros(n - 1, dtype=bool)  # row i+1 after row i on the keys compared so far
    tied = np.ones(n - 1, dtype=bool)  # row i+1 equal to row i on them
    for key in reversed(keys):
        a, b = key[:-1], key[1:]
        ahead |= tied & (b > a)
        tied &= b == a
    return bool((ahead | tied).all())


def _start(blocks: list[int], spec: ResidualSpec, arrays: StructureRows, n_eta: int) -> list[float]:
    theta = [1.0 if r == c else 0.0 for b in blocks for c in range(b) for r in range(c, b)]
    eta = [0.0] * n_eta
    if spec.correlation in ("exp", "gaus") and arrays.coords is not None:
        c = arrays.coords[: min(len(arrays.coords), 400)]
        d = np.sqrt(((c[:, None, :] - c[None, :, :]) ** 2).sum(axis=2))
        positive = d[d > 0]
        eta[0] = float(np.log(np.median(positive))) if len(positive) else 0.0
        if spec.nugget:
            eta[1] = -2.0
    elif spec.correlation == "cs":
        eta[0] = 0.1
    return theta + eta


def fit_structured(design: Design, options: FitOptions, t0: float, stacklevel: int) -> StructuredFit:
    """The fit of ``design`` (whose parsed formula has a residual structure) under
    ``options``."""
    spec = design.parsed.residual
    assert spec is not None
    rows = design.need_rows("the fit")
    if rows.weights is not None:
        raise ValueError(
            f"prior weights and a residual structure ({spec.text}) together are not supported; "
            "a variance function (variance='varIdent(form = ~ 1 | g)' or 'varPower(form = ~ x)') models "
            "unequal variances"
        )
    frame = rows.residual_frame
    assert frame is not None
    subject = _subjects(spec, design, frame)
    arrays = structure_rows(spec, frame, subject)
    message = unidentified(spec, arrays, subject)
    if message is not None:
        raise ValueError(message)
    if spec.correlation != "none" and np.bincount(subject).max(initial=0) < 2:
        raise ValueError(
            f"no subject of {spec.text!r} has two rows: its correlation cannot be estimated "
            f"(the subject column is {spec.subject or 'the grouping factor'!r})"
        )
    crossed = _crossed(design, spec, subject)
    nested = design.spec.factors and not crossed
    order, group = order_rows(rows.codes if nested else None, subject, arrays, spec, frame)
    t1 = time.perf_counter()
    blocks, factors = list(design.spec.blocks), None
    if crossed:
        table, factors, blocks = _crossed_factors(design)
    else:
        table = np.column_stack([rows.z, rows.x, design.core_y])

    def build(arrays: StructureRows) -> tuple[StructuredCore, np.ndarray, np.ndarray]:
        return structured_core(table, design.spec.q, blocks, spec, arrays, order, subject, group, factors=factors)

    core, subject_sorted, subjects = build(arrays)
    result = fit_core(core, blocks, spec, arrays, options)
    layout = StructureLayout(spec, arrays, order, subject_sorted, subjects, crossed=crossed)
    if spec.of_fitted:
        core, result, layout = _iterate_fitted(
            design, spec, frame, subject, build, options, blocks, core, result, layout
        )
    t2 = time.perf_counter()
    fit = StructuredFit(design, core, result, layout, reml=options.reml, seconds=(t2 - t1, t2 - t0))
    if spec.of_fitted:  # by ML, the fitted values' iteration again
        fit.refit_ml_with = functools.partial(_refit_ml, design, options)
    return fit


def structured_core(
    table: np.ndarray,
    q: int,
    blocks: list[int],
    spec: ResidualSpec,
    arrays: StructureRows,
    order: np.ndarray,
    subject: np.ndarray,
    group: np.ndarray,
    *,
    reduce: bool = False,
    factors: list | None = None,
) -> tuple[StructuredCore, np.ndarray, np.ndarray]:
    """The core of the rows of ``table`` (z | x | y, in the data's order) taken in
    ``order``, with each core row's subject and the subjects' offsets; ``reduce``: the
    core keeps its subjects' patterns alone (a model without random effects);
    ``factors``: crossed factors as the core takes them, their codes in the data's order
    (the subjects then form one group)."""
    take: np.ndarray | slice = order
    if len(order) == len(table) and (not len(order) or (order[0] == 0 and (np.diff(order) == 1).all())):
        take = slice(None)  # the rows in their own order: views, not copies
    table = np.ascontiguousarray(table[take])
    subject_sorted = subject[take]
    starts = np.flatnonzero(np.r_[True, subject_sorted[1:] != subject_sorted[:-1]])
    subjects = np.r_[starts, len(order)].astype(np.int64)
    if q and factors is None:
        g = group[take][starts]
        groups = np.r_[np.flatnonzero(np.r_[True, g[1:] != g[:-1]]), len(starts)].astype(np.int64)
    else:
        groups = np.array([0, len(starts)], np.int64)
    variances = [(k, n, np.ascontiguousarray(v[take])) for k, n, v in arrays.variances]
    core = StructuredCore(
        table,
        q,
        subjects,
        groups,
        list(blocks),
        spec.correlation,
        times=None if arrays.times is None else np.ascontiguousarray(arrays.times[take]),
        coords=None if arrays.coords is None else np.ascontiguousarray(arrays.coords[take]),
        n_visits=arrays.n_visits,
        nugget=spec.nugget,
        variances=variances,
        structure_groups=None if arrays.group is None else np.ascontiguousarray(arrays.group[take][starts]),
        reduce=reduce,
        factors=None if factors is None else [(np.ascontiguousarray(c[take]), w, n, b) for c, w, n, b in factors],
    )
    return core, subject_sorted, subjects


def fit_core(
    core: StructuredCore,
    blocks: list[int],
    spec: ResidualSpec,
    arrays: StructureRows,
    options: FitOptions,
    start: list[float] | None = None,
) -> dict:
    """The core's solution under ``options``: at the given theta, else optimised from
    ``start``, the given starts or the structure's own (``blocks``: Lambda's)."""
    if options.theta is not None:
        result = dict(core.solution(list(options.theta), reml=options.reml))
        result.update(converged=True, iterations=0, fev=1, grad_inf_norm=float("nan"), message="not optimised")
        return result
    if start is None and options.starts is not None:
        start = list(np.asarray(options.starts, dtype=float).ravel())
    if start is None:
        start = _start(blocks, spec, arrays, core.n_params - core.n_theta)
    return dict(core.fit(start, reml=options.reml, max_iter=options.max_iter))


def _crossed_factors(design: Design) -> tuple[np.ndarray, list, list[int]]:
    """The rows (z of every factor in the core's order | x | y, in the data's order),
    the factors as the core takes them, each (codes, width, levels, blocks), and their
    blocks in turn. The core lays theta out factor by factor; lme4 term by term, which
    differs only where one factor's terms are interleaved with another's of as many
    levels: that is refused."""
    rows = design.need_rows("the fit")
    factors = core_factors(design)
    terms = lme4_terms(design, theta_layout_of(design))
    if terms != [(f, j) for f, (_, _, _, b) in enumerate(factors) for j in range(len(b))]:
        raise ValueError(
            "with a residual structure, write the random-effects terms of one grouping factor together when "
            "another factor has as many levels"
        )
    table = np.column_stack([*(z for _, _, z, _ in factors), rows.x, design.core_y])
    core = [(np.asarray(c, dtype=np.int64), z.shape[1], n, list(b)) for c, n, z, b in factors]
    return table, core, [x for _, _, _, b in factors for x in b]


#: The fitted values' iteration stops when no parameter moves by more than this
#: (relative to its size, or absolutely below 1), nlme's default: each fit's own
#: optimum is found only to about 1e-7 of the parameters, below which they wander.
FITTED_TOLERANCE = 1e-6
FITTED_ITERATIONS = 100


def _iterate_fitted(
    design: Design,
    spec: ResidualSpec,
    frame: pd.DataFrame,
    subject: np.ndarray,
    build: Callable[[StructureRows], tuple[StructuredCore, np.ndarray, np.ndarray]],
    options: FitOptions,
    blocks: list[int],
    core: StructuredCore,
    result: dict,
    layout: StructureLayout,
) -> tuple[StructuredCore, dict, StructureLayout]:
    """nlme's iteration for a variance of the fitted values (Pinheiro & Bates 2000,
    sec. 5.2.1): the variance covariate is held at the fitted values (X beta + Z b, the
    innermost level) of the last fit, the model fitted again from its estimates, until
    the estimates stop moving. The first fit holds the covariate at 1 (every variance
    equal). The likelihood reported is the last fit's, at its fitted values."""
    for _ in range(FITTED_ITERATIONS):
        fitted = StructuredFit(design, core, result, layout, reml=True, seconds=(0.0, 0.0)).fitted.to_numpy()
        arrays = structure_rows(spec, frame, subject, fitted=fitted)
        core = build(arrays)[0]
        new = fit_core(core, blocks, spec, arrays, options, start=list(result["params"]))
        layout = replace(layout, rows=arrays)
        old = np.r_[np.asarray(result["beta"], float), np.asarray(result["params"], float)]
        now = np.r_[np.asarray(new["beta"], float), np.asarray(new["params"], float)]
        result = new
        if np.all(np.abs(now - old) <= FITTED_TOLERANCE * np.maximum(np.abs(now), 1.0)):
            return core, result, layout
    text = next(v.text for v in spec.variances if v.column == FITTED)
    raise ValueError(
        f"the estimates of {text!r}, a variance of the fitted values, did not settle in {FITTED_ITERATIONS} fits; "
        "give the variance function a covariate (form = ~ x)"
    )


def _refit_ml(design: Design, options: FitOptions, params: list[float]) -> StructuredFit:
    """The fit by ML started at ``params`` (a REML fit's estimates)."""
    return fit_structured(design, replace(options, reml=False, starts=np.asarray(params)), time.perf_counter(), 2)
