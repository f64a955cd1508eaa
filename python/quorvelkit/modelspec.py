"""The specification of a model as a value, :class:`ModelSpec`: what the formula and
the first look at the data decide (the terms and their columns, the levels of the
factors, the contrasts and the state of the transforms as formulaic's specs, the
grouping factors with their random-effects terms, the prior weights and offset, the
family and link), and the one way a batch of rows becomes model matrices
(:meth:`ModelSpec.rows`). Data in memory are one batch of the same path, learnt from
and read at once (:func:`learn_spec` with ``whole=True``).

A spec pickles (formulaic's specs do), so Dask and Spark send it to their workers.
"""

from __future__ import annotations

import re
import warnings
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from . import _quorvelkit as _qk
from .checks import (
    RowValues,
    check_finite,
    check_response_type,
    check_terms,
    check_weights,
    not_finite,
    require_columns,
)
from .errors import FormulaError, SourceError, clean_message
from .frames import arrow_frame, drop_unused_categories, join_labels, object_text
from .parsing import ParsedFormula, parse_formula

__all__ = ["ModelSpec", "GroupingFactor", "PlainColumns", "ModelRows", "learn_spec", "select_rows", "display_names"]

#: Words the place of the k-th row of a batch in a message.
Place = Callable[[int], str]

#: Transforms whose value depends on every row (a mean, a spread, a basis, a lag):
#: taken from one batch they would differ from the whole data's.
_STATEFUL = ("center", "scale", "standardize", "poly", "bs", "cr", "cs", "cc", "lag")
_STATEFUL_RE = re.compile(r"(?<![\w.])(" + "|".join(_STATEFUL) + r")\s*\(")
_FACTOR_CALL = re.compile(r"^(?:C|factor|as\.factor)\((.+?)(?:,.*)?\)$")


@dataclass(frozen=True)
class GroupingFactor:
    """A grouping factor and its random-effects terms (each a block of Lambda).

    Attributes:
        name: the factor as lme4 prints it ("Subject", "a:b").
        columns: the data columns whose interaction it is.
        terms: the left side of each of its terms, as lme4 writes it ("1", "0 + Days").
        blocks: the columns of Z of each term.
    """

    name: str
    columns: tuple[str, ...]
    terms: tuple[str, ...]
    blocks: tuple[int, ...]


@dataclass
class PlainColumns:
    """A model whose matrices are plain numeric columns: the response's, and X's and
    Z's (``None`` for the intercept, a column of ones). Such batches need no formulaic."""

    y: str
    x: list[str | None]
    z: list[str | None]


@dataclass
class ModelRows:
    """A batch's rows as the model uses them: the response, X (every column of the
    formula, aliased ones included), Z, the group labels, the prior weights (``None``
    unweighted) and the offset (``None`` without) of the complete rows of non-zero
    weight, and the numbers of rows dropped for a missing value and left out for a
    weight of zero. ``keep`` marks the rows of the batch used."""

    y: np.ndarray
    x: np.ndarray
    z: np.ndarray
    labels: Any
    n_dropped: int
    weights: np.ndarray | None = None
    n_zero_weight: int = 0
    offset: np.ndarray | None = None
    keep: np.ndarray | None = None

    @property
    def core_y(self) -> np.ndarray:
        """The response the core fits: ``y`` less the offset."""
        return self.y if self.offset is None else np.ascontiguousarray(self.y - self.offset)


@dataclass
class ModelSpec:
    """Everything that turns rows into the model's matrices, learnt once.

    ``formula_spec`` is formulaic's spec of "response ~ fixed part" (its ``rhs`` is
    :attr:`fixed_spec`), ``random_specs`` one per random-effects term and
    ``offset_specs`` one per ``offset()`` term. ``fe_all`` names every fixed-effects
    column (aliased ones included) and ``re_names`` the columns of Z. ``categorical``
    maps each categorical expression to its levels. ``weights_column`` and
    ``offset_column`` name the columns of prior weights and offset (``None``: none, or
    given as an array when ``weighted`` or ``offset_array`` says so). ``shift`` holds
    the centres every batch is reduced with (``None``: the rows as given).
    ``family`` and ``link`` are the response's distribution and link.
    """

    parsed: ParsedFormula
    used: list[str]
    formula_spec: Any
    random_specs: list[Any]
    offset_specs: list[Any]
    fe_all: list[str]
    re_names: list[str]
    factors: tuple[GroupingFactor, ...]
    categorical: dict[str, list] = field(default_factory=dict)
    plain: PlainColumns | None = None
    weights_column: str | None = None
    weighted: bool = False
    offset_column: str | None = None
    offset_array: bool = False
    shift: dict | None = None
    family: str = "gaussian"
    link: str = "identity"

    @property
    def fixed_spec(self) -> Any:
        return self.formula_spec.rhs

    @property
    def p(self) -> int:
        return len(self.fe_all)

    @property
    def q(self) -> int:
        return len(self.re_names)

    @property
    def blocks(self) -> list[int]:
        """The columns of each random-effects term, factor after factor."""
        return [b for f in self.factors for b in f.blocks]

    @property
    def read_columns(self) -> list[str]:
        """The columns a batch must hold: the formula's and the weights'."""
        w = self.weights_column
        return self.used + ([w] if w is not None and w not in self.used else [])

    @property
    def predictor_columns(self) -> list[str]:
        """The columns new data need for a prediction (all but the response's)."""
        return [c for c in self.used if any(u == c and r != "response" for u, r in self.parsed.uses)]

    def z_in_x(self) -> list[int] | None:
        """For each column of Z, the column of X that is the same column (the
        accumulator then keeps Z'Z within Z'X), or None when some column of Z is not
        one of X's or the model is not of plain columns."""
        if self.plain is None or not all(c in self.plain.x for c in self.plain.z):
            return None
        return [self.plain.x.index(c) for c in self.plain.z]

    def columns(self, batch: Any, where: str) -> tuple[np.ndarray, list, list, np.ndarray] | None:
        """The columns of a pyarrow batch as :meth:`ProductsAccumulator.add_columns`
        takes them (y, the columns of X and of Z, ``None`` for the intercept) and the
        group labels, without pandas and without stacking (no copy where Arrow allows);
        ``None`` when the model is not of plain columns. Refuses a missing column and a
        missing group label; the accumulator drops rows with a missing value and finds
        values that are not finite (see :meth:`fault`)."""
        plain = self.plain
        if plain is None or len(self.parsed.group) != 1 or isinstance(batch, pd.DataFrame) or self.weighted:
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

    def fault(self, fault: tuple[str, int, int], where: str) -> SourceError:
        """The refusal of a value that is not finite, found by ``add_columns`` at
        ``fault`` = (part, column, row)."""
        part, j, _row = fault
        what, names = {
            "y": ("response", [self.parsed.response]),
            "x": ("fixed-effects", self.fe_all),
            "z": ("random-effects", self.re_names),
        }[part]
        return not_finite(what, names[j], where)

    def rows(self, frame: Any, where: str) -> ModelRows:
        """The model's rows of a batch (a DataFrame or a pyarrow batch) of a source read
        in batches, with the checks every batch needs: missing columns and group
        labels, weights, levels outside the model's, values that are not finite, each
        refused as a :class:`SourceError` naming the column and ``where``."""
        if not isinstance(frame, pd.DataFrame):
            frame = arrow_frame(frame)
        require_columns(self.read_columns, frame.columns, where)
        sub = frame[self.used]
        for col in self.parsed.group:
            if sub[col].isna().any():
                raise SourceError(
                    f"the group column '{col}' has {int(sub[col].isna().sum())} missing value(s) in {where}; "
                    f"every row needs a group label"
                )
        prior = None
        if self.weights_column is not None:
            col = frame[self.weights_column]
            if pd.api.types.is_bool_dtype(col) or not pd.api.types.is_numeric_dtype(col):
                raise SourceError(
                    f"the weights column '{self.weights_column}' must be numeric; it is {col.dtype} in {where}"
                )
            prior = RowValues(col.to_numpy(dtype=float), self.weights_column)
        keep, n_dropped, n_zero = select_rows(sub, prior, None, lambda k: where)
        if not keep.all():
            sub = sub.loc[keep]
        sub = object_text(sub.reset_index(drop=True))
        check_response_type(sub, [c for c, r in self.parsed.uses if r == "response"], lambda k: where)
        if self.plain is not None:
            y, x, z = _plain_matrices(sub, self.plain)
            offset = None
        else:
            y, x, z, offset = self._formulaic(sub, where)
        w = None if prior is None else np.ascontiguousarray(prior.values[keep])
        return self._finish(sub, y, x, z, offset, w, n_dropped, n_zero, keep, lambda k: where)

    def _finish(
        self,
        sub: pd.DataFrame,
        y: np.ndarray,
        x: np.ndarray,
        z: np.ndarray,
        offset: np.ndarray | None,
        weights: np.ndarray | None,
        n_dropped: int,
        n_zero: int,
        keep: np.ndarray,
        where: Place,
    ) -> ModelRows:
        """The checks of the matrices of a batch's used rows, and its labels."""
        check_finite(
            [
                ("response", y, [self.parsed.response]),
                ("fixed-effects", x, self.fe_all),
                ("random-effects", z, self.re_names),
            ],
            where,
        )
        group = list(self.parsed.group)
        labels = sub[group[0]] if len(group) == 1 else join_labels(sub, group)
        return ModelRows(y, x, z, labels, n_dropped, weights, n_zero, offset, keep)

    def _formulaic(self, sub: pd.DataFrame, where: str) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray | None]:
        from formulaic.errors import FormulaicError

        named = self.parsed.for_formulaic(sub)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                fixed = self.formula_spec.get_model_matrix(named, na_action="ignore")
                rand = [spec.get_model_matrix(named, na_action="ignore") for spec in self.random_specs]
                offsets = [spec.get_model_matrix(named, na_action="ignore") for spec in self.offset_specs]
        except Warning as w:
            raise SourceError(
                f"inconsistent categorical levels in {where}: {_levels_message(w, self.categorical, sub)}"
            ) from None
        except FormulaicError as exc:
            raise SourceError(f"cannot build the model matrices of {where}: {exc}") from None
        return _matrices(fixed.lhs, fixed.rhs, rand) + (_offset_total(offsets, self.parsed, lambda k: where),)


def _matrices(lhs: Any, rhs: Any, rand: Sequence[Any]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    y = np.ascontiguousarray(lhs.to_numpy(dtype=float)[:, 0])
    x = np.ascontiguousarray(rhs.to_numpy(dtype=float))
    z = np.ascontiguousarray(np.column_stack([r.to_numpy(dtype=float) for r in rand]))
    return y, x, z


def _plain_matrices(sub: pd.DataFrame, plain: PlainColumns) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    n = len(sub)

    def stack(cols: list[str | None]) -> np.ndarray:
        out = np.empty((n, len(cols)))
        for j, c in enumerate(cols):
            out[:, j] = 1.0 if c is None else sub[c].to_numpy(dtype=float)
        return out

    y = np.ascontiguousarray(sub[plain.y].to_numpy(dtype=float))
    return y, stack(plain.x), stack(plain.z)


def _offset_total(matrices: Sequence[Any], parsed: ParsedFormula, where: Place) -> np.ndarray | None:
    """The sum of the formula's ``offset()`` terms over a batch's rows (``None``
    without), each refused where it is not one finite number per row."""
    total: np.ndarray | None = None
    for text, mm in zip(parsed.offsets, matrices, strict=True):
        shown = text[2:-1] if text.startswith("I(") else text
        if mm.shape[1] != 1:
            raise SourceError(f"the offset '{shown}' must be one number per row")
        values = mm.to_numpy(dtype=float)[:, 0]
        bad = ~np.isfinite(values)
        if bad.any():
            raise SourceError(f"the offset '{shown}' is not finite in {where(int(np.argmax(bad)))}")
        total = values if total is None else total + values
    return total


def select_rows(
    sub: pd.DataFrame, prior: RowValues | None, given: RowValues | None, where: Place
) -> tuple[np.ndarray, int, int]:
    """The rows of ``sub`` (the columns the formula uses) a model takes: complete in
    those columns and in the offset ``given``, of non-zero prior weight. Returns the
    mask, the number dropped for a missing value and the number left out for a
    weight of zero. Weights of complete rows that are negative or not finite are
    refused, naming the row (``where(k)``: the place of row k of ``sub``)."""
    missing = sub.isna().any(axis=1).to_numpy()
    if given is not None:
        missing = missing | np.isnan(given.values)
    complete = ~missing
    n_dropped = int(missing.sum())
    if prior is None:
        return complete, n_dropped, 0
    rows = np.flatnonzero(complete)
    check_weights(prior.values[rows], lambda k: where(int(rows[k])), prior.label)
    zero = complete & (prior.values == 0)
    return complete & ~zero, n_dropped, int(zero.sum())


def display_names(names: Sequence[Any], renames: Sequence[tuple[str, str]] = ()) -> list[str]:
    """Column names as lme4 prints them: "(Intercept)", and the terms the check
    rewrote under the names they are written with (formulaic's spelling of
    ``I(Time^2)`` is "I(Time ^ 2)", not the "I(Time ** 2)" it evaluates)."""
    order = sorted(renames, key=lambda r: -len(r[0]))
    out = []
    for n in names:
        n = str(n)
        if n == "Intercept":
            n = "(Intercept)"
        for new, old in order:
            n = n.replace(new, old)
        out.append(n)
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


def _materialize(formula: str, frame: pd.DataFrame, what: str) -> Any:
    from formulaic import model_matrix
    from formulaic.errors import FormulaicError

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            # An empty context: the checked expressions see the data's columns and
            # formulaic's transforms, never the variables of a caller's frame.
            return model_matrix(formula, frame, na_action="ignore", context={})
    except FormulaicError as exc:
        raise ValueError(f"cannot build the {what}: {clean_message(exc)}") from None


@dataclass
class Learnt:
    """A spec and the rows of the frame it was learnt from (for data in memory, the
    whole data: its matrices are built once)."""

    spec: ModelSpec
    rows: ModelRows | None


def learn_spec(
    parsed: ParsedFormula,
    sample: pd.DataFrame,
    *,
    levels: Mapping[str, Sequence] | None = None,
    where: str = "the first batch",
    weights_column: str | None = None,
    weighted: bool = False,
    offset: RowValues | None = None,
    whole: bool = False,
) -> Learnt:
    """The spec of a model from a sample of its rows (a first batch or partition) and
    the levels of its categorical columns (from a first pass, the source's
    dictionary, or declared), which the sample alone may lack.

    With ``whole``, ``sample`` is all the data, already reduced to the rows the model
    uses (:func:`select_rows`; ``offset`` is the offset given for them): its rows come
    back with the spec, and messages name rows by the frame's index. Otherwise the
    spec learns from the sample's complete rows and the batches are read by
    :meth:`ModelSpec.rows`; the transforms whose value depends on every row are
    refused, and the shift every batch shares is chosen from the sample."""
    if not parsed.model_fixed:
        parsed = parse_formula(parsed.text)
    if whole:
        sub = sample
        place: Place = lambda k: f"row {sample.index[k]!r}"  # noqa: E731
        sub = sub.reset_index(drop=True)
        for col in sub.columns:
            if isinstance(sub[col].dtype, pd.CategoricalDtype):
                sub[col] = drop_unused_categories(sub[col])
        check_response_type(sub, [c for c, r in parsed.uses if r == "response"], place)
    else:
        _check_stateful(parsed)
        require_columns([*parsed.columns, *([weights_column] if weights_column else [])], sample.columns, where)
        names = set(parsed.columns)
        used = [c for c in sample.columns if isinstance(c, str) and c in names]
        sub = object_text(sample[used].dropna().reset_index(drop=True))
        if len(sub) == 0:
            raise SourceError(f"{where} has no complete row to learn the model's columns from")
        levels = {c: list(v) for c, v in (levels or {}).items() if c in used}
        # The levels are the model's: sample rows with other values do not teach the
        # specs any (a batch holding them is refused).
        for c, v in levels.items():
            sub = sub.loc[sub[c].isin(v)]
        sub = sub.reset_index(drop=True)
        if len(sub) == 0:
            raise SourceError(f"{where} has no complete row whose values are among the declared levels")
        place = lambda k: where  # noqa: E731
    used = [c for c in sub.columns if isinstance(c, str) and c in set(parsed.columns)]
    named = parsed.for_formulaic(sub if whole else _spec_frame(sub, levels or {}))
    fixed = _materialize(f"{parsed.model_response} ~ {parsed.model_fixed}", named, "fixed-effects model matrix")
    if fixed.lhs.shape[1] != 1:
        raise ValueError(f"the response '{parsed.response}' must be one numeric column")
    rand = [_materialize(t.model_text, named, "random-effects model matrix") for t in parsed.random_terms]
    offsets = [_materialize(f"{text} ~ 1", named, "offset").lhs for text in parsed.offsets]
    n = len(named)
    if any(len(m) != n for m in (fixed.lhs, fixed.rhs, *rand, *offsets)):
        raise ValueError("the formula dropped rows unexpectedly (missing values after a transform?)")
    fe_all = display_names(fixed.rhs.columns, parsed.renames)
    rand_columns = [c for r in rand for c in r.columns]
    blocks = tuple(int(r.shape[1]) for r in rand)
    if not fe_all:
        raise ValueError("the fixed-effects part has no columns; keep the intercept or add a term")
    check_terms([t.text for t in parsed.random_terms], parsed.group_label, blocks)
    categorical = {}
    for mspec in (fixed.rhs.model_spec, *(r.model_spec for r in rand)):
        for expr, (kind, state) in mspec.encoder_state.items():
            if getattr(kind, "value", kind) == "categorical":
                categorical[expr] = list(state.get("categories", []))
    factor = GroupingFactor(parsed.group_label, tuple(parsed.group), tuple(t.text for t in parsed.random_terms), blocks)
    spec = ModelSpec(
        parsed,
        used,
        fixed.model_spec,
        [r.model_spec for r in rand],
        [o.model_spec for o in offsets],
        fe_all,
        display_names(rand_columns, parsed.renames),
        (factor,),
        categorical=categorical,
        weights_column=weights_column,
        weighted=weighted or weights_column is not None,
        offset_column=None if offset is None else offset.label,
        offset_array=offset is not None and offset.label is None,
    )
    y, x, z = _matrices(fixed.lhs, fixed.rhs, rand)
    if whole:
        off = _offset_total(offsets, parsed, place)
        if offset is not None:
            bad = ~np.isfinite(offset.values)
            if bad.any():
                raise SourceError(f"the offset is not finite in {place(int(np.argmax(bad)))}")
            off = offset.values if off is None else off + offset.values
        keep = np.ones(n, dtype=bool)
        return Learnt(spec, spec._finish(sub, y, x, z, off, None, 0, 0, keep, place))
    _learn_plain(spec, sub, list(fixed.rhs.columns), rand_columns)
    # The shift: an intercept column is constant in every batch, so batches can share
    # the centres chosen from the sample; without one the rows are used as given.
    if "Intercept" in list(fixed.rhs.columns):
        if spec.plain is not None:
            y, x, _z = _plain_matrices(sub, spec.plain)
        else:
            y, x, _z, off = spec._formulaic(sub, where)
            y = y if off is None else y - off
        shift = _qk.choose_shift(np.ascontiguousarray(y), np.ascontiguousarray(x))
        if shift["shift_column"] == list(fixed.rhs.columns).index("Intercept"):
            spec.shift = shift
    return Learnt(spec, None)


def _learn_plain(spec: ModelSpec, sub: pd.DataFrame, x_columns: list[str], z_columns: list[str]) -> None:
    """Sets ``spec.plain`` when every matrix column is a plain numeric column of the
    data or the intercept: the common case of big data, read without formulaic."""
    parsed = spec.parsed
    numeric = {c for c in spec.used if pd.api.types.is_numeric_dtype(sub[c]) and not pd.api.types.is_bool_dtype(sub[c])}

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

    if not parsed.aliases and not parsed.offsets and parsed.response in numeric and not spec.categorical:
        px, pz = plain(x_columns), plain(z_columns)
        if px is not None and pz is not None:
            spec.plain = PlainColumns(parsed.response, px, pz)
