"""The one list of the kinds of batched source (:func:`registered`), and the choice of
the source that reads a caller's data (:func:`source_for`). A new source is one module
of this package and one entry here."""

from __future__ import annotations

from typing import Any

from . import batch_loop, dask, polars_source, spark
from .interface import BatchSource

__all__ = ["registered", "source_for"]


def registered() -> tuple[BatchSource, ...]:
    """Every kind of batched source, in the order they are asked (the one list: a new
    source is added here). An iterator comes last, since a source's own objects may be
    iterable too."""
    return (batch_loop.PARQUET, polars_source.SOURCE, dask.SOURCE, spark.SOURCE, batch_loop.ITERATOR)


def source_for(data: Any) -> BatchSource | None:
    """The source that reads ``data`` in batches, or None for data fitted in memory."""
    return next((s for s in registered() if s.accepts(data)), None)
