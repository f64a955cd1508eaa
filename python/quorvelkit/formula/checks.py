"""The checks of what a caller hands in, one home each: flags and levels, the columns a
model needs, the types of its columns (numbers, text, and the mixture of both that a
typo makes), values outside a factor's levels, numbers given per row (prior weights,
an offset), values that are not finite, and the rows dropped for missing values
(lme4's checks of a model's shape are :mod:`quorvelkit.model.model_checks`').

Every check names where the fault is: ``where`` is a place in the data as the user
knows it ("row 17" of a data frame, "batch 3" of an iterator, a file's batch, a
partition), so the same check serves a data frame and a source read in batches.
Refusals of data are :class:`~quorvelkit.support.errors.SourceError` (a ``ValueError``)."""

from __future__ import annotations

import numbers
import re
import warnings
from collections.abc import Collection, Iterable, Mapping, Sequence
from typing import Any

import numpy as np
import pandas as pd

from ..support.errors import DroppedRowsWarning, SourceError
from ..support.frames import distinct_values
from ..support.labels import label_text
from .expressions import quote_name

_FACTOR_CALL = re.compile(r"^(?:C|factor|as\.factor)\((.+?)(?:,.*)?\)$")

__all__ = [
    "check_flag",
    "check_level",
    "interval_names",
    "require_columns",
    "RowValues",
    "row_values",
    "check_weights",
    "warn_dropped",
    "DROPPED_SHARE",
    "check_weights_column",
    "check_finite",
    "not_finite",
    "check_column_types",
    "unseen_levels",
]


def check_flag(name: str, value: Any) -> None:
    """``value`` must be a boolean (``True``/``False`` or a NumPy boolean): a string
    such as "FALSE" is true in Python, so it would silently mean the opposite."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {type(value).__name__} {value!r}")


def interval_names(level: float) -> tuple[str, str]:
    """The names of the bounds of intervals at ``level``, as R's (``"2.5 %"``, ``"97.5 %"``)."""
    lo = (1 - level) / 2 * 100
    hi = 100 - lo
    return f"{lo:.10g} %", f"{hi:.10g} %"


def check_level(level: Any) -> None:
    """``level`` must be a number strictly between 0 and 1."""
    if isinstance(level, bool) or not isinstance(level, (int, float, np.floating, np.integer)):
        raise TypeError(f"level must be a number between 0 and 1, got {type(level).__name__}")
    if not 0 < float(level) < 1:
        raise ValueError(f"level must be between 0 and 1, got {level}")


def require_columns(needed: Iterable[str], columns: Iterable[Any], where: str) -> None:
    """Refuses (:class:`SourceError`) the ``needed`` columns that ``columns`` (those of
    ``where``: the data, a batch, a file, a partition) lacks, naming the first five of
    them and the first twenty columns there are, with their counts."""
    have = list(columns)
    names = set(have)
    missing = [c for c in needed if c not in names]
    if missing:
        more = f" and {len(missing) - 5} more" if len(missing) > 5 else ""
        others = f", ... ({len(have)} in all)" if len(have) > 20 else ""
        raise SourceError(
            f"column{'s' if len(missing) > 1 else ''} {', '.join(repr(c) for c in missing[:5])}{more} not found "
            f"in {where} (columns: {', '.join(str(c) for c in have[:20])}{others})"
        )


class RowValues:
    """Numbers given for every row of the data.

    Attributes:
        values: float64, one per row of the data.
        label: the column's name, or ``None`` for an array.
    """

    def __init__(self, values: np.ndarray, label: str | None) -> None:
        self.values = values
        self.label = label


def row_values(spec: Any, frame: pd.DataFrame, what: str, where: Any = None) -> RowValues | None:
    """``spec`` (a column name or one value per row of ``frame``) as numbers: ``None``
    for ``None``. Refuses a name that is not a column, a wrong length, booleans, or a
    value that is not a number (naming it and its row: ``where(k)`` words the place of
    the frame's k-th row, by default its label); a ``TypeError`` for a spec that is
    neither a name nor a sequence of values."""
    if spec is None:
        return None
    place = where if where is not None else (lambda k: f"row {label_text(frame.index[k])}")
    if isinstance(spec, str):
        if spec not in frame.columns:
            avail = ", ".join(str(c) for c in frame.columns)
            raise SourceError(f"the {what} column {spec!r} is not in the data (columns: {avail})")
        raw: Any = frame[spec]
        label: str | None = spec
    else:
        if isinstance(spec, (bytes, dict, set)) or np.ndim(spec) == 0:
            raise TypeError(f"{what} must be a column name or one number per row, got {type(spec).__name__}")
        raw = spec
        label = None
    values = pd.Series(np.asarray(raw).ravel() if not isinstance(raw, pd.Series) else raw.to_numpy())
    if np.ndim(raw) != 1 or len(values) != len(frame):
        shape = "x".join(str(k) for k in np.shape(raw))
        raise SourceError(
            f"{what} must hold one number per row of the data: the data has {len(frame)} rows, "
            f"{what} has {len(values) if np.ndim(raw) == 1 else 'shape ' + shape}"
        )
    if pd.api.types.is_bool_dtype(values):
        raise SourceError(f"{what} must be numbers, not booleans")
    if not pd.api.types.is_numeric_dtype(values):
        numbers = pd.to_numeric(values.astype(object), errors="coerce")
        bad = np.flatnonzero(numbers.isna().to_numpy() & values.notna().to_numpy())
        if len(bad):
            k = int(bad[0])
            raise SourceError(f"{what} must be numbers, but they hold {label_text(values.iloc[k])} in {place(k)}")
        values = numbers
    return RowValues(np.asarray(values.to_numpy(dtype=float), dtype=float), label)


def unseen_levels(categorical: Mapping[str, list], frame: pd.DataFrame) -> list[str]:
    """The columns of ``frame`` holding values outside their factor's levels
    (``categorical``: the model's levels by expression), each as "column 'f' has 'c', not
    among its 2 levels" (up to five values named)."""
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
    return found


#: The share of the rows above which rows dropped for a missing value are warned of
#: (:func:`warn_dropped`).
DROPPED_SHARE = 0.05

#: The strings pandas' ``read_csv`` reads as missing unless ``keep_default_na=False``
#: (its default ``na_values``, those that look like labels).
_PANDAS_NA = ("'None'", "'NA'", "'N/A'", "'null'", "'NaN'", "'n/a'", "'nan'", "''")


def warn_dropped(
    sub: pd.DataFrame, missing: np.ndarray, n: int, stacklevel: int, apart: np.ndarray | None = None
) -> None:
    """Warns (:class:`DroppedRowsWarning`) when the rows ``missing`` (a row dropped for
    a missing value) are more than :data:`DROPPED_SHARE` of the ``n`` rows of the data,
    naming the columns of ``sub`` (the columns the model uses) with missing values
    among them, most first, and "the response" for the rows ``apart`` (a response its
    family reads apart) does not keep, after the columns it ties with. A column of
    text or categories with missing values gets the note that pandas' ``read_csv``
    turns strings such as 'None', 'NA' and 'N/A' into missing values unless it is
    given ``keep_default_na=False``: a DataFrame no longer knows
    what text it was read from, and a level 'None' (Alfalfa's dates) or 'N/A' (OME)
    would otherwise silently drop its rows, which R's ``read.csv`` keeps ('NA' aside)."""
    dropped = int(missing.sum())
    if dropped <= DROPPED_SHARE * n:
        return
    # (rows, name in the message, column): the response read apart is no column of sub.
    counts: list[tuple[int, str, Any]] = [
        (int(sub[c].isna().to_numpy()[missing].sum()), repr(c), c) for c in sub.columns
    ]
    if apart is not None:
        counts.append((int(apart[missing].sum()), "the response", None))
    causes = sorted((t for t in counts if t[0]), key=lambda t: -t[0])
    named = ", ".join(f"{name} ({k})" for k, name, _ in causes[:5])
    more = f" and {len(causes) - 5} more columns" if len(causes) > 5 else ""
    text = [c for _, _, c in causes if c is not None and _is_text(sub[c])]
    note = ""
    if text:
        cols = ", ".join(repr(c) for c in text[:5])
        note = (
            f"; {cols} {'holds' if len(text) == 1 else 'hold'} text: pandas' read_csv reads the strings "
            f"{', '.join(_PANDAS_NA[:5])} (and others) as missing by default, so if they are labels of the data, "
            f"read it with keep_default_na=False (and na_values= for the values that are missing)"
        )
    warnings.warn(
        f"{dropped} of {n} rows ({100 * dropped / n:.3g}%) were dropped for a missing value in "
        f"{named or 'the offset'}{more}{note}",
        DroppedRowsWarning,
        stacklevel=stacklevel + 1,
    )


def _is_text(col: pd.Series) -> bool:
    """Whether a column holds labels: categorical, of a string type, or objects among
    which is text."""
    dtype = col.dtype
    if isinstance(dtype, pd.CategoricalDtype) or (
        pd.api.types.is_string_dtype(dtype) and not pd.api.types.is_object_dtype(dtype)
    ):
        return True
    return pd.api.types.is_object_dtype(dtype) and any(isinstance(v, str) for v in pd.unique(col.dropna())[:1000])


def check_weights_column(weights: Any) -> None:
    """Data read in batches take prior weights from a column of the source only."""
    if weights is not None and not isinstance(weights, str):
        raise TypeError(
            f"weights= for data read in batches must name a column of the source, got {type(weights).__name__}"
        )


def check_weights(weights: np.ndarray, where: Any, label: str | None = None) -> None:
    """Prior weights must be finite and non-negative (a weight of zero leaves its row
    out): refuses the first other value, naming its place (``where(k)`` words the
    place of the k-th weight) and the weights column ``label`` when they come from one."""
    bad = ~(np.isfinite(weights) & (weights >= 0))
    if bad.any():
        k = int(np.argmax(bad))
        which, holds = ("weights", "they hold") if label is None else (f"the weights column {label!r}", "it holds")
        raise SourceError(
            f"{which} must be finite and non-negative (rows of weight zero are left out), but {holds} "
            f"{float(weights[k])!r} in {where(k)}"
        )


def not_finite(what: str, name: str, where: str) -> SourceError:
    """The refusal of a value that is not finite in the column ``name`` of the
    ``what`` part of the model (response, fixed-effects, random-effects)."""
    return SourceError(
        f"the {what} column '{name}' has a value that is not finite in {where}; remove or fix those rows"
    )


def check_sums(yty: float, xtx: np.ndarray, response: str, fe_names: Sequence[str], where: str) -> None:
    """Refuses sums of squares that are not finite once a batch is added (its values
    are finite, but a square, or a sum of squares, overflows): y'y names the response,
    a diagonal of X'X its fixed-effects column, and the batch ``where`` it happened."""
    tail = f"whose square, or the sum of squares so far, overflows in {where}; rescale the column"
    if not np.isfinite(yty):
        raise SourceError(f"the response column '{response}' has a value {tail}")
    bad = np.flatnonzero(~np.isfinite(np.diagonal(xtx)))
    if len(bad):
        raise SourceError(f"the fixed-effects column '{fe_names[int(bad[0])]}' has a value {tail}")


def overflow_refusal(
    exc: ValueError, response: str, fe_names: Sequence[str], re_names: Sequence[str], groups: Any
) -> Exception:
    """The core's refusal of rows whose squares overflow (their values are finite: those
    that are not were refused before), with the columns named as the model names them
    rather than by position; any other error of the core is returned as it is."""
    text = str(exc)
    tail = "whose square, or the sum of squares, overflows; rescale the column"
    if text.startswith("y holds a value"):
        return SourceError(f"the response column '{response}' has a value {tail}")
    if m := re.match(r"X column (\d+) holds a value", text):
        return SourceError(f"the fixed-effects column '{fe_names[int(m[1])]}' has a value {tail}")
    if m := re.match(r"Z column (\d+) holds a value.*\(group (\d+)\)", text):
        return SourceError(
            f"the random-effects column '{re_names[int(m[1])]}' has a value {tail} (group {groups[int(m[2])]})"
        )
    return exc


def check_finite(parts: Sequence[tuple[str, np.ndarray, Sequence[str]]], where: Any) -> None:
    """Refuses the first column of a model matrix holding a value that is not finite:
    ``parts`` are (what, matrix, column names), a matrix of one column per name
    (a vector is one column); ``where(k)`` words the place of row k."""
    for what, mat, names in parts:
        m = mat[:, None] if mat.ndim == 1 else mat
        bad = ~np.isfinite(m)
        if bad.any():
            j = int(np.flatnonzero(bad.any(axis=0))[0])
            raise not_finite(what, names[j], where(int(np.flatnonzero(bad[:, j])[0])))


def _classes(values: np.ndarray) -> np.ndarray:
    """Per value (objects, none missing): 1 a number (a value of a numeric type, not a
    boolean), 2 text that reads as a number, 3 anything else."""
    u = values
    number = np.array(
        [isinstance(v, (numbers.Number, np.number)) and not isinstance(v, (bool, np.bool_)) for v in u], dtype=bool
    )
    text = np.array([isinstance(v, str) for v in u], dtype=bool)
    reads = np.zeros(len(u), dtype=bool)
    if text.any():
        reads[text] = pd.to_numeric(pd.Series(u[text], dtype=object), errors="coerce").notna().to_numpy()
    out: np.ndarray = np.where(number, 1, np.where(reads, 2, 3)).astype(np.int8)
    return out


def _value_classes(col: pd.Series) -> np.ndarray:
    """Per row of ``col``: 0 missing, else its class (:func:`_classes`), classified once
    per distinct value."""
    codes, uniques = pd.factorize(col.to_numpy(dtype=object), use_na_sentinel=True)
    classes = _classes(np.asarray(uniques, dtype=object))
    return np.where(codes >= 0, classes[codes], 0).astype(np.int8)


def check_column_types(
    frame: pd.DataFrame, numbers: Sequence[str], terms: Sequence[str], where: Any, response: Collection[str] = ()
) -> tuple[pd.DataFrame, list[str]]:
    """The types of the columns a model reads: returns ``frame`` with its columns of
    number objects as float64 and the ``terms`` columns that hold numbers (the others
    are text: factors). ``where(k)`` words the place of the frame's k-th row.

    ``numbers`` (the response, arithmetic, numeric transforms, and in a batch the
    columns the model learnt as numbers) must hold numbers: a value that is not a
    number, or numbers stored as text, is refused naming it and its place.

    ``terms`` (columns standing by themselves: a number is a covariate, text a
    factor) are read as R reads a column of a data frame. A number is a value of a
    numeric type or text that reads as one (as ``pandas.to_numeric`` reads it).

    - A column of text is a factor, as R makes one, even where most of its labels read
      as numbers ('0', '1', '2', '3+'; 'K', '1', '2', '3'; '01', '7p'), except where the
      labels that do not are a typo's few: at most :data:`TYPO_SHARE` of the rows, of
      at most :data:`TYPO_VALUES` distinct values (a '1O0' among numbers would
      otherwise make a factor of as many levels as values). Such a column is refused
      naming the rare values and their rows, with ``C(x)`` or ``factor(x)`` for a
      factor.
    - A column whose every value is text that reads as a number is refused as numbers
      stored as text: a covariate read as text or a factor coded by numbers ("007"),
      and only the formula can say which (``C(x)`` for a factor). (A data frame of
      such objects is what a program made, not a reader of text files, which would
      have read numbers.)
    - A column holding values of a numeric type and text that does not read as a
      number is mixed, whatever their proportions, and refused naming the first value
      of the smaller kind."""
    out = frame
    number_terms = []
    for name in dict.fromkeys([*numbers, *terms]):
        col = frame[name]
        strict = name in numbers
        if pd.api.types.is_bool_dtype(col) or (isinstance(col.dtype, pd.CategoricalDtype) and not strict):
            continue
        if pd.api.types.is_numeric_dtype(col):
            number_terms += [name] if name in terms else []
            continue
        distinct = distinct_values(col)
        kinds = set(_classes(distinct).tolist())
        if kinds <= {3} and not strict:
            continue  # text: a factor
        if kinds <= {1}:  # numbers held as objects
            out = frame.copy(deep=False) if out is frame else out
            out[name] = col.astype(np.float64)
            number_terms += [name] if name in terms else []
            continue
        cls = _value_classes(col)  # every case left is refused, naming a row, or text: a factor
        nums, others = (cls == 1) | (cls == 2), cls == 3
        if kinds == {2, 3} and not strict:
            if not _typo(others, cls != 0, col):
                continue  # text, some of it reading as numbers: a factor
            raise _mixed_column(name, col, nums, others, where)
        if others.any() and name in terms and nums.any() and (not strict or nums.sum() >= others.sum()):
            raise _mixed_column(name, col, nums, others, where)
        if others.any() and strict:
            k = int(np.argmax(others))
            raise SourceError(
                f"{_column(name, response)} must be numeric, but it holds {label_text(col.iloc[k])} in {where(k)}, "
                f"which is not a number"
            )
        if (cls == 2).any():
            k = int(np.argmax(cls == 2))
            factor = f", or write {_factor_hint(name)} if it is a factor" if name in terms else ""
            raise SourceError(
                f"{_column(name, response)} holds numbers stored as text (such as {label_text(col.iloc[k])} in "
                f"{where(k)}); convert it first, e.g. with pandas.to_numeric{factor}"
            )
    return out, number_terms


#: A column of text whose labels read as numbers but for at most this share of its rows
#: (of values present), of at most :data:`TYPO_VALUES` distinct values, is taken for a
#: column of numbers with typos rather than a factor (:func:`check_column_types`).
TYPO_SHARE = 0.01
TYPO_VALUES = 2


def _typo(others: np.ndarray, present: np.ndarray, col: pd.Series) -> bool:
    """Whether the rows ``others`` of ``col`` (text that is not a number, among text
    that reads as numbers) are a typo's few (:data:`TYPO_SHARE`, :data:`TYPO_VALUES`)."""
    n_other = int(others.sum())
    if n_other > TYPO_SHARE * int(present.sum()):
        return False
    return len(pd.unique(col.to_numpy(dtype=object)[others])) <= TYPO_VALUES


def _rows_of(values: pd.Series, rows: np.ndarray, where: Any, most: int = 3) -> str:
    """The distinct values at ``rows`` (positions, in order), each with the places of
    its first rows: "'1O0' in row 8 and row 40, 'l2' in row 17"."""
    picked = values.iloc[rows].to_numpy(dtype=object)
    codes, uniques = pd.factorize(pd.Series(picked, dtype=object))
    parts = []
    for j in range(min(len(uniques), most)):
        at = rows[codes == j]
        places = [where(int(k)) for k in at[:5]]
        more = f" and {len(at) - 5} more rows" if len(at) > 5 else ""
        listed = places[0] if len(places) == 1 else ", ".join(places[:-1]) + " and " + places[-1]
        parts.append(f"{label_text(uniques[j])} in {listed}{more}")
    extra = f" and {len(uniques) - most} more values" if len(uniques) > most else ""
    return ", ".join(parts) + extra


def _mixed_column(name: str, col: pd.Series, nums: np.ndarray, others: np.ndarray, where: Any) -> SourceError:
    """The refusal of a column that mixes numbers (rows ``nums``) and other values
    (rows ``others``): among numbers, the values that are not and their places
    (``where(k)``: the place of row k); among text, the first number."""
    hint = f"if it is a factor, write {_factor_hint(name)}"
    if int(nums.sum()) >= int(others.sum()):
        found = _rows_of(col, np.flatnonzero(others), where)
        return SourceError(f"column {name!r} is not numeric: {found}, among numbers; {hint}")
    k = int(np.argmax(nums))
    return SourceError(
        f"column {name!r} mixes text and numbers: {label_text(col.iloc[k])} in {where(k)}, among text; {hint}"
    )


def _factor_hint(name: str) -> str:
    quoted = quote_name(name)
    return f"C({quoted}) or factor({quoted}) in the formula"


def _column(name: str, response: Collection[str]) -> str:
    return f"the response column {name!r}" if name in response else f"the column {name!r}"
