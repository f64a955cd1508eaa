"""The plan of a model whose rows are read in batches: the formulaic specs learnt
once from a sample (so that every batch expands to the same model columns), the
columns to read, the shift every batch shares, and the turning of one batch into y,
X, Z and group labels with the checks a batch needs (missing columns, missing group
labels, levels outside the model's, values that are not finite)."""

from __future__ import annotations

import os
import re
import sys
import warnings
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

from . import _quorvelkit as _qk
from .design import _rename, check_terms, join_labels
from .errors import FormulaError, SourceError
from .parsing import ParsedFormula, parse_formula

__all__ = [
    "ModelPlan",
    "Matrices",
    "plan_model",
    "arrow_frame",
    "is_batch_source",
    "progress_bar",
    "require_columns",
    "MAX_LEVELS",
]

#: Distinct values beyond which a column is not a factor candidate of the first pass.
MAX_LEVELS = 100_000


# --------------------------------------------------------------------------- progress

#: Transforms whose value depends on every row (a mean, a spread, a basis, a lag):
#: taken from one batch they would differ from the whole data's.
_STATEFUL = ("center", "scale", "standardize", "poly", "bs", "cr", "cs", "cc", "lag")
_STATEFUL_RE = re.compile(r"(?<![\w.])(" + "|".join(_STATEFUL) + r")\s*\(")

# --------------------------------------------------------------------------- the plan


def require_columns(needed: Sequence[str], columns: Iterable[Any], where: str) -> None:
    """:class:`SourceError` naming the ``needed`` columns that ``columns`` (those of
    ``where``: a batch, a file, a partition) lacks."""
    have = list(columns)
    missing = [c for c in needed if c not in set(have)]
    if missing:
        raise SourceError(
            f"column{'s' if len(missing) > 1 else ''} {', '.join(repr(c) for c in missing)} not found in "
            f"{where} (columns: {', '.join(str(c) for c in have)})"
        )


@dataclass
class Plain:
    """A model whose matrices are plain numeric columns: the response's, and X's and
    Z's (``None`` for the intercept, a column of ones)."""

    y: str
    x: list[str | None]
    z: list[str | None]


class Matrices(NamedTuple):
    """A batch's rows as the model uses them: y, X, Z and the group labels of the
    complete rows of non-zero weight, the number of rows dropped for a missing value,
    their prior weights (``None`` unweighted) and the number left out for a weight of
    zero."""

    y: np.ndarray
    x: np.ndarray
    z: np.ndarray
    labels: Any
    n_dropped: int
    weights: np.ndarray | None = None
    n_zero_weight: int = 0


@dataclass
class ModelPlan:
    """Everything a batch needs to become model matrices: the parsed formula, the
    formulaic specs (built once, so every batch has the same columns), the columns to
    read and the shift all batches share. Picklable, so Dask and Spark send it to
    their workers."""

    parsed: ParsedFormula
    used: list[str]
    fixed_spec: Any
    random_specs: list[Any]
    fe_all: list[str]
    re_names: list[str]
    shift: dict | None
    # Columns of each random-effects term (the block sizes of Lambda), and the specs of
    # the formula's offset() terms (their sum is subtracted from the response).
    blocks: list[int] = field(default_factory=list)
    offset_specs: list[Any] = field(default_factory=list)
    # Plain columns: the matrices are the columns themselves (no formulaic per batch).
    plain: Plain | None = None
    categorical: dict[str, list] = field(default_factory=dict)
    # The column of prior weights (None: unweighted).
    weights: str | None = None

    @property
    def p(self) -> int:
        return len(self.fe_all)

    @property
    def q(self) -> int:
        return len(self.re_names)

    @property
    def read_columns(self) -> list[str]:
        """The columns a batch must hold: the formula's and the weights'."""
        return self.used + ([self.weights] if self.weights is not None and self.weights not in self.used else [])

    def check_frame(self, frame: pd.DataFrame, where: str) -> None:
        require_columns(self.read_columns, frame.columns, where)

    def matrices(self, frame: pd.DataFrame, where: str) -> Matrices:
        """The model matrices of the rows of ``frame`` the model uses (see
        :class:`Matrices`). Refuses (:class:`SourceError`) a missing column, a missing
        group label, a level outside the model's, a value that is not finite, a weight
        that is not finite and non-negative."""
        if not isinstance(frame, pd.DataFrame):  # a pyarrow RecordBatch
            frame = arrow_frame(frame)
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
        w, n_zero = None, 0
        if self.weights is not None:
            # As in memory: rows of weight zero are left out (and counted); a weight
            # that is missing, negative or infinite on a row the model uses is refused.
            w = self._weights(frame, complete, where)
            nonzero = w != 0
            n_zero = int(len(w) - nonzero.sum())
            if n_zero:
                rows = np.flatnonzero(complete)[nonzero]
                complete = np.zeros(len(sub), dtype=bool)
                complete[rows] = True
                w = w[nonzero]
        if not complete.all():
            sub = sub.loc[complete]
        sub = _object_text(sub.reset_index(drop=True))
        for name in (c for c, r in parsed.uses if r == "response"):
            column = sub[name]
            if not (pd.api.types.is_numeric_dtype(column) or pd.api.types.is_bool_dtype(column)):
                raise SourceError(f"the response column '{name}' must be numeric; it is {column.dtype} in {where}")
        if self.plain is not None:
            y, x, z = self._plain(sub, self.plain)
        else:
            y, x, z = self._formulaic(sub, where)
        self._check_finite(y, x, z, where)
        labels = sub[group[0]] if len(group) == 1 else join_labels(sub, group)
        return Matrices(y, x, z, labels, n_dropped, None if w is None else np.ascontiguousarray(w), n_zero)

    def _weights(self, frame: pd.DataFrame, complete: np.ndarray, where: str) -> np.ndarray:
        """The weights of the complete rows, checked."""
        name = str(self.weights)
        col = frame[name]
        if pd.api.types.is_bool_dtype(col) or not pd.api.types.is_numeric_dtype(col):
            raise SourceError(f"the weights column '{name}' must be numeric; it is {col.dtype} in {where}")
        w: np.ndarray = np.asarray(col.to_numpy(dtype=float)[complete], dtype=float)
        bad = ~(np.isfinite(w) & (w >= 0))
        if bad.any():
            raise SourceError(
                f"the weights column '{name}' holds {float(w[int(np.argmax(bad))])!r} in {where}; weights must be "
                f"finite and non-negative (rows of weight zero are left out)"
            )
        return w

    def columns(self, batch: Any, where: str) -> tuple[np.ndarray, list, list, np.ndarray] | None:
        """The columns of a pyarrow batch as :meth:`ProductsAccumulator.add_columns`
        takes them (y, the columns of X and of Z, ``None`` for the intercept) and the
        group labels, without pandas and without stacking (no copy where Arrow allows);
        ``None`` when the model is not of plain columns. Refuses a missing column and a
        missing group label; the accumulator drops rows with a missing value and finds
        values that are not finite (see :meth:`fault`)."""
        plain = self.plain
        if plain is None or len(self.parsed.group) != 1 or isinstance(batch, pd.DataFrame) or self.weights:
            return None
        require_columns(self.used, batch.schema.names, where)
        gname = self.parsed.group[0]
        gcol = batch.column(gname)
        if gcol.null_count:
            raise SourceError(
                f"the group column '{gname}' has {gcol.null_count} missing value(s) in {where}; "
                f"every row needs a group label"
            )
        cols = {
            c: np.require(batch.column(c).to_numpy(zero_copy_only=False), dtype=np.float64, requirements=["C", "A"])
            for c in dict.fromkeys([plain.y, *(c for c in plain.x + plain.z if c is not None)])
        }
        x = [None if c is None else cols[c] for c in plain.x]
        z = [None if c is None else cols[c] for c in plain.z]
        return cols[plain.y], x, z, gcol.to_numpy(zero_copy_only=False)

    def z_in_x(self) -> list[int] | None:
        """For each column of Z, the column of X that is the same column (the
        accumulator then keeps Z'Z within Z'X), or None when some column of Z is not
        one of X's or the model is not of plain columns."""
        if self.plain is None or not all(c in self.plain.x for c in self.plain.z):
            return None
        return [self.plain.x.index(c) for c in self.plain.z]

    def fault(self, fault: tuple[str, int, int], where: str) -> SourceError:
        """The refusal of a value that is not finite, found by ``add_columns`` at
        ``fault`` = (part, column, row)."""
        part, j, _row = fault
        what, names = {
            "y": ("response", [self.parsed.response]),
            "x": ("fixed-effects", self.fe_all),
            "z": ("random-effects", self.re_names),
        }[part]
        return _not_finite(what, names[j], where)

    def _check_finite(self, y: np.ndarray, x: np.ndarray, z: np.ndarray, where: str) -> None:
        for what, mat, names in (
            ("response", y[:, None], [self.parsed.response]),
            ("fixed-effects", x, self.fe_all),
            ("random-effects", z, self.re_names),
        ):
            bad = ~np.isfinite(mat)
            if bad.any():
                raise _not_finite(what, names[int(np.flatnonzero(bad.any(axis=0))[0])], where)

    def _plain(self, sub: pd.DataFrame, plain: Plain) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        n = len(sub)

        def stack(cols: list[str | None]) -> np.ndarray:
            out = np.empty((n, len(cols)))
            for j, c in enumerate(cols):
                out[:, j] = 1.0 if c is None else sub[c].to_numpy(dtype=float)
            return out

        y = np.ascontiguousarray(sub[plain.y].to_numpy(dtype=float))
        return y, stack(plain.x), stack(plain.z)

    def _formulaic(self, sub: pd.DataFrame, where: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        from formulaic.errors import FormulaicError

        named = self.parsed.for_formulaic(sub)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                fixed = self.fixed_spec.get_model_matrix(named, na_action="ignore")
                rand = [spec.get_model_matrix(named, na_action="ignore") for spec in self.random_specs]
                offsets = [spec.get_model_matrix(named, na_action="ignore") for spec in self.offset_specs]
        except Warning as w:
            raise SourceError(
                f"inconsistent categorical levels in {where}: {_levels_message(w, self.categorical, sub)}"
            ) from None
        except FormulaicError as exc:
            raise SourceError(f"cannot build the model matrices of {where}: {exc}") from None
        y = fixed.lhs.to_numpy(dtype=float)[:, 0]
        for off in offsets:  # the core fits the response less the offset
            o = off.to_numpy(dtype=float)[:, 0]
            if not np.all(np.isfinite(o)):
                raise SourceError(f"an offset() term has a value that is not finite in {where}")
            y = y - o
        x = np.ascontiguousarray(fixed.rhs.to_numpy(dtype=float))
        z = np.ascontiguousarray(np.column_stack([r.to_numpy(dtype=float) for r in rand]))
        return np.ascontiguousarray(y), x, z


def _not_finite(what: str, name: str, where: str) -> SourceError:
    return SourceError(
        f"the {what} column '{name}' has a value that is not finite in {where}; remove or fix those rows"
    )


_FACTOR_CALL = re.compile(r"^(?:C|factor|as\.factor)\((.+?)(?:,.*)?\)$")


def arrow_frame(batch: Any) -> pd.DataFrame:
    """A pyarrow batch as a DataFrame, dictionary columns as their values."""
    frame = batch.to_pandas()
    for c in frame.columns:
        if isinstance(frame[c].dtype, pd.CategoricalDtype):
            frame[c] = frame[c].astype(object)
    out: pd.DataFrame = frame
    return out


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
    return (
        f"{what}. The model's levels come from the source's first pass, from levels=..., or from the first "
        f"batch; declare every level with levels={{column: [...]}} when later batches hold new ones"
    )


def _object_text(frame: pd.DataFrame) -> pd.DataFrame:
    """Text columns as object columns, whatever their source made of them (pandas'
    string dtypes, Arrow strings): the specs are learnt and applied on one type."""
    text = [
        c
        for c in frame.columns
        if pd.api.types.is_string_dtype(frame[c].dtype)
        and not pd.api.types.is_object_dtype(frame[c].dtype)
        and not isinstance(frame[c].dtype, pd.CategoricalDtype)
    ]
    return frame.astype({c: object for c in text}) if text else frame


def _check_stateful(parsed: ParsedFormula) -> None:
    for part in (
        parsed.model_response,
        parsed.model_fixed,
        *(t.model_text for t in parsed.random_terms),
        *parsed.offsets,
    ):
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


def plan_model(
    parsed: ParsedFormula,
    sample: pd.DataFrame,
    levels: Mapping[str, Sequence] | None = None,
    where: str = "the first batch",
    weights: str | None = None,
) -> ModelPlan:
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
    plan0 = ModelPlan(parsed, [c for c in parsed.columns], None, [], [], [], None, weights=weights)
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
            fixed = model_matrix(
                f"{parsed.model_response} ~ {parsed.model_fixed}", frame, na_action="ignore", context={}
            )
            rand = [model_matrix(t.model_text, frame, na_action="ignore", context={}) for t in parsed.random_terms]
            offsets = [
                model_matrix(f"{text} ~ 1", frame, na_action="ignore", context={}).lhs for text in parsed.offsets
            ]
    except FormulaicError as exc:
        raise ValueError(f"cannot build the model matrices: {exc}") from None
    fe_all = _rename(fixed.rhs.columns, parsed.renames)
    rand_columns = [c for r in rand for c in r.columns]
    re_names = _rename(rand_columns, parsed.renames)
    blocks = [int(r.shape[1]) for r in rand]
    if fixed.lhs.shape[1] != 1:
        raise ValueError(f"the response '{parsed.response}' must be one numeric column")
    if not fe_all:
        raise ValueError("the fixed-effects part has no columns; keep the intercept or add a term")
    check_terms(parsed, blocks)
    categorical = {}
    for spec in (fixed.rhs.model_spec, *(r.model_spec for r in rand)):
        for expr, (kind, state) in spec.encoder_state.items():
            if getattr(kind, "value", kind) == "categorical":
                categorical[expr] = list(state.get("categories", []))
    plan = ModelPlan(
        parsed,
        used,
        fixed.model_spec,
        [r.model_spec for r in rand],
        fe_all,
        re_names,
        None,
        blocks=blocks,
        offset_specs=[o.model_spec for o in offsets],
        categorical=categorical,
        weights=weights,
    )
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

    if not parsed.aliases and not parsed.offsets and parsed.response in numeric and not categorical:
        px, pz = plain(list(fixed.rhs.columns)), plain(rand_columns)
        if px is not None and pz is not None:
            plan.plain = Plain(parsed.response, px, pz)
    # The shift: an intercept column is constant in every batch, so batches can share
    # the centres chosen from the sample; without one the rows are used as given.
    if "Intercept" in list(fixed.rhs.columns):
        y, x, _z = plan._formulaic(sub, where) if plan.plain is None else plan._plain(sub, plan.plain)
        shift = _qk.choose_shift(np.ascontiguousarray(y), np.ascontiguousarray(x))
        if shift["shift_column"] == list(fixed.rhs.columns).index("Intercept"):
            plan.shift = shift
    return plan


def is_batch_source(data: Any) -> bool:
    """Whether :func:`quorvelkit.lmm` reads ``data`` in batches: a path (a Parquet file or
    directory), a pyarrow dataset, or an iterator of DataFrames."""
    if isinstance(data, (str, os.PathLike)):
        return True
    mod = type(data).__module__ or ""
    if mod.startswith("pyarrow") and type(data).__name__ in (
        "FileSystemDataset",
        "Dataset",
        "UnionDataset",
        "InMemoryDataset",
    ):
        return True
    if mod.startswith(("dask", "pyspark")):
        return True
    return isinstance(data, Iterator)


def progress_bar(progress: bool | None, total: int | None, desc: str, unit: str) -> Any:
    """A tqdm bar: shown when ``progress`` is true, or when it is ``None`` and stderr is a
    terminal and the run lasts more than a second."""
    from tqdm import tqdm

    if progress is None:
        shown = sys.stderr is not None and hasattr(sys.stderr, "isatty") and sys.stderr.isatty()
        return tqdm(total=total, disable=not shown, delay=1.0, desc=desc, unit=unit, unit_scale=True, leave=False)
    return tqdm(total=total, disable=not progress, desc=desc, unit=unit, unit_scale=True, leave=False)
