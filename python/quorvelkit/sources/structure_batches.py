"""Residual structures fitted exactly from data read in batches: a Parquet file,
directory or dataset, an iterator of DataFrames, or a Dask DataFrame.

A model without random effects (nlme's gls) whose residuals have a structure within
subjects has sufficient statistics that need no rows: its subjects grouped into
patterns (the subjects whose rows share times, coordinates, variance covariates and
structure group share R), per pattern the number of subjects and the sums of the
products of their rows by pair of rows (``lmm/structured/patterns.cpp``). A batch that
holds the whole of each of its subjects is reduced to its patterns by the core
(``StructuredCore(..., reduce=True)``); the batches' patterns are merged by key in a
fixed order (batch order; on Dask the fixed tree of :func:`quorvelkit.sources.dask.merge_tree`,
so that a given partitioning gives the same bits for any number of workers), and the
core built from the merged patterns is fitted as in memory. The fit is exact: it is the
in-memory fit's up to the order of the sums.

Every subject must lie in one batch. Rows of a subject that run on from one batch into
the next (a Parquet file sorted by subject cut into batches, an iterator's frames cut
anywhere) are joined before the reduction: the trailing subject of a batch is held and
read with the next. A subject found in two batches that are not so joined, or in two
Dask partitions, is refused, naming the subject column, the subject and both places:
repartition by subject first (Dask ``ddf.shuffle(on="id")`` or ``ddf.set_index("id")``;
Parquet written sorted by subject or partitioned by it).

The levels of the visits, strata, structure groups and the formula's categorical
columns are found by a first pass (of the complete rows), so an iterator is read twice:
a one-shot iterator (a generator) is refused unless every such level is declared in
``levels=``. Random effects together with a structure, prior weights, and a structure
without a subject column are refused (with the reason): their patterns are not
sufficient statistics.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ..fitting.structured_model import fit_core, order_rows, structured_core
from ..formula.parsing import ParsedFormula, parse_formula
from ..formula.residual_terms import ResidualSpec
from ..model.description import ModelSpec, select_rows
from ..model.design import Design
from ..model.fit_options import FitOptions, unknown_options
from ..model.model_checks import drop_aliased
from ..model.residual_rows import StructureRows, structure_rows, unidentified
from ..results.structured_fit import StructuredFit, StructureLayout, SubjectPatterns
from ..support.errors import SourceError
from ..support.frames import MAX_LEVELS, arrow_frame, level_order, sorted_levels
from ..support.labels import label_text
from .interface import first_spec, has_complete_row

__all__ = [
    "lmm",
    "refusal",
    "StructureLevels",
    "level_columns",
    "distinct_values",
    "find_levels",
    "reduce_batch",
    "merge_list",
    "fit_patterns",
    "reiterable_frames",
]

#: Patterns' products beyond this many bytes, when they outnumber the rows' own
#: values, are refused: the subjects do not share their layouts.
MAX_PATTERN_BYTES = 1 << 28


def refusal(parsed: ParsedFormula, weights: Any) -> str | None:
    """Why the structure of ``parsed`` cannot be fitted from batches, or None."""
    res = parsed.residual
    assert res is not None
    if parsed.random_terms:
        return (
            f"random effects together with a residual structure ({res.text}) are fitted from data in memory only: "
            "reduced in batches, a subject's rows are summed over the subjects of its pattern, which holds for a "
            "model without random effects (nlme's gls) alone; read the rows of the subjects into a data frame"
        )
    if weights is not None:
        return f"prior weights and a residual structure ({res.text}) together are not supported"
    if res.subject is None:
        return (
            f"a residual structure ({res.text}) fitted from batches needs its subject column (e.g. ar1(visit | id)): "
            "without one every row is one subject's, which no batch holds whole"
        )
    if res.correlation in ("us", "toep", "ad") and not res.position:
        return f"{res.text} from batches needs its visit column (e.g. us(visit | id)), not the rows' order"
    return None


def level_columns(res: ResidualSpec) -> list[str | tuple[str, str]]:
    """The structure's columns whose levels every batch must share: the visits (read
    as levels unless the kind takes continuous positions), the strata of varIdent
    (pairs with their ``by`` column) and the structure groups."""
    cols: list[str | tuple[str, str]] = []
    if res.position and res.correlation not in ("none", "car1", "exp", "gaus"):
        cols.append(res.position[0])
    cols += [(v.by, v.column) if v.by else v.column for v in res.variances if v.kind == "ident"]
    if res.group is not None:
        cols.append(res.group)
    return cols


@dataclass
class StructureLevels:
    """The levels a first pass finds: of each structure column (in memory's order),
    and of the formula's categorical columns (for the model's columns)."""

    structure: dict[Any, list]
    formula: dict[str, list]

    def rows(self, res: ResidualSpec, frame: pd.DataFrame, subject: np.ndarray) -> StructureRows:
        """The structure's arrays of a batch's rows, coded by these levels."""
        visits = self.structure.get(res.position[0]) if res.position else None
        strata = [
            self.structure.get((v.by, v.column) if v.by else v.column, []) if v.kind == "ident" else []
            for v in res.variances
        ]
        group = self.structure.get(res.group) if res.group is not None else None
        return structure_rows(res, frame, subject, visit_labels=visits, variance_labels=strata, group_labels=group)


def _distinct(frame: pd.DataFrame, key: str | tuple[str, str]) -> list:
    if isinstance(key, tuple):
        pairs = frame[list(key)].drop_duplicates()
        return list(zip(pairs[key[0]], pairs[key[1]], strict=True))
    return list(pd.unique(frame[key].to_numpy()))


def distinct_values(parsed: ParsedFormula, frame: pd.DataFrame) -> dict[Any, set]:
    """The distinct values, over the complete rows of ``frame``, of the structure's
    level columns and of the formula's columns that are not floating point (the
    subject column and the response aside)."""
    res = parsed.residual
    assert res is not None
    complete = frame[frame[list(parsed.columns)].notna().all(axis=1)]
    keys: list[Any] = list(level_columns(res))
    skip = {res.subject, parsed.response, *keys}
    keys += [c for c in parsed.columns if c not in skip and not pd.api.types.is_float_dtype(complete[c])]
    return {k: set(_distinct(complete, k)) for k in keys}


def find_levels(
    parsed: ParsedFormula, found: Iterable[dict[Any, set]], declared: Mapping[str, Sequence] | None
) -> StructureLevels:
    """The levels of the values found (:func:`distinct_values` of each frame or
    partition): the structure's in memory's order, the formula's as the batched
    routes order them (a column of more than :data:`MAX_LEVELS` values is none);
    ``declared`` levels are taken as given."""
    res = parsed.residual
    assert res is not None
    keys = level_columns(res)
    union: dict[Any, set] = {}
    for one in found:
        for k, v in one.items():
            union.setdefault(k, set()).update(v)
    structure = {k: list(sorted_levels(pd.Series(list(union.get(k, ()))))[1]) for k in keys}
    formula = {k: level_order(v) for k, v in union.items() if k not in keys and len(v) <= MAX_LEVELS}
    for c, given in (declared or {}).items():
        formula[c] = list(given)
        if c in structure:
            structure[c] = list(given)
    return StructureLevels(structure, formula)


@dataclass
class BatchPatterns:
    """The patterns of some batches: the core of their patterns, each pattern's number
    of rows, and per batch its place, its subjects' labels and their patterns."""

    core: Any
    sizes: np.ndarray
    places: list[tuple[str, np.ndarray, np.ndarray]]
    n_dropped: int


def reduce_batch(spec: ModelSpec, levels: StructureLevels, frame: pd.DataFrame, where: str) -> BatchPatterns | None:
    """One batch's patterns (None when no row of it is complete)."""
    res = spec.parsed.residual
    assert res is not None and res.subject is not None
    keep, n_dropped, _ = select_rows(frame[spec.used], None, None, lambda k: where)
    if not keep.any():
        return BatchPatterns(None, np.zeros(0, np.int64), [], n_dropped)
    kept = frame.loc[keep] if not keep.all() else frame
    rows = spec.rows(kept, where)
    sub = kept[list(res.columns)].reset_index(drop=True)
    codes, labels = sorted_levels(sub[res.subject])
    codes = np.asarray(codes, dtype=np.int64)
    try:  # the messages name the batch's rows by their place in it
        arrays = levels.rows(res, sub, codes)
        order, group = order_rows(None, codes, arrays, res, sub)
    except ValueError as exc:
        raise SourceError(f"{exc} (counted from the first complete row of {where})") from None
    table = np.column_stack([rows.z, rows.x, rows.core_y])
    core, subject_sorted, offsets = structured_core(table, 0, [], res, arrays, order, codes, group, reduce=True)
    patterns = np.asarray(core.subject_patterns, dtype=np.int64)
    sizes = np.zeros(core.n_subjects, np.int64)
    sizes[patterns] = np.diff(offsets)
    names = np.asarray(labels)[subject_sorted[offsets[:-1]]]
    return BatchPatterns(core, sizes, [(where, names, patterns)], n_dropped)


def merge(a: BatchPatterns, b: BatchPatterns) -> BatchPatterns:
    """a's patterns and b's merged by key, a's first (the core's merge)."""
    if b.core is None or a.core is None:
        kept = b if a.core is None else a
        return BatchPatterns(kept.core, kept.sizes, a.places + b.places, a.n_dropped + b.n_dropped)
    core, where = a.core.merged(b.core)
    where = np.asarray(where, dtype=np.int64)
    sizes = np.zeros(core.n_subjects, np.int64)
    sizes[: len(a.sizes)] = a.sizes
    sizes[where] = b.sizes
    places = a.places + [(w, names, where[codes]) for w, names, codes in b.places]
    return BatchPatterns(core, sizes, places, a.n_dropped + b.n_dropped)


def merge_list(parts: list) -> BatchPatterns:
    """The parts merged in order (a left fold): a node of a merge tree."""
    out: BatchPatterns | None = None
    for p in parts:
        part = p.iloc[0] if isinstance(p, pd.Series) else p
        out = part if out is None else merge(out, part)
    assert out is not None, "a merge of no parts"
    return out


def check_size(part: BatchPatterns, res: ResidualSpec, k: int) -> None:
    """Refuses patterns whose products outgrow the rows they summarise."""
    rows = int(part.core.n) if part.core is not None else 0
    square = int((part.sizes**2).sum())
    if 2 * square > rows and square * k * k * 8 > MAX_PATTERN_BYTES:
        raise SourceError(
            f"the subjects of {res.text!r} form {len(part.sizes):,} patterns of times, coordinates and variance "
            f"covariates over {rows:,} rows: their products would outgrow the rows, so the pattern route of data "
            "read in batches cannot hold them; read the rows into a data frame"
        )


def joined_runs(batches: Iterable[tuple[pd.DataFrame, str]], subject: str) -> Iterator[tuple[pd.DataFrame, str]]:
    """The batches with each batch's trailing subject held and read with the next
    batch, so that a subject whose rows run on from one batch into the next is whole."""
    held: pd.DataFrame | None = None
    held_where = ""
    for frame, origin in batches:
        where = origin
        if held is not None and len(held):
            frame = pd.concat([held, frame])
            where = f"{origin} (with the last subject of {held_where})"
        if not len(frame):
            continue
        if subject not in frame.columns:
            raise SourceError(f"the subject column {subject!r} is not in {where}")
        labels = frame[subject].to_numpy()
        same = pd.Series(labels[::-1]).eq(labels[-1]).to_numpy()
        run = int(np.argmin(same)) if not same.all() else len(labels)
        held, held_where = frame.iloc[len(labels) - run :], origin
        if run < len(labels):
            yield frame.iloc[: len(labels) - run], where
    if held is not None and len(held):
        yield held, where


def check_split(part: BatchPatterns, res: ResidualSpec) -> None:
    """Refuses a subject whose rows lie in two places, naming it and them."""
    if len(part.places) < 2:
        return
    names = np.concatenate([n for _, n, _ in part.places])
    seen = pd.Index(names).duplicated(keep=False)
    if not seen.any():
        return
    first = np.flatnonzero(seen)[:2]
    owner = np.repeat(np.arange(len(part.places)), [len(n) for _, n, _ in part.places])
    a, b = (part.places[owner[i]][0] for i in first)
    raise SourceError(
        f"the subject {label_text(names[first[0]])} of the subject column {res.subject!r} has rows in {a} and in "
        f"{b}: a residual structure is fitted from batches only where each subject's rows lie in one batch or "
        f"partition; repartition by subject first (Dask: ddf.shuffle(on={res.subject!r}) or "
        f"ddf.set_index({res.subject!r}); Parquet: write the rows sorted by {res.subject!r}, or partitioned by it)"
    )


def _positions(core: Any, res: ResidualSpec, levels: StructureLevels) -> list[pd.Index]:
    """Each pattern's rows as the structure places them: its visits' labels, its times,
    or places within the subject."""
    args = core.__reduce__()[1]
    offsets, times = np.asarray(args[2]), args[6]
    visits = levels.structure.get(res.position[0]) if res.position else None
    out: list[pd.Index] = []
    numbers = visits is not None and all(pd.api.types.is_number(v) for v in visits)
    coded = bool(visits) and (res.correlation in ("us", "toep", "ad") or not numbers)
    for p in range(len(offsets) - 1):
        if times is None or not res.position:
            out.append(pd.RangeIndex(offsets[p + 1] - offsets[p]))
            continue
        t = np.asarray(times)[offsets[p] : offsets[p + 1]]
        shown = [visits[int(v)] for v in t] if coded and visits else t
        out.append(pd.Index(shown, name=res.position[0]))
    return out


def _estimable(core: Any, spec: ModelSpec) -> tuple[Any, list[int]]:
    """The core without aliased fixed-effects columns (a RankDeficiencyWarning names
    them), from X'X summed over the patterns' rows, and the columns kept."""
    from .._quorvelkit import StructuredCore

    args = list(core.__reduce__()[1])
    offsets, counts, products = np.asarray(args[2]), np.asarray(args[13]), np.asarray(args[14])
    k = spec.p + 1
    xtx = np.zeros((k, k))
    at = 0
    for p in range(len(counts)):
        m = int(offsets[p + 1] - offsets[p])
        blocks = products[at : at + m * m * k * k].reshape(m, m, k, k)
        xtx += blocks[np.arange(m), np.arange(m)].sum(axis=0)
        at += m * m * k * k
    kept = drop_aliased(xtx[: spec.p, : spec.p], spec.fe_all, stacklevel=6)
    if len(kept) == spec.p:
        return core, kept
    cols = [*kept, spec.p]
    parts, at = [], 0
    for p in range(len(counts)):
        m = int(offsets[p + 1] - offsets[p])
        blocks = products[at : at + m * m * k * k].reshape(m, m, k, k)
        parts.append(blocks[:, :, cols][:, :, :, cols].ravel())
        at += m * m * k * k
    args[0] = np.empty((0, len(cols)))
    args[14] = np.ascontiguousarray(np.concatenate(parts))
    return StructuredCore(*args), kept


def fit_patterns(
    spec: ModelSpec, levels: StructureLevels, part: BatchPatterns, options: FitOptions, source: str, t0: float
) -> StructuredFit:
    """The fit of the merged patterns of a source: the split subjects refused, aliased
    columns dropped, then the core's fit, as in memory."""
    res = spec.parsed.residual
    assert res is not None
    if part.core is None:
        raise SourceError(f"{source} has no complete rows in the columns the model uses")
    check_split(part, res)
    check_size(part, res, spec.p + 1)
    if res.correlation != "none" and int(part.sizes.max(initial=0)) < 2:
        raise ValueError(
            f"no subject of {res.text!r} has two rows: its correlation cannot be estimated "
            f"(the subject column is {res.subject!r})"
        )
    core, kept = _estimable(part.core, spec)
    design = Design(spec, pd.Index([]), int(core.n), kept, part.n_dropped, 0, rows=None, source=source)
    visits = levels.structure.get(res.position[0], []) if res.position else []
    strata = [levels.structure.get((v.by, v.column) if v.by else v.column, []) for v in res.variances]
    group = levels.structure.get(res.group, []) if res.group is not None else []
    args = core.__reduce__()[1]
    # The patterns' representatives stand for their subjects: a pair of visits some
    # subject has is a pair some pattern has.
    sizes = np.diff(np.asarray(args[2]))
    of_pattern = np.repeat(np.arange(len(sizes)), sizes)
    by_row = None if args[11] is None else np.asarray(args[11])[of_pattern]
    times = None if args[6] is None else np.asarray(args[6])
    message = unidentified(res, StructureRows(times, None, len(visits), visits, [], [], by_row, group), of_pattern)
    if message is not None:
        raise ValueError(message)
    arrays = StructureRows(None, args[7], len(visits), visits, [], strata, None, group)
    t1 = time.perf_counter()
    result = fit_core(core, [], res, arrays, options)
    t2 = time.perf_counter()
    empty = np.zeros(0, np.int64)
    layout = StructureLayout(res, arrays, empty, empty, np.zeros(1, np.int64))
    fit = StructuredFit(design, core, result, layout, reml=options.reml, seconds=(t2 - t1, t2 - t0))
    names = np.concatenate([n for _, n, _ in part.places])
    codes = np.concatenate([c for _, _, c in part.places])
    fit.subject_patterns = SubjectPatterns(names, codes, _positions(core, res, levels))
    return fit


def fit_batches(
    parsed: ParsedFormula,
    read: Callable[[], Iterable[tuple[pd.DataFrame, str]]],
    options: FitOptions,
    *,
    levels: Mapping[str, Sequence] | None,
    found: Mapping[str, list] | None,
    again: bool,
    source: str,
    distinct: Callable[[], Iterable[dict[Any, set]]] | None = None,
    frame_of: Callable[[Any, StructureLevels], pd.DataFrame] | None = None,
) -> StructuredFit:
    """The fit of batches read by ``read()`` (called twice when ``again``: the first
    pass finds the levels, each batch's distinct values given by ``distinct()`` when
    given; else every level must be declared in ``levels``), reduced and merged in
    batch order; ``frame_of(batch, levels)`` makes a DataFrame of what ``read()``
    gives (by default its items are DataFrames)."""
    t0 = time.perf_counter()
    res = parsed.residual
    assert res is not None and res.subject is not None
    declared: dict[str, Sequence] = {**(found or {}), **(levels or {})}
    if again:
        values = distinct() if distinct is not None else (distinct_values(parsed, f) for f, _ in read())
        found_levels = find_levels(parsed, values, declared)
    else:
        missing = [k for k in level_columns(res) if (k if isinstance(k, str) else k[1]) not in declared]
        if missing:
            raise ValueError(
                f"{source} is read once (a one-shot iterator), and a residual structure from batches needs the "
                f"levels of {', '.join(repr(m) for m in missing)} before its first batch: declare them in levels=, "
                "or give an iterable that starts again at each iter() (a list of DataFrames, or an object with "
                "__iter__), or a Parquet source"
            )
        found_levels = StructureLevels(
            {k: list(declared[k if isinstance(k, str) else k[1]]) for k in level_columns(res)},
            {c: list(v) for c, v in declared.items()},
        )
    spec: ModelSpec | None = None
    part: BatchPatterns | None = None
    dropped = 0
    batches = read() if frame_of is None else ((frame_of(b, found_levels), w) for b, w in read())
    for frame, where in joined_runs(batches, res.subject):
        if spec is None:
            if not has_complete_row(parsed, frame):
                dropped += len(frame)
                continue
            # The columns' types and the levels teach the model: a head with a complete
            # row teaches them as the whole batch does.
            head = frame.head(1 << 16)
            sample = head if has_complete_row(parsed, head) else frame
            if frame_of is not None:  # learnt from the text frame_of coded
                coded = [c for c in sample.columns if isinstance(sample[c].dtype, pd.CategoricalDtype)]
                sample = sample.astype(dict.fromkeys(coded, object))
            spec = first_spec(parsed, (sample, where), found_levels.formula, None, None)
        one = reduce_batch(spec, found_levels, frame, where)
        assert one is not None
        part = one if part is None else merge(part, one)
        check_size(part, res, spec.p + 1)
    if spec is None or part is None:
        raise SourceError(f"{source} has no complete rows in the columns the model uses")
    part.n_dropped += dropped
    return fit_patterns(spec, found_levels, part, options, source, t0)


def _frames(source: Any) -> Callable[[], Iterator[tuple[pd.DataFrame, str]]]:
    def read() -> Iterator[tuple[pd.DataFrame, str]]:
        for k, f in enumerate(source):
            if not isinstance(f, pd.DataFrame):
                raise TypeError(f"batch {k} of the iterator is a {type(f).__name__}, not a pandas DataFrame")
            yield f, f"batch {k}"

    return read


def reiterable_frames(data: Any) -> bool:
    """Whether ``data`` is read in batches by this route as an iterable that starts
    again at each ``iter()``: a list or tuple of DataFrames, or an object of its own
    with ``__iter__`` that is neither an iterator nor data pandas reads whole."""
    if isinstance(data, list | tuple):
        return bool(data) and all(isinstance(f, pd.DataFrame) for f in data)
    whole = (Iterator, pd.DataFrame, pd.Series, Mapping, str, bytes, np.ndarray)
    return isinstance(data, Iterable) and not isinstance(data, whole) and not hasattr(data, "columns")


def lmm(
    formula: str,
    data: Any,
    *args: Any,
    residual: ResidualSpec | None = None,
    weights: Any = None,
    batch_rows: int = 1 << 20,
    levels: Mapping[str, Sequence] | None = None,
    progress: bool | None = None,
    split_every: int = 8,
    dask_route: Callable[..., StructuredFit] | None = None,
    **kwargs: Any,
) -> StructuredFit:
    """The fit of a model with a residual structure to ``data`` read in batches (what
    :func:`quorvelkit.lmm` calls for a Parquet path or dataset, an iterator or iterable
    of DataFrames, or a Dask DataFrame, with a structure); see the module's text for
    what is fitted and refused. ``batch_rows`` are the rows of a Parquet batch,
    ``split_every`` the partitions per node of a Dask merge tree, ``levels`` declared
    levels of categorical columns (the structure's among them); ``dask_route`` the
    Dask route's fit (:func:`quorvelkit.sources.dask.structure_lmm`) for a Dask
    DataFrame, which the caller recognises."""
    from . import batch_loop

    options = FitOptions.take(args, kwargs, "lmm()")
    if kwargs:
        raise unknown_options(kwargs, "lmm()", ["batch_rows", "levels", "progress", "split_every"])
    parsed = parse_formula(formula, residual=residual)
    why = refusal(parsed, weights)
    if why is not None:
        raise ValueError(why)
    if dask_route is not None:
        fit: StructuredFit = dask_route(
            parsed, data, options, levels=levels, progress=progress, split_every=split_every
        )
        return fit
    if batch_loop.PARQUET.accepts(data):
        from .parquet import open_dataset
        from .structure_arrow import arrow_batch_frame, arrow_distinct

        ds = open_dataset(parsed, data, batch_rows, levels, progress, None, levels_pass=False)
        assert parsed.residual is not None  # refusal() has checked it
        shared = level_columns(parsed.residual)
        # The first pass reads the Arrow batches' distinct values, without pandas.
        distinct = lambda: (  # noqa: E731
            arrow_distinct(parsed, b, shared) or distinct_values(parsed, arrow_frame(b)) for b, _ in ds.read()
        )
        frame_of = lambda b, found: arrow_batch_frame(parsed, b, found.formula)  # noqa: E731
        return fit_batches(
            parsed,
            ds.read,
            options,
            levels=levels,
            found=ds.levels,
            again=True,
            source=ds.name,
            distinct=distinct,
            frame_of=frame_of,
        )
    one_shot = isinstance(data, Iterator)
    name = "the iterator of DataFrames"
    return fit_batches(parsed, _frames(data), options, levels=levels, found=None, again=not one_shot, source=name)
