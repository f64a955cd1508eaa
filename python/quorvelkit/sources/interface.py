"""The one interface of data read in batches, and the one list of its kinds.

A batched source (:class:`BatchSource`) recognises its data (:meth:`~BatchSource.accepts`,
by ``isinstance`` against the classes of a library the caller has already imported: a
Dask DataFrame exists only once ``dask.dataframe`` is imported, so no library is
imported to ask) and fits it (:meth:`~BatchSource.lmm`) in four steps, each with its
shared part here or in the modules named:

1. its batches, as pandas DataFrames or Arrow record batches, each with its place in
   messages (a file and its rows, a batch, a partition);
2. the model learnt from the first batch holding a complete row (:func:`first_spec`),
   with the levels a first pass over the group and factor columns finds when the
   model needs one (:func:`quorvelkit.sources.parquet.first_pass` for Arrow data);
3. every batch reduced to its products (:func:`quorvelkit.cores.products.part_products`, or
   an accumulator coded against the levels found), locally or where the data is;
4. the products merged in a fixed order by the one merge,
   :func:`quorvelkit.cores.products.merge_parts` (:func:`merge_in_order`; on a cluster as a
   fixed tree, so that a given partitioning gives the same bits whatever the number of
   workers), and fitted (:func:`quorvelkit.fitting.core_fit.fit_parts`).

A source of Arrow data that can be read again from the start (Polars frames, tables,
DuckDB results) needs no reduction of its own: given as a pyarrow dataset to the
Parquet route (:func:`quorvelkit.sources.batch_loop.lmm`) it takes that route's first pass,
column types, checks and reading ahead (:mod:`quorvelkit.sources.polars_source`).

:func:`~quorvelkit.sources.registry.source_for` is the dispatch of :func:`quorvelkit.lmm`: the first registered
source that accepts the data.
"""

from __future__ import annotations

import sys
from abc import ABC, abstractmethod
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from ..cores.products import PartProducts, merge_parts, part_products
from ..formula.parsing import ParsedFormula
from ..model.description import ModelSpec
from ..model.model_learning import learn_spec
from ..support.errors import SourceError
from ..support.frames import arrow_frame
from ..support.labels import label_text

if TYPE_CHECKING:
    from ..results.lmm_fit import LmmFit

__all__ = [
    "BatchSource",
    "loaded_class",
    "has_complete_row",
    "first_spec",
    "merge_in_order",
    "reduce_batches",
]


class BatchSource(ABC):
    """A kind of data that is read in batches, never whole."""

    #: What the fit's messages call data of this kind.
    name: str = "the source"

    #: The classes of this kind's data, as (module, class name): :meth:`accepts` looks
    #: them up only in modules already imported.
    classes: tuple[tuple[str, str], ...] = ()

    def accepts(self, data: Any) -> bool:
        """Whether ``data`` is of this kind; imports nothing the caller has not."""
        kinds = tuple(c for c in (loaded_class(m, n) for m, n in self.classes) if c is not None)
        return bool(kinds) and isinstance(data, kinds)

    @abstractmethod
    def lmm(self, formula: str, data: Any, *args: Any, **kwargs: Any) -> LmmFit:
        """The fit of ``data`` (:func:`quorvelkit.lmm`'s arguments: the fit options,
        ``weights=`` a column name, and the source's own options)."""


def loaded_class(module: str, name: str) -> Any:
    """The class ``module.name`` when ``module`` is already imported, else None: what
    :meth:`BatchSource.accepts` checks against without importing a library."""
    mod = sys.modules.get(module)
    return getattr(mod, name, None) if mod is not None else None


def has_complete_row(parsed: ParsedFormula, frame: Any) -> bool:
    """Whether a batch (a DataFrame or a pyarrow batch) has a row with a value in every
    column of the formula it holds (a column it lacks is refused when the model is
    learnt from it). Missing values are pandas', nulls and NaN."""
    if isinstance(frame, pd.DataFrame):
        cols = [c for c in parsed.columns if c in frame.columns]
        return bool(frame[cols].notna().all(axis=1).any()) if len(frame) else False
    import pyarrow as pa
    import pyarrow.compute as pc

    complete = pa.array(np.ones(frame.num_rows, dtype=bool))
    for c in parsed.columns:
        if c in frame.schema.names:
            arr = frame.column(c)
            present = pc.is_valid(arr)
            if pa.types.is_floating(arr.type):
                present = pc.and_kleene(present, pc.invert(pc.is_nan(arr)))
            complete = pc.and_kleene(complete, present)
    return bool(pc.any(complete).as_py())


def first_spec(
    parsed: ParsedFormula, first: tuple[Any, str], levels: Mapping | None, weights: str | None, sample_rows: int | None
) -> ModelSpec:
    """The model learnt from ``first`` (a batch holding a complete row, and its place),
    or from its head of ``sample_rows`` rows when that holds one: learning needs only
    the columns' types and the levels (declared, or found by a first pass), which a
    head teaches as well as the whole batch."""
    frame0, where0 = first
    if sample_rows is not None and not isinstance(frame0, pd.DataFrame) and frame0.num_rows > sample_rows:
        try:
            head = arrow_frame(frame0.slice(0, sample_rows))
            return learn_spec(parsed, head, levels=levels, where=where0, weights_column=weights).spec
        except SourceError:  # no complete row there: the whole batch decides
            pass
    frame = frame0 if isinstance(frame0, pd.DataFrame) else arrow_frame(frame0)
    place = lambda k: f"row {label_text(frame.index[k])} of {where0}"  # noqa: E731
    return learn_spec(parsed, frame, levels=levels, where=where0, weights_column=weights, place=place).spec


def merge_in_order(parts: Iterable[PartProducts]) -> PartProducts | None:
    """The parts merged in the order given (a left fold of the one merge); None for
    no parts. A node of a reduction tree merges its children so."""
    out: PartProducts | None = None
    for part in parts:
        out = part if out is None else merge_parts(out, part)
    return out


def reduce_batches(spec: ModelSpec, batches: Iterable[tuple[Any, str]]) -> PartProducts | None:
    """The products of (batch, place) pairs, each batch's groups coded in order of
    appearance and merged into the batches' before it, in order; None for no batch."""
    return merge_in_order(part_products(spec, frame, where) for frame, where in batches)
