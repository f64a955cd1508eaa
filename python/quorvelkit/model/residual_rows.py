"""A residual structure's per-row arrays read from the data (:mod:`quorvelkit.formula.residual_terms`):
each row's subject, time or visit, coordinates and variance covariates, with the
refusals that name the column and the rows. A fit reads them from its rows; a
prediction reads new rows under the fit's visits and strata (``labels``)."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from ..formula.residual_terms import FITTED, ResidualSpec
from ..support.frames import sorted_levels
from ..support.labels import label_text

__all__ = ["StructureRows", "structure_rows", "rows_named", "unidentified"]


@dataclass
class StructureRows:
    """The structure's per-row arrays, in the data's row order: ``times`` (a time, or a
    visit's code for the unstructured kind and factors of visits), ``coords``, and each
    variance function's (kind, number of strata, values); the visits' and each
    variance function's strata labels."""

    times: np.ndarray | None
    coords: np.ndarray | None
    n_visits: int
    visit_labels: list
    variances: list[tuple[str, int, np.ndarray]]
    variance_labels: list[list] = field(default_factory=list)
    #: Each row's structure group (codes of the group column; None: one structure).
    group: np.ndarray | None = None
    group_labels: list = field(default_factory=list)


def rows_named(index: pd.Index, where: np.ndarray) -> str:
    """Rows of ``index`` at the places ``where``, as a message names them."""
    shown = ", ".join(label_text(index[k]) for k in where[:3])
    return f"row{'s' if len(where) > 1 else ''} {shown}" + (" and more" if len(where) > 3 else "")


def _codes(column: pd.Series, labels: list | None, what: str) -> tuple[np.ndarray, list]:
    """Each row's level code: of the column's own sorted levels, or of ``labels`` (a
    level not among them is refused)."""
    if labels is None:
        codes, levels = sorted_levels(column)
        return np.asarray(codes, dtype=np.int64), list(levels)
    codes = pd.Index(labels).get_indexer(column.to_numpy())
    bad = np.flatnonzero(codes < 0)
    if len(bad):
        raise ValueError(
            f"the {what} {column.name!r} holds {label_text(column.iloc[bad[0]])}, which the fit has not, "
            f"in {rows_named(column.index, bad)}"
        )
    return codes.astype(np.int64), list(labels)


def _times(
    spec: ResidualSpec, frame: pd.DataFrame, subject: np.ndarray, labels: list | None
) -> tuple[np.ndarray, int, list]:
    """The time of each row: the column's values (whole numbers for AR(1); a factor's
    level positions), or the row's place within its subject; and for the kinds by visit
    (unstructured, Toeplitz, ante-dependence) the number of visits and their labels."""
    if not spec.position:
        place = pd.Series(subject).groupby(subject).cumcount().to_numpy(dtype=float)
        n = int(place.max()) + 1 if len(place) else 0
        return place, n, list(range(1, n + 1))
    col = spec.position[0]
    values = frame[col]
    numeric = pd.api.types.is_numeric_dtype(values) and not isinstance(values.dtype, pd.CategoricalDtype)
    if spec.correlation in ("us", "toep", "ad") or not numeric:
        codes, levels = _codes(values, labels, "visit column")
        return codes.astype(float), len(levels), levels
    t = values.to_numpy(dtype=float)
    bad = np.flatnonzero(~np.isfinite(t))
    if len(bad):
        raise ValueError(f"the time column {col!r} is not finite in {rows_named(frame.index, bad)}")
    if spec.correlation == "ar1":
        bad = np.flatnonzero(t != np.floor(t))
        if len(bad):
            raise ValueError(
                f"ar1 needs whole-number times or a factor of visits; {col!r} holds {t[bad[0]]!r} in "
                f"{rows_named(frame.index, bad)} (use car1 for continuous times)"
            )
    return t, 0, []


def structure_rows(
    spec: ResidualSpec,
    frame: pd.DataFrame,
    subject: np.ndarray,
    *,
    visit_labels: list | None = None,
    variance_labels: list[list] | None = None,
    group_labels: list | None = None,
    fitted: np.ndarray | None = None,
) -> StructureRows:
    """The structure's arrays of the rows of ``frame`` (``subject``: each row's subject
    code); with the fit's ``visit_labels`` and ``variance_labels``, new rows are coded
    by the fit's levels. ``fitted``: the rows' fitted values, the covariate of a
    variance function of the fitted values (None: ones, a first fit without it)."""
    times: np.ndarray | None = None
    coords: np.ndarray | None = None
    n_visits, labels = 0, list[Any]()
    if spec.correlation in ("exp", "gaus"):
        coords = np.ascontiguousarray(frame[list(spec.position)].to_numpy(dtype=float))
    elif spec.correlation != "none":
        times, n_visits, labels = _times(spec, frame, subject, visit_labels if visit_labels else None)
    group, groups = None, list[Any]()
    if spec.group is not None:
        group, groups = _codes(frame[spec.group], group_labels, "group column")
    variances, strata = [], []
    for k, v in enumerate(spec.variances):
        if v.kind == "ident":
            column = frame[v.column]
            if v.by is not None:  # strata of the pairs (group, level)
                pairs = pd.Series(list(zip(frame[v.by], column, strict=True)), index=frame.index, name=v.column)
                column = pairs
            codes, levels = _codes(column, variance_labels[k] if variance_labels else None, "stratum column")
            variances.append(("ident", len(levels), codes.astype(float)))
            strata.append(levels)
        else:
            if v.column == FITTED:
                values = np.ones(len(frame)) if fitted is None else np.asarray(fitted, dtype=float)
            else:
                values = frame[v.column].to_numpy(dtype=float)
            bad = np.flatnonzero(~np.isfinite(values) | ((values == 0) if v.kind == "power" else False))
            if len(bad):
                what = "zero or not finite" if v.kind == "power" else "not finite"
                raise ValueError(f"the variance covariate {v.column!r} is {what} in {rows_named(frame.index, bad)}")
            variances.append((v.kind, 0, values))
            strata.append([])
    return StructureRows(times, coords, n_visits, labels, variances, strata, group, groups)


def unidentified(spec: ResidualSpec, rows: StructureRows, subject: np.ndarray) -> str | None:
    """The message for a correlation by visit that the data cannot identify, or None:
    of us, a pair of visits no subject has both of; of toep, a lag between no two
    visits of a subject; of ad, consecutive visits no subject has both of (in each
    structure group, which has correlations of its own)."""
    if spec.correlation not in ("us", "toep", "ad") or rows.times is None:
        return None
    t, labels = rows.n_visits, rows.visit_labels
    codes = rows.times.astype(np.int64)
    group = np.zeros(len(codes), np.int64) if rows.group is None else rows.group
    for g in np.unique(group):
        at = group == g
        _, subj = np.unique(subject[at], return_inverse=True)
        seen = np.zeros((int(subj.max(initial=-1)) + 1, t), dtype=np.int64)
        seen[subj, codes[at]] = 1
        both = seen.T @ seen  # subjects with both visits of each pair
        where = f" in {spec.group} {rows.group_labels[g]!r}" if rows.group is not None else ""
        col = spec.position[0] if spec.position else "the visit"
        if spec.correlation == "toep":
            for lag in range(1, t):
                if not np.diagonal(both, lag).any():
                    return (
                        f"the correlation at lag {lag} of {spec.text!r} cannot be estimated: no subject{where} has "
                        f"two visits {lag} apart in {col!r}"
                    )
            continue
        pairs = [(a, a + 1) for a in range(t - 1)] if spec.correlation == "ad" else np.argwhere(np.triu(both == 0, 1))
        for a, b in pairs:
            if both[a, b] == 0:
                return (
                    f"the correlation of visits {labels[a]!r} and {labels[b]!r} of {spec.text!r} cannot be "
                    f"estimated: no subject{where} has both in {col!r}"
                )
    return None
