"""The Spark engine of the GLMM fit with its passes on the executors
(:mod:`quorvelkit.sources.glmm_cluster`): each partition's pandas batches (Arrow record
batches of ``spark.sql.execution.arrow.maxRecordsPerBatch`` rows, through
``mapInPandas``) turned into the core's arrays and kept as an RDD (``cache()``d unless
``cache=False``); each pass's inputs broadcast once (``SparkContext.broadcast``), each
partition's sums found on its executor and merged there by
:func:`quorvelkit.sources.spark._tree`'s fixed tree, the driver receiving the root. The
executors need the driver's interpreter with quorvelkit installed (``PYSPARK_PYTHON``)."""

from __future__ import annotations

import pickle
import re
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any

import pandas as pd

from ..support.errors import SourceError
from .glmm_cluster import Model, Passes, merge_requests, request_sums
from .spark import _SCHEMA, _sample, _tree

__all__ = ["SparkPasses", "partition_frames"]


def _where(pid: int) -> str:
    return f"partition {pid} of the Spark DataFrame"


def _per_partition(fn: Any, args: tuple) -> Callable[[Iterator[pd.DataFrame]], Iterator[pd.DataFrame]]:
    """The function mapInPandas runs on each partition: ``fn(frames, where, *args)`` of
    its batches (rows named by their position in the partition), one row (partition
    id, the pickled result) out."""

    def run(batches: Iterator[pd.DataFrame]) -> Iterator[pd.DataFrame]:
        from pyspark import TaskContext

        ctx = TaskContext.get()  # always set inside a task
        pid = ctx.partitionId() if ctx is not None else -1

        def named(frames: Iterator[pd.DataFrame]) -> Iterator[pd.DataFrame]:
            start = 0
            for frame in frames:
                frame.index = pd.RangeIndex(start, start + len(frame))
                start += len(frame)
                yield frame

        out = fn(named(batches), _where(pid), *args)
        yield pd.DataFrame({"partition": [pid], "payload": [pickle.dumps(out, protocol=5)]})

    return run


def _sums_node(children: Iterable[tuple[int, bytes]]) -> bytes:
    """A node of the merge tree: its children's sums merged in partition order."""
    ordered = sorted(children, key=lambda child: child[0])
    return pickle.dumps(merge_requests(pickle.loads(payload) for _, payload in ordered), protocol=5)


def _leaf(kv: tuple[int, bytes], model: Model, requests: list[tuple[str, dict]]) -> tuple[int, bytes]:
    sums = request_sums(model, pickle.loads(kv[1]), requests, _where(kv[0]))
    return kv[0], pickle.dumps(sums, protocol=5)


def _refused(exc: Exception) -> Exception:
    """An executor's refusal arrives wrapped: the user is given its text."""
    for kind, cls in (("SourceError", SourceError), ("ValueError", ValueError), ("TypeError", TypeError)):
        found = re.findall(rf"{kind}: (.+)", str(exc))
        if found:
            return cls(found[-1].strip())
    return exc


def _whole(frames: Iterator[pd.DataFrame], where: str) -> pd.DataFrame | None:
    """A partition's rows as one frame (None: it has none), on its executor."""
    got = list(frames)
    return pd.concat(got) if got else None


def _payloads(sdf: Any, fn: Any, args: tuple) -> Any:
    """The RDD of one row per partition of ``sdf``: its id and ``fn``'s pickled result
    there (see :func:`_per_partition`)."""
    return sdf.mapInPandas(_per_partition(fn, args), schema=_SCHEMA).rdd


def partition_frames(sdf: Any) -> Callable[[], Iterator[tuple[pd.DataFrame, str]]]:
    """The (frame, place) pairs of a Spark DataFrame's partitions in partition order, for
    a model whose passes are not reduced on the executors (several grouping factors, a
    criterion other than Laplace's): each call reads every partition again, one at a
    time (``toLocalIterator``), on this process, as a list's batches are read. Empty
    partitions add nothing and are left out."""
    rows = _payloads(sdf, _whole, ())

    def again() -> Iterator[tuple[pd.DataFrame, str]]:
        try:
            for row in rows.toLocalIterator():
                frame = pickle.loads(bytes(row["payload"]))
                if frame is not None:
                    yield frame, _where(int(row["partition"]))
        except Exception as exc:
            raise _refused(exc) from None

    return again


class SparkPasses(Passes):
    """A Spark DataFrame's partitions; ``cache``: the core batches kept on the executors
    for the passes; ``split_every``: children a node of the merge tree."""

    name = "the Spark DataFrame"

    def __init__(self, sdf: Any, split_every: int, cache: bool) -> None:
        self.sdf, self.split_every, self.cache = sdf, max(2, int(split_every)), cache
        self.n_parts = sdf.rdd.getNumPartitions()
        self.kept: Any = None
        self._first: tuple[pd.DataFrame, str] | None = None

    def columns(self) -> list[str]:
        return list(self.sdf.columns)

    def text_columns(self, candidates: Sequence[str]) -> list[str]:
        from pyspark.sql import types as T

        kinds = {f.name: f.dataType for f in self.sdf.schema.fields}
        return [c for c in candidates if isinstance(kinds.get(c), T.StringType)]

    def select(self, columns: Sequence[str]) -> None:
        self.sdf = self.sdf.select(*columns)

    def sample(self, columns: Sequence[str]) -> tuple[pd.DataFrame, str]:
        if self._first is None:
            self._first = (_sample(self.sdf, columns), "the first rows of the Spark DataFrame")
        return self._first

    def _pickled(self, fn: Any, *args: Any) -> Any:
        return _payloads(self.sdf, fn, args).map(lambda row: (int(row["partition"]), bytes(row["payload"])))

    def map(self, fn: Any, *args: Any) -> list:
        try:
            got = self._pickled(fn, *args).collect()
        except Exception as exc:
            raise _refused(exc) from None
        return [pickle.loads(payload) for _, payload in sorted(got, key=lambda kv: kv[0])]

    def keep(self, fn: Any, *args: Any) -> None:
        kept = self._pickled(fn, *args)
        self.kept = kept.cache() if self.cache else kept

    def sums(self, model: Model, requests: list[tuple[str, dict]]) -> list[dict]:
        held = self.sdf.sparkSession.sparkContext.broadcast(requests)
        try:
            leaves = self.kept.map(lambda kv: _leaf(kv, model, held.value))
            roots = _tree(leaves, self.n_parts, self.split_every, _sums_node).collect()
        except Exception as exc:
            raise _refused(exc) from None
        finally:
            held.unpersist()
        if not roots:
            raise SourceError("the Spark DataFrame has no rows")
        assert len(roots) == 1, "the reduction tree has one root"
        out: list[dict] = pickle.loads(roots[0][1])
        return out

    def release(self) -> None:
        if self.kept is not None and self.cache:
            self.kept.unpersist()
        self.kept = None
