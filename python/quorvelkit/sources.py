"""Fitting from data that is read in batches: a Parquet file or directory, a pyarrow
dataset, or an iterator of DataFrames; the Dask and Spark routes start here too.

The core needs the rows only once, to reduce them to cross-products (X'X, X'y, y'y
and, per group, Z_i'Z_i, Z_i'X_i, Z_i'y_i and the row count). Each batch is turned
into model matrices by the plan of the model (:mod:`quorvelkit.batchplan`: one
formulaic ``ModelSpec`` for every batch, so categorical columns expand to the same
columns everywhere), its products are added to the model's, and the fit runs on the
merged products (:mod:`quorvelkit.batchfit`). Memory is bounded by a few batches plus the
products, whatever the number of rows.
"""

from __future__ import annotations

import itertools
import os
import queue
import threading
import time
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any, TypeVar

import numpy as np
import pandas as pd

from . import _quorvelkit as _qk
from .batchfit import (
    ARRAYS,
    BatchFit,
    PartProducts,
    _c,
    fit_products,
    merge_parts,
    sorted_codes,
)
from .batchplan import (
    MAX_LEVELS,
    Matrices,
    ModelPlan,
    arrow_frame,
    is_batch_source,
    plan_model,
    progress_bar,
    require_columns,
)
from .dask import lmm as dask_lmm
from .errors import RowsUnavailable, SourceError, check_flag
from .parsing import ParsedFormula, parse_formula
from .spark import lmm as spark_lmm

T = TypeVar("T")

__all__ = [
    "SourceError",
    "RowsUnavailable",
    "BatchFit",
    "lmm",
    "ModelPlan",
    "plan_model",
    "PartProducts",
    "merge_parts",
    "fit_products",
    "is_batch_source",
]


# --------------------------------------------------------------------------- sources


class _Labels:
    """Group labels to codes across batches. With the levels known beforehand (a first
    pass), codes are their sorted positions; otherwise labels get codes in order of
    first appearance, and the products are put in the order of the sorted labels at the
    end (a permutation, exact). Integer labels in a range of fewer than 2^27 values are
    coded through a table indexed by value rather than hashed."""

    def __init__(self, levels: pd.Index | None = None) -> None:
        self.fixed = levels is not None
        self.index: pd.Index = levels if levels is not None else pd.Index([])
        # Labels met so far, when they are not all integers in a moderate range.
        self.table: dict | None = None if levels is None else {}
        # The table by value: code of label lo + i at lut[i], -1 for none.
        self.lut: np.ndarray | None = None
        self.lo = 0
        self.n_lut = 0
        if levels is not None and len(levels) and pd.api.types.is_integer_dtype(levels.dtype):
            lo, hi = int(levels.min()), int(levels.max())
            if hi - lo < _IntSeen.LIMIT:
                self.lo = lo
                self.lut = np.full(hi - lo + 1, -1, dtype=np.int64)
                self.lut[levels.to_numpy(np.int64) - lo] = np.arange(len(levels))

    def codes(self, labels: Any, where: str) -> np.ndarray:
        vals = labels.to_numpy() if isinstance(labels, pd.Series) else np.asarray(labels)
        if self.fixed:
            return self._fixed_codes(vals, labels, where)
        if self.table is None:
            # Unsigned labels from 2^63 on have no int64 value: those are hashed.
            if len(vals) and (vals.dtype.kind == "i" or (vals.dtype.kind == "u" and int(vals.max()) < 1 << 63)):
                codes = self._table_codes(np.ascontiguousarray(vals, dtype=np.int64))
                if codes is not None:
                    return codes
            if len(vals):  # other labels: from now on by hashing
                self.table = {v: k for k, v in enumerate(self.levels_in_code_order().tolist())}
            else:
                return np.zeros(0, dtype=np.int64)
        local, uniques = pd.factorize(pd.Series(vals) if vals.dtype == object else vals, sort=False)
        table = self.table
        glob = np.fromiter((table.setdefault(u, len(table)) for u in uniques), dtype=np.int64, count=len(uniques))
        return glob[local]

    def _fixed_codes(self, vals: np.ndarray, labels: Any, where: str) -> np.ndarray:
        if self.lut is not None and vals.dtype.kind in "iu" and len(vals):
            off = vals.astype(np.int64, copy=False) - self.lo
            if ((off >= 0) & (off < len(self.lut))).all():
                codes = np.take(self.lut, off)
                if (codes >= 0).all():
                    return codes
        series = labels if isinstance(labels, pd.Series) else pd.Series(vals)
        codes = np.asarray(self.index.get_indexer(pd.Index(series)), dtype=np.int64)
        if (codes < 0).any():
            bad = series[codes < 0].iloc[0]
            raise SourceError(
                f"the group label {bad!r} in {where} was not in the source's first pass "
                f"(did the data change while it was read?)"
            )
        return codes

    def _table_codes(self, vals: np.ndarray) -> np.ndarray | None:
        """Codes through the table by value, grown to the batch's range when it does
        not cover it; None when the range would exceed the limit."""
        if self.lut is not None:
            coded = _qk.code_labels(vals, self.lut, self.lo, self.n_lut)
            if coded is not None:
                codes, self.n_lut = coded
                return codes
        lo, hi = int(vals.min()), int(vals.max())
        if self.lut is not None:
            lo, hi = min(lo, self.lo), max(hi, self.lo + len(self.lut) - 1)
        if hi - lo + 1 > _IntSeen.LIMIT:
            return None
        grown = np.full(hi - lo + 1, -1, dtype=np.int64)
        if self.lut is not None:
            grown[self.lo - lo : self.lo - lo + len(self.lut)] = self.lut
        self.lut, self.lo = grown, lo
        coded = _qk.code_labels(vals, self.lut, self.lo, self.n_lut)
        assert coded is not None  # the table covers the batch's range now
        codes, self.n_lut = coded
        return codes

    @property
    def m(self) -> int:
        if self.fixed:
            return len(self.index)
        return self.n_lut if self.table is None else len(self.table)

    def sorted_order(self) -> tuple[np.ndarray, pd.Index]:
        """The codes of the labels met in the order of the sorted labels (as
        :func:`quorvelkit.lmm` orders levels), and those labels."""
        if self.table is None and self.lut is not None:
            # The table is indexed by value: its entries in order are the codes of the
            # labels in sorted order.
            met = np.flatnonzero(self.lut >= 0)
            return self.lut[met], pd.Index(met + self.lo)
        codes, levels = sorted_codes(self.levels_in_code_order())
        return np.argsort(codes), levels

    def levels_in_code_order(self) -> pd.Index:
        if self.fixed:
            return self.index
        if self.table is not None:
            known: pd.Index = pd.Index(list(self.table.keys()))
            return known
        if self.lut is None:
            return pd.Index(np.zeros(0, dtype=np.int64))
        order = np.empty(self.n_lut, dtype=np.int64)
        met = self.lut >= 0
        order[self.lut[met]] = np.flatnonzero(met) + self.lo
        return pd.Index(order)


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
    frames: Iterable[tuple[pd.DataFrame, str]],
    *,
    levels: Mapping | None,
    group_levels: pd.Index | None,
    progress: bool | None,
    total_rows: int | None,
    source: str,
    sample_rows: int | None = None,
    ahead: bool = False,
    weights: str | None = None,
    **fit_args: Any,
) -> BatchFit:
    """Reads (frame, where) batches into one accumulator and fits. With ``ahead`` the
    batches are read and turned into model matrices by a thread of their own, a batch
    or two ahead of their reduction (for the package's own readers: a caller's
    iterator is read on the calling thread). The model's plan is learnt from the first
    batch, or from its first ``sample_rows`` rows (for sources whose levels are known
    beforehand)."""
    t0 = time.perf_counter()
    it = iter(frames)
    first = next(it, None)
    if first is None:
        raise SourceError(f"{source} holds no rows")
    frame0, where0 = first
    plan = None
    if sample_rows is not None and not isinstance(frame0, pd.DataFrame) and frame0.num_rows > sample_rows:
        # The specs need only the columns' types and the levels (declared, or found by
        # a first pass): a head of the batch teaches them as well as the whole of it.
        try:
            plan = plan_model(parsed, arrow_frame(frame0.slice(0, sample_rows)), levels, where0, weights)
        except SourceError:  # no complete row there: the whole batch decides
            plan = None
    if plan is None:
        frame = frame0 if isinstance(frame0, pd.DataFrame) else arrow_frame(frame0)
        plan = plan_model(parsed, frame, levels, where0, weights)

    labels = _Labels(group_levels)

    def prepared(items: Iterator[tuple[Any, str]]) -> Iterator[tuple[int, str, Any, np.ndarray, int]]:
        # Batches become columns as Arrow holds them (a plain model) or model matrices,
        # with their group codes, here: on the reading thread when ``ahead``. The labels
        # are coded in batch order; m is the number of groups met so far.
        for frame, where in items:
            n = len(frame) if isinstance(frame, pd.DataFrame) else frame.num_rows
            cols = plan.columns(frame, where)
            if cols is None:
                mats = plan.matrices(frame, where)
                yield n, where, mats, labels.codes(mats.labels, where), labels.m
            else:
                yield n, where, cols, labels.codes(cols[3], where), labels.m

    batches = prepared(itertools.chain([first], it))
    acc = None
    n_dropped = n_zero = 0
    bar = progress_bar(progress, total_rows, "reading", "rows")
    try:
        for n_rows, where, rows, codes, m in read_ahead(batches) if ahead else batches:
            if acc is None:
                acc = _qk.ProductsAccumulator(
                    max(m, 1), plan.p, plan.q, plan.shift, weighted=plan.weights is not None, z_in_x=plan.z_in_x()
                )
            elif m > acc.m:
                acc.grow(max(m, 2 * acc.m))
            if isinstance(rows, Matrices):
                if len(rows.y):
                    w = None if rows.weights is None else _c(rows.weights)
                    acc.add_rows(_c(rows.y), _c(rows.x), _c(rows.z), _c(codes, np.int64), w)
                n_dropped += rows.n_dropped
                n_zero += rows.n_zero_weight
            elif len(rows[0]):
                dropped, fault = acc.add_columns(rows[0], rows[1], rows[2], codes)
                if fault is not None:
                    raise plan.fault(fault, where)
                n_dropped += dropped
            bar.update(n_rows)
    finally:
        bar.close()
    if acc is None:
        raise SourceError(f"{source} holds no rows")
    # The groups met, in the order of their sorted labels (as quorvelkit.lmm orders
    # levels); a permutation of the records, exact.
    if labels.fixed:
        group_index = labels.index
        products = acc.products(np.arange(labels.m))
    else:
        by_label, group_index = labels.sorted_order()
        products = acc.products(by_label)
    del acc
    counts = np.asarray(products["counts"])
    if (counts == 0).any():  # groups whose every row was dropped for a missing value
        keep = np.flatnonzero(counts > 0)
        _take_groups(products, keep)
        group_index = group_index[keep]
    return fit_products(plan, products, group_index, n_dropped, source=source, t0=t0, n_zero_weight=n_zero, **fit_args)


def _take_groups(products: dict, which: np.ndarray) -> None:
    """Keeps the groups ``which`` (in that order) of ``products``, in place."""
    for key in ARRAYS:
        products[key] = np.ascontiguousarray(np.asarray(products[key])[which])
    products["m"] = len(which)


def _factor_candidates(parsed: ParsedFormula, schema: Any) -> list[str]:
    """Columns whose distinct values the first pass collects: those of a type formulaic
    takes as categorical (text, dictionary, boolean) or of integers (which C() or
    factor() may make categorical), other than the response and the group."""
    import pyarrow as pa

    out = []
    resp = {c for c, r in parsed.uses if r == "response"}
    for c in parsed.columns:
        if c in resp or c in parsed.group or c not in schema.names:
            continue
        t = schema.field(c).type
        if (
            pa.types.is_dictionary(t)
            or pa.types.is_string(t)
            or pa.types.is_large_string(t)
            or pa.types.is_boolean(t)
            or pa.types.is_integer(t)
        ):
            out.append(c)
    return out


def _needs_first_pass(parsed: ParsedFormula, schema: Any) -> bool:
    """Whether levels must be found before the batches are reduced: for columns that
    may be factors, and for group labels other than one integer column (those are
    coded as they come, and put in order at the end)."""
    import pyarrow as pa

    group = list(parsed.group)
    return bool(_factor_candidates(parsed, schema)) or not (
        len(group) == 1 and pa.types.is_integer(schema.field(group[0]).type)
    )


class _IntSeen:
    """The distinct values of an integer column, as a bitmap over their range while
    that stays below 2^27 values (then add() declines and the caller hashes)."""

    LIMIT = 1 << 27

    def __init__(self) -> None:
        self.lo = 0
        self.seen: np.ndarray | None = None
        self.spilled: np.ndarray | None = None
        self.failed = False

    def add(self, values: np.ndarray) -> bool:
        if self.failed or len(values) == 0:
            return not self.failed
        lo, hi = int(values.min()), int(values.max())
        if self.seen is not None:
            lo, hi = min(lo, self.lo), max(hi, self.lo + len(self.seen) - 1)
        if hi - lo + 1 > self.LIMIT:
            # Too wide: the values so far go back to the caller, who hashes from now on.
            self.failed = True
            self.spilled = self.values() if self.seen is not None else None
            self.seen = None
            return False
        if self.seen is None or lo < self.lo or hi >= self.lo + len(self.seen):
            grown = np.zeros(hi - lo + 1, dtype=bool)
            if self.seen is not None:
                grown[self.lo - lo : self.lo - lo + len(self.seen)] = self.seen
            self.seen, self.lo = grown, lo
        self.seen[values - self.lo] = True
        return True

    def values(self) -> np.ndarray:
        assert self.seen is not None
        return (np.flatnonzero(self.seen) + self.lo).astype(np.int64)


def fragment_batches(frag: Any, columns: list[str], batch_rows: int) -> Iterator[Any]:
    """The batches of ``columns`` of one fragment of a dataset. A Parquet file that
    holds every column is read by its own reader, row group after row group: memory
    about one batch (the dataset scanner reads ahead and holds several gigabytes of a
    large file). Other fragments (columns from a partitioning, other formats) go
    through the dataset's scanner."""
    import pyarrow.dataset as ds
    import pyarrow.parquet as pq

    if isinstance(frag, ds.ParquetFileFragment) and set(columns) <= set(frag.physical_schema.names):
        row_groups = [rg.id for rg in frag.row_groups] if frag.row_groups is not None else None
        # pre_buffer off: with it the reader buffers far ahead of the batches consumed.
        # Columns decoded one after another on the reading thread (use_threads off): the
        # core's threads reduce the batch before meanwhile, and pyarrow's own threads
        # would take cores from them for little (100M rows: 0.2 s less in all, though
        # the read alone takes 4.1 s rather than 3.2).
        reader = pq.ParquetFile(frag.path, filesystem=frag.filesystem, pre_buffer=False)
        try:
            yield from reader.iter_batches(
                batch_size=batch_rows, columns=columns, row_groups=row_groups, use_threads=False
            )
        finally:
            reader.close()
    else:
        yield from frag.to_batches(columns=columns, batch_size=batch_rows)


def _first_pass(
    dataset: Any, parsed: ParsedFormula, batch_rows: int, progress: bool | None, total: int | None
) -> tuple[pd.Index | None, dict[str, list]]:
    """The sorted group labels and the distinct values of factor candidates, reading
    only those columns; refuses a missing group label, naming the file."""
    import pyarrow as pa
    import pyarrow.compute as pc

    group = list(parsed.group)
    cands = _factor_candidates(parsed, dataset.schema)
    cols = group + cands
    ints = _IntSeen() if len(group) == 1 and pa.types.is_integer(dataset.schema.field(group[0]).type) else None
    uniq: dict[str, list] = {c: [] for c in cols}
    size: dict[str, int] = {c: 0 for c in cols}
    bar = progress_bar(progress, total, "levels", "rows")
    try:
        for frag in dataset.get_fragments():
            for k, batch in enumerate(fragment_batches(frag, cols, batch_rows)):
                for c in group:
                    arr = batch.column(c)
                    if arr.null_count:
                        raise SourceError(
                            f"the group column '{c}' has {arr.null_count} missing value(s) in {frag.path} "
                            f"(batch {k}); every row needs a group label"
                        )
                for c in cols:
                    if c in cands and size[c] > MAX_LEVELS:
                        continue
                    if ints is not None and c == group[0]:
                        if ints.add(batch.column(c).to_numpy()):
                            continue
                        if ints.spilled is not None:
                            uniq[c].append(pa.array(ints.spilled))
                            ints.spilled = None
                    arr = batch.column(c)
                    if pa.types.is_dictionary(arr.type):
                        arr = arr.dictionary_decode()
                    u = pc.unique(arr)
                    uniq[c].append(u)
                    size[c] += len(u)
                    if size[c] > 4 * max(len(uniq[c][0]), 1) and len(uniq[c]) > 1:
                        merged = pc.unique(pa.chunked_array(uniq[c]))
                        uniq[c] = [merged.combine_chunks() if hasattr(merged, "combine_chunks") else merged]
                        size[c] = len(uniq[c][0])
                bar.update(batch.num_rows)
    finally:
        bar.close()

    def values(c: str) -> list:
        if not uniq[c]:
            return []
        found: list = pc.unique(pa.chunked_array(uniq[c])).drop_null().to_pylist()
        return found

    if ints is not None and ints.seen is not None and not uniq[group[0]]:
        glevels = pd.Index(ints.values())
    elif len(group) == 1:
        glevels = pd.Index(values(group[0]))
    else:
        glevels = None  # interactions of columns: labels met as they come
    levels = {}
    for c in cands:
        if size[c] <= MAX_LEVELS:
            levels[c] = sorted(values(c), key=lambda v: (type(v).__name__, v))
    if glevels is not None:
        codes, glevels = sorted_codes(glevels)
    return glevels, levels


def lmm(
    formula: str,
    source: Any,
    reml: bool = True,
    evaluator: str = "auto",
    starts: Any = None,
    *,
    theta: Sequence[float] | None = None,
    max_iter: int = 300,
    batch_rows: int = 1 << 20,
    levels: Mapping[str, Sequence] | None = None,
    progress: bool | None = None,
    weights: str | None = None,
) -> BatchFit:
    """Fit a linear mixed model to data read in batches (what :func:`quorvelkit.lmm`
    calls for a path, a pyarrow dataset or an iterator of DataFrames).

    Args:
        formula, reml, evaluator, starts, theta, max_iter: as for :func:`quorvelkit.lmm`.
        source: a Parquet file or directory (a path), a ``pyarrow.dataset.Dataset``,
            or an iterator of pandas DataFrames (read once).
        batch_rows: rows per batch read from a Parquet source (memory is about one
            batch of the columns used, plus the products: 8 (q^2 + pq + q + 1) bytes
            per group).
        levels: the levels of categorical columns, ``{column: [levels]}``. A Parquet
            source needs none (a first pass reads the distinct values of the group
            column and of text, dictionary, boolean and integer columns the formula
            uses, those columns only); an iterator takes its levels from the first
            batch unless declared here, and a later batch with a level the model lacks
            is refused.
        progress: a progress bar (tqdm) of the rows read: ``None`` shows it on a
            terminal for runs longer than a second.
        weights: the column of prior weights, as :func:`quorvelkit.lmm` takes them
            (finite and non-negative; rows of weight zero are left out).

    Returns:
        :class:`BatchFit`: an :class:`~quorvelkit.LmmFit` without the rows.

    Raises:
        SourceError: a missing column, a missing group label, a level outside the
            model's, a value that is not finite (naming the column and the file,
            batch or partition), before any fit.
    """
    check_flag("reml", reml)
    parsed = parse_formula(formula)
    if weights is not None and not isinstance(weights, str):
        raise TypeError(
            f"weights= for data read in batches must name a column of the source, got {type(weights).__name__}"
        )
    fit_args = dict(reml=reml, evaluator=evaluator, starts=starts, theta=theta, max_iter=max_iter)
    mod = type(source).__module__ or ""
    if mod.startswith("dask"):
        return dask_lmm(formula, source, levels=levels, progress=progress, weights=weights, **fit_args)
    if mod.startswith("pyspark"):
        return spark_lmm(formula, source, levels=levels, progress=progress, weights=weights, **fit_args)
    if isinstance(source, (str, os.PathLike)) or mod.startswith("pyarrow"):
        return _fit_dataset(parsed, source, batch_rows, levels, progress, dict(fit_args, weights=weights))
    if isinstance(source, Iterator):
        frames = ((f if isinstance(f, pd.DataFrame) else _not_frame(f, k), f"batch {k}") for k, f in enumerate(source))
        return fit_frames(
            parsed,
            frames,
            levels=levels,
            group_levels=None,
            progress=progress,
            total_rows=None,
            source="the iterator of DataFrames",
            weights=weights,
            **fit_args,
        )
    raise TypeError(f"cannot read {type(source).__name__} in batches")


def _not_frame(obj: Any, k: int) -> pd.DataFrame:
    raise TypeError(f"batch {k} of the iterator is a {type(obj).__name__}, not a pandas DataFrame")


def _fit_dataset(
    parsed: ParsedFormula, source: Any, batch_rows: int, levels: Mapping | None, progress: bool | None, fit_args: dict
) -> BatchFit:
    try:
        import pyarrow.dataset as ds
    except ImportError:  # pragma: no cover - the extra is missing
        raise ImportError("reading Parquet needs pyarrow: pip install 'quorvelkit[parquet]'") from None
    name = str(source) if isinstance(source, (str, os.PathLike)) else "the dataset"
    if isinstance(source, (str, os.PathLike)):
        if not os.path.exists(source):
            raise FileNotFoundError(f"no such file or directory: {str(source)!r}")
        dataset = ds.dataset(source, format="parquet")
    else:
        dataset = source
    weights = fit_args.pop("weights", None)
    require_columns(parsed.columns + ([weights] if weights else []), dataset.schema.names, name)
    total = dataset.count_rows()
    group_levels: pd.Index | None
    if _needs_first_pass(parsed, dataset.schema):
        group_levels, found = _first_pass(dataset, parsed, batch_rows, progress, total)
    else:  # integer group labels, coded as they come; no factor to find levels of
        group_levels, found = None, {}
    declared = dict(found)
    declared.update({c: list(v) for c, v in (levels or {}).items()})
    cols = [c for c in dataset.schema.names if c in set(parsed.columns) or c == weights]

    def frames() -> Iterator[tuple[Any, str]]:
        for frag in dataset.get_fragments():
            start = 0
            for k, batch in enumerate(fragment_batches(frag, cols, batch_rows)):
                yield batch, f"{frag.path} (batch {k}, rows {start}..{start + batch.num_rows - 1})"
                start += batch.num_rows

    return fit_frames(
        parsed,
        frames(),
        ahead=True,
        sample_rows=1 << 16,
        weights=weights,
        levels=declared,
        group_levels=group_levels,
        progress=progress,
        total_rows=total,
        source=name,
        **fit_args,
    )
