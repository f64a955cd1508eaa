"""Fitting a Spark DataFrame: ``quorvelkit.spark.lmm(formula, sdf)``.

Every partition is reduced to its products by the compiled core inside
``mapInPandas`` on the executors (no shuffle of raw rows: only products leave a
partition); the driver receives them in partition order and merges them by group
label (a group may span partitions) in that order, then fits. For a given
partitioning the result is therefore bit-identical whatever the number of executors
and the order in which tasks finish. The executors need the driver's interpreter with
quorvelkit installed (``PYSPARK_PYTHON``). Needs ``pip install 'quorvelkit[spark]'``.
"""

from __future__ import annotations

import pickle
import re
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any

import pandas as pd

from .batchfit import BatchFit, fit_parts, merge_parts, part_products
from .batchplan import MAX_LEVELS, ModelPlan, plan_model, progress_bar, require_columns
from .errors import SourceError
from .parsing import ParsedFormula, parse_formula

__all__ = ["lmm"]

_SCHEMA = "partition long, payload binary"


def _reducer(plan: ModelPlan) -> Callable[[Iterator[pd.DataFrame]], Iterator[pd.DataFrame]]:
    """The function mapInPandas runs on each partition: its pandas batches (Arrow
    record batches of spark.sql.execution.arrow.maxRecordsPerBatch rows) reduced and
    merged in order, one row (partition id, pickled products) out."""

    def reduce_partition(batches: Iterator[pd.DataFrame]) -> Iterator[pd.DataFrame]:
        from pyspark import TaskContext

        ctx = TaskContext.get()  # always set inside a task
        pid = ctx.partitionId() if ctx is not None else -1
        where = f"partition {pid} of the Spark DataFrame"
        out = None
        for frame in batches:
            part = part_products(plan, frame, where)
            out = part if out is None else merge_parts(out, part)
        if out is not None:
            yield pd.DataFrame({"partition": [pid], "payload": [pickle.dumps(out, protocol=5)]})

    return reduce_partition


def _levels(sdf: Any, parsed: ParsedFormula, declared: Mapping[str, Sequence] | None) -> dict[str, list]:
    """Distinct values of the columns formulaic may take as categorical (text,
    boolean, integer) other than the response and the group."""
    from pyspark.sql import types as T

    resp = {c for c, r in parsed.uses if r == "response"}
    out = {c: list(v) for c, v in (declared or {}).items()}
    types = {f.name: f.dataType for f in sdf.schema.fields}
    for c in parsed.columns:
        if c in resp or c in parsed.group or c in out or c not in types:
            continue
        if isinstance(types[c], (T.StringType, T.BooleanType, T.IntegralType)):
            vals = [r[0] for r in sdf.select(c).where(sdf[c].isNotNull()).distinct().limit(MAX_LEVELS + 1).collect()]
            if len(vals) <= MAX_LEVELS:
                out[c] = sorted(vals, key=lambda v: (type(v).__name__, v))
    return out


def lmm(
    formula: str,
    sdf: Any,
    reml: bool = True,
    evaluator: str = "auto",
    starts: Any = None,
    *,
    theta: Sequence[float] | None = None,
    max_iter: int = 300,
    levels: Mapping[str, Sequence] | None = None,
    progress: bool | None = None,
    weights: str | None = None,
) -> BatchFit:
    """Fit a linear mixed model to a Spark DataFrame, partition by partition.

    Args:
        formula, reml, evaluator, starts, theta, max_iter: as for :func:`quorvelkit.lmm`.
        sdf: a ``pyspark.sql.DataFrame``.
        levels: the levels of categorical columns, ``{column: [levels]}``; by default a
            first pass collects the distinct values of the text, boolean and integer
            columns the formula uses (those columns only).
        progress: a progress bar (tqdm) of the partitions merged on the driver (Spark
            shows its own stage progress on the console).
        weights: the column of prior weights, as :func:`quorvelkit.lmm` takes them
            (finite and non-negative; rows of weight zero are left out).

    Returns:
        :class:`quorvelkit.sources.BatchFit`.

    Raises:
        SourceError: a missing column, a partition whose group column has missing
            values, a level outside the model's, a value that is not finite (naming
            the column and the partition), before any fit.
    """
    parsed = parse_formula(formula)
    require_columns(list(parsed.columns) + ([weights] if weights else []), sdf.columns, "the Spark DataFrame")
    used = [c for c in sdf.columns if c in set(parsed.columns) or c == weights]
    sdf = sdf.select(*used)
    found = _levels(sdf, parsed, levels)
    sample = sdf.limit(1000).toPandas()
    plan = plan_model(parsed, sample, found, where="the first rows of the Spark DataFrame", weights=weights)
    reduced = sdf.mapInPandas(_reducer(plan), schema=_SCHEMA)
    n_parts = sdf.rdd.getNumPartitions()
    merged = None
    bar = progress_bar(progress, n_parts, "partitions", "part")
    try:
        rows = sorted(reduced.collect(), key=lambda r: r["partition"])
        for row in rows:
            part = pickle.loads(row["payload"])
            merged = part if merged is None else merge_parts(merged, part)
            bar.update(1)
    except Exception as exc:  # an executor's refusal arrives wrapped: give the user its text
        refusals = re.findall(r"SourceError: (.+)", str(exc))
        if refusals:
            raise SourceError(refusals[-1].strip()) from None
        raise
    finally:
        bar.close()
    if merged is None:
        raise SourceError("the Spark DataFrame has no rows")
    fit_args = dict(reml=reml, evaluator=evaluator, starts=starts, theta=theta, max_iter=max_iter)
    return fit_parts(plan, merged, source=f"a Spark DataFrame of {n_parts} partitions", **fit_args)
