"""Learning a model's spec (:class:`~quorvelkit.model.description.ModelSpec`) from
data: formulaic's specs of the fixed part, the random-effects terms and the offsets,
learnt from a sample of the rows and the levels of the factors (or from the whole data
in memory, whose rows come back with their spec), whether the model's matrices are plain
columns, and the shift every batch is reduced with."""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

import quorvelkit._quorvelkit as _qk

from ..formula.checks import RowValues, check_column_types, require_columns
from ..formula.formula_limits import check_random_columns
from ..formula.parsing import ParsedFormula, parse_formula
from ..formula.r_functions import FORMULA_CONTEXT
from ..support.errors import FormulaError, SourceError, clean_message
from ..support.frames import drop_unused_categories, object_text, text_factors
from ..support.labels import label_text
from ..support.warning_scope import filtered_warnings
from .description import (
    GroupingFactor,
    ModelRows,
    ModelSpec,
    Place,
    PlainColumns,
    matrices,
    offset_total,
    plain_matrices,
)
from .fast_design import FormulaicParts, fast_matrices
from .model_checks import check_dimensions, check_terms

__all__ = ["learn_spec", "Learnt", "sample_numbers"]

#: Transforms whose value depends on every row (a mean, a spread, a basis, a lag):
#: taken from one batch they would differ from the whole data's.
_STATEFUL = ("center", "scale", "standardize", "poly", "bs", "cr", "cs", "cc", "lag")
_STATEFUL_RE = re.compile(r"(?<![\w.])(" + "|".join(_STATEFUL) + r")\s*\(")


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


def _column_types(parsed: ParsedFormula, frame: pd.DataFrame, place: Place) -> tuple[pd.DataFrame, list[str]]:
    """:func:`check_column_types` of the columns of ``frame`` the formula uses: those
    in the response and in arithmetic or numeric transforms must be numbers, the terms
    by themselves numbers or text."""
    used = [c for c in frame.columns if isinstance(c, str) and c in set(parsed.columns)]
    numbers = [c for c in used if parsed.roles(c) & {"response", "numeric"}]
    terms = [c for c in used if "term" in parsed.roles(c)]
    response = [c for c, r in parsed.uses if r == "response"]
    return check_column_types(frame, numbers, terms, place, response)


def _factor_columns(parsed: ParsedFormula, frame: pd.DataFrame) -> list[str]:
    """The columns of ``frame`` the model matrices read as factors when they hold text
    (terms by themselves and ``C()``/``factor()``), whose levels take R's order."""
    return [
        c
        for c in frame.columns
        if isinstance(c, str) and c in set(parsed.columns) and parsed.roles(c) & {"term", "factor"}
    ]


def sample_numbers(parsed: ParsedFormula, sample: pd.DataFrame, place: Place) -> list[str]:
    """The terms of the formula that the complete rows of ``sample`` hold as numbers in
    a column of objects, after :func:`learn_spec`'s checks of their types (``place(k)``:
    the place of the sample's k-th row): a source's first pass need not collect their
    values as levels."""
    used = [c for c in sample.columns if isinstance(c, str) and c in set(parsed.columns)]
    complete = np.flatnonzero(sample[used].notna().all(axis=1).to_numpy())
    sub = sample[used].iloc[complete]
    return _read_as_numbers(parsed, sub, _column_types(parsed, sub, lambda k: place(int(complete[k])))[1])


def _read_as_numbers(parsed: ParsedFormula, frame: pd.DataFrame, number_terms: Sequence[str]) -> list[str]:
    """The terms that hold numbers in a column of objects (a covariate: values a first
    pass found in it are no levels), unless C() or a comparison uses them too."""
    return [
        c
        for c in number_terms
        if not pd.api.types.is_numeric_dtype(frame[c]) and not parsed.roles(c) & {"factor", "any"}
    ]


def _materialize(formula: str, frame: pd.DataFrame, what: str) -> Any:
    from formulaic import model_matrix
    from formulaic.errors import FormulaicError

    try:
        with filtered_warnings("ignore", DeprecationWarning):
            # The checked expressions see the data's columns, formulaic's transforms
            # and R's round(), never the variables of a caller's frame.
            return model_matrix(formula, frame, na_action="ignore", context=FORMULA_CONTEXT)
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
    place: Place | None = None,
) -> Learnt:
    """A model's spec from a sample of its rows (a first batch or partition) and
    the levels of its categorical columns (from a first pass, the source's
    dictionary, or declared), which the sample alone may lack.

    With ``whole``, ``sample`` is all the data, already reduced to the rows the model
    uses (:func:`select_rows`; ``offset`` is the offset given for them): its rows come
    back with their spec, and messages name rows by the frame's index. Otherwise the
    spec learns from the sample's complete rows and the batches are read by
    :meth:`ModelSpec.rows`; the transforms whose value depends on every row are
    refused, and the shift every batch shares is chosen from the sample; ``place(k)``
    words the place of the sample's k-th row in messages (by default ``where``).

    The types of the columns are checked first (:func:`check_column_types`): a column
    the model does arithmetic on must hold numbers, and a term by itself numbers or
    text, not both. The columns the model reads as numbers are every batch's to hold as
    numbers (:attr:`ModelSpec.numbers`)."""
    if not parsed.model_fixed:
        parsed = parse_formula(parsed.text)
    if whole:
        sub = sample
        at: Place = lambda k: f"row {label_text(sample.index[k])}"  # noqa: E731
        sub = sub.reset_index(drop=True)
        for col in sub.columns:
            if isinstance(sub[col].dtype, pd.CategoricalDtype):
                sub[col] = drop_unused_categories(sub[col])
        sub, number_terms = _column_types(parsed, sub, at)
        sub = text_factors(sub, _factor_columns(parsed, sub))
    else:
        _check_stateful(parsed)
        require_columns([*parsed.columns, *([weights_column] if weights_column else [])], sample.columns, where)
        names = set(parsed.columns)
        used = [c for c in sample.columns if isinstance(c, str) and c in names]
        complete = np.flatnonzero(sample[used].notna().all(axis=1).to_numpy())
        sub = object_text(sample[used].iloc[complete].reset_index(drop=True))
        if len(sub) == 0:
            raise SourceError(f"{where} has no complete row to learn the model's columns from")
        in_sample = place if place is not None else (lambda k: where)
        typed, number_terms = _column_types(parsed, sub, lambda k: in_sample(int(complete[k])))
        read = _read_as_numbers(parsed, sub, number_terms)
        sub = typed
        levels = {c: list(v) for c, v in (levels or {}).items() if c in used and c not in read}
        # The levels are the model's: sample rows with other values do not teach the
        # specs any (a batch holding them is refused).
        for c, v in levels.items():
            sub = sub.loc[sub[c].isin(v)]
        sub = sub.reset_index(drop=True)
        if len(sub) == 0:
            raise SourceError(f"{where} has no complete row whose values are among the declared levels")
    used = [c for c in sub.columns if isinstance(c, str) and c in set(parsed.columns)]
    simple = not parsed.offsets and not parsed.aliases and not parsed.renames
    texts = [t.model_text for t in parsed.random_terms]
    fast = fast_matrices(parsed.model_response, parsed.model_fixed, texts, sub, whole and simple)
    if fast is None:
        named = parsed.for_formulaic(
            sub if whole else text_factors(_spec_frame(sub, levels or {}), _factor_columns(parsed, sub))
        )
        fixed = _materialize(f"{parsed.model_response} ~ {parsed.model_fixed}", named, "fixed-effects model matrix")
        # An empty response is one its family reads apart: the formula is one-sided.
        lhs, rhs = (fixed.lhs, fixed.rhs) if parsed.model_response else (None, fixed)
        if lhs is not None and lhs.shape[1] != 1:
            raise ValueError(f"the response '{parsed.response}' must be one numeric column")
        rand = [_materialize(text, named, "random-effects model matrix") for text in texts]
        offsets = [_materialize(f"{text} ~ 1", named, "offset").lhs for text in parsed.offsets]
        n = len(named)
        if any(len(m) != n for m in (*([] if lhs is None else [lhs]), rhs, *rand, *offsets)):
            raise ValueError("the formula dropped rows unexpectedly (missing values after a transform?)")
        x_columns = list(rhs.columns)
        blocks = tuple(int(r.shape[1]) for r in rand)
        rand_columns = [c for r in rand for c in r.columns]
        learnt = (fixed.model_spec, [r.model_spec for r in rand], [o.model_spec for o in offsets])
        formulaic = FormulaicParts(learnt=learnt)
        categorical = {}
        for mspec in (rhs.model_spec, *(r.model_spec for r in rand)):
            for expr, (kind, state) in mspec.encoder_state.items():
                if getattr(kind, "value", kind) == "categorical":
                    categorical[expr] = list(state.get("categories", []))
    else:
        offsets = []
        x_columns = fast.x_columns
        blocks = tuple(len(c) for c in fast.z_columns)
        rand_columns = [c for cols in fast.z_columns for c in cols]
        formulaic, categorical = fast.formulaic, fast.categorical
    fe_all = parsed.display_names(x_columns)
    if not fe_all:
        raise ValueError("the fixed-effects part has no columns; keep the intercept or add a term")
    factors = _grouping_factors(parsed, blocks)
    for f in factors:
        check_terms(f.terms, f.name, f.blocks)
        check_random_columns(f.terms, f.name, f.blocks)
    if not whole:
        check_dimensions(len(fe_all), len(rand_columns), where)
    spec = ModelSpec(
        parsed,
        used,
        formulaic,
        fe_all,
        parsed.display_names(rand_columns),
        factors,
        categorical=categorical,
        weights_column=weights_column,
        weighted=weighted or weights_column is not None,
        offset_column=None if offset is None else offset.label,
        offset_array=offset is not None and offset.label is None,
        numbers=tuple(c for c in used if parsed.roles(c) & {"response", "numeric"} or c in number_terms),
    )
    y, x, z = matrices(lhs, rhs, rand) if fast is None else (fast.y, fast.x, fast.z)
    if whole:
        off = offset_total(offsets, parsed, at)
        if offset is not None:
            bad = ~np.isfinite(offset.values)
            if bad.any():
                raise SourceError(f"the offset is not finite in {at(int(np.argmax(bad)))}")
            off = offset.values if off is None else off + offset.values
        return Learnt(spec, spec.checked_rows(sub, y, x, z, off, None, 0, 0, at))
    _learn_plain(spec, sub, x_columns, rand_columns)
    # The shift: an intercept column is constant in every batch, so batches can share
    # the centres chosen from the sample; without one the rows are used as given. A
    # response its family reads apart is fitted from its rows, never from products.
    if "Intercept" in x_columns and parsed.model_response:
        if spec.plain is not None:
            y, x, _z = plain_matrices(sub, spec.plain)
        else:
            y, x, _z, off = spec.formulaic_matrices(sub, where)
            y = y if off is None else y - off
        shift = _qk.choose_shift(np.ascontiguousarray(y), np.ascontiguousarray(x))
        if shift["shift_column"] == x_columns.index("Intercept"):
            spec.shift = shift
    return Learnt(spec, None)


def _grouping_factors(parsed: ParsedFormula, blocks: Sequence[int]) -> tuple[GroupingFactor, ...]:
    """The grouping factors of the random-effects terms (``blocks``: the columns of
    each), in order of first appearance; the terms are held factor by factor."""
    terms = parsed.random_terms
    out: list[GroupingFactor] = []
    at = 0
    while at < len(terms):
        end = at + 1
        while end < len(terms) and (terms[end].group_name, terms[end].group) == (terms[at].group_name, terms[at].group):
            end += 1
        mine = terms[at:end]
        texts, positions = tuple(t.text for t in mine), tuple(t.position for t in mine)
        out.append(GroupingFactor(mine[0].group_name, mine[0].group, texts, tuple(blocks[at:end]), positions))
        at = end
    return tuple(out)


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
