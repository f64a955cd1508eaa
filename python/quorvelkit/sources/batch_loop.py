"""Fitting from data that is read in batches, never whole: a Parquet file or directory,
a pyarrow dataset (:mod:`quorvelkit.sources.parquet`) or an iterator of DataFrames; the Dask
and Spark routes (:mod:`quorvelkit.sources.dask`, :mod:`quorvelkit.sources.spark`) reduce partitions
where they are.

The core needs the rows only once, to reduce them to cross-products (X'X, X'y, y'y
and, per group, Z_i'Z_i, Z_i'X_i, Z_i'y_i and the row count). Each batch is turned
into model matrices by the model's spec (:meth:`ModelSpec.rows
<quorvelkit.model.description.ModelSpec.rows>`: one formulaic spec for every batch, so
categorical columns expand to the same columns everywhere), its products are added to
the model's, and the fit runs on the merged products. Memory is bounded by a few
batches plus the products, whatever the number of rows. A model with several
grouping factors merges each batch's products by label
(:mod:`quorvelkit.cores.product_layout`, which gives their size).
"""

from __future__ import annotations

import itertools
import os
import queue
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any, TypeVar

import numpy as np
import pandas as pd

import quorvelkit._quorvelkit as _qk

from ..cores.product_layout import factor_layout
from ..cores.products import PartProducts, add_batch, add_label_kinds, check_label_kinds
from ..fitting.core_fit import fit_parts
from ..formula.checks import check_weights_column
from ..formula.parsing import ParsedFormula, parse_formula
from ..model.description import ModelSpec
from ..model.fit_options import FitOptions, unknown_options
from ..model.group_codes import GroupCodes
from ..results.lmm_fit import LmmFit
from ..support.errors import RowsUnavailable, SourceError
from ..support.progress import progress_bar
from .interface import BatchSource, first_spec, has_complete_row, reduce_batches
from .parquet import open_dataset

T = TypeVar("T")

#: Batches without a complete row an iterator's fit holds until one has one.
MAX_HELD = 64

__all__ = ["SourceError", "RowsUnavailable", "lmm", "fit_frames"]


def lmm(
    formula: str,
    source: Any,
    *args: Any,
    batch_rows: int = 1 << 20,
    levels: Mapping[str, Sequence] | None = None,
    progress: bool | None = None,
    weights: str | None = None,
    name: str | None = None,
    **kwargs: Any,
) -> LmmFit:
    """Fit a linear mixed model to data read in batches (what :func:`quorvelkit.lmm`
    calls for a path, a pyarrow dataset or an iterator of DataFrames).

    Args:
        formula: as for :func:`quorvelkit.lmm`.
        source: a Parquet file or directory (a path; subdirectories named
            ``column=value`` are columns), a ``pyarrow.dataset.Dataset`` (read with its
            own partitioning), or an iterator of pandas DataFrames (read once). (:func:`quorvelkit.lmm`
            also takes a Dask or Spark DataFrame, for :func:`quorvelkit.sources.dask.lmm` or
            :func:`quorvelkit.sources.spark.lmm`.)
        *args, **kwargs: the fit options, :class:`~quorvelkit.model.fit_options.FitOptions`
            (one by one, or all as ``options=``).
        batch_rows: rows per batch read from a Parquet source (memory is about one
            batch of the columns used, plus the products: 8 (q^2 + pq + q + 1) bytes
            per group).
        levels: the levels of categorical columns, ``{column: [levels]}``. A Parquet
            source needs none (a first pass reads the distinct values of the group
            column and of text, dictionary, boolean and integer columns the formula
            uses, those columns only); an iterator takes its levels from the first
            batch unless declared here, and a batch with a level the model lacks is
            refused.
        progress: a progress bar (tqdm) of the rows read: ``None`` shows it on a
            terminal for runs longer than a second.
        weights: the column of prior weights, as :func:`quorvelkit.lmm` takes them
            (finite and non-negative; rows of weight zero are left out).
        name: what messages call ``source``, a pyarrow dataset made by another source
            (e.g. "the Polars DataFrame"); by default its path, or "the dataset".

    Returns:
        :class:`~quorvelkit.LmmFit` without its rows (:attr:`~quorvelkit.LmmFit.rows_kept`
        is false).

    Raises:
        SourceError: a missing column, a level outside the model's, a value that is
            not finite or whose square overflows, a column that files
            store as different kinds of values (naming the column and the file,
            batch or partition), before any fit. A row without a group label is
            dropped as missing, as in memory.
    """
    options = FitOptions.take(args, kwargs, "lmm()")
    parsed = parse_formula(formula)
    check_weights_column(weights)
    if name is None and not (PARQUET.accepts(source) or ITERATOR.accepts(source) or isinstance(source, list | tuple)):
        raise TypeError(
            f"quorvelkit.sources.batch_loop reads Parquet, pyarrow datasets and iterators of DataFrames, not "
            f"{type(source).__name__}; fit it with quorvelkit.lmm, which hands each kind of data to its source"
        )
    if kwargs:
        raise unknown_options(kwargs, "lmm()", ["batch_rows", "levels", "progress"])
    if PARQUET.accepts(source) or name is not None:
        data = open_dataset(parsed, source, batch_rows, levels, progress, weights, name)
        return fit_frames(
            parsed,
            data.read(),
            options,
            reread=data.read,
            ahead=True,
            sample_rows=1 << 16,
            weights=weights,
            levels=data.levels,
            group_levels=data.group_levels,
            progress=progress,
            total_rows=data.total_rows,
            source=data.name,
        )
    if isinstance(source, Iterator):
        frames = ((f if isinstance(f, pd.DataFrame) else _not_frame(f, k), f"batch {k}") for k, f in enumerate(source))
        return fit_frames(
            parsed,
            frames,
            options,
            levels=levels,
            group_levels=None,
            progress=progress,
            total_rows=None,
            source="the iterator of DataFrames",
            weights=weights,
        )
    raise TypeError(f"cannot read {type(source).__name__} in batches")


def _not_frame(obj: Any, k: int) -> pd.DataFrame:
    raise TypeError(f"batch {k} of the iterator is a {type(obj).__name__}, not a pandas DataFrame")


def read_ahead(items: Iterator[T], depth: int = 2) -> Iterator[T]:
    """The items of ``items`` in order, produced by a thread of their own at most
    ``depth`` ahead of the caller, so that reading (pyarrow and NumPy release the
    interpreter lock) overlaps the core's reduction of the batch before. An exception
    of the producer is raised here, at the item it would have been; when the caller
    stops early (an error, an interrupt) the producer stops at its next item."""
    slots: queue.Queue = queue.Queue(maxsize=depth)
    stop = threading.Event()

    def put(entry: tuple[str, Any]) -> bool:
        while not stop.is_set():
            try:
                slots.put(entry, timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def produce() -> None:
        try:
            for item in items:
                if not put(("item", item)):
                    return
            put(("end", None))
        except BaseException as exc:  # handed to the caller, which raises it
            put(("error", exc))

    worker = threading.Thread(target=produce, name="quorvelkit-read-ahead", daemon=True)
    worker.start()
    try:
        while True:
            kind, value = slots.get()
            if kind == "end":
                return
            if kind == "error":
                raise value
            yield value
    finally:
        stop.set()
        worker.join()


def fit_frames(
    parsed: ParsedFormula,
    frames: Iterable[tuple[Any, str]],
    options: FitOptions,
    *,
    levels: Mapping | None,
    group_levels: pd.Index | None,
    progress: bool | None,
    total_rows: int | None,
    source: str,
    sample_rows: int | None = None,
    ahead: bool = False,
    weights: str | None = None,
    reread: Callable[[], Iterator[tuple[Any, str]]] | None = None,
) -> LmmFit:
    """Reads (batch, where) pairs into one accumulator and fits. With ``ahead`` the
    batches are read and turned into model matrices by a thread of their own, a batch
    or two ahead of their reduction (for the package's own readers: a caller's
    iterator is read on the calling thread). The model is learnt from the first
    batch holding a complete row, or from its first ``sample_rows`` rows (for sources
    whose levels are known beforehand). The batches before it are read as the others
    (their rows dropped as incomplete, and counted): read again from the start by
    ``reread`` (a source read again as it was), or else held until then, up to
    ``MAX_HELD`` of them."""
    t0 = time.perf_counter()
    it = iter(frames)
    first = next(it, None)
    if first is None:
        raise SourceError(f"{source} holds no rows")
    held = [first]
    while not has_complete_row(parsed, held[-1][0]):
        following = next(it, None)
        if following is None:
            raise SourceError(f"{source} has no complete rows in the columns the model uses")
        if reread is not None:
            held = [following]
        elif len(held) == MAX_HELD:
            raise SourceError(
                f"the first {MAX_HELD} batches of {source} have no complete row in the columns the model uses "
                f"({', '.join(parsed.columns)}): its columns are learnt from the first batch holding one, and "
                f"the batches before it are held in memory until then"
            )
        else:
            held.append(following)
    spec = first_spec(parsed, held[-1], levels, weights, sample_rows)
    if held[0] is not first:
        assert reread is not None
        getattr(it, "close", lambda: None)()
        held, it = [], iter(reread())
    if len(spec.factors) > 1:
        parts = itertools.chain((held.pop(0) for _ in range(len(held))), it)
        return _fit_crossed(spec, parts, options, progress, total_rows, source, t0)
    codes_of = GroupCodes(group_levels)
    factor = spec.factors[0]
    column = factor.columns[0] if len(factor.columns) == 1 else factor.name
    kinds: dict[str, str] = {}

    def coded(labels: Any, where: str) -> np.ndarray:
        # A batch whose labels are of another kind than earlier ones' (text where they
        # were integers) must not make two groups of one value: checked once both kinds
        # have been met (see check_label_kinds).
        codes = codes_of.codes(labels, where)
        kinds.update(add_label_kinds(kinds, labels, where))
        if len(kinds) > 1:
            check_label_kinds(kinds, codes_of.levels_in_code_order(), column)
        return codes

    def prepared(items: Iterator[tuple[Any, str]]) -> Iterator[tuple[int, str, Any, np.ndarray, int]]:
        # Batches become columns as Arrow holds them (a plain model) or model rows,
        # with their group codes, here: on the reading thread when ``ahead``. The labels
        # are coded in batch order; m is the number of groups met so far.
        for frame, where in items:
            n = len(frame) if isinstance(frame, pd.DataFrame) else frame.num_rows
            cols = spec.columns(frame, where)
            if cols is None:
                rows = spec.rows(frame, where)
                yield n, where, rows, coded(rows.labels, where), codes_of.m
            else:
                yield n, where, cols, coded(cols[3], where), codes_of.m

    del first  # the held batches are let go as they are read
    batches = prepared(itertools.chain((held.pop(0) for _ in range(len(held))), it))
    acc = None
    n_dropped = n_zero = 0
    bar = progress_bar(progress, total_rows, "reading", "rows", unit_scale=True)
    try:
        for n_rows, where, rows, codes, m in read_ahead(batches) if ahead else batches:
            if acc is None:
                acc = _qk.ProductsAccumulator(
                    max(m, 1), spec.p, spec.q, spec.shift, weighted=spec.weighted, z_in_x=spec.z_in_x()
                )
            elif m > acc.m:
                acc.grow(max(m, 2 * acc.m))
            dropped, zero = add_batch(acc, spec, rows, codes, where)
            n_dropped += dropped
            n_zero += zero
            bar.update(n_rows)
    finally:
        bar.close()
    if acc is None:
        raise SourceError(f"{source} holds no rows")
    # The groups met, in the order of their sorted labels (as quorvelkit.lmm orders
    # levels): a permutation of the records, exact, which leaves the fit's sort of the
    # levels nothing to move. The products are taken out of the accumulator, whose
    # records are handed back as they are copied. Groups whose every row was dropped
    # for a missing value are left out by the fit.
    group_index: pd.Index | None = codes_of.index if codes_of.fixed else None
    if group_index is not None:
        order = np.arange(codes_of.m)
    else:
        order, labels_of = codes_of.sorted_order(release=True)
    codes_of.release()
    products = factor_layout(acc.products(order, release=True))
    del acc, order
    if group_index is None:
        group_index = labels_of()  # made once the records are handed back
    part = PartProducts(products, (group_index,), n_dropped, n_zero)
    del products  # the fit frees the products' arrays when nothing else holds them
    return fit_parts(spec, part, options, source=source, t0=t0)


def _fit_crossed(
    spec: ModelSpec,
    frames: Iterator[tuple[Any, str]],
    options: FitOptions,
    progress: bool | None,
    total_rows: int | None,
    source: str,
    t0: float,
) -> LmmFit:
    """The fit of a model with several grouping factors from its batches: each batch's
    products (every factor's labels coded in order of appearance) merged into those of
    the batches before it, in batch order."""
    bar = progress_bar(progress, total_rows, "reading", "rows", unit_scale=True)

    def counted(frame: Any, where: str) -> tuple[Any, str]:
        bar.update(len(frame) if isinstance(frame, pd.DataFrame) else frame.num_rows)
        return frame, where

    try:  # the bar counts a batch as it is handed to the reduction
        merged = reduce_batches(spec, (counted(frame, where) for frame, where in frames))
    finally:
        bar.close()
    if merged is None:
        raise SourceError(f"{source} holds no rows")
    return fit_parts(spec, merged, options, source=source, t0=t0)


class ParquetSource(BatchSource):
    """Parquet files and directories (a path) and pyarrow datasets, read by
    :mod:`quorvelkit.sources.parquet`: a first pass when the model needs one, then batches read
    ahead into one accumulator."""

    name = "a Parquet source"

    classes = (("pyarrow.dataset", "Dataset"),)

    def accepts(self, data: Any) -> bool:
        return isinstance(data, (str, os.PathLike)) or super().accepts(data)

    def lmm(self, formula: str, data: Any, *args: Any, **kwargs: Any) -> LmmFit:
        return lmm(formula, data, *args, **kwargs)


class IteratorSource(BatchSource):
    """Iterators of pandas DataFrames, read once on the calling thread."""

    name = "an iterator of DataFrames"

    def accepts(self, data: Any) -> bool:
        return isinstance(data, Iterator)

    def lmm(self, formula: str, data: Any, *args: Any, **kwargs: Any) -> LmmFit:
        return lmm(formula, data, *args, **kwargs)


PARQUET, ITERATOR = ParquetSource(), IteratorSource()
