"""Fitting a Spark DataFrame: ``quorvelkit.sources.spark.lmm(formula, sdf)``.

Every partition is reduced to its products by the compiled core inside
``mapInPandas`` on the executors (no shuffle of raw rows: only products leave a
partition); the products are merged by group label (a group may span partitions) on
the executors too, as a tree of ``split_every`` children a node, each node merging
its children in partition order, and the driver receives the root alone. The tree's
shape depends on the number of partitions only, so for a given partitioning the
result is bit-identical whatever the number of executors and the order in which tasks
finish; up to ``split_every`` partitions it is one node, the merge in partition
order. The executors need the driver's interpreter with quorvelkit installed
(``PYSPARK_PYTHON``). Needs ``pip install 'quorvelkit[spark]'``.
"""

from __future__ import annotations

import pickle
import re
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any

import pandas as pd

from ..fitting.core_fit import fit_parts
from ..formula.checks import check_weights_column, require_columns
from ..formula.parsing import ParsedFormula, parse_formula
from ..model.description import ModelSpec
from ..model.fit_options import FitOptions, unknown_options
from ..model.model_learning import learn_spec
from ..results.lmm_fit import LmmFit
from ..support.errors import SourceError
from ..support.frames import MAX_LEVELS, level_order
from .interface import BatchSource, merge_in_order, reduce_batches

__all__ = ["lmm", "SparkSource", "SOURCE"]

_SCHEMA = "partition long, payload binary"


def _reducer(spec: ModelSpec) -> Callable[[Iterator[pd.DataFrame]], Iterator[pd.DataFrame]]:
    """The function mapInPandas runs on each partition: its pandas batches (Arrow
    record batches of spark.sql.execution.arrow.maxRecordsPerBatch rows) reduced and
    merged in order, one row (partition id, pickled products) out."""

    def reduce_partition(batches: Iterator[pd.DataFrame]) -> Iterator[pd.DataFrame]:
        from pyspark import TaskContext

        ctx = TaskContext.get()  # always set inside a task
        pid = ctx.partitionId() if ctx is not None else -1
        where = f"partition {pid} of the Spark DataFrame"

        def named(frames: Iterator[pd.DataFrame]) -> Iterator[tuple[pd.DataFrame, str]]:
            start = 0  # rows are named by their position in the partition
            for frame in frames:
                frame.index = pd.RangeIndex(start, start + len(frame))
                start += len(frame)
                yield frame, where

        out = reduce_batches(spec, named(batches))
        if out is not None:
            yield pd.DataFrame({"partition": [pid], "payload": [pickle.dumps(out, protocol=5)]})

    return reduce_partition


def _spark_kind(t: Any) -> str:
    """The kind of a Spark column type (see :meth:`quorvelkit.formula.parsing.ParsedFormula.factor_candidates`)."""
    from pyspark.sql import types as T

    if isinstance(t, T.StringType):
        return "text"
    if isinstance(t, T.BooleanType):
        return "bool"
    if isinstance(t, T.IntegralType):
        return "integer"
    return "other"


def _levels(sdf: Any, parsed: ParsedFormula, declared: Mapping[str, Sequence] | None) -> dict[str, list]:
    """The declared levels, and the distinct values of the columns that may be factors
    (:meth:`~quorvelkit.formula.parsing.ParsedFormula.factor_candidates`)."""
    out = {c: list(v) for c, v in (declared or {}).items()}
    kinds = {f.name: _spark_kind(f.dataType) for f in sdf.schema.fields}
    for c in parsed.factor_candidates(kinds, declared=list(out)):
        vals = [r[0] for r in sdf.select(c).where(sdf[c].isNotNull()).distinct().limit(MAX_LEVELS + 1).collect()]
        if len(vals) <= MAX_LEVELS:
            out[c] = level_order(vals)
    return out


def _merge_node(children: Iterable[tuple[int, bytes]]) -> bytes:
    """One node of the reduction tree: its children's products (each with the first
    partition it holds) unpickled one at a time and merged in partition order."""
    ordered = sorted(children, key=lambda child: child[0])
    merged = merge_in_order(pickle.loads(payload) for _, payload in ordered)
    return pickle.dumps(merged, protocol=5)


def _tree(
    parts: Any, n_parts: int, split_every: int, merge_node: Callable[[Iterable[tuple[int, bytes]]], bytes] = _merge_node
) -> Any:
    """The merge of ``parts`` (an RDD of (partition, pickled products)) as a tree on
    the executors: at each level the children k s .. k s + s - 1 (s = ``split_every``)
    make node k, until one node is left, keyed by the first partition it holds
    (``merge_node``: a node's merge of its children, in partition order). Its shape
    depends on ``n_parts`` and ``split_every`` only."""
    width, level, span = n_parts, parts, 1
    while width > 1:
        width, span = -(-width // split_every), span * split_every
        level = (
            level.map(lambda kv, span=span: (kv[0] // span, kv))
            .groupByKey(numPartitions=width)
            .map(lambda node, span=span: (node[0] * span, merge_node(node[1])))
        )
    return level


#: Rows the model's columns are learnt from (see :func:`_sample`).
SAMPLE_ROWS = 1000


def _sample(sdf: Any, columns: Sequence[str]) -> pd.DataFrame:
    """The rows the model's columns are learnt from: the first :data:`SAMPLE_ROWS`
    rows or, when those hold no row complete in ``columns`` (Spark's ``na.drop``: no
    null and no NaN), the first such complete rows wherever they are."""
    sample = sdf.limit(SAMPLE_ROWS).toPandas()
    if len(sample) and not sample[list(columns)].notna().all(axis=1).any():
        sample = sdf.na.drop(subset=list(columns)).limit(SAMPLE_ROWS).toPandas()
    if not len(sample):
        raise SourceError(
            f"the Spark DataFrame has no complete row (with a value in each of {', '.join(columns)}) to learn "
            f"the model's columns from"
        )
    frame: pd.DataFrame = sample
    return frame


def lmm(
    formula: str,
    sdf: Any,
    *args: Any,
    levels: Mapping[str, Sequence] | None = None,
    progress: bool | None = None,
    weights: str | None = None,
    split_every: int = 8,
    **kwargs: Any,
) -> LmmFit:
    """Fit a linear mixed model to a Spark DataFrame, partition by partition.

    Args:
        formula: as for :func:`quorvelkit.lmm`.
        sdf: a ``pyspark.sql.DataFrame``.
        *args, **kwargs, levels, weights: as for :func:`quorvelkit.sources.dask.lmm`.
        progress: taken for the interface of every route; Spark shows its own stage
            progress on the console (the merge runs on the executors).
        split_every: products merged per node of the reduction tree on the executors
            (each node holds its children and their merge); the tree's shape, and so
            the result's bits, depend on it and on the number of partitions only.

    Returns and raises as :func:`quorvelkit.sources.dask.lmm`.
    """
    options = FitOptions.take(args, kwargs, "quorvelkit.sources.spark.lmm()")
    if kwargs:
        raise unknown_options(kwargs, "quorvelkit.sources.spark.lmm()", ["levels", "progress", "split_every"])
    check_weights_column(weights)
    parsed = parse_formula(formula)
    require_columns(list(parsed.columns) + ([weights] if weights else []), sdf.columns, "the Spark DataFrame")
    used = [c for c in sdf.columns if c in set(parsed.columns) or c == weights]
    sdf = sdf.select(*used)
    found = _levels(sdf, parsed, levels)
    sample = _sample(sdf, parsed.columns)
    where = "the first rows of the Spark DataFrame"
    spec = learn_spec(parsed, sample, levels=found, where=where, weights_column=weights).spec
    reduced = sdf.mapInPandas(_reducer(spec), schema=_SCHEMA)
    n_parts = sdf.rdd.getNumPartitions()
    pairs = reduced.rdd.map(lambda row: (int(row["partition"]), bytes(row["payload"])))
    try:
        roots = _tree(pairs, n_parts, max(2, int(split_every))).collect()
    except Exception as exc:  # an executor's refusal arrives wrapped: give the user its text
        refusals = re.findall(r"SourceError: (.+)", str(exc))
        if refusals:
            raise SourceError(refusals[-1].strip()) from None
        raise
    if not roots:
        raise SourceError("the Spark DataFrame has no rows")
    assert len(roots) == 1, "the reduction tree has one root"
    merged = pickle.loads(roots[0][1])
    return fit_parts(spec, merged, options, source=f"a Spark DataFrame of {n_parts} partitions")


class SparkSource(BatchSource):
    """Spark DataFrames (classic and Spark Connect): partitions reduced on the
    executors, merged on the driver."""

    name = "a Spark DataFrame"

    classes = (("pyspark.sql", "DataFrame"),)

    def lmm(self, formula: str, data: Any, *args: Any, **kwargs: Any) -> LmmFit:
        return lmm(formula, data, *args, **kwargs)


SOURCE = SparkSource()
