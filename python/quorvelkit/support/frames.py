"""Data as the model reads it: anything tabular as a pandas DataFrame, Arrow batches as
DataFrames, group labels (one column or the interaction of several) and their sorted
levels, which sources are read in batches, and the kind of a pandas column."""

from __future__ import annotations

import unicodedata
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np
import pandas as pd

__all__ = [
    "to_frame",
    "arrow_frame",
    "object_text",
    "join_labels",
    "drop_unused_categories",
    "sorted_levels",
    "level_order",
    "collation_key",
    "r_sorted",
    "text_factors",
    "distinct_values",
    "pandas_kind",
    "MAX_LEVELS",
]

#: Distinct values beyond which a column is not a factor candidate of a first pass.
MAX_LEVELS = 100_000


def to_frame(data: Any) -> pd.DataFrame:
    """``data`` as a pandas DataFrame (a DataFrame is returned as is)."""
    if isinstance(data, pd.DataFrame):
        return data
    if hasattr(data, "to_pandas") and callable(data.to_pandas):
        frame = data.to_pandas()
        if isinstance(frame, pd.DataFrame):
            return frame
    try:
        return pd.DataFrame(data)
    except Exception as exc:
        raise TypeError(
            f"data must be a pandas DataFrame or something pandas can turn into one, got {type(data).__name__}: {exc}"
        ) from None


def arrow_frame(batch: Any) -> pd.DataFrame:
    """A pyarrow batch as a DataFrame, dictionary columns as their values."""
    frame = batch.to_pandas()
    for c in frame.columns:
        if isinstance(frame[c].dtype, pd.CategoricalDtype):
            frame[c] = frame[c].astype(object)
    out: pd.DataFrame = frame
    return out


def object_text(frame: pd.DataFrame) -> pd.DataFrame:
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


def join_labels(frame: pd.DataFrame, columns: Sequence[str]) -> pd.Series:
    """Labels of the interaction of several grouping columns, e.g. "a1:b2". The text is
    made once per combination that occurs (columns of few levels and many rows), as
    each value's str() joined by ":"."""
    parts = [_codes(frame[c]) for c in columns]
    if len(columns) < 2 or len(frame) == 0 or any((codes < 0).any() for codes, _ in parts):  # missing: str() of each
        return _joined_text(frame, columns)
    key = np.zeros(len(frame), dtype=np.int64)
    space = 1
    for codes, uniques in parts:
        key = key * len(uniques) + codes
        space *= len(uniques)
    if space <= 4 * len(frame):  # a small key space: the combinations by counting, not hashing
        present = np.bincount(key, minlength=space) > 0
        combos = np.flatnonzero(present)
        rank = np.cumsum(present) - 1
        at = rank[key]
    else:
        at, combos = pd.factorize(key)
    if 4 * len(combos) > len(frame):  # mostly distinct: joining the columns' text is as fast
        return _joined_text(frame, columns)
    texts = [np.asarray(pd.Index(uniques).astype(str), dtype=object) for _, uniques in parts]
    labels = []
    for combo in np.asarray(combos, dtype=np.int64):
        pieces = []
        for text in reversed(texts):
            combo, k = divmod(int(combo), len(text))
            pieces.append(text[k])
        labels.append(":".join(reversed(pieces)))
    # A categorical of the labels in sorted order: its codes are the rows' levels as
    # sorting the texts would give them, without a text per row.
    order = sorted(range(len(labels)), key=labels.__getitem__)
    rank = np.empty(len(labels), dtype=np.int64)
    rank[np.asarray(order, dtype=np.int64)] = np.arange(len(labels))
    cats = pd.Index([labels[i] for i in order], dtype=object)
    return pd.Series(pd.Categorical.from_codes(rank[at], categories=cats), index=frame.index)


def _codes(values: pd.Series) -> tuple[np.ndarray, Any]:
    """pd.factorize's codes and uniques; a categorical's own codes and categories (some
    perhaps unused), without hashing its values."""
    if isinstance(values.dtype, pd.CategoricalDtype):
        return values.cat.codes.to_numpy(dtype=np.int64), values.cat.categories
    return pd.factorize(values)


def _joined_text(frame: pd.DataFrame, columns: Sequence[str]) -> pd.Series:
    out = frame[columns[0]].astype(str)
    for c in columns[1:]:
        out = out + ":" + frame[c].astype(str)
    return out


def drop_unused_categories(values: pd.Series) -> pd.Series:
    """``values.cat.remove_unused_categories()``, in one counting pass when every
    category is used (pandas' own call sorts the codes, the costliest step of building
    a design with a million rows)."""
    codes = values.cat.codes.to_numpy()
    present = codes[codes >= 0] if (codes < 0).any() else codes
    if np.bincount(present, minlength=len(values.cat.categories)).all():
        return values
    return values.cat.remove_unused_categories()


def sorted_levels(values: Any) -> tuple[np.ndarray, pd.Index]:
    """Codes 0..m-1 of ``values`` (a Series or an Index of labels) and the levels,
    sorted (categoricals keep their category order; labels of mixed, unorderable types
    sort by type, then text)."""
    if isinstance(values, pd.Index):
        values = pd.Series(np.asarray(values, dtype=object) if values.dtype == object else values)
    if isinstance(values.dtype, pd.CategoricalDtype):
        cat = drop_unused_categories(values)
        return cat.cat.codes.to_numpy(dtype=np.int64), pd.Index(cat.cat.categories)
    if isinstance(values.dtype, np.dtype) and values.dtype.kind in "iu" and len(values):
        # Integers already in order (a batch of a file sorted by subject): the codes count
        # the changes of value, without hashing or sorting.
        v = values.to_numpy()
        step = v[1:] != v[:-1]
        if (v[1:] >= v[:-1]).all():
            starts = np.r_[True, step]
            return np.cumsum(starts, dtype=np.int64) - 1, pd.Index(v[starts])
    try:
        codes, uniques = pd.factorize(values, sort=True)
    except TypeError:
        codes, uniques = pd.factorize(values, sort=False)
        order = sorted(range(len(uniques)), key=lambda i: (type(uniques[i]).__name__, str(uniques[i])))
        remap = np.empty(len(order), dtype=np.int64)
        remap[np.asarray(order, dtype=np.int64)] = np.arange(len(order))
        codes = remap[codes]
        uniques = pd.Index([uniques[i] for i in order], dtype=object)
    return np.asarray(codes, dtype=np.int64), pd.Index(uniques)


def level_order(values: Any) -> list:
    """Distinct values of a factor candidate in a fixed order, whatever order an engine
    found them in: by type, then numbers by value and text as R sorts it
    (:func:`collation_key`)."""
    return sorted(values, key=lambda v: (type(v).__name__, collation_key(v) if isinstance(v, str) else v))


# R's default order of text: sort() and factor() compare strings with the C library's
# strcoll() in the user's locale, en_US.UTF-8 in the usual English setups. glibc 2.28
# and later implement that locale's order from ISO/IEC 14651 (the Common Template Table,
# close to the Unicode Collation Algorithm, UTS #10): strings are compared on three
# levels, each only where the levels before it tie. Level 1: the base characters, case
# and accents folded, with spaces and punctuation before symbols, symbols before
# digits and digits before letters (punctuation counts: "a b" < "a-b" < "ab"); level 2:
# the accents, character by character; level 3: the case, lower before upper. ICU,
# which R uses on macOS, orders these the same way.
_PUNCTUATION = " _-,;:!?.'\"()[]{}@*/\\&#%`^+<=>|~$"
_PUNCT_RANK = {c: k for k, c in enumerate(_PUNCTUATION)}
# The accents in the order of level 2 (combining marks of the canonical decomposition).
_ACCENTS = {
    c: k + 1
    for k, c in enumerate("\u0301\u0300\u0306\u0302\u030c\u030a\u0308\u030b\u0303\u0307\u0335\u0327\u0328\u0304")
}
# Letters with no decomposition that level 1 reads as others (ISO 14651's expansions
# and base letters); the value is the folded text and its level-2 mark.
_LETTERS = {"æ": ("ae", 20), "œ": ("oe", 20), "ß": ("ss", 20), "ø": ("o", 15), "ł": ("l", 15), "đ": ("d", 15)}


def _weights(ch: str) -> list[tuple[tuple[int, int], int, int]]:
    """The collation elements of one character: (level 1, level 2, level 3) each."""
    upper = 1 if ch != ch.lower() else 0
    low = ch.lower()
    if low in _LETTERS:
        text, mark = _LETTERS[low]
        return [((2, ord(t)), mark, upper) for t in text]
    decomposed = unicodedata.normalize("NFKD", low)
    base = "".join(c for c in decomposed if not unicodedata.combining(c)) or low
    mark = 0
    for c in decomposed:
        if unicodedata.combining(c):
            mark = mark * 32 + _ACCENTS.get(c, 31)
    out = []
    for b in base:
        if b.isdigit() and b.isascii():
            first = (1, ord(b))
        elif b.isalpha():
            first = (2, ord(b)) if b.isascii() else (3, ord(b.casefold()[0]))
        elif b in _PUNCT_RANK:
            first = (0, _PUNCT_RANK[b])
        else:
            first = (0, len(_PUNCTUATION) + ord(b))  # other symbols: after ASCII punctuation
        out.append((first, mark, upper))
    return out


def collation_key(text: str) -> tuple:
    """A sort key of ``text`` that orders strings as R's ``sort()`` and ``factor()`` do
    in an en_US.UTF-8 locale (glibc's ISO 14651 collation, see above): by letters,
    digits and punctuation regardless of case and accents first ("B" < "a"
    is false: "a" < "B" < "c"), then by accents ("e" < "é"), then lower case before
    upper ("a" < "A"); the text itself last, so that the order is total. Latin text,
    digits, ASCII punctuation and the usual accents follow R exactly; other scripts
    and symbols come after Latin letters and ASCII punctuation by code point."""
    elements = [w for ch in text for w in _weights(ch)]
    return (
        tuple(e[0] for e in elements),
        tuple(e[1] for e in elements),
        tuple(e[2] for e in elements),
        text,
    )


def r_sorted(values: Iterable[str]) -> list[str]:
    """``values`` (text) in R's default order (:func:`collation_key`)."""
    return sorted(values, key=collation_key)


def distinct_values(col: pd.Series) -> np.ndarray:
    """The distinct values of ``col`` other than missing ones, in the order they first
    appear, as objects (``col.dropna().unique()`` without copying the column first)."""
    values = np.asarray(col.unique(), dtype=object)
    missing = np.asarray(pd.isna(values), dtype=bool)
    out: np.ndarray = values[~missing] if missing.any() else values
    return out


def text_factors(frame: pd.DataFrame, columns: Iterable[str]) -> pd.DataFrame:
    """``frame`` with those of ``columns`` that hold text (objects that are all strings,
    missing values aside) as categoricals whose levels are in R's order
    (:func:`r_sorted`): the levels of the factor R makes of such a column, whose first
    is the reference level of its treatment contrasts. Columns of numbers keep their
    type (their levels sort by value) and categoricals their categories' order, as R
    keeps a factor's levels."""
    out = frame
    for c in dict.fromkeys(columns):
        col = frame[c]
        if not pd.api.types.is_object_dtype(col.dtype) and not (
            pd.api.types.is_string_dtype(col.dtype) and not isinstance(col.dtype, pd.CategoricalDtype)
        ):
            continue
        uniques = distinct_values(col)
        if not all(isinstance(v, str) for v in uniques):
            continue
        levels = r_sorted(uniques.tolist())
        if levels == sorted(levels):
            continue  # the order pandas and formulaic give text already
        out = frame.copy(deep=False) if out is frame else out
        out[c] = pd.Categorical(col.to_numpy(dtype=object), categories=pd.Index(levels, dtype=object))
    return out


def pandas_kind(dtype: Any) -> str:
    """The kind of a pandas column (see :meth:`ParsedFormula.factor_candidates
    <quorvelkit.formula.parsing.ParsedFormula.factor_candidates>`)."""
    if isinstance(dtype, pd.CategoricalDtype):
        return "categorical"
    if pd.api.types.is_bool_dtype(dtype):
        return "bool"
    if pd.api.types.is_integer_dtype(dtype):
        return "integer"
    if pd.api.types.is_object_dtype(dtype) or pd.api.types.is_string_dtype(dtype):
        return "text"
    return "other"
