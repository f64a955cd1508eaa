"""Reading Parquet files, directories and pyarrow datasets in batches: the first pass
that finds the groups and the levels of the columns that may be factors (reading
those columns only), and the batches of the columns a model uses, file after file,
row group after row group."""

from __future__ import annotations

import os
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import Any

import pandas as pd

from .checks import require_columns
from .frames import MAX_LEVELS, level_order, sorted_levels
from .group_codes import IntegerValues
from .parsing import ParsedFormula
from .progress import progress_bar

__all__ = ["open_dataset", "DatasetBatches", "fragment_batches", "arrow_kind", "first_pass"]


def arrow_kind(t: Any) -> str:
    """The kind of an Arrow column type (see :meth:`quorvelkit.parsing.ParsedFormula.factor_candidates`)."""
    import pyarrow as pa

    if pa.types.is_dictionary(t):
        return "categorical"
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        return "text"
    if pa.types.is_boolean(t):
        return "bool"
    if pa.types.is_integer(t):
        return "integer"
    return "other"


def _candidates(parsed: ParsedFormula, schema: Any) -> list[str]:
    return parsed.factor_candidates({c: arrow_kind(schema.field(c).type) for c in parsed.columns if c in schema.names})


def needs_first_pass(parsed: ParsedFormula, schema: Any) -> bool:
    """Whether levels must be found before the batches are reduced: for columns that
    may be factors, and for group labels other than one integer column (those are
    coded as they come, and put in order at the end)."""
    import pyarrow as pa

    group = list(parsed.group)
    return bool(_candidates(parsed, schema)) or not (
        len(group) == 1 and pa.types.is_integer(schema.field(group[0]).type)
    )


def fragment_batches(frag: Any, columns: list[str], batch_rows: int) -> Iterator[Any]:
    """The batches of ``columns`` of one fragment of a dataset. A Parquet file that
    holds every column is read by its own reader, row group after row group: memory
    about one batch (the dataset scanner reads ahead and holds several gigabytes of a
    large file). Other fragments (columns from a partitioning, other formats) go
    through the dataset's scanner."""
    import pyarrow.dataset as ds
    import pyarrow.parquet as pq

    if isinstance(frag, ds.ParquetFileFragment) and set(columns) <= set(frag.physical_schema.names):
        row_groups = [rg.id for rg in frag.row_groups] if frag.row_groups is not None else None
        # pre_buffer off: with it the reader buffers far ahead of the batches consumed.
        # Columns decoded one after another on the reading thread (use_threads off): the
        # core's threads reduce the batch before meanwhile, and pyarrow's own threads
        # would take cores from them (benchmarks/out_of_core.py measures both).
        reader = pq.ParquetFile(frag.path, filesystem=frag.filesystem, pre_buffer=False)
        try:
            yield from reader.iter_batches(
                batch_size=batch_rows, columns=columns, row_groups=row_groups, use_threads=False
            )
        finally:
            reader.close()
    else:
        yield from frag.to_batches(columns=columns, batch_size=batch_rows)


def first_pass(
    dataset: Any, parsed: ParsedFormula, batch_rows: int, progress: bool | None, total: int | None
) -> tuple[pd.Index | None, dict[str, list]]:
    """The sorted group labels and the distinct values of factor candidates, reading
    only those columns; a missing label (null, or NaN) is none of them."""
    import pyarrow as pa
    import pyarrow.compute as pc

    group = list(parsed.group)
    cands = _candidates(parsed, dataset.schema)
    cols = group + cands
    ints = IntegerValues() if len(group) == 1 and pa.types.is_integer(dataset.schema.field(group[0]).type) else None
    uniq: dict[str, list] = {c: [] for c in cols}
    size: dict[str, int] = {c: 0 for c in cols}
    bar = progress_bar(progress, total, "levels", "rows", unit_scale=True)
    try:
        for frag in dataset.get_fragments():
            for batch in fragment_batches(frag, cols, batch_rows):
                for c in cols:
                    if c in cands and size[c] > MAX_LEVELS:
                        continue
                    arr = batch.column(c)
                    if ints is not None and c == group[0]:
                        # A missing label is no group (its rows are dropped as missing).
                        if ints.add(arr.drop_null().to_numpy()):
                            continue
                        if ints.spilled is not None:
                            uniq[c].append(pa.array(ints.spilled).cast(arr.type))
                            ints.spilled = None
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
        found = pc.unique(pa.chunked_array(uniq[c])).drop_null()
        if pa.types.is_floating(found.type):  # NaN is a missing value, as null is
            found = found.filter(pc.invert(pc.is_nan(found)))
        return list(found.to_pylist())

    if ints is not None and ints.seen is not None and not uniq[group[0]]:
        glevels = pd.Index(ints.values())
    elif len(group) == 1:
        glevels = pd.Index(values(group[0]))
    else:
        glevels = None  # interactions of columns: labels met as they come
    levels = {}
    for c in cands:
        if size[c] <= MAX_LEVELS:
            levels[c] = level_order(values(c))
    if glevels is not None:
        _codes, glevels = sorted_levels(glevels)
    return glevels, levels


@dataclass
class DatasetBatches:
    """A dataset ready to be read: its batches as (batch, where) pairs, the sorted group
    labels when a first pass found them (``None``: coded as they come), the levels of
    the columns that may be factors (found, then declared), its rows and its name."""

    batches: Iterator[tuple[Any, str]]
    group_levels: pd.Index | None
    levels: dict[str, list]
    total_rows: int
    name: str


def open_dataset(
    parsed: ParsedFormula,
    source: Any,
    batch_rows: int,
    levels: Mapping | None,
    progress: bool | None,
    weights: str | None,
) -> DatasetBatches:
    """A Parquet file or directory (a path) or a pyarrow dataset, its first pass made
    when the model needs one; refuses a missing column naming the file."""
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
    require_columns(parsed.columns + ([weights] if weights else []), dataset.schema.names, name)
    total = dataset.count_rows()
    group_levels: pd.Index | None
    if needs_first_pass(parsed, dataset.schema):
        group_levels, found = first_pass(dataset, parsed, batch_rows, progress, total)
    else:  # integer group labels, coded as they come; no factor to find levels of
        group_levels, found = None, {}
    declared = dict(found)
    declared.update({c: list(v) for c, v in (levels or {}).items()})
    cols = [c for c in dataset.schema.names if c in set(parsed.columns) or c == weights]

    def batches() -> Iterator[tuple[Any, str]]:
        for frag in dataset.get_fragments():
            start = 0
            for k, batch in enumerate(fragment_batches(frag, cols, batch_rows)):
                yield batch, f"{frag.path} (batch {k}, rows {start}..{start + batch.num_rows - 1})"
                start += batch.num_rows

    return DatasetBatches(batches(), group_levels, declared, total, name)
