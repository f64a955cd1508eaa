"""Predictions of a fitted model for new data: the fit's model matrices rebuilt for the
new rows, each row's group found among the fit's levels, X beta plus the group's Z b
plus the rows' offset."""

from __future__ import annotations

import warnings
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

from .design import Design, join_labels, to_frame
from .errors import clean_message
from .labels import is_missing, json_label, label_key

__all__ = ["predict", "random_part", "group_index"]


def random_part(design: Design, b: np.ndarray) -> np.ndarray:
    """Z b of the rows of the fit: each row's z times its group's random effects."""
    zb: np.ndarray = np.einsum("ij,ij->i", design.z, b[design.codes])
    return zb


def predict(
    design: Design,
    beta: np.ndarray,
    b: np.ndarray,
    newdata: Any,
    *,
    re: bool,
    allow_new_levels: bool,
    by_value: Callable[[], dict[Any, int]],
) -> pd.Series:
    """X beta (+ Z b with ``re``) for the rows of ``newdata``, or of the fit when it is
    None (see :meth:`quorvelkit.LmmFit.predict`). ``by_value`` gives the fit's levels
    by the value of their label (:func:`quorvelkit.labels.levels_by_value`); it is
    called only when a label is not found as it is."""
    if newdata is None:
        vals = design.x @ beta
        if re:
            vals = vals + random_part(design, b)
        if design.offset is not None:
            vals = vals + design.offset
        return pd.Series(vals, index=design.row_index, name="predicted")
    if design.offset_array:
        raise ValueError(
            "the model's offset was given as an array, which new data cannot supply; fit it with "
            "offset=COLUMN or an offset() term of the formula to predict for new data"
        )
    frame = to_frame(newdata)
    parsed = design.parsed
    need = [c for c in design.predictor_columns if c not in parsed.group or re]
    if design.offset_column is not None and design.offset_column not in need:
        need.append(design.offset_column)
    absent = [c for c in need if c not in frame.columns]
    if absent:
        raise ValueError(f"newdata lacks the column(s) {', '.join(absent)}")
    fixed_cols = [c for c in need if c not in parsed.group]
    ok = ~frame[fixed_cols].isna().any(axis=1).to_numpy() if fixed_cols else np.ones(len(frame), bool)
    out = np.full(len(frame), np.nan)
    if re and not allow_new_levels:  # every label is checked, whatever the predictors
        _refuse_unknown_labels(design, frame, by_value)
    if ok.any():
        sub = frame.loc[ok].reset_index(drop=True)
        named = parsed.for_formulaic(sub[need])
        x_new = _materialize(design.fixed_spec, named)[:, design.kept_columns]
        vals = x_new @ beta
        for spec in design.offset_specs:
            vals = vals + _materialize(spec, named)[:, 0]
        if design.offset_column is not None:
            vals = vals + pd.to_numeric(sub[design.offset_column]).to_numpy(dtype=float)
        if re:
            idx = group_index(design, sub, by_value)
            new = idx < 0
            z_new = np.column_stack([_materialize(spec, named) for spec in design.random_specs])
            known = ~new
            vals[known] += np.einsum("ij,ij->i", z_new[known], b[idx[known]])
        out[ok] = vals
    return pd.Series(out, index=frame.index, name="predicted")


def _refuse_unknown_labels(design: Design, frame: pd.DataFrame, by_value: Callable[[], dict[Any, int]]) -> None:
    """``ValueError`` naming (up to five of) the labels of ``frame`` that the fit has not
    seen, and counting the missing ones."""
    labels = _group_values(design, frame)
    unknown = group_index(design, frame, by_value) < 0
    if not unknown.any():
        return
    group_name = design.parsed.group_label
    missing = np.array([is_missing(v) for v in labels[unknown]], dtype=bool)
    shown = ", ".join(repr(json_label(v)) for v in pd.unique(labels[unknown][~missing])[:5])
    more = int(len(pd.unique(labels[unknown][~missing]))) - 5
    parts = []
    if shown:
        parts.append(f"levels of '{group_name}' not in the fit: {shown}" + (f" and {more} more" if more > 0 else ""))
    if missing.any():
        parts.append(f"{int(missing.sum())} row(s) with a missing '{group_name}'")
    raise ValueError(
        f"newdata has {' and '.join(parts)}; pass allow_new_levels=True for population-level predictions of those rows"
    )


def _materialize(spec: Any, frame: pd.DataFrame) -> np.ndarray:
    from formulaic.errors import FormulaicError  # formulaic is imported on first use: it is slow to import

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            mm = spec.get_model_matrix(frame, na_action="ignore")
    except Warning as w:  # formulaic's data-mismatch warning: unseen factor levels
        raise ValueError(f"newdata does not match the fitted model: {w}") from None
    except FormulaicError as exc:
        raise ValueError(f"cannot build model matrices for newdata: {clean_message(exc)}") from None
    return np.asarray(mm.to_numpy(dtype=float))


def _group_values(design: Design, frame: pd.DataFrame) -> np.ndarray:
    group = design.parsed.group
    if len(group) == 1:
        return frame[group[0]].to_numpy(dtype=object)
    strs = join_labels(frame, group)
    bad = frame[list(group)].isna().any(axis=1).to_numpy()
    vals = strs.to_numpy(dtype=object)
    vals[bad] = None
    return vals


def group_index(design: Design, frame: pd.DataFrame, by_value: Callable[[], dict[Any, int]]) -> np.ndarray:
    """Index into the fit's levels of each row's group label; -1 for a label the fit
    has not seen (or a missing one). A label that is not found as it is matches the
    level of the same value in another representation (text "308", integer 308, float
    308.0) when exactly one level has that value."""
    labels = _group_values(design, frame)
    idx = np.asarray(design.levels.get_indexer(pd.Index(labels, dtype=object)), dtype=np.int64)
    missing = idx < 0
    if missing.any():
        table = by_value()
        parts = len(design.parsed.group)
        for k in np.flatnonzero(missing):
            key = label_key(labels[k], parts)
            if key is not None:
                idx[k] = table.get(key, -1)
    return idx
