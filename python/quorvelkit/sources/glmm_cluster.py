"""GLMMs fitted from a Dask or a Spark DataFrame with every pass reduced where the rows
are (:func:`glmm_cluster`, which :func:`quorvelkit.sources.glmm_batches.glmm_batches`
calls for such data).

The fit is the one of :mod:`quorvelkit.sources.glmm_batches`: the compiled core's pass
driver on the client, the modes kept there. Here its passes run on the workers: each
pass's inputs (theta's Lambda, beta, the modes u and, for the gradient's passes, the
groups' M^-1 and t; O(groups) values) are sent once to every worker, each partition's
batches are reduced to their sums by the core's kernel (``_quorvelkit.glmm_batch_sums``,
no Python per row), and the sums are merged by a fixed tree (partition order,
``split_every`` children a node) whose root alone reaches the client. The tree's shape
depends on the number of partitions only, so a given partitioning gives the same bits
whatever the number of workers. The merge sums in another order than the in-memory
fit, whose results it gives to rounding. The passes that several points of the fit make
at once (the Hessian's gradients) share jobs, as many to a job as keep a merge node's
memory within ``NODE_BYTES``: each partition's task finds the sums of every one of them,
and the tree merges them side by side.

Before the core's passes, the levels of text columns (a pass over those columns, when
the model has any) and the first pass (the group labels, rows and aliased columns,
:mod:`quorvelkit.sources.glmm_first_pass`) are taken on the workers too; the group
labels reach the workers with the model, which codes each partition's rows there.
Each partition is then turned into the core's arrays (8 (p + q + 3) bytes a row) and
those are kept in the workers' memory for the passes: Dask's ``persist``, Spark's
``cache`` (the options ``persist=`` and ``cache=``; False: every pass computes the
partitions again from the DataFrame).
"""

from __future__ import annotations

import dataclasses
import time
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np
import pandas as pd

import quorvelkit._quorvelkit as _qk

from ..formula.parsing import ParsedFormula, parse_formula
from ..model.description import ModelSpec
from ..results.glmm_batch_fit import BatchCriterion, GlmmBatchFit
from ..support.errors import SourceError
from ..support.frames import r_sorted
from ..support.progress import progress_bar
from .glmm_first_pass import FirstPass, Found, zero_counts, zero_inflation_logit
from .glmm_reading import _Reading, batch_fit, core_arrays
from .interface import first_spec

__all__ = ["glmm_cluster", "Model", "merge_requests", "merge_sums", "partition_sums", "request_sums"]


@dataclasses.dataclass(frozen=True)
class Model:
    """The core's model, as a worker's kernel takes it."""

    n_groups: int
    p: int
    q: int
    blocks: tuple[int, ...]
    family: str
    link: str
    laplace: str | None
    zi: bool = False  # a constant zero-inflation probability


def partition_sums(model: Model, batches: Sequence[tuple[Any, ...]], kind: str, inputs: dict, where: str) -> dict:
    """One pass's sums over a partition's batches (the core's arrays), from zero; a
    row the core refuses is named by its partition."""
    batches = [tuple(aligned(a) for a in b) for b in batches]
    inputs = {k: aligned(v) for k, v in inputs.items()}
    try:
        return dict(
            _qk.glmm_batch_sums(
                lambda: batches,
                model.n_groups,
                model.p,
                model.q,
                list(model.blocks),
                model.family,
                kind,
                inputs,
                link=model.link,
                laplace=model.laplace,
                zi=model.zi,
            )
        )
    except ValueError as exc:
        raise SourceError(f"{exc} (of {where})") from None


def request_sums(
    model: Model, batches: Sequence[tuple[Any, ...]], requests: Sequence[tuple[str, dict]], where: str
) -> list:
    """The sums of each pass of ``requests`` (its kind and inputs) over a partition's
    batches: the passes that several points of the fit make together, in one task."""
    return [partition_sums(model, batches, kind, inputs, where) for kind, inputs in requests]


def aligned(value: Any) -> Any:
    """An array as the core borrows it (C-contiguous and aligned), copied only when it
    is not: an array that crossed processes may lie unaligned in its message's buffer."""
    return np.require(value, requirements=["C", "A"]) if isinstance(value, np.ndarray) else value


def merge_sums(parts: Iterable[dict]) -> dict:
    """Sums merged in the order given (a left fold): key by key, element by element.
    A node of the reduction tree merges its children so."""
    out: dict | None = None
    for part in parts:
        out = part if out is None else {k: out[k] + part[k] for k in out}
    assert out is not None, "a merge of no sums"
    return out


def merge_requests(parts: Iterable[list]) -> list:
    """Lists of :func:`request_sums` merged request by request (each a left fold of
    :func:`merge_sums` in the order given)."""
    return [merge_sums(sums) for sums in zip(*parts, strict=True)]


def first_pass(frames: Iterable[pd.DataFrame], where: str, reading: _Reading, p: int, link: str, zi: bool) -> FirstPass:
    """A partition's share of the first pass (its frames, in order)."""
    out = FirstPass(p, reading.family, link, zi)
    for frame in frames:
        if len(frame):  # an empty partition adds nothing (the response's reading refuses no rows)
            out.add(reading.batch(frame, where))
    return out


def core_batches(frames: Iterable[pd.DataFrame], where: str, reading: _Reading, found: Found, p: int) -> list:
    """A partition's frames as the core reads them, coded against the group labels."""
    return [core_arrays(reading.batch(f, where), found.group_levels, found.kept, p) for f in frames if len(f)]


def partition_zeros(frames: Iterable[pd.DataFrame], where: str, reading: _Reading, found: Found, p: int) -> Any:
    """A partition's share of a constant zero-inflation's start (zero_counts at beta's)."""
    assert found.beta0 is not None
    return zero_counts(core_batches(frames, where, reading, found, p), found.beta0[: len(found.kept)])


def text_levels(frames: Iterable[pd.DataFrame], where: str, columns: Sequence[str]) -> dict[str, Any]:
    """A partition's share of the levels of text and categorical ``columns``: a
    categorical's categories (a list), the distinct values of text (a set)."""
    out: dict[str, Any] = {}
    for frame in frames:
        for c in columns:
            col = frame[c]
            if isinstance(col.dtype, pd.CategoricalDtype):
                out[c] = list(col.cat.categories)
            else:
                out.setdefault(c, set()).update(col.dropna().unique())
    return out


def merge_levels(parts: Sequence[dict[str, Any]], declared: Mapping[str, Sequence], name: str) -> dict[str, list]:
    """The partitions' levels in partition order, as a frame in memory teaches them
    (R's order for text), and the declared ones. A column categorical in one partition
    and text in another is refused: its levels would depend on the partitions' order."""
    found: dict[str, Any] = {}
    for k, part in enumerate(parts):
        for c, v in part.items():
            if c in found and isinstance(found[c], list) != isinstance(v, list):
                raise SourceError(
                    f"column {c!r} of {name} is categorical in some partitions and text in others (partition {k}): "
                    "give it one type"
                )
            if isinstance(v, list):
                found[c] = v
            else:
                found.setdefault(c, set()).update(v)
    levels = {c: v if isinstance(v, list) else r_sorted(v) for c, v in found.items()}
    return {**levels, **{c: list(v) for c, v in declared.items()}}


class Passes:
    """What an engine gives the fit: the sample the model is learnt from, the text
    columns, and maps over the partitions in partition order (``fn(frames, where,
    *args)`` on the workers, the results on the client), the kept core batches and the
    merged sums of passes made together (:func:`request_sums` of each partition, merged
    by :func:`merge_requests`)."""

    name = "the DataFrame"
    #: Children of a node of the merge tree.
    split_every = 8
    #: The largest sums of one pass seen so far, in bytes (0: none yet); see _aligned_sums.
    largest_sums = 0

    def columns(self) -> list[str]:
        raise NotImplementedError

    def text_columns(self, candidates: Sequence[str]) -> list[str]:
        raise NotImplementedError

    def sample(self, columns: Sequence[str]) -> tuple[pd.DataFrame, str]:
        raise NotImplementedError

    def select(self, columns: Sequence[str]) -> None:
        raise NotImplementedError

    def map(self, fn: Any, *args: Any) -> list:
        raise NotImplementedError

    def keep(self, fn: Any, *args: Any) -> None:
        raise NotImplementedError

    def sums(self, model: Model, requests: list[tuple[str, dict]]) -> list[dict]:
        raise NotImplementedError

    def release(self) -> None:
        raise NotImplementedError


#: What one node of a pass's merge tree may hold of its children's sums, in bytes: the
#: passes that several points of the fit make together are sent in jobs of as many as
#: keep split_every children's sums of them within it. Sent as one job, the 6 points of a
#: Hessian at 100,000 groups (12 MB of sums each) put 585 MB on one node, and a worker of
#: the 10M-row fit at 1.4 GB. Each pass's sums are found and merged alone whatever the
#: job, so the cut changes no bits; a job more costs the scheduler's round trip only.
NODE_BYTES = 128 << 20


def _nbytes(sums: Mapping[str, Any]) -> int:
    return sum(int(getattr(v, "nbytes", 8)) for v in sums.values())


def _aligned_sums(passes: Passes, model: Model, requests: list[tuple[str, dict]]) -> list[dict]:
    """The merged sums of ``requests`` as the core borrows them (see :func:`aligned`), in
    jobs within NODE_BYTES (by the largest sums of one pass seen; the first pass alone
    while none has been)."""
    out: list[dict] = []
    while len(out) < len(requests):
        largest = passes.largest_sums
        room = max(1, NODE_BYTES // (passes.split_every * largest)) if largest else 1
        job = requests[len(out) : len(out) + room]
        got = passes.sums(model, job)
        assert len(got) == len(job), "an engine returned the sums of another number of passes"
        for sums in got:
            passes.largest_sums = max(passes.largest_sums, _nbytes(sums))
            out.append({k: aligned(v) for k, v in sums.items()})
    return out


def _column_values(arg: Any, what: str, name: str) -> None:
    if arg is not None and not isinstance(arg, str):
        raise TypeError(
            f"{what}= of {name} is a column name or an expression of its columns (values given apart from the "
            f"DataFrame cannot be split among its partitions), got {type(arg).__name__}"
        )


def glmm_cluster(
    formula: str,
    passes: Passes,
    family: str,
    link: str,
    *,
    weights: Any,
    offset: Any,
    laplace: str | None,
    theta: Any,
    max_iter: int,
    levels: Mapping[str, Sequence] | None,
    progress: bool | None,
    zi: bool = False,
) -> GlmmBatchFit:
    """The fit of :func:`~quorvelkit.sources.glmm_batches.glmm_batches` with its passes on
    the engine's workers (see the module)."""
    t0 = time.perf_counter()
    name = passes.name
    _column_values(weights, "weights", name)
    _column_values(offset, "offset", name)
    parsed = parse_formula(formula, None, family_response=True)
    rhs = dataclasses.replace(parsed, uses=tuple(u for u in parsed.uses if u[1] != "response"))
    columns = passes.columns()
    missing = [c for c in parsed.columns if c not in columns]
    if missing:
        raise SourceError(f"column {missing[0]!r} not found in {name}")
    # Only the columns the model reads leave the storage; an expression of weights or an
    # offset may read any, and keeps them all.
    named = [a for a in (weights, offset) if a is not None]
    if all(a in columns for a in named):
        passes.select([c for c in columns if c in set(parsed.columns) or c in named])
    spec, levels_passes, sample = _learn(rhs, passes, dict(levels or {}))
    if len(spec.factors) != 1:
        raise ValueError(
            f"a GLMM fit from batches takes one grouping factor (this model has {len(spec.factors)}); fit it in memory"
        )
    reading = _Reading(parsed, spec, family, weights, offset, zi)
    first = passes.map(first_pass, reading, spec.p, link, zi)
    merged = first[0]
    for part in first[1:]:
        merged = merged.merge(part)
    found = merged.finish(spec, name, stacklevel=4)
    start_passes = 0
    if zi and found.beta0 is not None:
        # The excess zeros at beta's start: a pass more over the partitions.
        counts = np.sum(passes.map(partition_zeros, reading, found, spec.p), axis=0)
        found = dataclasses.replace(found, beta0=np.append(found.beta0, zero_inflation_logit(counts)))
        start_passes = 1
    passes.keep(core_batches, reading, found, spec.p)
    model = Model(len(found.group_levels), len(found.kept), spec.q, tuple(spec.blocks), family, link, laplace, zi)
    t1 = time.perf_counter()
    bar = progress_bar(progress, None, "passes over the partitions", "pass")

    def run(requests: list[tuple[str, dict]]) -> list[dict]:
        bar.update(1)
        return _aligned_sums(passes, model, requests)

    try:
        result = _qk.glmm_batches_fit(
            None,
            model.n_groups,
            model.p,
            model.q,
            list(model.blocks),
            family,
            link,
            laplace,
            None if theta is None else np.asarray(theta, dtype=float),
            max_iter,
            found.beta0,
            run=run,
            zi=zi,
        )
    finally:
        bar.close()
        passes.release()
    result["passes"] = int(result["passes"]) + 1 + levels_passes + start_passes  # and the passes here
    t2 = time.perf_counter()
    # The profiles' passes run on the workers as the fit's did: the partitions kept again
    # at a profile's first evaluation and let go when the profile ends.
    kept = False

    def run_again(requests: list[tuple[str, dict]]) -> list[dict]:
        nonlocal kept
        if not kept:
            passes.keep(core_batches, reading, found, spec.p)
            kept = True
        return _aligned_sums(passes, model, requests)

    def let_go() -> None:
        nonlocal kept
        if kept:
            passes.release()
            kept = False

    criterion = BatchCriterion(
        None,
        lambda _: _qk.glmm_batches_criterion(
            None, model.n_groups, model.p, model.q, list(model.blocks), family, link, laplace, run=run_again, zi=zi
        ),
        str(result["laplace"]),
        release=let_go,
    )
    return batch_fit(
        formula, sample, spec, found, result, name, (family, link, laplace, offset), (t0, t1, t2), criterion, zi
    )


def _learn(
    rhs: ParsedFormula, passes: Passes, declared: dict[str, Sequence]
) -> tuple[ModelSpec, int, tuple[pd.DataFrame, str]]:
    """The model learnt from the first complete rows, with the levels of the text
    columns of the right-hand side (its grouping columns aside, which the first pass
    codes) found by a pass over those columns unless declared; and whether that pass
    was made; and the rows learnt from, with their place."""
    groups = {c for t in rhs.random_terms for c in t.group}
    named = [c for c in dict.fromkeys(c for c, _ in rhs.uses) if c not in groups and c not in declared]
    text = passes.text_columns(named)
    found = (
        merge_levels(passes.map(text_levels, text), declared, passes.name)
        if text
        else {c: list(v) for c, v in declared.items()}
    )
    first = passes.sample(rhs.columns)
    return first_spec(rhs, first, found, None, None), int(bool(text)), first
