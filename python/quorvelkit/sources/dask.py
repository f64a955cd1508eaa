"""Fitting a Dask DataFrame: ``quorvelkit.sources.dask.lmm(formula, ddf)``.

Every partition is reduced to its products by the compiled core inside
``map_partitions`` (on the workers, where the partition is); the products are merged
by a tree reduction keyed by group label (a group may span partitions), whose shape
depends only on the number of partitions, and the fit runs on the client. For a given
partitioning the result is therefore bit-identical whatever the number of workers and
the order in which tasks finish. A DataFrame read from Parquet (``dd.read_parquet``)
is read from its fragments with pyarrow on the workers instead, without pandas frames
(:mod:`quorvelkit.sources.dask_parquet`). Needs ``pip install 'quorvelkit[dask]'``.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Mapping, Sequence
from typing import Any

import numpy as np
import pandas as pd

from ..cores.products import PartProducts, part_products
from ..fitting.core_fit import fit_parts
from ..formula.checks import check_weights_column, require_columns
from ..formula.parsing import ParsedFormula, parse_formula
from ..model.description import ModelSpec, Place
from ..model.fit_options import FitOptions, unknown_options
from ..model.model_learning import learn_spec, sample_numbers
from ..results.lmm_fit import LmmFit
from ..support.errors import SourceError
from ..support.frames import MAX_LEVELS, level_order, pandas_kind
from ..support.labels import label_text
from .dask_parquet import parquet_partitions, plan_leaves
from .interface import BatchSource, merge_in_order

__all__ = ["lmm", "structure_lmm", "DaskSource", "SOURCE", "parquet_partitions"]


def _partition(frame: pd.DataFrame, spec: ModelSpec, partition_info: dict | None = None) -> pd.Series:
    """One partition's products, in a one-element Series (what map_partitions returns)."""
    number = partition_info["number"] if partition_info else "?"
    part = part_products(spec, frame, f"partition {number} of the Dask DataFrame")
    return pd.Series([part], dtype=object)


def _merge_list(parts: list) -> PartProducts:
    """Merges the parts in order (a left fold): the inner nodes of the tree."""
    out = merge_in_order(s.iloc[0] if isinstance(s, pd.Series) else s for s in parts)
    assert out is not None, "a merge of no parts"
    return out


def _tree(items: list, split_every: int, merge_list: Callable[[list], Any] = _merge_list) -> Any:
    """A tree of delayed merges (``merge_list``: a left fold of its children) over items
    in partition order; its shape depends only on len(items) and split_every."""
    import dask

    merge = dask.delayed(merge_list, pure=True)
    while True:
        items = [merge(items[i : i + split_every]) for i in range(0, len(items), split_every)]
        if len(items) == 1:
            return items[0]


def _distinct(s: pd.Series) -> pd.Series:
    return pd.Series(s.dropna().unique(), dtype=object)


def _levels(
    ddf: Any, parsed: ParsedFormula, declared: Mapping[str, Sequence] | None, numbers: Sequence[str] = ()
) -> dict[str, list]:
    """The declared levels, and the distinct values of the columns that may be factors
    (:meth:`~quorvelkit.formula.parsing.ParsedFormula.factor_candidates`) other than the terms
    the first rows hold as ``numbers``, in one pass over those columns."""
    import dask

    kinds = {c: pandas_kind(ddf.dtypes[c]) for c in parsed.columns if c in ddf.columns}
    cands = parsed.factor_candidates(kinds, declared=[*(declared or {}), *numbers])
    out = {c: list(v) for c, v in (declared or {}).items()}
    if cands:
        # Distinct values per partition, then on the client: no shuffle of rows.
        found = dask.compute(*[ddf[c].map_partitions(_distinct, meta=pd.Series(dtype=object)) for c in cands])
        for c, vals in zip(cands, found, strict=True):
            vals = pd.unique(np.asarray(vals, dtype=object))
            if len(vals) <= MAX_LEVELS:
                out[c] = level_order(vals.tolist())
    return out


#: Rows the model's columns are learnt from (see :func:`_sample`).
SAMPLE_ROWS = 1000


def _head(frame: pd.DataFrame, complete: Sequence[str] | None) -> pd.DataFrame:
    """The first rows of a partition, or its first complete rows in ``complete``."""
    return (frame if complete is None else frame.dropna(subset=list(complete))).head(SAMPLE_ROWS)


def _sample(ddf: Any, columns: Sequence[str]) -> tuple[pd.DataFrame, Place]:
    """The rows the model's columns are learnt from, and the place of each in
    messages: the first :data:`SAMPLE_ROWS` rows of the first four partitions or, when
    those hold no row complete in ``columns``, the first such complete rows wherever they
    are (partitions are read four, eight, sixteen... at a time until enough are found).
    Each partition's rows are taken on its worker; only the sample reaches the client."""
    import dask

    parts = ddf.to_delayed()
    head = dask.delayed(_head, pure=True)

    def read(first: int, stop: int, complete: Sequence[str] | None) -> list[tuple[int, pd.DataFrame]]:
        got = dask.compute(*[head(p, complete) for p in parts[first:stop]])
        return [(first + i, f) for i, f in enumerate(got) if len(f)]

    found = read(0, 4, None)
    # The sample is the first SAMPLE_ROWS rows of those read: whether it holds a complete
    # row is asked of it, not of every row read (a first partition longer than the
    # sample and without one would otherwise be all of it).
    head_rows = pd.concat([f for _, f in found]).head(SAMPLE_ROWS) if found else None
    if head_rows is None or not head_rows[list(columns)].notna().all(axis=1).any():
        found, start, width = [], 0, 4
        while start < len(parts) and sum(len(f) for _, f in found) < SAMPLE_ROWS:
            found += read(start, start + width, columns)
            start, width = start + width, 2 * width
    if not found:
        raise SourceError(
            f"the Dask DataFrame has no complete row (with a value in each of {', '.join(columns)}) to learn the "
            f"model's columns from"
        )
    sample = pd.concat([f for _, f in found]).head(SAMPLE_ROWS)
    origin = np.concatenate([np.full(len(f), i) for i, f in found])[:SAMPLE_ROWS]
    return sample, lambda k: f"row {label_text(sample.index[k])} of partition {origin[k]} of the Dask DataFrame"


def lmm(
    formula: str,
    ddf: Any,
    *args: Any,
    levels: Mapping[str, Sequence] | None = None,
    progress: bool | None = None,
    weights: str | None = None,
    split_every: int = 8,
    leaf_partitions: int | None = None,
    **kwargs: Any,
) -> LmmFit:
    """Fit a linear mixed model to a Dask DataFrame, partition by partition.

    Args:
        formula: as for :func:`quorvelkit.lmm`.
        ddf: a ``dask.dataframe.DataFrame``; computed on the current scheduler (a
            ``distributed.Client`` when one is active).
        *args, **kwargs: the fit options, :class:`~quorvelkit.model.fit_options.FitOptions`
            (one by one, or all as ``options=``).
        levels: the levels of categorical columns, ``{column: [levels]}``; by default a
            first pass collects the distinct values of the text, categorical, boolean
            and integer columns the formula uses (those columns only).
        progress: show the engine's progress bar (distributed's when a client is
            active, else dask's).
        weights: the column of prior weights, as :func:`quorvelkit.lmm` takes them
            (finite and non-negative; rows of weight zero are left out).
        split_every: partitions merged per node of the reduction tree (of a
            DataFrame not read from Parquet; the leaves of one read from Parquet are
            merged pairwise).
        leaf_partitions: for a DataFrame read from Parquet, the consecutive partitions
            each leaf of the tree reads into one accumulator; by default a quarter of
            them (four leaves: each holds the products of nearly every group, so that
            fewer leaves take less memory and fewer merges, and four keep two to four
            workers busy; give a smaller run for more workers). The tree's shape, and
            so the result's bits, depend on it and on the number of partitions only.

    A DataFrame that is ``dd.read_parquet(...)`` as it stands (a selection of columns or
    partitions, and ``filters``, allowed) is reduced from its Parquet fragments, read
    with pyarrow on the workers in the DataFrame's partition order; any other is reduced
    partition by partition from the pandas frames Dask computes.

    Returns:
        :class:`~quorvelkit.LmmFit` without its rows.

    Raises:
        SourceError: a missing column, a level outside the model's, a value that is
            not finite or whose square overflows (naming the column and the
            partition), before any fit. A row without a group label is dropped as
            missing, as in memory.
    """
    options = FitOptions.take(args, kwargs, "quorvelkit.sources.dask.lmm()")
    if kwargs:
        raise unknown_options(
            kwargs, "quorvelkit.sources.dask.lmm()", ["levels", "progress", "split_every", "leaf_partitions"]
        )
    check_weights_column(weights)
    parsed = parse_formula(formula)
    require_columns(list(parsed.columns) + ([weights] if weights else []), list(ddf.columns), "the Dask DataFrame")
    source = parquet_partitions(ddf)
    if source is not None:
        run = max(1, -(-len(source.pieces) // 4) if leaf_partitions is None else int(leaf_partitions))
        spec, leaves = plan_leaves(parsed, source, levels, weights, run)
        # Pairs of leaves merged: every leaf holds the products of (nearly) every group,
        # so a node holds its inputs and its output, three times the products.
        merged = _compute(_tree(leaves, 2), progress)
        return fit_parts(spec, merged, options, source=f"a Dask DataFrame of {len(source.pieces)} partitions")
    used = [c for c in ddf.columns if c in set(parsed.columns) or c == weights]
    ddf = ddf[used]
    sample, place = _sample(ddf, parsed.columns)
    found = _levels(ddf, parsed, levels, sample_numbers(parsed, sample, place))
    where = "the first rows of the Dask DataFrame"
    spec = learn_spec(parsed, sample, levels=found, where=where, weights_column=weights, place=place).spec
    parts = ddf.map_partitions(_partition, spec, meta=pd.Series(dtype=object), align_dataframes=False)
    tree = _tree(list(parts.to_delayed()), max(2, int(split_every)))
    merged = _compute(tree, progress)
    return fit_parts(spec, merged, options, source=f"a Dask DataFrame of {ddf.npartitions} partitions")


def _structure_partition(
    frame: pd.DataFrame, spec: ModelSpec, levels: Any, partition_info: dict | None = None
) -> pd.Series:
    """One partition's patterns (a residual structure's), in a one-element Series."""
    from . import structure_batches

    number = partition_info["number"] if partition_info else "?"
    part = structure_batches.reduce_batch(spec, levels, frame, f"partition {number} of the Dask DataFrame")
    return pd.Series([part], dtype=object)


def _distinct_partition(frame: pd.DataFrame, parsed: ParsedFormula) -> pd.Series:
    from . import structure_batches

    return pd.Series([structure_batches.distinct_values(parsed, frame)], dtype=object)


def structure_lmm(
    parsed: ParsedFormula,
    ddf: Any,
    options: FitOptions,
    *,
    levels: Mapping[str, Sequence] | None,
    progress: bool | None,
    split_every: int,
) -> Any:
    """A model with a residual structure (and no random effects) fitted from a Dask
    DataFrame whose partitions each hold the whole of their subjects
    (:mod:`quorvelkit.sources.structure_batches`): the levels found partition by
    partition, each partition reduced to its patterns on its worker, the patterns
    merged by the fixed tree of :func:`_tree` (the bits depend on the partitioning
    only), and the fit on the client."""
    from . import structure_batches

    t0 = time.perf_counter()
    require_columns(list(parsed.columns), list(ddf.columns), "the Dask DataFrame")
    ddf = ddf[[c for c in ddf.columns if c in set(parsed.columns)]]
    sample, place = _sample(ddf, parsed.columns)
    meta = pd.Series(dtype=object)
    distinct = ddf.map_partitions(_distinct_partition, parsed, meta=meta, align_dataframes=False)
    found = structure_batches.find_levels(parsed, list(_compute(distinct, progress)), levels)
    where = "the first rows of the Dask DataFrame"
    spec = learn_spec(parsed, sample, levels=found.formula, where=where, place=place).spec
    parts = ddf.map_partitions(_structure_partition, spec, found, meta=meta, align_dataframes=False)
    tree = _tree(list(parts.to_delayed()), max(2, int(split_every)), structure_batches.merge_list)
    merged = _compute(tree, progress)
    source = f"a Dask DataFrame of {ddf.npartitions} partitions"
    return structure_batches.fit_patterns(spec, found, merged, options, source, t0)


def _compute(tree: Any, progress: bool | None) -> Any:
    if not progress:
        return tree.compute()
    try:
        from distributed import get_client
        from distributed import progress as dist_progress

        client = get_client()
    except (ImportError, ValueError):
        from dask.diagnostics import ProgressBar

        with ProgressBar():
            return tree.compute()
    future = client.compute(tree)
    dist_progress(future)
    return future.result()


class DaskSource(BatchSource):
    """Dask DataFrames: a read of Parquet from its fragments, any other from the pandas
    partitions Dask computes; both reduced on the workers and merged as a fixed tree."""

    name = "a Dask DataFrame"

    classes = (("dask.dataframe", "DataFrame"),)

    def lmm(self, formula: str, data: Any, *args: Any, **kwargs: Any) -> LmmFit:
        return lmm(formula, data, *args, **kwargs)


SOURCE = DaskSource()
