"""A Dask DataFrame read from Parquet, reduced from Arrow on the workers.

When a Dask DataFrame is ``dd.read_parquet(...)`` as it stands (possibly with a
selection of columns or of partitions, and with ``filters``), its partitions are
fragments of the dataset: files or runs of row groups. Those are read on the workers by
pyarrow, batch after batch, through the Parquet route's own reading and reduction
(Arrow columns into the core's accumulator for a model of plain columns, model rows
otherwise), without a pandas frame of a whole partition.

Each leaf of the reduction reduces a fixed run of consecutive partitions, in row
order, into one accumulator; the leaves' products are merged by a tree whose shape
depends on the number of partitions only. Group labels are coded against the levels a
first pass finds (on the workers, reading the group and factor columns only) when the
model needs one, so that every leaf's products are dense arrays over the same groups;
integer labels are otherwise coded as they come and merged by label. For a given
partitioning the result is bit-identical whatever the number of workers.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

import quorvelkit._quorvelkit as _qk

from ..cores.product_layout import factor_layout
from ..cores.products import PartProducts, add_batch, part_products, without_ztz
from ..formula.parsing import ParsedFormula
from ..model.description import ModelSpec
from ..model.group_codes import GroupCodes
from ..support.errors import SourceError
from ..support.frames import MAX_LEVELS, level_order, sorted_levels
from .interface import first_spec, has_complete_row, reduce_batches
from .parquet import Piece, column_types, dataset_pieces, first_pass, fragment_batches, needs_first_pass, reading

__all__ = [
    "ParquetPartitions",
    "parquet_partitions",
    "read_types",
    "leaf_runs",
    "piece_batches",
    "find_levels",
    "union_levels",
    "reduce_leaf",
    "plan_leaves",
]

#: Options of ``dd.read_parquet`` that leave the values read as the file holds them.
_NEUTRAL_KWARGS = {"dtype_backend"}


@dataclass
class ParquetPartitions:
    """The partitions of a Dask DataFrame read from Parquet: one :class:`Piece` each, in
    the DataFrame's partition order, the dataset's schema, and the row filter its
    ``filters`` make (a pyarrow expression, and the columns it reads), if any."""

    pieces: list[Piece]
    schema: Any
    filter: Any = None
    filter_columns: tuple[str, ...] = ()


def parquet_partitions(ddf: Any) -> ParquetPartitions | None:
    """The Parquet fragments of ``ddf`` in partition order, or ``None`` when ``ddf`` is
    anything but a read of Parquet whose values reach the DataFrame unchanged (computed
    columns, a row selection, categories, options that change how values are read, a
    layout of partitions this does not know)."""
    try:
        from dask.dataframe.dask_expr.io.parquet import ReadParquet, ReadParquetFSSpec, ReadParquetPyarrowFS
    except ImportError:  # pragma: no cover - a dask without the expression system
        return None
    expr = getattr(ddf, "expr", None)
    if expr is None:
        return None
    try:
        expr = expr.simplify()  # a selection of columns moves into the read
    except Exception:  # an expression dask cannot simplify: the general route
        return None
    if not isinstance(expr, ReadParquet) or getattr(expr, "_series", False):
        return None
    if expr.operand("categories") is not None:
        return None
    kwargs = expr.operand("kwargs") or {}
    if any(k not in _NEUTRAL_KWARGS for k in kwargs):
        return None
    filters = expr.operand("filters")
    picked = list(expr._partitions) if expr._partitions is not None else None
    import pyarrow.dataset as ds

    if isinstance(expr, ReadParquetFSSpec):
        info = expr._dataset_info
        dataset, parts = info["ds"], info["plan"]["parts"]
        if info["plan"]["empty"] or not all(_is_piece(p) for p in parts):
            return None
        by_path = {f.path: f for f in dataset.get_fragments()}
        frags = []
        for part in parts:
            path, row_groups, _keys = part["piece"]
            if path not in by_path:
                return None
            frag = by_path[path]
            if row_groups is None or all(r is None for r in row_groups):  # the whole file
                frags.append(frag)
            elif all(isinstance(r, int) for r in row_groups):
                frags.append(frag.subset(row_group_ids=list(row_groups)))
            else:
                return None
        schema = dataset.schema
    elif isinstance(expr, ReadParquetPyarrowFS):
        if expr.operand("arrow_to_pandas"):
            return None
        frags, schema = list(expr.fragments), expr._dataset_info["schema"]
    else:
        return None
    order = picked if picked is not None else range(len(frags))
    pieces = []
    for k, i in enumerate(order):
        frag = frags[i]
        ids = [] if frag.row_groups is None else [str(r.id) for r in frag.row_groups]
        rgs = f", row group{'s' if len(ids) > 1 else ''} {', '.join(ids)}" if ids else ""
        name = f"partition {k} of the Dask DataFrame ({frag.path}{rgs})"
        pieces.append(Piece(frag, name, ds.get_partition_keys(frag.partition_expression)))
    if not filters:
        return ParquetPartitions(pieces, schema)
    import pyarrow.parquet as pq

    try:
        expression = pq.filters_to_expression(filters)
    except (TypeError, ValueError):
        return None
    if not isinstance(filters, list) or not all(isinstance(f, (tuple, list)) for f in filters):
        return None  # an expression of its own: the columns it reads are not known here
    # A list of (column, op, value) is one conjunction; a list of lists, a disjunction.
    terms = [filters] if isinstance(filters[0], tuple) else filters
    used = tuple(dict.fromkeys(t[0] for conj in terms for t in conj))
    if not all(isinstance(c, str) and c in schema.names for c in used):
        return None
    return ParquetPartitions(pieces, schema, expression, used)


def _is_piece(part: Any) -> bool:
    return isinstance(part, dict) and set(part) == {"piece"} and isinstance(part["piece"], tuple)


def leaf_runs(n: int, run: int) -> list[range]:
    """The partitions each leaf reduces: consecutive runs of ``run`` (the last shorter)."""
    return [range(i, min(i + run, n)) for i in range(0, n, run)]


def piece_batches(
    source: ParquetPartitions, which: Sequence[int], columns: list[str], types: Any, batch_rows: int
) -> Iterator[tuple[Any, str]]:
    """The batches of ``columns`` of the partitions ``which``, in order, filtered by the
    DataFrame's filters (rows where the filter is false or missing are not read, as
    Dask reads them), each with its place in messages."""
    read = list(dict.fromkeys([*columns, *source.filter_columns]))
    for i in which:
        piece = source.pieces[i]
        start = 0
        for k, batch in enumerate(fragment_batches(piece, read, types, batch_rows)):
            where = f"{piece.name} (batch {k}, rows {start}..{start + batch.num_rows - 1})"
            start += batch.num_rows
            if source.filter is not None:
                batch = _filtered(batch, source.filter, columns, piece.name)
            yield batch, where


def _filtered(batch: Any, expression: Any, columns: list[str], name: str) -> Any:
    """The rows of ``batch`` where ``expression`` is true, in ``columns``."""
    import pyarrow as pa

    with reading(name):
        table = pa.Table.from_batches([batch]).filter(expression).select(columns)
    if not table.num_rows:
        return pa.RecordBatch.from_pylist([], schema=table.schema)
    return table.combine_chunks().to_batches()[0]


def find_levels(
    source: ParquetPartitions, which: Sequence[int], types: Any, parsed: ParsedFormula, batch_rows: int
) -> tuple[pd.Index | None, dict[str, list]]:
    """One leaf's first pass (see :func:`quorvelkit.sources.parquet.first_pass`) over the
    partitions ``which``; with filters, over the rows they keep."""
    if source.filter is None:
        return first_pass([source.pieces[i] for i in which], types, parsed, batch_rows, False, None)
    import pyarrow as pa

    cols = list(dict.fromkeys([*parsed.group, *(c for c in parsed.columns if c in types.names)]))
    batches = [b for b, _ in piece_batches(source, which, cols, types, batch_rows) if b.num_rows]
    table = pa.Table.from_batches(batches, schema=pa.schema([types.field(c) for c in cols]))
    import pyarrow.dataset as ds

    pieces = [
        Piece(p.fragment, f"the rows of {source.pieces[which[0]].name}", {}) for p in dataset_pieces(ds.dataset(table))
    ]
    return first_pass(pieces, types, parsed, batch_rows, False, None)


def union_levels(found: list[tuple[pd.Index | None, dict[str, list]]]) -> tuple[pd.Index | None, dict[str, list]]:
    """The group labels (sorted) and the factor candidates' levels of all leaves; a
    candidate some leaf found too many values of is left to be a number."""
    groups = [g for g, _ in found]
    glevels: pd.Index | None = None
    if all(g is not None for g in groups):
        arrays = [np.asarray(g) for g in groups if g is not None and len(g)]
        if arrays:
            _codes, glevels = sorted_levels(pd.Index(pd.unique(np.concatenate(arrays))))
        else:
            glevels = pd.Index([])
    levels: dict[str, list] = {}
    for c in found[0][1]:
        if all(c in lv for _, lv in found):
            values = pd.unique(np.concatenate([np.asarray(lv[c], dtype=object) for _, lv in found]))
            if len(values) <= MAX_LEVELS:
                levels[c] = level_order(values.tolist())
    return glevels, levels


def reduce_leaf(
    spec: ModelSpec,
    source: ParquetPartitions,
    which: Sequence[int],
    columns: list[str],
    types: Any,
    group_levels: pd.Index | None,
    batch_rows: int,
) -> PartProducts:
    """The products of the partitions ``which``, read in row order into one
    accumulator: over every group of ``group_levels`` when given (dense, in that order),
    else over the groups met, in the order of their sorted labels. A model on several
    grouping factors is reduced batch by batch and merged by label."""
    batches = piece_batches(source, which, columns, types, batch_rows)
    if len(spec.parsed.factor_names) != 1:
        out = reduce_batches(spec, batches)
        if out is None:
            import pyarrow as pa

            out = part_products(spec, pa.RecordBatch.from_pylist([], schema=types), "no rows")
        return out
    codes_of = GroupCodes(group_levels)
    acc = _qk.ProductsAccumulator(
        max(codes_of.m, 1), spec.p, spec.q, spec.shift, weighted=spec.weighted, z_in_x=spec.z_in_x()
    )
    n_dropped = n_zero = 0
    for batch, where in batches:
        if not batch.num_rows:
            continue
        cols = spec.columns(batch, where)
        rows: Any = spec.rows(batch, where) if cols is None else cols
        codes = codes_of.codes(rows.labels if cols is None else cols[3], where)
        if codes_of.m > acc.m:
            acc.grow(max(codes_of.m, 2 * acc.m))
        dropped, zero = add_batch(acc, spec, rows, codes, where)
        n_dropped += dropped
        n_zero += zero
    _release_arrow_memory()  # what the batches held, before the products are held twice
    if codes_of.fixed:
        products = factor_layout(acc.products(np.arange(codes_of.m), release=True))
        return without_ztz(PartProducts(products, (codes_of.index,), n_dropped, n_zero), spec.z_in_x())
    order, labels_of = codes_of.sorted_order(release=True)
    products = factor_layout(acc.products(order, release=True))
    return without_ztz(PartProducts(products, (labels_of(),), n_dropped, n_zero), spec.z_in_x())


def _release_arrow_memory() -> None:
    """Hands the memory Arrow's allocator keeps for reuse back to the system: a worker
    holds products of every group from here on, and no batch."""
    import pyarrow as pa

    pa.default_memory_pool().release_unused()


def read_types(source: ParquetPartitions, columns: list[str]) -> Any:
    """The types the columns (and the filter's) are read as (see
    :func:`quorvelkit.sources.parquet.column_types`)."""
    return column_types(source.pieces, list(dict.fromkeys([*columns, *source.filter_columns])), source.schema)


#: Rows per batch a worker reads from a Parquet fragment (a quarter of the in-process
#: route's: every worker holds its batches beside products of every group).
BATCH_ROWS = 1 << 18


def plan_leaves(
    parsed: ParsedFormula,
    source: ParquetPartitions,
    levels: Mapping[str, Sequence] | None,
    weights: str | None,
    run: int,
) -> tuple[ModelSpec, list[Any]]:
    """The plan of a DataFrame read from Parquet, its fragments read on the workers: a
    first pass when the model needs one, the model learnt from the first batch holding
    a complete row (read on the client), then the leaves (delayed), one per run of
    ``run`` partitions, for :mod:`quorvelkit.sources.dask` to merge as a fixed tree."""
    import dask

    needed = parsed.columns + ([weights] if weights else [])
    cols = list(dict.fromkeys([*(c for c in source.schema.names if c in set(needed)), *needed]))
    types = read_types(source, cols)
    runs = [list(r) for r in leaf_runs(len(source.pieces), run)]
    group_levels: pd.Index | None = None
    found: dict[str, list] = {}
    if needs_first_pass(parsed, types):
        find = dask.delayed(find_levels, pure=True)
        passes = dask.compute(*[find(source, r, types, parsed, BATCH_ROWS) for r in runs])
        group_levels, found = union_levels(list(passes))
    declared = {**found, **{c: list(v) for c, v in (levels or {}).items()}}
    first = next(
        (
            b
            for b in piece_batches(source, range(len(source.pieces)), cols, types, BATCH_ROWS)
            if has_complete_row(parsed, b[0])
        ),
        None,
    )
    if first is None:
        raise SourceError(
            f"the Dask DataFrame has no complete row (with a value in each of {', '.join(parsed.columns)}) to learn "
            f"the model's columns from"
        )
    spec = first_spec(parsed, first, declared, weights, 1 << 16)
    del first
    shared = dask.delayed(group_levels)
    leaf = dask.delayed(reduce_leaf, pure=True)
    return spec, [leaf(spec, source, r, cols, types, shared, BATCH_ROWS) for r in runs]
