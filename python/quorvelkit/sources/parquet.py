"""Reading Parquet files, directories and pyarrow datasets in batches: the type each
column is read as whatever type each file stores it as (or its refusal, naming the
column and the files), the first pass that finds the groups and the levels of the
columns that may be factors (reading those columns only), and the batches of the
columns a model uses, file after file, row group after row group, the columns of the
dataset's partitioning among them."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass
from typing import Any

import pandas as pd

from ..formula.checks import require_columns
from ..formula.parsing import ParsedFormula
from ..model.group_codes import IntegerValues
from ..support.errors import SourceError, clean_message
from ..support.frames import MAX_LEVELS, level_order, sorted_levels
from ..support.progress import progress_bar

__all__ = [
    "open_dataset",
    "DatasetBatches",
    "Piece",
    "dataset_pieces",
    "column_types",
    "fragment_batches",
    "arrow_kind",
    "first_pass",
]


def arrow_kind(t: Any) -> str:
    """The kind of an Arrow column type (see :meth:`quorvelkit.formula.parsing.ParsedFormula.factor_candidates`)."""
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
    coded as they come, and put in order at the end). Several grouping factors are
    coded batch by batch, each as its labels come."""
    import pyarrow as pa

    group = list(parsed.group)
    if len(parsed.factor_names) > 1:
        return bool(_candidates(parsed, schema))
    return bool(_candidates(parsed, schema)) or not (
        len(group) == 1 and pa.types.is_integer(schema.field(group[0]).type)
    )


@dataclass
class Piece:
    """One fragment of a dataset as it is read: the fragment, its name in messages (its
    file, or its position among the dataset's fragments when it has none, as the
    fragments of a table in memory) and the values of the columns its partitioning
    fixes (``{column: value}``; a hive directory ``g=3`` gives ``{"g": 3}``)."""

    fragment: Any
    name: str
    keys: dict[str, Any]


def dataset_pieces(dataset: Any, name: str | None = None) -> list[Piece]:
    """The fragments of ``dataset`` in order, each named (by its file, else by its place
    among the fragments of the dataset ``name``) and with its partition values."""
    import pyarrow.dataset as ds

    out = []
    of = f" of {name}" if name else ""
    for i, frag in enumerate(dataset.get_fragments()):
        path = getattr(frag, "path", None)
        out.append(
            Piece(frag, str(path) if path else f"fragment {i}{of}", ds.get_partition_keys(frag.partition_expression))
        )
    return out


def fragment_batches(piece: Piece, columns: list[str], types: Any, batch_rows: int) -> Iterator[Any]:
    """The batches of ``columns`` of one fragment of a dataset, each column of the type
    ``types`` (a schema, :func:`column_types`) gives it. A Parquet file is read by its own
    reader, row group after row group: memory about one batch (the dataset scanner reads
    ahead and holds several gigabytes of a large file). Other fragments (tables in memory,
    other formats) go through the dataset's scanner. Columns fixed by the partitioning
    are the fragment's value on every row."""
    import pyarrow.dataset as ds
    import pyarrow.parquet as pq

    frag = piece.fragment
    stored = [c for c in columns if c not in piece.keys]
    with reading(piece.name):
        if isinstance(frag, ds.ParquetFileFragment):
            row_groups = [rg.id for rg in frag.row_groups] if frag.row_groups is not None else None
            # pre_buffer off: with it the reader buffers far ahead of the batches consumed.
            # Columns decoded one after another on the reading thread (use_threads off): the
            # core's threads reduce the batch before meanwhile, and pyarrow's own threads
            # would take cores from them (benchmarks/out_of_core.py measures both).
            reader = pq.ParquetFile(frag.path, filesystem=frag.filesystem, pre_buffer=False)
            try:
                for batch in reader.iter_batches(
                    batch_size=batch_rows, columns=stored, row_groups=row_groups, use_threads=False
                ):
                    yield _conformed(batch, piece, columns, types)
            finally:
                reader.close()
        else:
            for batch in frag.to_batches(columns=stored, batch_size=batch_rows):
                yield _conformed(batch, piece, columns, types)


@contextlib.contextmanager
def reading(name: str) -> Iterator[None]:
    """Arrow's and the file system's errors reading ``name`` (a file that is not
    Parquet, or is cut short, or cannot be opened; a value a CSV file's column cannot
    hold) as a :class:`SourceError` naming it. Running out of memory stays a
    ``MemoryError``."""
    import pyarrow as pa

    try:
        yield
    except MemoryError:
        raise
    except (pa.ArrowException, OSError) as exc:
        raise SourceError(f"cannot read {name}: {clean_message(exc)}") from exc


def _conformed(batch: Any, piece: Piece, columns: list[str], types: Any) -> Any:
    """``batch`` with its columns in the order of ``columns``, of the types of
    ``types``, the partition's columns added. Integers become floats as NumPy converts
    them (to the nearest double), as pandas does when it concatenates them with floats."""
    import pyarrow as pa

    arrays = []
    for c in columns:
        target = types.field(c).type
        if c in piece.keys:
            arrays.append(_constant(piece.keys[c], target, batch.num_rows))
            continue
        arr = batch.column(c)
        if arr.type != target:
            arr = arr.cast(target, safe=not pa.types.is_floating(target))
        arrays.append(arr)
    return pa.RecordBatch.from_arrays(arrays, names=columns)


def _constant(value: Any, t: Any, n: int) -> Any:
    import numpy as np
    import pyarrow as pa

    if value is None:  # the partition of missing values (hive's __HIVE_DEFAULT_PARTITION__)
        return pa.nulls(n, type=t)
    if pa.types.is_dictionary(t):
        return pa.DictionaryArray.from_arrays(
            pa.array(np.zeros(n, dtype=np.int64)).cast(t.index_type), pa.array([value], type=t.value_type)
        )
    return pa.repeat(pa.scalar(value, type=t), n)


def column_types(pieces: list[Piece], columns: list[str], schema: Any) -> Any:
    """The schema ``columns`` are read as, from the types every fragment stores them as
    (a partition's column: the dataset's type of it). Fragments may differ within a
    family: integers of any width are read as int64 (uint64 when none is signed), with
    floats as float64; text and dictionaries of text as text; a column of nulls as the
    others. Refuses (:class:`SourceError`, naming the column and the files) a column
    some fragment lacks, and one stored as different kinds of values (numbers in one
    file, text in another: naming the first value that is not a number and its row)."""
    import pyarrow as pa

    if not pieces:  # an empty dataset: its own schema (lmm refuses what it lacks)
        return pa.schema([schema.field(c) for c in columns if c in schema.names])
    stored = []
    for piece in pieces:
        with reading(piece.name):
            phys = piece.fragment.physical_schema
        require_columns(columns, [*phys.names, *piece.keys], piece.name)
        stored.append({c: schema.field(c).type if c in piece.keys else phys.field(c).type for c in columns})
    fields = []
    for c in columns:
        types = [t[c] for t in stored]
        common = _common_type(types)
        if common is None:
            raise _mixed_types(pieces, types, c)
        fields.append(pa.field(c, common))
    return pa.schema(fields)


def _family(t: Any) -> str:
    import pyarrow as pa

    if pa.types.is_dictionary(t):
        t = t.value_type
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        return "text"
    if pa.types.is_integer(t) or pa.types.is_floating(t):
        return "number"
    return str(t)


def _common_type(types: list[Any]) -> Any | None:
    """The type a column stored as ``types`` is read as; ``None`` when they are of
    different families (or are int64 and uint64, which have no exact common type)."""
    import pyarrow as pa

    known = [t for t in types if not pa.types.is_null(t)]
    if not known:
        return types[0] if types else None
    if all(t == known[0] for t in known):
        return known[0]
    family = {_family(t) for t in known}
    if family == {"text"}:
        values = [t.value_type if pa.types.is_dictionary(t) else t for t in known]
        return pa.large_string() if any(pa.types.is_large_string(t) for t in values) else pa.string()
    if family == {"number"}:
        if any(pa.types.is_floating(t) for t in known):
            return pa.float64()
        if not any(pa.types.is_signed_integer(t) for t in known):
            return pa.uint64()
        return None if pa.uint64() in known else pa.int64()
    return None


def _mixed_types(pieces: list[Piece], types: list[Any], column: str) -> SourceError:
    # The first two fragments without a common type (some two have none when all have none).
    i, j = next((i, j) for j in range(len(types)) for i in range(j) if _common_type([types[i], types[j]]) is None)
    text = ""
    families = (_family(types[i]), _family(types[j]))
    if set(families) == {"text", "number"}:
        k = j if families[1] == "text" else i
        found = _not_a_number(pieces[k], column)
        text = (
            f" (row {found[0]} of {pieces[k].name} holds {found[1]!r}, which is not a number)"
            if found is not None
            else f" ({pieces[k].name} holds numbers stored as text: write them as numbers)"
        )
    return SourceError(
        f"the column '{column}' is {types[i]} in {pieces[i].name} but {types[j]} in {pieces[j].name}: "
        f"every file must hold a column as one kind of value{text}"
    )


def _not_a_number(piece: Piece, column: str) -> tuple[int, Any] | None:
    """The first row of a text column of ``piece`` (counted from 0) whose value is not a
    number, and the value; ``None`` when every value is a number or missing. Only the
    first 2^20 rows are looked at: the column is refused either way, and the refusal
    comes within seconds."""
    import numpy as np
    import pyarrow as pa

    if column in piece.keys:
        value = piece.keys[column]
        return None if pd.notna(pd.to_numeric(pd.Series([value]), errors="coerce")[0]) else (0, value)
    t = piece.fragment.physical_schema.field(column).type
    start = 0
    for batch in fragment_batches(piece, [column], pa.schema([(column, t)]), 1 << 16):
        values = batch.column(0).to_pandas().astype(object)
        numbers = pd.to_numeric(values, errors="coerce")
        bad = np.flatnonzero(numbers.isna().to_numpy() & values.notna().to_numpy())
        if len(bad):
            return start + int(bad[0]), values.iloc[int(bad[0])]
        start += batch.num_rows
        if start >= 1 << 20:
            break
    return None


def first_pass(
    pieces: list[Piece],
    types: Any,
    parsed: ParsedFormula,
    batch_rows: int,
    progress: bool | None,
    total: int | None,
) -> tuple[pd.Index | None, dict[str, list]]:
    """The sorted group labels and the distinct values of factor candidates, reading
    only those columns (``types``: the schema they are read as); a missing label
    (null, or NaN) is none of them."""
    import pyarrow as pa
    import pyarrow.compute as pc

    group = list(parsed.group) if len(parsed.factor_names) == 1 else []
    cands = _candidates(parsed, types)
    cols = list(dict.fromkeys(group + cands))
    ints = IntegerValues() if len(group) == 1 and pa.types.is_integer(types.field(group[0]).type) else None
    uniq: dict[str, list] = {c: [] for c in cols}
    size: dict[str, int] = {c: 0 for c in cols}
    bar = progress_bar(progress, total, "levels", "rows", unit_scale=True)
    try:
        for piece in pieces:
            for batch in fragment_batches(piece, cols, types, batch_rows):
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
                    over = c in cands and size[c] > MAX_LEVELS
                    if (over or size[c] > 4 * max(len(uniq[c][0]), 1)) and len(uniq[c]) > 1:
                        merged = pc.unique(pa.chunked_array(uniq[c]))
                        uniq[c] = [merged.combine_chunks() if hasattr(merged, "combine_chunks") else merged]
                        size[c] = len(uniq[c][0])
                    if c in cands and size[c] > MAX_LEVELS and arrow_kind(types.field(c).type) != "integer":
                        raise _too_many_levels(c, types.field(c).type, piece.name)
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


def _too_many_levels(column: str, t: Any, where: str) -> SourceError:
    """The refusal of a column formulaic makes a factor (text, dictionary) whose levels
    would be fixed-effects columns by the hundred thousand: X'X alone would not fit in
    memory, and learning the model from a batch would not end in reasonable time."""
    return SourceError(
        f"the column '{column}' ({t}) holds more than {MAX_LEVELS:,} distinct values (read up to {where}): as a "
        f"factor it would be as many fixed-effects columns; if it holds numbers, store them as numbers"
    )


@dataclass
class DatasetBatches:
    """A dataset ready to be read: ``read()`` gives its batches as (batch, where) pairs
    (read from the start at each call), the sorted group labels when a first pass found
    them (``None``: coded as they come), the levels of the columns that may be factors
    (found, then declared), its rows and its name."""

    read: Callable[[], Iterator[tuple[Any, str]]]
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
    name: str | None = None,
    levels_pass: bool = True,
) -> DatasetBatches:
    """A Parquet file or directory (a path) or a pyarrow dataset (or what reads as one:
    a schema, ``get_fragments()`` and ``count_rows()``, fragments of
    ``physical_schema``, ``partition_expression`` and ``to_batches(columns=,
    batch_size=)``), named ``name`` in messages, its first pass made when the model
    needs one (``levels_pass`` false: never, the caller finding the levels it needs);
    refuses a missing column naming the file."""
    try:
        import pyarrow.dataset as ds
    except ImportError:  # pragma: no cover - the extra is missing
        raise ImportError("reading Parquet needs pyarrow: pip install 'quorvelkit[parquet]'") from None
    given, name = name, name or (str(source) if isinstance(source, (str, os.PathLike)) else "the dataset")
    if isinstance(source, (str, os.PathLike)):
        if not os.path.exists(source):
            raise FileNotFoundError(f"no such file or directory: {str(source)!r}")
        # Directories named column=value are columns, as pyarrow.parquet.read_table
        # and pandas.read_parquet read them.
        with reading(str(source)):
            dataset = ds.dataset(source, format="parquet", partitioning="hive")
    else:
        dataset = source
    needed = parsed.columns + ([weights] if weights else [])
    cols = list(dict.fromkeys([*(c for c in dataset.schema.names if c in set(needed)), *needed]))
    pieces = dataset_pieces(dataset, given)
    types = column_types(pieces, cols, dataset.schema)  # a column a file lacks: named with the file
    require_columns(needed, dataset.schema.names, name)
    with reading(name):
        total = dataset.count_rows()
    group_levels: pd.Index | None
    if levels_pass and needs_first_pass(parsed, types):
        group_levels, found = first_pass(pieces, types, parsed, batch_rows, progress, total)
    else:  # integer group labels, coded as they come; no factor to find levels of
        group_levels, found = None, {}
    declared = dict(found)
    declared.update({c: list(v) for c, v in (levels or {}).items()})

    def batches() -> Iterator[tuple[Any, str]]:
        for piece in pieces:
            start = 0
            for k, batch in enumerate(fragment_batches(piece, cols, types, batch_rows)):
                yield batch, f"{piece.name} (batch {k}, rows {start}..{start + batch.num_rows - 1})"
                start += batch.num_rows

    return DatasetBatches(batches, group_levels, declared, total, name)
