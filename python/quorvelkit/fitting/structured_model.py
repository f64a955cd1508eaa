"""The fit of a linear model whose residuals have a structure within subjects
(:mod:`quorvelkit.formula.residual_terms`): the design's rows sorted by group, subject
and time, the structure's columns read into the core's arrays with the refusals that
name the column and the rows, the core's fit, and the fitted model
(:class:`~quorvelkit.results.structured_fit.StructuredFit`)."""

from __future__ import annotations

import time

import numpy as np
import pandas as pd

from .._quorvelkit import StructuredCore
from ..formula.residual_terms import ResidualSpec
from ..model.design import Design
from ..model.fit_options import FitOptions
from ..model.residual_rows import StructureRows, rows_named, structure_rows
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


def order_rows(
    codes: np.ndarray | None,
    factor: str | None,
    subject: np.ndarray,
    arrays: StructureRows,
    spec: ResidualSpec,
    frame: pd.DataFrame,
) -> tuple[np.ndarray, np.ndarray]:
    """The rows sorted by group, subject and time (stable), and each row's group code
    (``codes``: of the grouping factor named ``factor``; None without random effects);
    a subject that spans groups, or a time repeated within a subject, is refused."""
    group = np.asarray(codes, dtype=np.int64) if codes is not None else np.zeros(len(frame), np.int64)
    if arrays.group is not None:  # a subject's rows in one structure group
        per_subject = pd.Series(arrays.group).groupby(subject).nunique()
        if (per_subject > 1).any():
            bad = np.flatnonzero(np.isin(subject, per_subject.index[per_subject > 1]))
            raise ValueError(
                f"the subjects of {spec.text!r} must each lie within one level of {spec.group!r}; "
                f"{rows_named(frame.index, bad)} belong to a subject in several"
            )
    if codes is not None:
        per_subject = pd.Series(group).groupby(subject).nunique()
        if (per_subject > 1).any():
            bad = np.flatnonzero(np.isin(subject, per_subject.index[per_subject > 1]))
            raise ValueError(
                f"the subjects of {spec.text!r} must each lie within one group of {factor!r}; "
                f"{rows_named(frame.index, bad)} belong to a subject in several"
            )
    keys = [subject, group] if arrays.times is None else [arrays.times, subject, group]
    order = np.lexsort(keys)
    if arrays.times is not None:
        s, t = subject[order], arrays.times[order]
        same = np.flatnonzero((s[1:] == s[:-1]) & (t[1:] == t[:-1]))
        if len(same):
            col = spec.position[0] if spec.position else "the rows' order"
            pair = np.array([order[same[0]], order[same[0] + 1]])
            raise ValueError(f"the time {col!r} is repeated within a subject in {rows_named(frame.index, pair)}")
    return order, group


def _start(design: Design, spec: ResidualSpec, arrays: StructureRows, n_eta: int) -> list[float]:
    theta = [1.0 if r == c else 0.0 for b in design.spec.blocks for c in range(b) for r in range(c, b)]
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
    if len(design.spec.factors) > 1:
        raise ValueError(
            f"a residual structure ({spec.text}) with random effects on several grouping factors is not supported; "
            "keep the random effects of one factor, within whose groups the subjects lie"
        )
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
    if spec.correlation != "none" and np.bincount(subject).max(initial=0) < 2:
        raise ValueError(
            f"no subject of {spec.text!r} has two rows: its correlation cannot be estimated "
            f"(the subject column is {spec.subject or 'the grouping factor'!r})"
        )
    factors = design.spec.factors
    codes = rows.codes if factors else None
    order, group = order_rows(codes, factors[0].name if factors else None, subject, arrays, spec, frame)
    t1 = time.perf_counter()
    table = np.column_stack([rows.z, rows.x, design.core_y])
    core, subject_sorted, subjects = structured_core(
        table, design.spec.q, design.spec.blocks, spec, arrays, order, subject, group
    )
    result = fit_core(core, design, spec, arrays, options)
    t2 = time.perf_counter()
    layout = StructureLayout(spec, arrays, order, subject_sorted, subjects)
    return StructuredFit(design, core, result, layout, reml=options.reml, seconds=(t2 - t1, t2 - t0))


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
) -> tuple[StructuredCore, np.ndarray, np.ndarray]:
    """The core of the rows of ``table`` (z | x | y, in the data's order) taken in
    ``order``, with each core row's subject and the subjects' offsets; ``reduce``: the
    core keeps its subjects' patterns alone (a model without random effects)."""
    table = np.ascontiguousarray(table[order])
    subject_sorted = subject[order]
    starts = np.flatnonzero(np.r_[True, subject_sorted[1:] != subject_sorted[:-1]])
    subjects = np.r_[starts, len(order)].astype(np.int64)
    if q:
        g = group[order][starts]
        groups = np.r_[np.flatnonzero(np.r_[True, g[1:] != g[:-1]]), len(starts)].astype(np.int64)
    else:
        groups = np.array([0, len(starts)], np.int64)
    variances = [(k, n, np.ascontiguousarray(v[order])) for k, n, v in arrays.variances]
    core = StructuredCore(
        table,
        q,
        subjects,
        groups,
        list(blocks),
        spec.correlation,
        times=None if arrays.times is None else np.ascontiguousarray(arrays.times[order]),
        coords=None if arrays.coords is None else np.ascontiguousarray(arrays.coords[order]),
        n_visits=arrays.n_visits,
        nugget=spec.nugget,
        variances=variances,
        structure_groups=None if arrays.group is None else np.ascontiguousarray(arrays.group[order][starts]),
        reduce=reduce,
    )
    return core, subject_sorted, subjects


def fit_core(
    core: StructuredCore, design: Design, spec: ResidualSpec, arrays: StructureRows, options: FitOptions
) -> dict:
    """The core's solution under ``options``: at the given theta, else optimised from
    the given starts or the structure's own."""
    if options.theta is not None:
        result = dict(core.solution(list(options.theta), reml=options.reml))
        result.update(converged=True, iterations=0, fev=1, grad_inf_norm=float("nan"), message="not optimised")
        return result
    start = _start(design, spec, arrays, core.n_params - core.n_theta)
    given = None if options.starts is None else list(np.asarray(options.starts, dtype=float).ravel())
    return dict(core.fit(given or start, reml=options.reml, max_iter=options.max_iter))
