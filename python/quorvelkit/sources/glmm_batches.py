"""Generalized linear mixed models fitted from data read in batches: a Parquet file or
directory, a pyarrow dataset, a list of DataFrames, a callable that returns a fresh
iterator of DataFrames at each call, or a Dask DataFrame (its partitions computed and
handed to this process, not reduced where they are).

The fit is the in-memory fit (:func:`quorvelkit.glmm`): of one grouping factor by
Laplace's approximation, nAGQ = 0 or (a scalar random effect) adaptive quadrature, of
several by Laplace's approximation; the same criterion, start, optimiser and stopping
rules, so the results agree to rounding. It is found by the compiled core's pass
driver (``_quorvelkit.glmm_batches_fit`` for one grouping factor). Each group's PIRLS advances one
step per pass over the batches, from sums the core's kernel takes of each batch (no
Python per row); the client keeps the modes, one vector per group. Several grouping
factors, crossed or nested, each with one scalar term, go to the crossed driver
(:mod:`quorvelkit.sources.glmm_batches_crossed`), whose passes fill the in-memory
crossed fit's sparse system. A fit therefore
reads its batches many times (:attr:`GlmmBatchFit.passes
<quorvelkit.results.glmm_batch_fit.GlmmBatchFit.passes>`): a source read once, an
iterator, is refused.

Before the core's passes one pass here learns what the model needs of all the rows:
the group labels (sorted as in memory), the rows used, the fixed-effects columns that
are aliased (dropped as in memory) and the start of beta; a list or a callable's
batches take one more before it for the levels of text columns (a Parquet source's
first pass finds them).
"""

from __future__ import annotations

import dataclasses
import os
import time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any

import numpy as np
import pandas as pd

import quorvelkit._quorvelkit as _qk

from ..families.family import DISPERSION_FAMILIES, POWER_FAMILIES, linkfun
from ..formula.parsing import ParsedFormula, parse_formula
from ..model.design import Design
from ..model.model_checks import drop_aliased
from ..results.glmm_batch_fit import BatchCriterion, GlmmBatchFit
from ..support.errors import SourceError
from ..support.frames import arrow_frame, r_sorted, sorted_levels
from ..support.labels import label_text, split_labels
from ..support.progress import progress_bar
from .batch_loop import PARQUET, read_ahead
from .batch_store import BatchStore
from .dask import SOURCE as DASK
from .glmm_batches_crossed import crossed_arrays, crossed_criterion, fit_crossed, refuse_terms
from .glmm_first_pass import add_labels, mustart_of, zero_counts, zero_inflation_logit
from .glmm_reading import _Batch, _Reading, by_group_span, core_arrays, fitted_spec
from .interface import first_spec, has_complete_row
from .parquet import open_dataset
from .spark import SOURCE as SPARK

__all__ = ["glmm_batches", "accepts", "ONE_SHOT"]

#: Why an iterator cannot be fitted: the passes read the rows again and again.
ONE_SHOT = (
    "a GLMM fit from batches reads its rows once per pass of its PIRLS (dozens to hundreds of passes), "
    "and an iterator can be read only once: give a list of DataFrames, a callable that returns a fresh "
    "iterator of DataFrames at each call, or a Parquet file or directory"
)


def _dask_frame(data: Any) -> bool:
    return DASK.accepts(data)


def accepts(data: Any) -> bool:
    """Whether ``data`` is a source this route reads: a path, a pyarrow dataset, a
    non-empty list or tuple of DataFrames, a callable, a Dask or Spark DataFrame, or an iterator
    (refused)."""
    if _dask_frame(data) or SPARK.accepts(data):
        return True
    if isinstance(data, (str, os.PathLike, Iterator)) or callable(data):
        return not isinstance(data, pd.DataFrame)
    if isinstance(data, (list, tuple)):
        return len(data) > 0 and all(isinstance(f, pd.DataFrame) for f in data)
    return PARQUET.accepts(data)  # a pyarrow dataset


def _engine(source: Any, split_every: int, persist: bool | None, cache: bool | None) -> Any:
    """The engine of a Dask or Spark DataFrame's passes on its workers, or None for a
    source read here; persist= and cache= are refused for the sources they are not for."""
    if _dask_frame(source):
        if cache is not None:
            raise TypeError("cache= is for a Spark DataFrame; a Dask DataFrame's partitions are kept by persist=")
        from .glmm_dask import DaskPasses

        return DaskPasses(source, split_every, persist is not False)
    if SPARK.accepts(source):
        if persist is not None:
            raise TypeError("persist= is for a Dask DataFrame; a Spark DataFrame's partitions are kept by cache=")
        from .glmm_spark import SparkPasses

        return SparkPasses(source, split_every, cache is not False)
    if persist is not None or cache is not None:
        raise TypeError("persist= and cache= are for Dask and Spark DataFrames, whose partitions the workers keep")
    return None


def _frames_of(source: Any) -> tuple[Callable[[], Iterator[tuple[Any, str]]], str, dict | None]:
    """The (batch, place) pairs of a source that is read again at each call, its name,
    and the levels a first pass over a Parquet source found."""
    if isinstance(source, Iterator):
        raise TypeError(ONE_SHOT)
    if _dask_frame(source):
        # Each partition computed at each pass and handed to this process, in partition
        # order (persist() the frame to keep its partitions in the workers' memory);
        # the first pass keeps the batches here while they fit in cache_bytes.
        parts = source.to_delayed()
        return (lambda: ((p.compute(), f"partition {k}") for k, p in enumerate(parts))), "the Dask DataFrame", None
    if SPARK.accepts(source):
        # As a Dask DataFrame's, each partition read at each pass and handed here.
        from .glmm_spark import partition_frames

        return partition_frames(source), "the Spark DataFrame", None
    if isinstance(source, (list, tuple)):
        frames = list(source)
        return (lambda: ((f, f"batch {k}") for k, f in enumerate(frames))), "the list of DataFrames", None
    if callable(source):

        def again() -> Iterator[tuple[Any, str]]:
            it = source()
            if not isinstance(it, Iterable) or isinstance(it, pd.DataFrame):
                raise TypeError(f"the callable must return an iterable of DataFrames, got {type(it).__name__}")
            for k, f in enumerate(it):
                if not isinstance(f, pd.DataFrame):
                    raise TypeError(f"batch {k} of the callable's iterator is a {type(f).__name__}, not a DataFrame")
                yield f, f"batch {k}"

        return again, "the callable's batches", None
    raise TypeError(f"cannot read {type(source).__name__} in batches")


def _text_levels(
    rhs: ParsedFormula, read: Callable[[], Iterator[tuple[Any, str]]], declared: Mapping[str, Sequence]
) -> tuple[dict[str, list], bool]:
    """The levels of the text and categorical columns of the model's right-hand side
    (its grouping columns aside, which the first pass codes), found by a pass over the
    batches unless declared: a categorical's categories, text in R's order (as a frame
    in memory teaches them); and whether that pass was made (none without such a
    column)."""
    groups = {c for t in rhs.random_terms for c in t.group}
    found: dict[str, Any] = {}
    columns: list[str] | None = None
    for frame, _ in read():
        frame = frame if isinstance(frame, pd.DataFrame) else arrow_frame(frame)
        if columns is None:
            named = dict.fromkeys(c for c, _ in rhs.uses)
            columns = [
                c
                for c in named
                if c in frame.columns and c not in groups and c not in declared
                and not pd.api.types.is_numeric_dtype(frame[c])
            ]  # fmt: skip
            if not columns:
                return {c: list(v) for c, v in declared.items()}, False
        for c in columns:
            col = frame[c]
            if isinstance(col.dtype, pd.CategoricalDtype):
                found[c] = list(col.cat.categories)
            else:
                found.setdefault(c, set()).update(col.dropna().unique())
    levels = {c: v if isinstance(v, list) else r_sorted(v) for c, v in found.items()}
    return {**levels, **{c: list(v) for c, v in declared.items()}}, True


def glmm_batches(
    formula: str,
    source: Any,
    family: str,
    link: str,
    *,
    weights: Any = None,
    offset: Any = None,
    laplace: str | None = None,
    theta: Any = None,
    nagq: int = 1,
    max_iter: int = 300,
    batch_rows: int = 1 << 20,
    levels: Mapping[str, Sequence] | None = None,
    cache_bytes: int = 1 << 28,
    spill: bool | str | os.PathLike = True,
    progress: bool | None = None,
    split_every: int = 8,
    persist: bool | None = None,
    cache: bool | None = None,
    zi: bool = False,
) -> GlmmBatchFit:
    """The fit (one grouping factor, or several with a scalar term each by Laplace's
    approximation or nAGQ 0; every family, ``zi`` a zero-inflation of a constant
    probability, whose start takes one pass more) of ``formula`` to
    ``source`` read in batches (see the module); what :func:`quorvelkit.glmm` calls for
    such data. ``nagq`` as in memory: 0 (the joint PIRLS's criterion), 1 (Laplace's)
    or more (adaptive Gauss-Hermite quadrature, of one scalar random effect only: the
    per-group sums of a vector-valued one grow as nagq^q). ``levels`` declares the
    levels of categorical columns, which a list or a callable's batches otherwise take
    from their first batch holding a complete row (a Parquet source's first pass finds
    them); ``batch_rows`` is the Parquet batch size.
    The first pass keeps the batches as the core reads them (8 (p + q + 3) bytes a
    row) while they take at most ``cache_bytes``, and the core's passes read those;
    beyond it the core's first pass reads the source again and writes them to an
    unnamed temporary file in ``spill`` (True: the system's temporary directory; a
    directory; False: none), which its later passes read back (see
    :mod:`~quorvelkit.sources.batch_store`); without a spill every pass reads the
    source. The fit's ``optimizer["kept"]`` says which ("memory", "spill" or
    "source"). ``progress``: a bar of the core's passes (``None``: on a terminal, for
    fits longer than a second).

    A Dask or Spark DataFrame of a model of one grouping factor fitted by Laplace is
    fitted with every pass reduced on the workers (:mod:`quorvelkit.sources.glmm_cluster`):
    ``split_every`` is the number of partitions' sums merged per node of the fixed merge
    tree. A node holds its children's sums at once, up to 128 bytes a group for each pass
    with one scalar random effect: the passes that several points make together are sent
    in jobs that keep a node within 128 MiB, but one pass each at a million groups is
    still split_every x 128 MB on one worker, and a smaller ``split_every`` (2, 3 or 4)
    bounds it. ``persist`` (Dask) and ``cache`` (Spark), True by default, keep the partitions
    as the core reads them in the workers' memory between passes (False: each pass
    computes them again from the DataFrame). ``batch_rows``, ``cache_bytes`` and
    ``spill`` are not theirs. A Dask DataFrame of another model has its partitions
    computed and handed to this process at each pass, as a list's batches are read, and
    so are a Spark DataFrame's (one partition at a time)."""
    engine = _engine(source, split_every, persist, cache)
    if engine is not None and (
        nagq != 1 or len({tuple(t.group) for t in parse_formula(formula, None, family_response=True).random_terms}) > 1
    ):
        engine = None  # the partitions streamed here, as a list's batches
    if engine is not None:
        from .glmm_cluster import glmm_cluster

        return glmm_cluster(
            formula, engine, family, link, weights=weights, offset=offset, laplace=laplace, theta=theta,
            max_iter=max_iter, levels=levels, progress=progress, zi=zi,
        )  # fmt: skip
    t0 = time.perf_counter()
    parsed = parse_formula(formula, None, family_response=True)
    parquet = isinstance(source, (str, os.PathLike)) or not (
        isinstance(source, (list, tuple, Iterator)) or callable(source) or _dask_frame(source) or SPARK.accepts(source)
    )
    if parquet:
        # The offset's column is read with the formula's (an expression's are not known here).
        named = (offset,) if isinstance(offset, str) and offset.isidentifier() else ()
        reads = dataclasses.replace(parsed, uses=parsed.uses + tuple((c, "numeric") for c in named))
        data = open_dataset(reads, source, batch_rows, levels, False, weights if isinstance(weights, str) else None)
        read, name, levels = data.read, data.name, data.levels
        first_passes = int(data.group_levels is not None)  # its first pass, when the model needs one
    # X, Z and the offset are the right-hand side's: the response is the family's.
    rhs = dataclasses.replace(parsed, uses=tuple(u for u in parsed.uses if u[1] != "response"))
    levels_passes = 0 if not parquet else first_passes
    if not parquet:
        read, name, _ = _frames_of(source)
        levels, made = _text_levels(rhs, read, levels or {})
        levels_passes = int(made)
    first = next((item for item in read() if has_complete_row(rhs, item[0])), None)
    if first is None:
        raise SourceError(f"{name} has no complete rows in the columns the model uses")
    spec = first_spec(rhs, first, levels, None, None)
    if len(spec.factors) != 1:
        refuse_terms(spec)
        if nagq > 1:
            raise ValueError(
                f"nagq = {nagq} from batches takes one grouping factor (this model has {len(spec.factors)}); "
                "use nagq=0 or 1 (Laplace), or fit it in memory"
            )
    if nagq > 1 and spec.q > 1:
        raise ValueError(
            f"nagq = {nagq} from batches takes one scalar random effect (this model has {spec.q} per group, "
            f"nagq^q = {nagq**spec.q} quadrature points per group); use nagq=1 or fit it in memory"
        )
    reading = _Reading(parsed, spec, family, weights, offset, zi)

    # The first pass: the group labels, the rows and the aliased columns; the batches
    # as the core reads them are kept while they fit in cache_bytes.
    uniques: list[list[Any]] = [[] for _ in spec.factors]
    kept_batches: list[_Batch] | None = []
    xtx = np.zeros((spec.p, spec.p))
    scale = np.zeros(spec.p)
    # A start for beta as in memory (start_beta: least squares of the link of the
    # family's starting means on X, the offset taken out), by its normal equations.
    mustart = mustart_of(family, zi)
    xtx_ok, xte = np.zeros((spec.p, spec.p)), np.zeros(spec.p)
    n = n_dropped = size = 0
    for frame, where in read():
        b = reading.batch(frame, where)
        for found_in, labels in zip(uniques, b.labels, strict=True):
            add_labels(found_in, labels)
        xtx += b.x.T @ b.x
        if mustart is not None:
            with np.errstate(all="ignore"):
                eta = linkfun(mustart(b.y, b.weights), link) - (0.0 if b.offset is None else b.offset)
            ok = np.isfinite(eta)
            xtx_ok += b.x[ok].T @ b.x[ok]
            xte += b.x[ok].T @ eta[ok]
        if len(b.x):
            scale = np.maximum(scale, np.abs(b.x).max(axis=0))
        n += len(b.y)
        n_dropped += b.n_dropped
        size += b.nbytes
        if kept_batches is not None:
            kept_batches = kept_batches + [b] if size <= cache_bytes else None
    if n == 0:
        raise SourceError(f"{name} has no complete rows in the columns the model uses")
    factor_levels = tuple(
        _levels_of(f.name, found_in, len(f.columns) == 1) for f, found_in in zip(spec.factors, uniques, strict=True)
    )
    group_levels = factor_levels[0]
    unit = np.where(scale > 0, scale, 1.0)
    kept = drop_aliased(xtx / np.outer(unit, unit), spec.fe_all, stacklevel=3)

    beta0 = None
    if mustart is not None:
        start = np.linalg.lstsq(xtx_ok[np.ix_(kept, kept)], xte[kept], rcond=None)[0]
        if np.all(np.isfinite(start)):
            # log(phi) and Tweedie's s: glmmTMB's starts (the zero-inflation's logit below).
            beta0 = np.append(start, [0.0] * (int(family in DISPERSION_FAMILIES) + int(family in POWER_FAMILIES)))

    design = Design(spec, group_levels, n, kept, n_dropped, 0, None, source=name, factor_levels=factor_levels)
    crossed = crossed_arrays(design) if len(spec.factors) > 1 else None

    def arrays(b: _Batch) -> tuple[Any, ...]:
        if crossed is not None:
            x = b.x if len(kept) == spec.p else b.x[:, kept]
            return crossed(b.y, x, b.z, b.labels, b.weights, b.offset)
        return core_arrays(b, group_levels, kept, spec.p)

    # A spill of one factor's rows is read back span by span of groups: where the
    # groups' sums exceed the cache, each span's stay in it (the same sums, any order).
    order = by_group_span(_qk.GROUP_SPAN) if crossed is None and len(group_levels) > _qk.GROUP_SPAN else None

    # The core's batches: those the first pass kept, or (beyond cache_bytes) the
    # source's read again by the core's first pass and spilled for the later ones.
    kept_batches_in_memory = kept_batches is not None
    if kept_batches is not None:
        cached = [arrays(b) for b in kept_batches]
        del kept_batches
        batches = BatchStore(lambda: iter(cached), cache_bytes, False)
    else:
        batches = BatchStore(lambda: read_ahead(arrays(reading.batch(f, w)) for f, w in read()), 0, spill, order)

    start_passes = 0
    if zi and beta0 is not None:
        # The excess zeros at beta's start: the kept batches, or one pass more.
        start_passes = int(not kept_batches_in_memory)
        x_beta = beta0[: len(kept)]
        beta0 = np.append(beta0, zero_inflation_logit(zero_counts(batches(), x_beta)))
    t1 = time.perf_counter()
    theta0 = None if theta is None else np.asarray(theta, dtype=float)
    bar = progress_bar(progress, None, "passes over the batches", "pass")

    def counted() -> Iterator[tuple[Any, ...]]:
        bar.update(1)
        return batches()

    try:
        result = (
            fit_crossed(design, counted, family, link, laplace, theta0, max_iter, beta0, nagq, zi)
            if crossed is not None
            else _qk.glmm_batches_fit(
                counted,
                len(group_levels),
                len(kept),
                spec.q,
                list(spec.blocks),
                family,
                link,
                laplace,
                theta0,
                max_iter,
                beta0,
                nagq,
                zi=zi,
            )
        )
    finally:
        bar.close()
    result["passes"] = int(result["passes"]) + 1 + levels_passes + start_passes  # and the passes here
    result["kept"] = "memory" if kept_batches_in_memory else batches.where
    t2 = time.perf_counter()
    spec = fitted_spec(spec, first, (family, link, laplace, offset), zi)
    design = dataclasses.replace(design, spec=spec)
    # The profiles' evaluations read the source again (the fit's store is let go), and
    # keep what they read by the fit's rules (cache_bytes, spill) from their first pass on.
    fitted_design = design

    def make(again: Callable[[], Any]) -> Any:
        if crossed is not None:
            return crossed_criterion(fitted_design, again, family, link, laplace, zi)
        return _qk.glmm_batches_criterion(
            again, len(group_levels), len(kept), spec.q, list(spec.blocks), family, link, laplace, zi=zi
        )

    criterion = BatchCriterion(
        BatchStore(lambda: read_ahead(arrays(reading.batch(f, w)) for f, w in read()), cache_bytes, spill, order),
        make,
        str(result["laplace"]),
    )
    return GlmmBatchFit(design, result, formula=formula, seconds=(t2 - t1, t2 - t0), criterion=criterion)


def _levels_of(name: str, uniques: list[Any], column: bool) -> pd.Index:
    """A grouping factor's levels from the labels each batch holds, sorted as in memory;
    ``column``: the factor is one column (a nested factor's joined labels stay objects,
    as in memory)."""
    _, levels = sorted_levels(pd.concat(uniques, ignore_index=True).drop_duplicates())
    found = split_labels(levels) if levels.dtype == object else None
    if found is not None:  # one label in two types would be two groups, as in memory
        raise ValueError(
            f"the grouping factor {name!r} holds {label_text(found[0])} as a number and "
            f"{label_text(found[1])} as text: one label in two types would be two groups; give the column one type"
        )
    if not column:
        return levels.astype(object)
    if levels.dtype == object and all(isinstance(v, str) for v in levels):
        levels = levels.astype(pd.StringDtype(na_value=np.nan))  # text labels, as a frame holds them
    return levels
