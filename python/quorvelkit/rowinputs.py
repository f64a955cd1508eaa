"""Inputs given per row besides the formula: prior weights and an offset, each a column
of the data (by name) or an array with one value per row of the data, checked and
reduced to the rows a model uses."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

__all__ = ["RowValues", "row_values", "check_weights"]


class RowValues:
    """Numbers given for every row of the data.

    Attributes:
        values: float64, one per row of the data.
        label: the column's name, or ``None`` for an array.
    """

    def __init__(self, values: np.ndarray, label: str | None) -> None:
        self.values = values
        self.label = label


def row_values(spec: Any, frame: pd.DataFrame, what: str) -> RowValues | None:
    """``spec`` (a column name or one value per row of ``frame``) as numbers: ``None``
    for ``None``. A ``ValueError`` for a name that is not a column, a wrong length, or
    a value that is not a number (naming it and its row); a ``TypeError`` for a spec
    that is neither a name nor a sequence of values."""
    if spec is None:
        return None
    if isinstance(spec, str):
        if spec not in frame.columns:
            avail = ", ".join(str(c) for c in frame.columns)
            raise ValueError(f"the {what} column {spec!r} is not in the data (columns: {avail})")
        raw: Any = frame[spec]
        label: str | None = spec
    else:
        if isinstance(spec, (bytes, dict, set)) or np.ndim(spec) == 0:
            raise TypeError(f"{what} must be a column name or one number per row, got {type(spec).__name__}")
        raw = spec
        label = None
    values = pd.Series(np.asarray(raw).ravel() if not isinstance(raw, pd.Series) else raw.to_numpy())
    if np.ndim(raw) != 1 or len(values) != len(frame):
        shape = "x".join(str(k) for k in np.shape(raw))
        raise ValueError(
            f"{what} must hold one number per row of the data: the data has {len(frame)} rows, "
            f"{what} has {len(values) if np.ndim(raw) == 1 else 'shape ' + shape}"
        )
    if pd.api.types.is_bool_dtype(values):
        raise ValueError(f"{what} must be numbers, not booleans")
    if not pd.api.types.is_numeric_dtype(values):
        numbers = pd.to_numeric(values.astype(object), errors="coerce")
        bad = np.flatnonzero(numbers.isna().to_numpy() & values.notna().to_numpy())
        if len(bad):
            k = int(bad[0])
            raise ValueError(f"{what} must be numbers, but they hold {values.iloc[k]!r} in row {frame.index[k]!r}")
        values = numbers
    return RowValues(np.asarray(values.to_numpy(dtype=float), dtype=float), label)


def check_weights(weights: np.ndarray, row_index: pd.Index) -> None:
    """Prior weights must be finite and non-negative: a ``ValueError`` naming the first
    row (by the data's label) that holds another value."""
    bad = ~(np.isfinite(weights) & (weights >= 0))
    if bad.any():
        k = int(np.argmax(bad))
        raise ValueError(
            f"weights must be finite and non-negative (rows of weight zero are left out), but they hold "
            f"{float(weights[k])!r} in row {row_index[k]!r}"
        )
