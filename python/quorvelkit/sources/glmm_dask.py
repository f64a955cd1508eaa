"""The Dask engine of the GLMM fit with its passes on the workers
(:mod:`quorvelkit.sources.glmm_cluster`): a Dask DataFrame's partitions reduced by
delayed tasks on the current scheduler (a ``distributed.Client`` when one is active,
else Dask's local one), merged by :func:`quorvelkit.sources.dask._tree`'s fixed tree.
A pass's inputs reach the workers once: scattered to every worker of a client, or
held in the graph of the local scheduler (this process's memory)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import pandas as pd

from .dask import _sample, _tree
from .glmm_cluster import Model, Passes, merge_sums, partition_sums

__all__ = ["DaskPasses"]


def _client() -> Any:
    """The active distributed client, or None."""
    try:
        from distributed import get_client

        return get_client()
    except (ImportError, ValueError):
        return None


def _on_frame(frame: pd.DataFrame, where: str, fn: Any, *args: Any) -> Any:
    return fn([frame], where, *args)


def _sums(batches: Any, model: Model, kind: str, inputs: dict, where: str) -> dict:
    return partition_sums(model, batches, kind, inputs, where)


class DaskPasses(Passes):
    """A Dask DataFrame's partitions, in partition order; ``persist``: the core batches
    kept in the workers' memory for the passes; ``split_every``: children a node of
    the merge tree."""

    name = "the Dask DataFrame"

    def __init__(self, ddf: Any, split_every: int, persist: bool) -> None:
        self.ddf, self.split_every, self.persist = ddf, max(2, int(split_every)), persist
        self.where = [f"partition {k} of the Dask DataFrame" for k in range(ddf.npartitions)]
        self.batches: list | None = None

    def columns(self) -> list[str]:
        return list(self.ddf.columns)

    def text_columns(self, candidates: Sequence[str]) -> list[str]:
        return [c for c in candidates if not pd.api.types.is_numeric_dtype(self.ddf.dtypes[c])]

    def select(self, columns: Sequence[str]) -> None:
        self.ddf = self.ddf[list(columns)]

    def sample(self, columns: Sequence[str]) -> tuple[pd.DataFrame, str]:
        if not hasattr(self, "_first"):
            frame, _ = _sample(self.ddf, columns)
            self._first = (frame, "the first rows of the Dask DataFrame")
        return self._first

    def map(self, fn: Any, *args: Any) -> list:
        import dask

        task = dask.delayed(_on_frame, pure=True)
        parts = self.ddf.to_delayed()
        return list(dask.compute(*[task(p, w, fn, *args) for p, w in zip(parts, self.where, strict=True)]))

    def keep(self, fn: Any, *args: Any) -> None:
        import dask

        task = dask.delayed(_on_frame, pure=True)
        parts = self.ddf.to_delayed()
        batches = [task(p, w, fn, *args) for p, w in zip(parts, self.where, strict=True)]
        self.batches = list(dask.persist(*batches)) if self.persist else batches

    def sums(self, model: Model, kind: str, inputs: dict) -> dict:
        import dask

        assert self.batches is not None, "sums before keep"
        client = _client()
        # A list of one: a dict given to scatter would be scattered entry by entry.
        held = client.scatter([inputs], broadcast=True, hash=False)[0] if client is not None else inputs
        task = dask.delayed(_sums, pure=False)
        leaves = [task(b, model, kind, held, w) for b, w in zip(self.batches, self.where, strict=True)]
        out: dict = _tree(leaves, self.split_every, merge_sums).compute()
        return out

    def release(self) -> None:
        self.batches = None  # persisted partitions are freed with their last reference
