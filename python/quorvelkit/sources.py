"""Fitting from data that is read in batches: a Parquet file or directory, a pyarrow
dataset, or an iterator of DataFrames; and the machinery the Dask and Spark routes
share with it.

The core needs the rows only once, to reduce them to cross-products (X'X, X'y, y'y
and, per group, Z_i'Z_i, Z_i'X_i, Z_i'y_i and the row count). Each batch is turned
into model matrices by the same formula machinery as :func:`quorvelkit.lmm` (one
formulaic ``ModelSpec`` for every batch, so categorical columns expand to the same
columns everywhere), its products are added to the model's, and the fit runs on the
merged products. Memory is bounded by one batch plus the products, whatever the
number of rows.

Agreement with the in-memory fit: the per-group products of a sequential read are
bit-identical to those of the whole data (each group's rows are added in row order);
the global sums X'X, X'y, y'y are summed per batch and then added, so they differ from
the in-memory sums in the last bits only, and so do the estimates (to about 1e-12
relative; the fit's optimiser may stop a little differently).
"""

from __future__ import annotations

import os
import re
import sys
import time
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Iterator, Mapping, Sequence

import numpy as np
import pandas as pd

from . import _quorvelkit as _qk
from ._quorvelkit import LmmCore
from .model import LmmFit
from .formula import (
    Design,
    FormulaError,
    ParsedFormula,
    RankDeficiencyWarning,
    join_labels,
    parse_formula,
)

__all__ = ["SourceError", "RowsUnavailable", "BatchFit", "lmm", "ModelPlan", "plan_model", "PartProducts",
           "merge_parts", "fit_products", "is_batch_source"]


class SourceError(ValueError):
    """A source that cannot be fitted: a missing column, a missing group label, a level
    of a categorical column that the model's levels lack, a value that is not finite.
    The message names the column and, where it can, the file, batch or partition.
    Raised before any fit: nothing is fitted from part of the data."""


class RowsUnavailable(AttributeError):
    """Raised by what needs the rows of a model fitted from batches (fitted values,
    residuals, the response, refits with a new response, simulation, the bootstrap):
    such a model keeps only the products of its rows."""


#: Transforms whose value depends on every row (a mean, a spread, a basis, a lag):
#: taken from one batch they would differ from the whole data's.
_STATEFUL = ("center", "scale", "standardize", "poly", "bs", "cr", "cs", "cc", "lag")
_STATEFUL_RE = re.compile(r"(?<![\w.])(" + "|".join(_STATEFUL) + r")\s*\(")

#: Distinct values beyond which a column is not a factor candidate of the first pass.
_MAX_LEVELS = 100_000


# --------------------------------------------------------------------------- the plan


@dataclass
class ModelPlan:
    """Everything a batch needs to become model matrices: the parsed formula, the
    formulaic specs (built once, so every batch has the same columns), the columns to
    read and the shift all batches share. Picklable, so Dask and Spark send it to
    their workers."""

    parsed: ParsedFormula
    used: list[str]
    fixed_spec: Any
    random_spec: Any
    fe_all: list[str]
    re_names: list[str]
    shift: dict | None
    # Plain columns: the matrices are the columns themselves (no formulaic per batch).
    plain_y: str | None = None
    plain_x: list[str | None] | None = None  # None: the intercept
    plain_z: list[str | None] | None = None
    categorical: dict[str, list] = field(default_factory=dict)

    @property
    def p(self) -> int:
        return len(self.fe_all)

    @property
    def q(self) -> int:
        return len(self.re_names)

    def check_frame(self, frame: pd.DataFrame, where: str) -> None:
        missing = [c for c in self.used if c not in frame.columns]
        if missing:
            raise SourceError(
                f"column{'s' if len(missing) > 1 else ''} {', '.join(repr(c) for c in missing)} not found in "
                f"{where} (columns: {', '.join(str(c) for c in frame.columns)})"
            )

    def matrices(self, frame: pd.DataFrame, where: str) -> tuple[np.ndarray, np.ndarray, np.ndarray, Any, int]:
        """y, X, Z, the group labels of the complete rows of ``frame``, and the number
        of rows dropped for a missing value. Refuses (:class:`SourceError`) a missing
        column, a missing group label, a level outside the model's, a value that is not
        finite."""
        if not isinstance(frame, pd.DataFrame):  # a pyarrow RecordBatch
            if self.plain_x is not None and len(self.parsed.group) == 1:
                return self._arrow_plain(frame, where)
            frame = _arrow_frame(frame)
        self.check_frame(frame, where)
        parsed = self.parsed
        sub = frame[self.used]
        group = list(parsed.group)
        gnull = sub[group].isna().any(axis=1).to_numpy()
        if gnull.any():
            col = next(c for c in group if sub[c].isna().any())
            raise SourceError(
                f"the group column '{col}' has {int(sub[col].isna().sum())} missing value(s) in {where}; "
                f"every row needs a group label"
            )
        complete = ~sub.isna().any(axis=1).to_numpy()
        n_dropped = int(len(sub) - complete.sum())
        if n_dropped:
            sub = sub.loc[complete]
        sub = _object_text(sub.reset_index(drop=True))
        for name in (c for c, r in parsed.uses if r == "response"):
            col = sub[name]
            if not (pd.api.types.is_numeric_dtype(col) or pd.api.types.is_bool_dtype(col)):
                raise SourceError(f"the response column '{name}' must be numeric; it is {col.dtype} in {where}")
        if self.plain_x is not None:
            y, x, z = self._plain(sub)
        else:
            y, x, z = self._formulaic(sub, where)
        self._check_finite(y, x, z, where)
        labels = sub[group[0]] if len(group) == 1 else join_labels(sub, group)
        return y, x, z, labels, n_dropped

    def _arrow_plain(self, batch, where: str) -> tuple[np.ndarray, np.ndarray, np.ndarray, Any, int]:
        """matrices() of a pyarrow batch of plain numeric columns, without pandas: the
        columns as NumPy arrays (no copy where Arrow allows), the same checks."""
        names = batch.schema.names
        missing = [c for c in self.used if c not in names]
        if missing:
            raise SourceError(f"column{'s' if len(missing) > 1 else ''} {', '.join(repr(c) for c in missing)} "
                              f"not found in {where} (columns: {', '.join(names)})")
        gname = self.parsed.group[0]
        gcol = batch.column(gname)
        if gcol.null_count:
            raise SourceError(f"the group column '{gname}' has {gcol.null_count} missing value(s) in {where}; "
                              f"every row needs a group label")
        cols: dict[str, np.ndarray] = {}
        drop = None
        for c in dict.fromkeys([self.plain_y, *(c for c in self.plain_x + self.plain_z if c is not None)]):
            arr = np.asarray(batch.column(c).to_numpy(zero_copy_only=False), dtype=float)
            nan = np.isnan(arr)
            if nan.any():
                drop = nan if drop is None else drop | nan
            cols[c] = arr
        labels = gcol.to_numpy(zero_copy_only=False)
        n_dropped = 0
        if drop is not None:
            keep = ~drop
            n_dropped = int(drop.sum())
            cols = {c: a[keep] for c, a in cols.items()}
            labels = labels[keep]
        n = len(labels)

        def stack(which: list[str | None]) -> np.ndarray:
            out = np.empty((n, len(which)))
            for j, c in enumerate(which):
                out[:, j] = 1.0 if c is None else cols[c]
            return out

        y, x, z = np.ascontiguousarray(cols[self.plain_y]), stack(self.plain_x), stack(self.plain_z)
        self._check_finite(y, x, z, where)
        return y, x, z, labels, n_dropped

    def _check_finite(self, y: np.ndarray, x: np.ndarray, z: np.ndarray, where: str) -> None:
        for what, mat, names in (("response", y[:, None], [self.parsed.response]), ("fixed-effects", x, self.fe_all),
                                 ("random-effects", z, self.re_names)):
            bad = ~np.isfinite(mat)
            if bad.any():
                j = int(np.flatnonzero(bad.any(axis=0))[0])
                raise SourceError(
                    f"the {what} column '{names[j]}' has a value that is not finite in {where}; "
                    f"remove or fix those rows"
                )

    def _plain(self, sub: pd.DataFrame) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        n = len(sub)

        def stack(cols: list[str | None]) -> np.ndarray:
            out = np.empty((n, len(cols)))
            for j, c in enumerate(cols):
                out[:, j] = 1.0 if c is None else sub[c].to_numpy(dtype=float)
            return out

        y = np.ascontiguousarray(sub[self.plain_y].to_numpy(dtype=float))
        return y, stack(self.plain_x), stack(self.plain_z)

    def _formulaic(self, sub: pd.DataFrame, where: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        from formulaic.errors import FormulaicError

        named = self.parsed.for_formulaic(sub)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                fixed = self.fixed_spec.get_model_matrix(named, na_action="ignore")
                rand = self.random_spec.get_model_matrix(named, na_action="ignore")
        except Warning as w:
            raise SourceError(
                f"inconsistent categorical levels in {where}: {_levels_message(w, self.categorical, sub)}"
            ) from None
        except FormulaicError as exc:
            raise SourceError(f"cannot build the model matrices of {where}: {exc}") from None
        y = np.ascontiguousarray(fixed.lhs.to_numpy(dtype=float)[:, 0])
        x = np.ascontiguousarray(fixed.rhs.to_numpy(dtype=float))
        z = np.ascontiguousarray(rand.to_numpy(dtype=float))
        return y, x, z


_FACTOR_CALL = re.compile(r"^(?:C|factor|as\.factor)\((.+?)(?:,.*)?\)$")


def _arrow_frame(batch) -> pd.DataFrame:
    """A pyarrow batch as a DataFrame, dictionary columns as their values."""
    frame = batch.to_pandas()
    for c in frame.columns:
        if isinstance(frame[c].dtype, pd.CategoricalDtype):
            frame[c] = frame[c].astype(object)
    return frame


def _levels_message(w: Warning, categorical: Mapping[str, list], frame: pd.DataFrame) -> str:
    """The refusal of a batch holding levels the model lacks, naming the columns."""
    found = []
    for expr, levels in categorical.items():
        m = _FACTOR_CALL.match(expr)
        col = (m.group(1).strip() if m else expr).strip("`")
        if col not in frame.columns:
            continue
        known = set(levels)
        new = [v for v in pd.unique(frame[col].dropna()) if v not in known]
        if new:
            shown = ", ".join(repr(v) for v in new[:5]) + (f" and {len(new) - 5} more" if len(new) > 5 else "")
            found.append(f"column '{col}' has {shown}, not among its {len(levels)} levels")
    what = "; ".join(found) if found else str(w).split(". They are being")[0]
    return (f"{what}. The model's levels come from the source's first pass, from levels=..., or from the first "
            f"batch; declare every level with levels={{column: [...]}} when later batches hold new ones")


def _object_text(frame: pd.DataFrame) -> pd.DataFrame:
    """Text columns as object columns, whatever their source made of them (pandas'
    string dtypes, Arrow strings): the specs are learnt and applied on one type."""
    text = [c for c in frame.columns
            if pd.api.types.is_string_dtype(frame[c].dtype) and not pd.api.types.is_object_dtype(frame[c].dtype)
            and not isinstance(frame[c].dtype, pd.CategoricalDtype)]
    return frame.astype({c: object for c in text}) if text else frame


def _check_stateful(parsed: ParsedFormula) -> None:
    for part in (parsed.model_response, parsed.model_fixed, parsed.model_random):
        m = _STATEFUL_RE.search(part or "")
        if m:
            raise FormulaError(
                f"{m.group(1)}() is not supported when the data are read in batches: its value depends "
                f"on every row, which no batch has; compute the column beforehand"
            )


def _spec_frame(sample: pd.DataFrame, levels: Mapping[str, Sequence]) -> pd.DataFrame:
    """``sample`` with rows added so that every declared level of every categorical
    column appears: the frame the model's specs are learnt from. Columns keep their
    types (a numeric column's levels are numbers, which C() or factor() may make
    categorical)."""
    if not levels or len(sample) == 0:
        return sample
    k = max(len(v) for v in levels.values())
    extra = {}
    for c in sample.columns:
        col = sample[c]
        if c in levels and len(levels[c]):
            vals = list(levels[c])
            cyc = [vals[i % len(vals)] for i in range(k)]
            numeric = pd.api.types.is_numeric_dtype(col) and not pd.api.types.is_bool_dtype(col)
            extra[c] = pd.Series(cyc, dtype=col.dtype if numeric else object)
        else:
            extra[c] = pd.Series(np.resize(col.to_numpy(), k), dtype=col.dtype)
    out = pd.concat([sample, pd.DataFrame(extra)], ignore_index=True)
    for c in levels:
        if c in out.columns and isinstance(sample[c].dtype, pd.CategoricalDtype):
            cats = list(sample[c].cat.categories) + [v for v in levels[c] if v not in set(sample[c].cat.categories)]
            out[c] = pd.Categorical(out[c], categories=cats)
    return out


def plan_model(parsed: ParsedFormula, sample: pd.DataFrame, levels: Mapping[str, Sequence] | None = None,
               where: str = "the first batch") -> ModelPlan:
    """The plan of a model from a sample of its rows (a first batch or partition) and
    the levels of its categorical columns (from a first pass, the source's dictionary,
    or declared), which the sample alone may lack."""
    from formulaic import model_matrix
    from formulaic.errors import FormulaicError

    if not parsed.model_fixed:
        parsed = parse_formula(parsed.text)
    _check_stateful(parsed)
    names = set(parsed.columns)
    used = [c for c in sample.columns if isinstance(c, str) and c in names]
    plan0 = ModelPlan(parsed, [c for c in parsed.columns], None, None, [], [], None)
    plan0.check_frame(sample, where)
    sub = _object_text(sample[used].dropna().reset_index(drop=True))
    if len(sub) == 0:
        raise SourceError(f"{where} has no complete row to learn the model's columns from")
    levels = {c: list(v) for c, v in (levels or {}).items() if c in used}
    # The levels are the model's: sample rows with other values do not teach the specs
    # any (a batch holding them is refused).
    for c, v in levels.items():
        sub = sub.loc[sub[c].isin(v)]
    sub = sub.reset_index(drop=True)
    if len(sub) == 0:
        raise SourceError(f"{where} has no complete row whose values are among the declared levels")
    frame = parsed.for_formulaic(_spec_frame(sub, levels))
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            fixed = model_matrix(f"{parsed.model_response} ~ {parsed.model_fixed}", frame, na_action="ignore",
                                 context={})
            rand = model_matrix(parsed.model_random, frame, na_action="ignore", context={})
    except FormulaicError as exc:
        raise ValueError(f"cannot build the model matrices: {exc}") from None
    from .formula import _rename

    fe_all = _rename(fixed.rhs.columns, parsed.renames)
    re_names = _rename(rand.columns, parsed.renames)
    if fixed.lhs.shape[1] != 1:
        raise ValueError(f"the response '{parsed.response}' must be one numeric column")
    if not fe_all:
        raise ValueError("the fixed-effects part has no columns; keep the intercept or add a term")
    if not re_names:
        raise ValueError("the random-effects term has no columns; use (1 | g) for a random intercept")
    categorical = {}
    for spec in (fixed.rhs.model_spec, rand.model_spec):
        for expr, (kind, state) in spec.encoder_state.items():
            if getattr(kind, "value", kind) == "categorical":
                categorical[expr] = list(state.get("categories", []))
    plan = ModelPlan(parsed, used, fixed.model_spec, rand.model_spec, fe_all, re_names, None,
                     categorical=categorical)
    # Plain columns need no formulaic per batch: the common case of big data.
    numeric = {c for c in used if pd.api.types.is_numeric_dtype(sub[c]) and not pd.api.types.is_bool_dtype(sub[c])}

    def plain(cols: Sequence[str]) -> list[str | None] | None:
        out: list[str | None] = []
        for c in cols:
            if c == "Intercept":
                out.append(None)
            elif c in numeric and c not in parsed.group:
                out.append(c)
            else:
                return None
        return out

    if not parsed.aliases and parsed.response in numeric and not categorical:
        px, pz = plain(list(fixed.rhs.columns)), plain(list(rand.columns))
        if px is not None and pz is not None:
            plan.plain_y, plan.plain_x, plan.plain_z = parsed.response, px, pz
    # The shift: an intercept column is constant in every batch, so batches can share
    # the centres chosen from the sample; without one the rows are used as given.
    if "Intercept" in list(fixed.rhs.columns):
        y, x, _z = plan._formulaic(sub, where) if plan.plain_x is None else plan._plain(sub)
        shift = _qk.choose_shift(np.ascontiguousarray(y), np.ascontiguousarray(x))
        if shift["shift_column"] == list(fixed.rhs.columns).index("Intercept"):
            plan.shift = shift
    return plan


# --------------------------------------------------------------------------- products


@dataclass
class PartProducts:
    """The products of one part of the data (a batch, a partition, or merged parts),
    its groups identified by label, and the rows dropped for missing values. Parts
    merge by label (:func:`merge_parts`), so groups may span parts."""

    products: dict
    labels: pd.Index
    n_dropped: int = 0


def part_products(plan: ModelPlan, frame: pd.DataFrame, where: str) -> PartProducts:
    """The products of one part's rows, its groups coded in order of appearance."""
    y, x, z, labels, n_dropped = plan.matrices(frame, where)
    if len(y) == 0:
        return PartProducts(_empty_products(plan), pd.Index([]), n_dropped)
    codes, uniques = pd.factorize(labels, sort=False)
    prod = _qk.reduce_rows(_c(y), _c(x), _c(z), _c(codes, np.int64), max(1, len(uniques)), plan.shift)
    return PartProducts(prod, pd.Index(uniques), n_dropped)


def _c(a: np.ndarray, dtype: Any = np.float64) -> np.ndarray:
    """``a`` as the core takes arrays: C-contiguous and aligned (buffers unpickled on a
    worker may be neither), copied only when needed."""
    return np.require(a, dtype=dtype, requirements=["C", "A"])


def _empty_products(plan: ModelPlan) -> dict:
    p, q = plan.p, plan.q
    shift = plan.shift or {"shift_column": -1, "shift_value": 0.0, "shift_y": 0.0, "shift_x": np.zeros(p)}
    return {"n": 0, "p": p, "q": q, "m": 0, "counts": np.zeros(0, np.int64), "xtx": np.zeros((p, p)),
            "xty": np.zeros(p), "yty": 0.0, "ztz": np.zeros((0, q, q)), "ztx": np.zeros((0, q, p)),
            "zty": np.zeros((0, q)), **shift}


_ARRAYS = ("ztz", "ztx", "zty", "counts")


def _same_shift(a: dict, b: dict) -> bool:
    return (int(a["shift_column"]) == int(b["shift_column"])
            and np.float64(a["shift_value"]).tobytes() == np.float64(b["shift_value"]).tobytes()
            and np.float64(a["shift_y"]).tobytes() == np.float64(b["shift_y"]).tobytes()
            and np.asarray(a["shift_x"], float).tobytes() == np.asarray(b["shift_x"], float).tobytes())


def merge_parts(a: PartProducts, b: PartProducts) -> PartProducts:
    """The products of a's rows and b's together, groups matched by label: a's groups
    first, then b's new ones. Every sum is a's + b's in that order, so a fixed tree of
    merges gives fixed bits whatever order the parts were computed in."""
    pa, pb = a.products, b.products
    if pa["p"] != pb["p"] or pa["q"] != pb["q"]:
        raise ValueError("the parts have different model dimensions")
    if not _same_shift(pa, pb):
        raise ValueError("the parts were reduced with different shifts; every part of a model must use the same one")
    if pb["m"] == 0:
        return PartProducts(pa, a.labels, a.n_dropped + b.n_dropped)
    if pa["m"] == 0:
        return PartProducts(pb, b.labels, a.n_dropped + b.n_dropped)
    pos = np.asarray(a.labels.get_indexer(b.labels), dtype=np.int64)
    new = pos < 0
    ma, k = int(pa["m"]), int(new.sum())
    pos[new] = ma + np.arange(k)
    labels = a.labels.append(b.labels[new]) if k else a.labels
    out = dict(pa)
    for key in _ARRAYS:
        va, vb = np.asarray(pa[key]), np.asarray(pb[key])
        arr = np.zeros((ma + k,) + va.shape[1:], dtype=va.dtype)
        arr[:ma] = va
        arr[pos] += vb
        out[key] = arr
    out["xtx"] = np.asarray(pa["xtx"]) + np.asarray(pb["xtx"])
    out["xty"] = np.asarray(pa["xty"]) + np.asarray(pb["xty"])
    out["yty"] = float(pa["yty"]) + float(pb["yty"])
    out["n"] = int(pa["n"]) + int(pb["n"])
    out["m"] = ma + k
    return PartProducts(out, labels, a.n_dropped + b.n_dropped)


def sort_groups(products: dict, labels: pd.Index) -> tuple[dict, pd.Index]:
    """The products with their groups in the order of the sorted labels (as
    :func:`quorvelkit.lmm` orders levels); a permutation, exact."""
    codes, levels = _sorted_codes(labels)
    order = np.empty(len(codes), dtype=np.int64)
    order[codes] = np.arange(len(codes))
    out = dict(products)
    for key in _ARRAYS:
        out[key] = np.ascontiguousarray(np.asarray(products[key])[order])
    return out, levels


def _sorted_codes(labels: pd.Index) -> tuple[np.ndarray, pd.Index]:
    from .formula import _sorted_levels

    return _sorted_levels(pd.Series(np.asarray(labels, dtype=object) if labels.dtype == object else labels))


# --------------------------------------------------------------------------- the fit


def aliased_from_gram(xtx: np.ndarray, tol: float = 1e-7) -> list[int]:
    """Columns that are linear combinations of earlier ones, from X'X: as
    :func:`quorvelkit.formula.aliased_columns` decides on X (a column whose distance to
    the span of the kept columns before it is below ``tol`` times its norm), by a
    Cholesky factorisation of the Gram matrix of the unit-scaled columns."""
    p = xtx.shape[0]
    d = np.sqrt(np.maximum(np.diag(xtx), 0.0))
    dropped: list[int] = []
    kept: list[int] = []
    L = np.zeros((p, p))
    for j in range(p):
        if not d[j] > 0:
            dropped.append(j)
            continue
        g = np.array([xtx[j, k] / (d[j] * d[k]) for k in kept])
        row = np.zeros(len(kept))
        for i, k in enumerate(kept):
            row[i] = (g[i] - row[:i] @ L[i, :i]) / L[i, i]
        r2 = 1.0 - row @ row
        if not r2 > tol * tol:
            dropped.append(j)
            continue
        L[len(kept), : len(kept)] = row
        L[len(kept), len(kept)] = np.sqrt(r2)
        kept.append(j)
    return dropped


def _drop_columns(products: dict, dropped: Sequence[int]) -> dict:
    p = int(products["p"])
    kept = [j for j in range(p) if j not in set(dropped)]
    out = dict(products)
    xtx = np.asarray(products["xtx"])
    out["xtx"] = np.ascontiguousarray(xtx[np.ix_(kept, kept)])
    out["xty"] = np.ascontiguousarray(np.asarray(products["xty"])[kept])
    out["ztx"] = np.ascontiguousarray(np.asarray(products["ztx"])[:, :, kept])
    out["shift_x"] = np.ascontiguousarray(np.asarray(products["shift_x"])[kept])
    col = int(products["shift_column"])
    if col >= 0:
        if col in set(dropped):
            raise ValueError("the intercept is aliased with other fixed-effects columns; drop one of them")
        out["shift_column"] = kept.index(col)
    out["p"] = len(kept)
    return out


@dataclass
class RowlessDesign(Design):
    """A design whose rows were not kept: only the counts of rows and groups."""

    n_rows: int = 0

    @property
    def n(self) -> int:
        return self.n_rows


def fit_products(
    plan: ModelPlan,
    products: dict,
    levels: pd.Index,
    n_dropped: int,
    *,
    reml: bool = True,
    evaluator: str = "auto",
    starts: Any = None,
    theta: Sequence[float] | None = None,
    max_iter: int = 300,
    source: str = "",
    t0: float | None = None,
) -> "BatchFit":
    """The fit of merged products whose groups are ``levels`` (in that order)."""
    from .model import _check_flag, _core_refusals, _evaluate_at, _flatten_starts, _warn_if_singular

    _check_flag("reml", reml)
    t0 = time.perf_counter() if t0 is None else t0
    parsed = plan.parsed
    n, m, q = int(products["n"]), int(products["m"]), int(products["q"])
    glabel = parsed.group_label
    if n == 0:
        raise SourceError(f"{source or 'the source'} has no complete rows in the columns the model uses")
    if m < 2:
        raise ValueError(f"the grouping factor '{glabel}' must have more than one level, it has {m}")
    if m >= n:
        raise ValueError(f"the number of levels of '{glabel}' ({m}) must be less than the number of observations ({n})")
    if m * q >= n:
        raise ValueError(
            f"the number of observations ({n}) must exceed the number of random effects ({m * q} = {m} levels x "
            f"{q} terms); the random-effects parameters and the residual variance are probably unidentifiable"
        )
    dropped_idx = aliased_from_gram(np.asarray(products["xtx"]))
    dropped_cols = [plan.fe_all[j] for j in dropped_idx]
    if dropped_cols:
        k = len(dropped_cols)
        warnings.warn(
            f"fixed-effect model matrix is rank deficient so dropping {k} column{'s' if k > 1 else ''} / "
            f"coefficient{'s' if k > 1 else ''}: {', '.join(dropped_cols)}",
            RankDeficiencyWarning,
            stacklevel=3,
        )
        products = _drop_columns(products, dropped_idx)
    kept = [j for j in range(plan.p) if j not in set(dropped_idx)]
    fe_names = [plan.fe_all[j] for j in kept]
    if float(products["yty"]) == 0.0 and int(products["shift_column"]) >= 0:
        raise ValueError(
            f"the response '{parsed.response}' is constant: there is no variation to estimate the variance "
            f"components from"
        )
    t1 = time.perf_counter()
    core = LmmCore.from_products(products, evaluator)
    response = f"response '{parsed.response}'"
    if theta is not None:
        with _core_refusals(response, fe_names):
            result = _evaluate_at(core, theta, reml)
        n_starts = 0
    else:
        flat = list(core.default_theta()) if starts is None else _flatten_starts(starts, core.n_theta)
        n_starts = len(flat) // core.n_theta
        with _core_refusals(response, fe_names):
            result = core.fit(flat, reml=bool(reml), max_iter=int(max_iter))
    t2 = time.perf_counter()
    p = len(fe_names)
    design = RowlessDesign(
        parsed=parsed, y=np.empty(0), x=np.empty((0, p)), z=np.empty((0, q)), codes=np.empty(0, np.int64),
        levels=levels, fe_names=fe_names, re_names=list(plan.re_names), row_index=pd.RangeIndex(0),
        n_dropped=int(n_dropped), dropped_columns=dropped_cols, kept_columns=kept,
        fixed_spec=plan.fixed_spec.rhs if hasattr(plan.fixed_spec, "rhs") else plan.fixed_spec,
        random_spec=plan.random_spec, used_columns=list(plan.used),
        predictor_columns=[c for c in plan.used if any(u == c and r != "response" for u, r in parsed.uses)],
        n_rows=n,
    )
    fit = BatchFit(design, core, result, n_starts=n_starts, fit_seconds=t2 - t1, total_seconds=t2 - t0,
                   evaluator_requested=evaluator)
    fit.source = source
    if theta is None:
        _warn_if_singular(fit, stacklevel=3)
    return fit


class BatchFit(LmmFit):
    """A model fitted from products of rows read in batches (a Parquet source, an
    iterator of DataFrames, Dask or Spark partitions). Everything that follows from
    the products is available as for :class:`~quorvelkit.LmmFit`: estimates,
    standard errors, variance components, random effects and conditional
    covariances, criteria, ``predict(newdata)``, ``refit_ml``/``refit_reml``,
    ``anova``, the report and pickling. What needs the rows raises
    :class:`RowsUnavailable` (an ``AttributeError``): ``fitted``, ``residuals``,
    ``response``, ``predict()`` without new data, ``refit(y)``, ``simulate`` and
    ``bootstrap``; ``predict(batch)`` gives fitted values batch by batch."""

    #: The rows were not kept: see :attr:`needs_rows`.
    rows_kept = False
    #: What raises :class:`RowsUnavailable` on this fit.
    needs_rows = ("fitted", "residuals", "response", "predict() without newdata", "refit", "simulate",
                  "bootstrap")
    source: str = ""

    def _no_rows(self, what: str):
        raise RowsUnavailable(
            f"{what} needs the rows, and this model was fitted from products of rows read in batches "
            f"({self.source or 'a batched source'}), which keep none: compute fitted values batch by batch "
            f"with fit.predict(batch)"
        )

    @property
    def fitted(self):
        self._no_rows("fitted")

    @property
    def residuals(self):
        self._no_rows("residuals")

    @property
    def response(self):
        self._no_rows("response")

    fittedvalues = fitted
    resid = residuals

    def predict(self, newdata: Any = None, re: bool = True, allow_new_levels: bool = False):
        if newdata is None:
            self._no_rows("predict() without newdata")
        return super().predict(newdata, re=re, allow_new_levels=allow_new_levels)

    def refit(self, y: Any):
        self._no_rows("refit(y)")

    def simulate(self, n: int = 1, seed: Any = None):
        self._no_rows("simulate")

    def bootstrap(self, n: int, seed: Any = None, progress: Any = None, level: float = 0.95):
        self._no_rows("bootstrap")




# --------------------------------------------------------------------------- progress


def progress_bar(progress: bool | None, total: int | None, desc: str, unit: str):
    """A tqdm bar: shown when ``progress`` is true, or when it is ``None`` and stderr is a
    terminal and the run lasts more than a second."""
    from tqdm import tqdm

    if progress is None:
        shown = sys.stderr is not None and hasattr(sys.stderr, "isatty") and sys.stderr.isatty()
        return tqdm(total=total, disable=not shown, delay=1.0, desc=desc, unit=unit, unit_scale=True, leave=False)
    return tqdm(total=total, disable=not progress, desc=desc, unit=unit, unit_scale=True, leave=False)


# --------------------------------------------------------------------------- sources


def is_batch_source(data: Any) -> bool:
    """Whether :func:`quorvelkit.lmm` reads ``data`` in batches: a path (a Parquet file or
    directory), a pyarrow dataset, or an iterator of DataFrames."""
    if isinstance(data, (str, os.PathLike)):
        return True
    mod = type(data).__module__ or ""
    if mod.startswith("pyarrow") and type(data).__name__ in ("FileSystemDataset", "Dataset", "UnionDataset",
                                                               "InMemoryDataset"):
        return True
    if mod.startswith("dask") or mod.startswith("pyspark"):
        return True
    return isinstance(data, Iterator)


class _Labels:
    """Group labels to codes across batches. With the levels known beforehand (a first
    pass), codes are their sorted positions; otherwise labels get codes in order of
    first appearance, sorted at the end."""

    def __init__(self, levels: pd.Index | None = None) -> None:
        self.fixed = levels is not None
        self.index = levels if levels is not None else pd.Index([])
        self.pending: list = []
        self.table: dict = {}
        # Integer levels in a moderate range: codes by a lookup table, not by hashing.
        self.lut: np.ndarray | None = None
        if self.fixed and len(levels) and pd.api.types.is_integer_dtype(levels.dtype):
            lo, hi = int(levels.min()), int(levels.max())
            if hi - lo < _IntSeen.LIMIT:
                self.lo = lo
                self.lut = np.full(hi - lo + 1, -1, dtype=np.int64)
                self.lut[levels.to_numpy(np.int64) - lo] = np.arange(len(levels))

    def codes(self, labels: Any, where: str) -> np.ndarray:
        if self.lut is not None:
            vals = np.asarray(labels)
            if vals.dtype.kind in "iu" and len(vals):
                off = vals.astype(np.int64, copy=False) - self.lo
                inside = (off >= 0) & (off < len(self.lut))
                if inside.all():
                    codes = self.lut[off]
                    if (codes >= 0).all():
                        return codes
        labels = pd.Series(labels) if not isinstance(labels, pd.Series) else labels
        if self.fixed:
            codes = np.asarray(self.index.get_indexer(labels), dtype=np.int64)
            if (codes < 0).any():
                bad = labels[codes < 0].iloc[0]
                raise SourceError(f"the group label {bad!r} in {where} was not in the source's first pass "
                                  f"(did the data change while it was read?)")
            return codes
        local, uniques = pd.factorize(labels, sort=False)
        table = self.table
        glob = np.fromiter((table.setdefault(u, len(table)) for u in uniques), dtype=np.int64, count=len(uniques))
        return glob[local]

    @property
    def m(self) -> int:
        return len(self.index) if self.fixed else len(self.table)

    def levels_in_code_order(self) -> pd.Index:
        if self.fixed:
            return self.index
        return pd.Index(list(self.table.keys()))


def fit_frames(parsed: ParsedFormula, frames: Iterable[tuple[pd.DataFrame, str]], *, levels: Mapping | None,
               group_levels: pd.Index | None, progress: bool | None, total_rows: int | None, source: str,
               sample: pd.DataFrame | None = None, **fit_args: Any) -> "BatchFit":
    """Reads (frame, where) batches into one accumulator and fits."""
    t0 = time.perf_counter()
    it = iter(frames)
    plan = None
    if sample is not None:
        plan = plan_model(parsed, sample, levels, where=f"the first rows of {source}")
    labels = _Labels(group_levels)
    acc = None
    n_dropped = 0
    bar = progress_bar(progress, total_rows, "reading", "rows")
    try:
        for frame, where in it:
            if plan is None:
                sample = frame if isinstance(frame, pd.DataFrame) else _arrow_frame(frame)
                plan = plan_model(parsed, sample, levels, where=where)
            y, x, z, lab, dropped = plan.matrices(frame, where)
            n_dropped += dropped
            codes = labels.codes(lab, where)
            if acc is None:
                acc = _qk.ProductsAccumulator(max(labels.m, 1), plan.p, plan.q, plan.shift)
            elif labels.m > acc.m:
                acc.grow(max(labels.m, 2 * acc.m))
            if len(y):
                acc.add_rows(_c(y), _c(x), _c(z), _c(codes, np.int64))
            bar.update(len(frame) if isinstance(frame, pd.DataFrame) else frame.num_rows)
    finally:
        bar.close()
    if plan is None or acc is None:
        raise SourceError(f"{source} holds no rows")
    products = acc.products()
    del acc
    m = labels.m
    if int(products["m"]) != m:  # capacity beyond the groups met
        for key in _ARRAYS:
            products[key] = np.ascontiguousarray(products[key][:m])
        products["m"] = m
    if labels.fixed:
        lv = labels.index
    else:
        products, lv = sort_groups(products, labels.levels_in_code_order())
    return fit_products(plan, products, lv, n_dropped, source=source, t0=t0, **fit_args)


def _factor_candidates(parsed: ParsedFormula, schema) -> list[str]:
    """Columns whose distinct values the first pass collects: those of a type formulaic
    takes as categorical (text, dictionary, boolean) or of integers (which C() or
    factor() may make categorical), other than the response and the group."""
    import pyarrow as pa

    out = []
    resp = {c for c, r in parsed.uses if r == "response"}
    for c in parsed.columns:
        if c in resp or c in parsed.group or c not in schema.names:
            continue
        t = schema.field(c).type
        if pa.types.is_dictionary(t) or pa.types.is_string(t) or pa.types.is_large_string(t) or \
                pa.types.is_boolean(t) or pa.types.is_integer(t):
            out.append(c)
    return out


class _IntSeen:
    """The distinct values of an integer column, as a bitmap over their range while
    that stays below 2^27 values (then add() declines and the caller hashes)."""

    LIMIT = 1 << 27

    def __init__(self) -> None:
        self.lo = 0
        self.seen: np.ndarray | None = None
        self.spilled: np.ndarray | None = None
        self.failed = False

    def add(self, values: np.ndarray) -> bool:
        if self.failed or len(values) == 0:
            return not self.failed
        lo, hi = int(values.min()), int(values.max())
        if self.seen is not None:
            lo, hi = min(lo, self.lo), max(hi, self.lo + len(self.seen) - 1)
        if hi - lo + 1 > self.LIMIT:
            # Too wide: the values so far go back to the caller, who hashes from now on.
            self.failed = True
            self.spilled = self.values() if self.seen is not None else None
            self.seen = None
            return False
        if self.seen is None or lo < self.lo or hi >= self.lo + len(self.seen):
            grown = np.zeros(hi - lo + 1, dtype=bool)
            if self.seen is not None:
                grown[self.lo - lo:self.lo - lo + len(self.seen)] = self.seen
            self.seen, self.lo = grown, lo
        self.seen[values - self.lo] = True
        return True

    def values(self) -> np.ndarray:
        return (np.flatnonzero(self.seen) + self.lo).astype(np.int64)


def _first_pass(dataset, parsed: ParsedFormula, batch_rows: int, progress: bool | None, total: int | None):
    """The sorted group labels and the distinct values of factor candidates, reading
    only those columns; refuses a missing group label, naming the file."""
    import pyarrow as pa
    import pyarrow.compute as pc

    group = list(parsed.group)
    cands = _factor_candidates(parsed, dataset.schema)
    cols = group + cands
    ints = _IntSeen() if len(group) == 1 and pa.types.is_integer(dataset.schema.field(group[0]).type) else None
    uniq: dict[str, list] = {c: [] for c in cols}
    size: dict[str, int] = {c: 0 for c in cols}
    bar = progress_bar(progress, total, "levels", "rows")
    try:
        for frag in dataset.get_fragments():
            for k, batch in enumerate(frag.to_batches(columns=cols, batch_size=batch_rows)):
                for c in group:
                    arr = batch.column(c)
                    if arr.null_count:
                        raise SourceError(
                            f"the group column '{c}' has {arr.null_count} missing value(s) in {frag.path} "
                            f"(batch {k}); every row needs a group label"
                        )
                for c in cols:
                    if c in cands and size[c] > _MAX_LEVELS:
                        continue
                    if ints is not None and c == group[0]:
                        if ints.add(batch.column(c).to_numpy()):
                            continue
                        if ints.spilled is not None:
                            uniq[c].append(pa.array(ints.spilled))
                            ints.spilled = None
                    arr = batch.column(c)
                    if pa.types.is_dictionary(arr.type):
                        arr = arr.dictionary_decode()
                    u = pc.unique(arr)
                    uniq[c].append(u)
                    size[c] += len(u)
                    if size[c] > 4 * max(len(uniq[c][0]), 1) and len(uniq[c]) > 1:
                        merged = pc.unique(pa.chunked_array(uniq[c]))
                        uniq[c] = [merged.combine_chunks() if hasattr(merged, "combine_chunks") else merged]
                        size[c] = len(uniq[c][0])
                bar.update(batch.num_rows)
    finally:
        bar.close()

    def values(c: str) -> list:
        if not uniq[c]:
            return []
        return pc.unique(pa.chunked_array(uniq[c])).drop_null().to_pylist()

    if ints is not None and ints.seen is not None and not uniq[group[0]]:
        glevels = pd.Index(ints.values())
    elif len(group) == 1:
        glevels = pd.Index(values(group[0]))
    else:
        glevels = None  # interactions of columns: labels met as they come
    levels = {}
    for c in cands:
        if size[c] <= _MAX_LEVELS:
            levels[c] = sorted(values(c), key=lambda v: (type(v).__name__, v))
    if glevels is not None:
        codes, glevels = _sorted_codes(glevels)
    return glevels, levels


def lmm(
    formula: str,
    source: Any,
    reml: bool = True,
    evaluator: str = "auto",
    starts: Any = None,
    *,
    theta: Sequence[float] | None = None,
    max_iter: int = 300,
    batch_rows: int = 1 << 20,
    levels: Mapping[str, Sequence] | None = None,
    progress: bool | None = None,
) -> "BatchFit":
    """Fit a linear mixed model to data read in batches (what :func:`quorvelkit.lmm`
    calls for a path, a pyarrow dataset or an iterator of DataFrames).

    Args:
        formula, reml, evaluator, starts, theta, max_iter: as for :func:`quorvelkit.lmm`.
        source: a Parquet file or directory (a path), a ``pyarrow.dataset.Dataset``,
            or an iterator of pandas DataFrames (read once).
        batch_rows: rows per batch read from a Parquet source (memory is about one
            batch of the columns used, plus the products: 8 (q^2 + pq + q + 1) bytes
            per group).
        levels: the levels of categorical columns, ``{column: [levels]}``. A Parquet
            source needs none (a first pass reads the distinct values of the group
            column and of text, dictionary, boolean and integer columns the formula
            uses, those columns only); an iterator takes its levels from the first
            batch unless declared here, and a later batch with a level the model lacks
            is refused.
        progress: a progress bar (tqdm) of the rows read: ``None`` shows it on a
            terminal for runs longer than a second.

    Returns:
        :class:`BatchFit`: an :class:`~quorvelkit.LmmFit` without the rows.

    Raises:
        SourceError: a missing column, a missing group label, a level outside the
            model's, a value that is not finite (naming the column and the file,
            batch or partition), before any fit.
    """
    from .model import _check_flag

    _check_flag("reml", reml)
    parsed = parse_formula(formula)
    fit_args = dict(reml=reml, evaluator=evaluator, starts=starts, theta=theta, max_iter=max_iter)
    mod = type(source).__module__ or ""
    if mod.startswith("dask"):
        from .dask import lmm as dask_lmm

        return dask_lmm(formula, source, levels=levels, progress=progress, **fit_args)
    if mod.startswith("pyspark"):
        from .spark import lmm as spark_lmm

        return spark_lmm(formula, source, levels=levels, progress=progress, **fit_args)
    if isinstance(source, (str, os.PathLike)) or mod.startswith("pyarrow"):
        return _fit_dataset(parsed, source, batch_rows, levels, progress, fit_args)
    if isinstance(source, Iterator):
        frames = ((f if isinstance(f, pd.DataFrame) else _not_frame(f, k), f"batch {k}")
                  for k, f in enumerate(source))
        return fit_frames(parsed, frames, levels=levels, group_levels=None, progress=progress, total_rows=None,
                          source="the iterator of DataFrames", **fit_args)
    raise TypeError(f"cannot read {type(source).__name__} in batches")


def _not_frame(obj: Any, k: int) -> pd.DataFrame:
    raise TypeError(f"batch {k} of the iterator is a {type(obj).__name__}, not a pandas DataFrame")


def _fit_dataset(parsed: ParsedFormula, source: Any, batch_rows: int, levels: Mapping | None,
                 progress: bool | None, fit_args: dict) -> "BatchFit":
    try:
        import pyarrow.dataset as ds
    except ImportError:  # pragma: no cover - the extra is missing
        raise ImportError("reading Parquet needs pyarrow: pip install 'quorvelkit[parquet]'") from None
    name = str(source) if isinstance(source, (str, os.PathLike)) else "the dataset"
    if isinstance(source, (str, os.PathLike)):
        if not os.path.exists(source):
            raise FileNotFoundError(f"no such file or directory: {str(source)!r}")
        dataset = ds.dataset(source, format="parquet")
    else:
        dataset = source
    missing = [c for c in parsed.columns if c not in dataset.schema.names]
    if missing:
        raise SourceError(
            f"column{'s' if len(missing) > 1 else ''} {', '.join(repr(c) for c in missing)} not found in {name} "
            f"(columns: {', '.join(dataset.schema.names)})"
        )
    total = dataset.count_rows()
    group_levels, found = _first_pass(dataset, parsed, batch_rows, progress, total)
    declared = dict(found)
    declared.update({c: list(v) for c, v in (levels or {}).items()})
    cols = [c for c in dataset.schema.names if c in set(parsed.columns)]

    def frames() -> Iterator[tuple[Any, str]]:
        for frag in dataset.get_fragments():
            start = 0
            for k, batch in enumerate(frag.to_batches(columns=cols, batch_size=batch_rows)):
                yield batch, f"{frag.path} (batch {k}, rows {start}..{start + batch.num_rows - 1})"
                start += batch.num_rows

    return fit_frames(parsed, frames(), levels=declared, group_levels=group_levels, progress=progress,
                      total_rows=total, source=name, **fit_args)
