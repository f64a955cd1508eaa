"""The model of data in memory: :func:`build_design` turns a formula and a data frame
into a :class:`~quorvelkit.model.Design` with its rows, the data being one batch,
learnt from and read at once."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from .checks import check_group_counts, check_response_variation, drop_aliased, require_columns, row_values
from .frames import sorted_levels, to_frame
from .model import Design, FitRows, select_rows
from .model_learning import learn_spec
from .parsing import ParsedFormula, parse_formula

__all__ = ["build_design", "referenced_columns"]


def referenced_columns(parsed: ParsedFormula, columns: pd.Index, response: bool = True) -> list[str]:
    """Data columns the formula refers to, in data order (without the response's
    columns when ``response`` is false). Nothing is evaluated: the columns come from
    the checked parse of every expression."""
    names = {c for c, role in parsed.uses if response or role != "response"}
    return [c for c in columns if isinstance(c, str) and c in names]


def build_design(parsed: ParsedFormula, data: Any, weights: Any = None, offset: Any = None) -> Design:
    """The model of ``parsed`` on the rows of ``data`` (one batch, learnt from and read
    at once: :func:`~quorvelkit.model_learning.learn_spec`).

    ``weights`` and ``offset`` are column names of ``data`` or arrays of one number per
    row of it (see :func:`quorvelkit.lmm`). Rows with a missing value in any column
    the formula uses (response, fixed part, offsets, random part, grouping factor) or
    in the offset given are dropped and counted; so are rows of weight zero, which
    carry no information (their residual variance is infinite). Weights that are
    negative or not finite and values that are not finite are refused naming the
    row. Aliased fixed-effects columns are dropped with a
    :class:`RankDeficiencyWarning` naming them.
    """
    frame = to_frame(data)
    if not parsed.model_fixed:  # not made by parse_formula: check it now
        parsed = parse_formula(parsed.text)
    require_columns(parsed.columns, frame.columns, "the data")
    used = referenced_columns(parsed, frame.columns)
    if len(frame) == 0:
        raise ValueError("the data has no rows")
    place = lambda k: f"row {frame.index[k]!r}"  # noqa: E731
    prior = row_values(weights, frame, "weights", place)
    given = row_values(offset, frame, "offset", place)
    sub = frame[used]
    keep, n_dropped, n_zero = select_rows(sub, prior, given, place)
    if n_dropped == len(frame):
        raise ValueError(f"every row has a missing value in the columns the model uses ({', '.join(used)})")
    if not keep.any():
        raise ValueError("the weights are zero in every row the model could use")
    subset = not keep.all()
    work = sub.loc[keep] if subset else sub
    if given is not None:
        given.values = given.values[keep] if subset else given.values
    learnt = learn_spec(
        parsed,
        work,
        whole=True,
        weights_column=None if prior is None else prior.label,
        weighted=prior is not None,
        offset=given,
    )
    spec, rows = learnt.spec, learnt.rows
    assert rows is not None
    # The rule is scale-free per column: columns scaled to a largest |value| of 1 keep
    # the Gram matrix finite where X'X itself would overflow (values near 1e154).
    scale = np.max(np.abs(rows.x), axis=0) if len(rows.x) else np.ones(rows.x.shape[1])
    xs = rows.x / np.where(scale > 0, scale, 1.0)
    kept = drop_aliased(xs.T @ xs, spec.fe_all, stacklevel=3)
    x = rows.x if len(kept) == spec.p else np.ascontiguousarray(rows.x[:, kept])
    if rows.offset is None:
        check_response_variation(rows.y, f"response '{parsed.response}'")
    else:
        check_response_variation(rows.y - rows.offset, f"response '{parsed.response}' less its offset")
    codes, levels = sorted_levels(rows.labels)
    check_group_counts(parsed.group_label, len(rows.y), len(levels), spec.blocks)
    offset_values = None if rows.offset is None else np.ascontiguousarray(rows.offset, dtype=float)
    fit_rows = FitRows(
        y=rows.y,
        x=x,
        z=rows.z,
        codes=np.ascontiguousarray(codes, dtype=np.int64),
        row_index=frame.index[keep] if subset else frame.index,
        weights=None if prior is None else np.ascontiguousarray(prior.values[keep]),
        offset=offset_values,
    )
    return Design(spec, levels, len(rows.y), kept, n_dropped, n_zero, fit_rows)
