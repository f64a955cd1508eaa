"""Data as the model reads it: anything tabular as a pandas DataFrame, Arrow batches as
DataFrames, group labels (one column or the interaction of several) and their sorted
levels, which sources are read in batches, and the kind of a pandas column."""

from __future__ import annotations

import os
from collections.abc import Iterator, Sequence
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
    "is_batch_source",
    "level_order",
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
    """Distinct values of a factor candidate in a fixed order (by type, then value),
    whatever order an engine found them in."""
    return sorted(values, key=lambda v: (type(v).__name__, v))


def is_batch_source(data: Any) -> bool:
    """Whether :func:`quorvelkit.lmm` reads ``data`` in batches: a path (a Parquet file or
    directory), a pyarrow dataset, a Dask or Spark DataFrame, or an iterator of
    DataFrames."""
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


def pandas_kind(dtype: Any) -> str:
    """The kind of a pandas column (see :meth:`ParsedFormula.factor_candidates
    <quorvelkit.parsing.ParsedFormula.factor_candidates>`)."""
    if isinstance(dtype, pd.CategoricalDtype):
        return "categorical"
    if pd.api.types.is_bool_dtype(dtype):
        return "bool"
    if pd.api.types.is_integer_dtype(dtype):
        return "integer"
    if pd.api.types.is_object_dtype(dtype) or pd.api.types.is_string_dtype(dtype):
        return "text"
    return "other"
