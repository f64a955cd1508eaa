"""The model of a fit, :class:`Design`: its specification (:class:`~quorvelkit.modelspec.ModelSpec`),
the levels of its grouping factor, the fixed-effects columns kept, the counts of rows
used and left out, and its rows when it has them (:class:`FitRows`; a model fitted from
products of rows read in batches keeps none). :func:`build_design` makes one from a data
frame; the one aliasing rule, :func:`aliased_columns`, decides which fixed-effects
columns are dropped on every route."""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, NoReturn

import numpy as np
import pandas as pd

from .checks import check_group_counts, check_response_variation, require_columns, row_values
from .errors import RankDeficiencyWarning, RowsUnavailable
from .frames import sorted_levels, to_frame
from .modelspec import ModelSpec, learn_spec, select_rows
from .parsing import ParsedFormula, parse_formula

__all__ = ["Design", "FitRows", "build_design", "aliased_columns", "drop_aliased", "referenced_columns"]


def referenced_columns(parsed: ParsedFormula, columns: pd.Index, response: bool = True) -> list[str]:
    """Data columns the formula refers to, in data order (without the response's
    columns when ``response`` is false). Nothing is evaluated: the columns come from
    the checked parse of every expression."""
    names = {c for c, role in parsed.uses if response or role != "response"}
    return [c for c in columns if isinstance(c, str) and c in names]


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


@dataclass
class FitRows:
    """The rows of a fitted model: the response as given (the core fits it less the
    offset), the kept fixed-effects columns, Z, the group codes, the data's labels of
    the rows, and their prior weights and offset (``None`` without)."""

    y: np.ndarray
    x: np.ndarray
    z: np.ndarray
    codes: np.ndarray
    row_index: pd.Index
    weights: np.ndarray | None = None
    offset: np.ndarray | None = None


@dataclass
class Design:
    """A fitted model's specification, its groups and columns, and its rows when kept
    (``rows`` is ``None`` for a model fitted from products: then :attr:`source` says
    where its rows were read, and what needs them raises :class:`RowsUnavailable`)."""

    spec: ModelSpec
    levels: pd.Index
    n: int
    kept_columns: list[int]
    n_dropped: int = 0
    n_zero_weight: int = 0
    rows: FitRows | None = None
    source: str = ""

    # ------------------------------------------------------------- of the specification
    @property
    def parsed(self) -> ParsedFormula:
        return self.spec.parsed

    @property
    def fe_names(self) -> list[str]:
        return [self.spec.fe_all[j] for j in self.kept_columns]

    @property
    def dropped_columns(self) -> list[str]:
        kept = set(self.kept_columns)
        return [name for j, name in enumerate(self.spec.fe_all) if j not in kept]

    @property
    def re_names(self) -> list[str]:
        return self.spec.re_names

    @property
    def blocks(self) -> list[int]:
        return self.spec.blocks

    @property
    def m(self) -> int:
        """Number of levels of the grouping factor."""
        return int(len(self.levels))

    @property
    def weighted(self) -> bool:
        return self.spec.weighted

    # ------------------------------------------------------------- of the rows
    def need_rows(self, what: str) -> FitRows:
        """The rows, or :class:`RowsUnavailable` saying that ``what`` needs them."""
        if self.rows is None:
            self.no_rows(what)
        return self.rows

    def no_rows(self, what: str) -> NoReturn:
        raise RowsUnavailable(
            f"{what} needs the rows, and this model was fitted from products of rows read in batches "
            f"({self.source or 'a batched source'}), which keep none: compute fitted values batch by batch "
            f"with fit.predict(batch)"
        )

    @property
    def y(self) -> np.ndarray:
        return self.need_rows("the response").y

    @property
    def x(self) -> np.ndarray:
        return self.need_rows("the fixed-effects model matrix").x

    @property
    def z(self) -> np.ndarray:
        return self.need_rows("the random-effects model matrix").z

    @property
    def codes(self) -> np.ndarray:
        return self.need_rows("the group of each row").codes

    @property
    def row_index(self) -> pd.Index:
        return self.need_rows("the labels of the rows").row_index

    @property
    def weights(self) -> np.ndarray | None:
        """The prior weights of the rows (``None`` for an unweighted model)."""
        return self.need_rows("the weights of the rows").weights if self.weighted else None

    @property
    def offset(self) -> np.ndarray | None:
        return None if self.rows is None else self.rows.offset

    @property
    def core_y(self) -> np.ndarray:
        """The response the core fits: ``y`` less the offset."""
        rows = self.need_rows("the response")
        return rows.y if rows.offset is None else np.ascontiguousarray(rows.y - rows.offset)

    def with_response(self, y: np.ndarray) -> Design:
        """The same model with the response ``y`` (of the rows used, in order)."""
        rows = self.need_rows("a new response")
        return Design(
            self.spec,
            self.levels,
            self.n,
            self.kept_columns,
            self.n_dropped,
            self.n_zero_weight,
            FitRows(y, rows.x, rows.z, rows.codes, rows.row_index, rows.weights, rows.offset),
        )


def build_design(parsed: ParsedFormula, data: Any, weights: Any = None, offset: Any = None) -> Design:
    """The model of ``parsed`` on the rows of ``data`` (one batch, learnt from and read
    at once: :func:`~quorvelkit.modelspec.learn_spec`).

    ``weights`` and ``offset`` are column names of ``data`` or arrays of one number per
    row of it (see :func:`quorvelkit.lmm`). Rows with a missing value in any column
    the formula uses (response, fixed part, offsets, random part, grouping factor) or
    in the offset given are dropped and counted; so are rows of weight zero, which
    carry no information (their residual variance is infinite). Weights that are
    negative or not finite and values that are not finite are refused naming the
    row. Aliased fixed-effects columns are dropped with a
    :class:`RankDeficiencyWarning` naming them.
    """
    frame = to_frame(data)
    if not parsed.model_fixed:  # not made by parse_formula: check it now
        parsed = parse_formula(parsed.text)
    require_columns(parsed.columns, frame.columns, "the data")
    used = referenced_columns(parsed, frame.columns)
    if len(frame) == 0:
        raise ValueError("the data has no rows")
    place = lambda k: f"row {frame.index[k]!r}"  # noqa: E731
    prior = row_values(weights, frame, "weights", place)
    given = row_values(offset, frame, "offset", place)
    sub = frame[used]
    keep, n_dropped, n_zero = select_rows(sub, prior, given, place)
    if n_dropped == len(frame):
        raise ValueError(f"every row has a missing value in the columns the model uses ({', '.join(used)})")
    if not keep.any():
        raise ValueError("the weights are zero in every row the model could use")
    subset = not keep.all()
    work = sub.loc[keep] if subset else sub
    if given is not None:
        given.values = given.values[keep] if subset else given.values
    learnt = learn_spec(
        parsed,
        work,
        whole=True,
        weights_column=None if prior is None else prior.label,
        weighted=prior is not None,
        offset=given,
    )
    spec, rows = learnt.spec, learnt.rows
    assert rows is not None
    kept = drop_aliased(rows.x.T @ rows.x, spec.fe_all, stacklevel=3)
    x = rows.x if len(kept) == spec.p else np.ascontiguousarray(rows.x[:, kept])
    if rows.offset is None:
        check_response_variation(rows.y, f"response '{parsed.response}'")
    else:
        check_response_variation(rows.y - rows.offset, f"response '{parsed.response}' less its offset")
    codes, levels = sorted_levels(rows.labels)
    check_group_counts(parsed.group_label, len(rows.y), len(levels), spec.blocks)
    offset_values = None if rows.offset is None else np.ascontiguousarray(rows.offset, dtype=float)
    fit_rows = FitRows(
        y=rows.y,
        x=x,
        z=rows.z,
        codes=np.ascontiguousarray(codes, dtype=np.int64),
        row_index=frame.index[keep] if subset else frame.index,
        weights=None if prior is None else np.ascontiguousarray(prior.values[keep]),
        offset=offset_values,
    )
    return Design(spec, levels, len(rows.y), kept, n_dropped, n_zero, fit_rows)
