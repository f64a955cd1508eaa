"""How a GLMM fit from batches reads a batch: the model learnt from the first batch
holding a complete row, the family's reading of the response, the weights and offset
given by name or expression (:class:`_Reading`); a batch as the core of one grouping
factor reads it (:func:`core_arrays`); and the fit of one grouping factor over the
core's result (:func:`batch_fit`). Shared by the routes that read the batches here
(:mod:`quorvelkit.sources.glmm_batches`) and on a cluster's workers
(:mod:`quorvelkit.sources.glmm_cluster`)."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

from ..families.response import read_evaluated
from ..formula.checks import row_values
from ..formula.expression_values import evaluate_parts
from ..formula.parsing import ParsedFormula
from ..model.data_arguments import resolve_rows
from ..model.description import ModelSpec
from ..model.design import Design
from ..results.glmm_batch_fit import BatchCriterion, GlmmBatchFit
from ..support.frames import arrow_frame
from ..support.labels import label_text
from .glmm_first_pass import Found

__all__ = ["batch_fit", "core_arrays", "fitted_spec"]


@dataclasses.dataclass
class _Batch:
    """One batch as the core reads it, and its group labels (one array per grouping factor)."""

    y: np.ndarray
    x: np.ndarray
    z: np.ndarray
    labels: tuple
    weights: np.ndarray
    offset: np.ndarray | None
    n_dropped: int

    @property
    def nbytes(self) -> int:
        # The arrays, the codes they will get, and the labels held until the first pass ends.
        arrays = sum(a.nbytes for a in (self.y, self.x, self.z, self.weights, self.offset) if a is not None)
        labels = sum(int(pd.Series(lv).memory_usage(index=False, deep=True)) for lv in self.labels)
        return arrays + 8 * len(self.y) * len(self.labels) + labels


class _Reading:
    """How every batch becomes the core's arrays: the model learnt from the first
    batch holding a complete row, the family's reading of the response (with ``zi``, a
    zero-inflated one's: a hurdle model's zeros are its truncated family's own), the
    weights and offset given by name or expression."""

    def __init__(
        self, parsed: ParsedFormula, spec: ModelSpec, family: str, weights: Any, offset: Any, zi: bool = False
    ) -> None:
        self.parsed, self.spec, self.family = parsed, spec, family
        self.weights, self.offset, self.zi = weights, offset, zi

    def batch(self, frame: Any, where: str) -> _Batch:
        frame = frame if isinstance(frame, pd.DataFrame) else arrow_frame(frame)
        if not isinstance(frame.index, pd.RangeIndex):
            frame = frame.reset_index(drop=True)
        weights = resolve_rows(self.weights, frame, "weights")
        offset = resolve_rows(self.offset, frame, "offset")
        parts = evaluate_parts(self.parsed.response_parts, frame)
        try:
            response = read_evaluated(
                self.parsed.response, parts, frame, self.family, weights, stacklevel=3, hurdle=self.zi
            )
        except ValueError as exc:  # its row by the batch's labels: the batch named too
            raise ValueError(f"{exc} (of {where})") from None
        keep = response.keep & frame[self.spec.used].notna().all(axis=1).to_numpy()
        given = row_values(offset, frame, "offset", lambda k: f"row {label_text(frame.index[k])} of {where}")
        if given is not None:
            keep &= ~np.isnan(given.values)
        rows = self.spec.rows(frame.loc[keep] if not keep.all() else frame, where)
        read = response.restricted(keep)
        off = rows.offset
        if given is not None:
            extra = np.ascontiguousarray(given.values[keep], dtype=float)
            off = extra if off is None else np.ascontiguousarray(off + extra)
        prior = np.ascontiguousarray(read.prior_weights, dtype=float)
        return _Batch(
            np.ascontiguousarray(read.y, dtype=float),
            rows.x,
            rows.z,
            rows.factor_labels,
            prior,
            off,
            len(frame) - int(keep.sum()),
        )


def core_arrays(b: _Batch, group_levels: pd.Index, kept: list[int], p: int) -> tuple[Any, ...]:
    """A batch as the core reads it: (y, x, z, codes, weights, offset), x's kept columns
    of its ``p``, codes the positions of its labels in ``group_levels`` (-1 for one not
    there, which the core refuses)."""
    codes = np.ascontiguousarray(group_levels.get_indexer(pd.Index(b.labels[0])), dtype=np.int64)
    x = b.x if len(kept) == p else b.x[:, kept]
    return (
        b.y,
        np.ascontiguousarray(x, dtype=float),
        np.ascontiguousarray(b.z, dtype=float),
        codes,
        b.weights,
        b.offset,
    )


def by_group_span(span: int) -> Callable[[tuple[Any, ...]], list[tuple[int, tuple[Any, ...]]]]:
    """An order for a spill of :func:`core_arrays` batches: a batch's rows cut by span of
    ``span`` groups (the span of a row: its code // span), each span's rows in row order.
    A pass over such a spill takes the groups span by span, each span's sums in cache;
    with the core's span (``GROUP_SPAN``), the sums are those of the source's order."""

    def order(item: tuple[Any, ...]) -> list[tuple[int, tuple[Any, ...]]]:
        key = item[3] // span
        if len(key) == 0 or key[0] == key[-1] and np.all(key == key[0]):
            return [(int(key[0]) if len(key) else 0, item)]
        low = int(key.min())
        at = np.argsort((key - low).astype(np.uint16 if int(key.max()) - low < 1 << 16 else np.int64), kind="stable")
        ordered = tuple(None if a is None else a[at] for a in item)
        keys = key[at]
        cuts = [0, *(np.flatnonzero(keys[1:] != keys[:-1]) + 1).tolist(), len(keys)]
        return [
            (int(keys[s]), tuple(None if a is None else a[s:e] for a in ordered))
            for s, e in zip(cuts[:-1], cuts[1:], strict=True)
        ]

    return order


def fitted_spec(
    spec: ModelSpec, first: tuple[Any, str], model: tuple[str, str, str | None, Any], zero_inflated: bool = False
) -> ModelSpec:
    """``spec`` with the fit's ``model`` (family, link, laplace, offset) and whether it
    has a constant zero-inflation: an offset given by the name of a column of the first
    batch is read from new data's column; an expression's values, as in memory, cannot
    be read from new data."""
    family, link, laplace, offset = model
    frame0 = first[0] if isinstance(first[0], pd.DataFrame) else arrow_frame(first[0])
    by_name = isinstance(offset, str) and offset in frame0.columns
    return dataclasses.replace(
        spec,
        family=family,
        link=link,
        laplace=laplace,
        offset_column=offset if by_name else None,
        offset_array=offset is not None and not by_name,
        zero_inflated=zero_inflated,
    )


def batch_fit(
    formula: str,
    first: tuple[Any, str],
    spec: ModelSpec,
    found: Found,
    result: dict,
    name: str,
    model: tuple[str, str, str | None, Any],
    times: tuple[float, float, float],
    criterion: BatchCriterion | None = None,
    zero_inflated: bool = False,
) -> GlmmBatchFit:
    """The fit of the core's ``result`` (its passes counted) over the first batch holding a
    complete row, the model learnt from it and what the first pass found; ``model`` is
    (family, link, laplace, offset); ``times``: the fit's start, its passes' start and end;
    ``criterion`` the profiles'."""
    t0, t1, t2 = times
    spec = fitted_spec(spec, first, model, zero_inflated)
    levels = found.group_levels
    design = Design(spec, levels, found.n, found.kept, found.n_dropped, 0, None, source=name, factor_levels=(levels,))
    return GlmmBatchFit(design, result, formula=formula, seconds=(t2 - t1, t2 - t0), criterion=criterion)
