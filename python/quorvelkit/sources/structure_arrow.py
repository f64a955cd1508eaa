"""Arrow batches of a Parquet source as the residual-structure route reads them: the
distinct values of a first pass taken off the Arrow columns, and the DataFrame of a
batch whose text columns of the formula are coded by Arrow."""

from __future__ import annotations

from typing import Any

import pandas as pd

from ..formula.parsing import ParsedFormula
from ..support.frames import arrow_frame

__all__ = ["arrow_distinct", "arrow_batch_frame"]


def arrow_distinct(parsed: ParsedFormula, batch: Any, structure_columns: list[Any]) -> dict[Any, set] | None:
    """The distinct values of a pyarrow batch's ``structure_columns`` (the structure's
    columns whose levels the batches share) and of the formula's columns that are not
    floating, as the route's pandas reading of a batch finds them, read off its Arrow
    columns when they
    hold no missing value (null, or NaN) and are of the kinds whose values pandas gives
    as Arrow does (numbers, booleans, text, dictionaries of text); None otherwise (the
    batch is then read through pandas)."""
    import pyarrow as pa
    import pyarrow.compute as pc

    res = parsed.residual
    assert res is not None
    for c in parsed.columns:
        arr = batch.column(c)
        if arr.null_count or (pa.types.is_floating(arr.type) and pc.any(pc.is_nan(arr)).as_py()):
            return None
    keys: list[Any] = list(structure_columns)
    skip = {res.subject, parsed.response, *keys}
    keys += [c for c in parsed.columns if c not in skip and not pa.types.is_floating(batch.column(c).type)]
    out: dict[Any, set] = {}
    for k in keys:
        if isinstance(k, tuple):
            return None
        arr = batch.column(k)
        t = arr.type
        if pa.types.is_dictionary(t) and (pa.types.is_string(t.value_type) or pa.types.is_large_string(t.value_type)):
            out[k] = set(arr.dictionary.take(pc.unique(arr.indices)).to_pylist())
        elif pa.types.is_string(t) or pa.types.is_large_string(t):
            out[k] = set(pc.unique(arr).to_pylist())
        elif pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_boolean(t):
            out[k] = set(pc.unique(arr).to_numpy(zero_copy_only=False))
        else:
            return None
    return out


def arrow_batch_frame(parsed: ParsedFormula, batch: Any, formula_levels: dict[str, list]) -> pd.DataFrame:
    """A pyarrow batch as a DataFrame (:func:`arrow_frame`), its text columns of the
    formula alone (not the structure's) coded by Arrow as categoricals of their levels
    (``formula_levels``, the first pass's):
    the model's matrices are then built from codes, not from a Python string per row.
    A column holding a value outside its levels stays text (the batch is refused as
    one of text would be)."""
    import pyarrow as pa
    import pyarrow.compute as pc

    res = parsed.residual
    assert res is not None
    coded: dict[str, pd.Categorical] = {}
    for c, given in formula_levels.items():
        if c in res.columns or c not in batch.schema.names or not all(isinstance(v, str) for v in given):
            continue
        arr = batch.column(c)
        if pa.types.is_dictionary(arr.type):
            arr = arr.dictionary_decode()
        if not (pa.types.is_string(arr.type) or pa.types.is_large_string(arr.type)):
            continue
        codes = pc.index_in(arr, value_set=pa.array(given, type=arr.type))
        if codes.null_count != arr.null_count:
            continue
        at = codes.fill_null(-1).to_numpy(zero_copy_only=False)
        coded[c] = pd.Categorical.from_codes(at, categories=pd.Index(given, dtype=object))
    if not coded:
        return arrow_frame(batch)
    names: list[str] = list(batch.schema.names)
    frame = arrow_frame(batch.select([c for c in names if c not in coded]))
    out: pd.DataFrame = frame.assign(**coded)[names]
    return out
