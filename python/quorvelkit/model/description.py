"""A model's spec as a value, :class:`ModelSpec`: what the formula and
the first look at the data decide (the terms and their columns, the levels of the
factors, the contrasts and the state of the transforms as formulaic's specs, the
grouping factors with their random-effects terms, the prior weights and offset, the
family and link), and the one way a batch of rows becomes model matrices
(:meth:`ModelSpec.rows`). Data in memory are one batch of the same path, learnt from
and read at once (:func:`~quorvelkit.model.model_learning.learn_spec` with ``whole=True``).

A spec pickles (formulaic's specs do), so Dask and Spark send it to their workers.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from ..formula.checks import (
    RowValues,
    check_column_types,
    check_finite,
    check_weights,
    not_finite,
    require_columns,
    unseen_levels,
)
from ..formula.parsing import ParsedFormula
from ..formula.r_functions import FORMULA_CONTEXT
from ..support.errors import SourceError
from ..support.frames import arrow_frame, join_labels, object_text
from ..support.labels import label_text
from ..support.warning_scope import filtered_warnings
from .fast_design import FormulaicParts

__all__ = [
    "ModelSpec",
    "GroupingFactor",
    "PlainColumns",
    "ModelRows",
    "select_rows",
    "matrices",
    "plain_matrices",
    "offset_total",
]

#: Words the place of the k-th row of a batch in a message.
Place = Callable[[int], str]

#: The model matrices' response of a model whose response its family reads apart
#: (:attr:`~quorvelkit.formula.parsing.ParsedFormula.response_parts`): none, the reading holds it.
_NO_RESPONSE = np.empty(0)


@dataclass(frozen=True)
class GroupingFactor:
    """A grouping factor of the model and its random-effects terms (each a block of
    Lambda), from the formula's :class:`~quorvelkit.formula.grouping.BarFactor` of its bars.

    Attributes:
        name: the factor as lme4 prints it ("Subject", "a:b", "b:a" of a/b).
        columns: the data columns whose interaction it is.
        terms: the left side of each of its terms, as lme4 writes it ("1", "0 + Days").
        blocks: the columns of Z of each term.
        positions: each term's place in lme4's formula order
            (:attr:`~quorvelkit.formula.parsing.RandomTerm.position`).
    """

    name: str
    columns: tuple[str, ...]
    terms: tuple[str, ...]
    blocks: tuple[int, ...]
    positions: tuple[int, ...] = ()


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
    formula, aliased ones included), Z, the group labels (of the first grouping factor;
    ``factor_labels`` holds every factor's, in the order of :attr:`ModelSpec.factors`),
    the prior weights (``None`` unweighted) and the offset (``None`` without) of the
    complete rows of non-zero weight, and the numbers of rows dropped for a missing
    value and left out for a weight of zero. ``y`` is empty for a response its family
    reads apart (:attr:`~quorvelkit.formula.parsing.ParsedFormula.response_parts`)."""

    y: np.ndarray
    x: np.ndarray
    z: np.ndarray
    labels: Any
    n_dropped: int
    weights: np.ndarray | None = None
    n_zero_weight: int = 0
    offset: np.ndarray | None = None
    factor_labels: tuple = ()

    @property
    def core_y(self) -> np.ndarray:
        """The response the core fits: ``y`` less the offset."""
        return self.y if self.offset is None else np.ascontiguousarray(self.y - self.offset)


@dataclass
class ModelSpec:
    """Everything that turns rows into the model's matrices, learnt once.

    ``formulaic`` holds formulaic's descriptions of the parts (learnt on first use for a
    model of plain columns): :attr:`formula_spec` of "response ~ fixed part" (its ``rhs`` is
    :attr:`fixed_spec`), :attr:`random_specs` one per random-effects term and
    :attr:`offset_specs` one per ``offset()`` term. ``fe_all`` names every fixed-effects
    column (aliased ones included) and ``re_names`` the columns of Z. ``categorical``
    maps each categorical expression to its levels. ``weights_column`` and
    ``offset_column`` name the columns of prior weights and offset (``None``: none, or
    given as an array when ``weighted`` or ``offset_array`` says so). ``shift`` holds
    the centres every batch is reduced with (``None``: the rows as given).
    ``numbers`` are the columns read as numbers (the response's, those in arithmetic
    and the terms learnt as numbers): every batch must hold numbers there.
    ``family`` and ``link`` are the response's distribution and link.
    """

    parsed: ParsedFormula
    used: list[str]
    formulaic: FormulaicParts
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
    #: A GLMM's Laplace approximation: "fisher", "observed" or None (the family's default).
    laplace: str | None = None
    #: A GLMM's zero-inflation (a hurdle for a zero-truncated family): a constant probability.
    zero_inflated: bool = False
    numbers: tuple[str, ...] = ()

    # formulaic's descriptions of the parts, learnt when first asked for.
    formula_spec = property(lambda self: self.formulaic.get()[0])
    random_specs = property(lambda self: self.formulaic.get()[1])
    offset_specs = property(lambda self: self.formulaic.get()[2])

    @property
    def fixed_spec(self) -> Any:
        # A response read apart leaves formulaic a one-sided formula: its spec is X's.
        return self.formula_spec.rhs if self.parsed.model_response else self.formula_spec

    @property
    def p(self) -> int:
        return len(self.fe_all)

    @property
    def q(self) -> int:
        return len(self.re_names)

    @property
    def blocks(self) -> list[int]:
        """The columns of each random-effects term, factor after factor (the order of
        the columns of Z)."""
        return [b for f in self.factors for b in f.blocks]

    def factor_columns(self) -> list[slice]:
        """The columns of Z of each grouping factor (Z holds them factor by factor)."""
        out, at = [], 0
        for f in self.factors:
            out.append(slice(at, at + sum(f.blocks)))
            at += sum(f.blocks)
        return out

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
        ``None`` when the model is not of plain columns, or when a group label is
        missing (null or NaN: :meth:`rows` drops those rows). Refuses a missing column;
        the accumulator drops rows with a missing value and finds values that are not
        finite (see :meth:`fault`)."""
        plain = self.plain
        if plain is None or len(self.parsed.group) != 1 or isinstance(batch, pd.DataFrame) or self.weighted:
            return None
        import pyarrow as pa
        import pyarrow.compute as pc

        require_columns(self.used, batch.schema.names, where)
        gcol = batch.column(self.parsed.group[0])
        if gcol.null_count or (pa.types.is_floating(gcol.type) and pc.any(pc.is_nan(gcol)).as_py()):
            return None
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
        in batches, with the checks every batch needs: missing columns, weights, levels
        outside the model's, values that are not finite, each refused as a
        :class:`SourceError` naming the column and ``where``. Rows with a missing value,
        a missing group label among them, are dropped and counted as in memory."""
        if not isinstance(frame, pd.DataFrame):
            frame = arrow_frame(frame)
        require_columns(self.read_columns, frame.columns, where)
        sub = frame[self.used]  # the group columns among them: a missing label drops its row
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
        kept = np.flatnonzero(keep)
        sub, _ = check_column_types(
            sub,
            [c for c in self.numbers if c in sub.columns],
            [c for c in self.numbers if "term" in self.parsed.roles(c)],
            lambda k: f"row {label_text(frame.index[kept[k]])} of {where}",
            [c for c, r in self.parsed.uses if r == "response"],
        )
        if self.plain is not None:
            y, x, z = plain_matrices(sub, self.plain)
            offset = None
        else:
            y, x, z, offset = self.formulaic_matrices(sub, where)
        w = None if prior is None else np.ascontiguousarray(prior.values[keep])
        return self.checked_rows(sub, y, x, z, offset, w, n_dropped, n_zero, lambda k: where)

    def checked_rows(
        self,
        sub: pd.DataFrame,
        y: np.ndarray,
        x: np.ndarray,
        z: np.ndarray,
        offset: np.ndarray | None,
        weights: np.ndarray | None,
        n_dropped: int,
        n_zero: int,
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
        labels = tuple(
            sub[f.columns[0]] if len(f.columns) == 1 else join_labels(sub, list(f.columns)) for f in self.factors
        )
        return ModelRows(y, x, z, labels[0] if labels else None, n_dropped, weights, n_zero, offset, labels)

    def formulaic_matrices(
        self, sub: pd.DataFrame, where: str
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray | None]:
        from formulaic.errors import FormulaicError

        named = self.parsed.for_formulaic(sub)
        try:
            with filtered_warnings("error"):
                build = lambda part: part.get_model_matrix(named, context=FORMULA_CONTEXT, na_action="ignore")  # noqa: E731
                fixed = build(self.formula_spec)
                rand = [build(part) for part in self.random_specs]
                offsets = [build(part) for part in self.offset_specs]
        except Warning as w:
            raise SourceError(
                f"inconsistent categorical levels in {where}: {_levels_message(w, self.categorical, sub)}"
            ) from None
        except FormulaicError as exc:
            raise SourceError(f"cannot build the model matrices of {where}: {exc}") from None
        # A response its family reads apart leaves a one-sided formula: X only.
        lhs, rhs = (fixed.lhs, fixed.rhs) if self.parsed.model_response else (None, fixed)
        return matrices(lhs, rhs, rand) + (offset_total(offsets, self.parsed, lambda k: where),)


def matrices(lhs: Any, rhs: Any, rand: Sequence[Any]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """y, X and Z of formulaic's matrices (``lhs`` None: a response read apart, y empty)."""
    y = _NO_RESPONSE if lhs is None else np.ascontiguousarray(lhs.to_numpy(dtype=float)[:, 0])
    x = np.ascontiguousarray(rhs.to_numpy(dtype=float))
    columns = [r.to_numpy(dtype=float) for r in rand]
    z = np.ascontiguousarray(np.column_stack(columns)) if columns else np.empty((len(x), 0))
    return y, x, z


def plain_matrices(sub: pd.DataFrame, plain: PlainColumns) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    n = len(sub)

    def stack(cols: list[str | None]) -> np.ndarray:
        out = np.empty((n, len(cols)))
        for j, c in enumerate(cols):
            out[:, j] = 1.0 if c is None else sub[c].to_numpy(dtype=float)
        return out

    y = np.ascontiguousarray(sub[plain.y].to_numpy(dtype=float))
    return y, stack(plain.x), stack(plain.z)


def offset_total(matrices: Sequence[Any], parsed: ParsedFormula, where: Place) -> np.ndarray | None:
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


def _levels_message(w: Warning, categorical: Mapping[str, list], frame: pd.DataFrame) -> str:
    """The refusal of a batch holding levels the model lacks, naming the columns."""
    found = unseen_levels(categorical, frame)
    what = "; ".join(found) if found else str(w).split(". They are being")[0]
    return (
        f"{what}. The model's levels come from the source's first pass, from levels=..., or from the first "
        f"batch; declare every level with levels={{column: [...]}} when later batches hold new ones"
    )
