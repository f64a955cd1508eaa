"""Polars DataFrames and LazyFrames, read as Arrow batches (``pip install
'quorvelkit[polars]'``).

Neither is turned into a pandas frame: a DataFrame's columns are handed to Arrow as
Polars holds them (``to_arrow()``, no copy of numeric columns) and a LazyFrame is
collected by Polars' streaming engine batch by batch, the columns the model uses only;
a LazyFrame is run again from the start for each pass (the first pass over its group
and factor columns, then the reduction), so it is never held whole. Both are read as a
pyarrow dataset by the Parquet route (:func:`quorvelkit.sources.batch_loop.lmm`): its first pass,
column types, checks and reading ahead, and so its bits for the same batches."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

from ..results.lmm_fit import LmmFit
from .interface import BatchSource, loaded_class

__all__ = ["PolarsSource", "SOURCE"]


class PolarsSource(BatchSource):
    """Polars DataFrames and LazyFrames."""

    name = "a Polars DataFrame"

    classes = (("polars", "DataFrame"), ("polars", "LazyFrame"))

    def lmm(self, formula: str, data: Any, *args: Any, **kwargs: Any) -> LmmFit:
        from .batch_loop import lmm

        try:
            import pyarrow.dataset as ds
        except ImportError:  # pragma: no cover - the extra is missing
            raise ImportError("reading Polars frames needs pyarrow: pip install 'quorvelkit[polars]'") from None
        if isinstance(data, loaded_class("polars", "DataFrame")):
            return lmm(formula, ds.dataset(data.to_arrow()), *args, name="the Polars DataFrame", **kwargs)
        return lmm(formula, LazyDataset(data), *args, name="the Polars LazyFrame", **kwargs)


class LazyDataset:
    """A LazyFrame as the Parquet route reads a dataset (see
    :func:`quorvelkit.sources.parquet.open_dataset`): its schema, one fragment, its rows."""

    def __init__(self, frame: Any) -> None:
        self.frame = frame
        self.schema = frame.head(0).collect().to_arrow().schema

    def get_fragments(self) -> list[LazyFragment]:
        return [LazyFragment(self.frame, self.schema)]

    def count_rows(self) -> int:
        import polars as pl

        return int(self.frame.select(pl.len()).collect().item())


class LazyFragment:
    """The one fragment of a :class:`LazyDataset`: batches of the columns asked for, in
    the frame's row order, collected by Polars' streaming engine."""

    path = None

    def __init__(self, frame: Any, schema: Any) -> None:
        import pyarrow.dataset as ds

        self.frame, self.physical_schema = frame, schema
        self.partition_expression = ds.scalar(True)  # no partitioning: no column fixed

    def to_batches(self, columns: list[str], batch_size: int) -> Iterator[Any]:
        for chunk in self.frame.select(columns).collect_batches(chunk_size=batch_size, maintain_order=True):
            yield from chunk.to_arrow().to_batches()


SOURCE = PolarsSource()
