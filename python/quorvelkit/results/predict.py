"""Predictions of a fitted model for new data: the fit's model matrices rebuilt for the
new rows, each row's group found among the fit's levels, X beta plus the group's Z b
plus the rows' offset."""

from __future__ import annotations

import warnings
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np
import pandas as pd

from ..formula.checks import check_column_types, unseen_levels
from ..formula.r_functions import FORMULA_CONTEXT
from ..model.design import Design
from ..support.errors import clean_message
from ..support.frames import join_labels, to_frame
from ..support.labels import is_missing, json_label, label_key, label_text

__all__ = ["predict", "model_rows", "group_index"]


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
    by the value of their label (:func:`quorvelkit.support.labels.levels_by_value`); it is
    called only when a label is not found as it is."""
    index, x_new, z_new, idx, ok, off = model_rows(
        design, newdata, re=re, allow_new_levels=allow_new_levels, by_value=by_value
    )
    out = np.full(len(index), np.nan)
    vals = x_new @ beta + off
    if re:
        known = idx >= 0
        vals[known] += np.einsum("ij,ij->i", z_new[known], b[idx[known]])
    out[ok] = vals
    return pd.Series(out, index=index, name="predicted")


def model_rows(
    design: Design,
    newdata: Any,
    *,
    re: bool,
    allow_new_levels: bool,
    by_value: Callable[[], dict[Any, int]],
) -> tuple[pd.Index, np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """The rows of ``newdata`` (the fit's when None) as the model sees them: their
    index, X and Z of the rows whose predictors are all present, each such row's group
    (index into the fit's levels, -1 for a new or missing label, or every row -1 with
    ``re=False``), the mask of those rows among all and their offset (zeros without
    one). Unknown labels are refused
    unless ``allow_new_levels``. Z is built with ``re=False`` too (a new group's
    variance needs it); the group column is then not needed."""
    if newdata is None:
        idx = design.codes.copy() if re else np.full(design.n, -1, dtype=np.int64)
        off = design.offset if design.offset is not None else np.zeros(design.n)
        return design.row_index, design.x, design.z, idx, np.ones(design.n, dtype=bool), off
    if design.spec.offset_array:
        raise ValueError(
            "the model's offset was given as an array, which new data cannot supply; fit it with "
            "offset=COLUMN or an offset() term of the formula to predict for new data"
        )
    frame = to_frame(newdata)
    parsed = design.parsed
    # a grouping column is needed for the random effects, or where a term uses it too
    need = [c for c in design.spec.predictor_columns if re or parsed.roles(c) - {"group"}]
    if design.spec.offset_column is not None and design.spec.offset_column not in need:
        need.append(design.spec.offset_column)
    absent = [c for c in need if c not in frame.columns]
    if absent:
        raise ValueError(f"newdata lacks the column(s) {', '.join(absent)}")
    fixed_cols = [c for c in need if parsed.roles(c) - {"group"}]
    ok = ~frame[fixed_cols].isna().any(axis=1).to_numpy() if fixed_cols else np.ones(len(frame), bool)
    if re and not allow_new_levels:  # every label is checked, whatever the predictors
        _refuse_unknown_labels(design, frame, by_value)
    q = len(design.re_names)
    x_new = np.zeros((0, len(design.fe_names)))
    z_new = np.zeros((0, q))
    idx = np.zeros(0, dtype=np.int64)
    off = np.zeros(0)
    if ok.any():
        rows = np.flatnonzero(ok)
        sub = frame.loc[ok].reset_index(drop=True)
        numbers = [c for c in design.spec.numbers if c in need]
        sub, _ = check_column_types(sub, numbers, [], lambda k: f"row {label_text(frame.index[rows[k]])} of newdata")
        levels = design.spec.categorical
        for c in need:  # a column the model read as a factor is one in new data too
            if c in levels and not isinstance(sub[c].dtype, pd.CategoricalDtype):
                sub[c] = sub[c].astype("category")
        named = parsed.for_formulaic(sub[need])
        x_new = _materialize(design.spec.fixed_spec, named, levels)[:, design.kept_columns]
        z_parts = [_materialize(spec, named, levels) for spec in design.spec.random_specs]
        z_new = np.column_stack(z_parts) if z_parts else np.empty((len(sub), 0))
        idx = group_index(design, sub, by_value) if re else np.full(len(sub), -1, dtype=np.int64)
        off = np.zeros(len(sub))
        for spec in design.spec.offset_specs:
            off = off + _materialize(spec, named, levels)[:, 0]
        if design.spec.offset_column is not None:
            off = off + pd.to_numeric(sub[design.spec.offset_column]).to_numpy(dtype=float)
    return frame.index, x_new, z_new, idx, ok, off


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


def _materialize(spec: Any, frame: pd.DataFrame, levels: Mapping[str, list]) -> np.ndarray:
    from formulaic.errors import FormulaicError  # formulaic is imported on first use: it is slow to import

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            mm = spec.get_model_matrix(frame, context=FORMULA_CONTEXT, na_action="ignore")
    except Warning as w:  # formulaic's data-mismatch warning: unseen factor levels
        found = "; ".join(unseen_levels(levels, frame)) or str(w).split(". They are being")[0]
        raise ValueError(
            f"newdata does not match the fitted model: {found}; a prediction needs the levels the model was fitted with"
        ) from None
    except FormulaicError as exc:
        raise ValueError(f"cannot build model matrices for newdata: {clean_message(exc)}") from None
    return np.asarray(mm.to_numpy(dtype=float))


def _group_values(design: Design, frame: pd.DataFrame, group: tuple[str, ...] | None = None) -> np.ndarray:
    """Each row's label of the grouping factor whose columns are ``group`` (the first
    factor's when None); None where a column is missing."""
    group = design.parsed.group if group is None else group
    if len(group) == 1:
        return frame[group[0]].to_numpy(dtype=object)
    strs = join_labels(frame, group)
    bad = frame[list(group)].isna().any(axis=1).to_numpy()
    vals = strs.to_numpy(dtype=object)
    vals[bad] = None
    return vals


def group_index(
    design: Design,
    frame: pd.DataFrame,
    by_value: Callable[[], dict[Any, int]],
    group: tuple[str, ...] | None = None,
    levels: pd.Index | None = None,
) -> np.ndarray:
    """Index into the fit's levels of each row's group label; -1 for a label the fit
    has not seen (or a missing one). A label that is not found as it is matches the
    level of the same value in another representation (text "308", integer 308, float
    308.0) when exactly one level has that value. ``group`` and ``levels``: another
    grouping factor's columns and levels than the first's."""
    labels = _group_values(design, frame, group)
    levels = design.levels if levels is None else levels
    idx = np.asarray(levels.get_indexer(pd.Index(labels, dtype=object)), dtype=np.int64)
    missing = idx < 0
    if missing.any():
        table = by_value()
        parts = len(design.parsed.group if group is None else group)
        for k in np.flatnonzero(missing):
            key = label_key(labels[k], parts)
            if key is not None:
                idx[k] = table.get(key, -1)
    return idx


def group_cross_products(design: Design) -> np.ndarray:
    """Z_i'W_iX_i of every group, shape (m, q, p), from the rows (W_i the prior weights,
    the identity without; one weighted count per pair of columns, no n x q x p
    temporary)."""
    rows = design.need_rows("intervals of predictions")
    q, p = rows.z.shape[1], rows.x.shape[1]
    out = np.empty((design.m, q, p))
    zw = rows.z if rows.weights is None else rows.z * rows.weights[:, None]
    for a in range(q):
        for c in range(p):
            out[:, a, c] = np.bincount(rows.codes, weights=zw[:, a] * rows.x[:, c], minlength=design.m)
    return out


def interval_table(
    fit_values: np.ndarray,
    x_new: np.ndarray,
    z_new: np.ndarray,
    idx: np.ndarray,
    *,
    cov_beta: np.ndarray,
    cond_cov: np.ndarray,
    ztx: np.ndarray,
    cov_re: np.ndarray,
    sigma2: float,
    prediction: bool,
    weights: np.ndarray | None = None,
    z: float,
    group_draw: bool = True,
) -> tuple[np.ndarray, np.ndarray]:
    """Lower and upper bounds fit -+ z sqrt(v) of each row (see
    :meth:`quorvelkit.LmmFit.predict` for v). A row without a group of the fit
    (``idx`` -1) adds the variance of a new group's draw, z0'Sigma z0, when
    ``group_draw`` (a new group; a population-level prediction interval), and not
    otherwise (the population-level mean). A new observation's residual variance is
    sigma^2 / w with the row's prior weight w (``weights``; 1 without)."""
    var = np.einsum("ij,jk,ik->i", x_new, cov_beta, x_new)
    known = idx >= 0
    if known.any():
        g = idx[known]
        xk, zk = x_new[known], z_new[known]
        k = cond_cov[g] / sigma2  # Lambda (Lambda'Z_i'Z_i Lambda + I)^-1 Lambda'
        cz = np.einsum("iab,ib->ia", cond_cov[g], zk)  # Var(b_i | y, beta) z0
        kz = np.einsum("iab,ib->ia", k, zk)
        xzk = np.einsum("iac,ia->ic", ztx[g], kz)  # X_i'Z_i K_i z0
        # Var(b^_i - b_i) = sigma^2 K_i + K_i Z_i'X_i Cov(beta) X_i'Z_i K_i and
        # Cov(beta^ - beta, b^_i - b_i) = -Cov(beta) X_i'Z_i K_i give, for x0'(beta^ - beta)
        # + z0'(b^_i - b_i): x0'Cx0 + z0'Var(b|y,beta)z0 + u'Cu - 2 x0'Cu with u = X_i'Z_i K_i z0.
        var[known] += (
            np.einsum("ia,ia->i", zk, cz)
            + np.einsum("ij,jk,ik->i", xzk, cov_beta, xzk)
            - 2.0 * np.einsum("ij,jk,ik->i", xk, cov_beta, xzk)
        )
    if group_draw:
        add_group_draw(var, z_new, ~known, cov_re)
    return interval_bounds(fit_values, var, sigma2=sigma2, prediction=prediction, weights=weights, z=z)


def add_group_draw(var: np.ndarray, z_new: np.ndarray, new: np.ndarray, cov_re: np.ndarray) -> None:
    """var += z0'Sigma z0 on the rows ``new`` (in place): the variance of a new
    group's draw of the random effects with covariance ``cov_re``."""
    if new.any() and np.any(z_new[new]):
        var[new] += np.einsum("ia,ab,ib->i", z_new[new], cov_re, z_new[new])


def interval_bounds(
    fit_values: np.ndarray,
    var: np.ndarray,
    *,
    sigma2: float,
    prediction: bool,
    weights: np.ndarray | None,
    z: float,
) -> tuple[np.ndarray, np.ndarray]:
    """Lower and upper bounds fit -+ z sqrt(v) from the variances ``var`` of the rows'
    conditional means; with ``prediction`` v adds a new observation's residual
    variance sigma^2 / w (``weights`` w; 1 without)."""
    if prediction:
        var = var + (sigma2 if weights is None else sigma2 / weights)
    half = z * np.sqrt(np.maximum(var, 0.0))
    return fit_values - half, fit_values + half
