"""Group labels as values: the plain Python value of a label (for JSON and messages) and
the key under which "308", 308 and 308.0 are one label (for matching new data to the
levels of a fit)."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["json_label", "label_text", "is_missing", "label_key", "levels_by_value", "split_labels"]


def json_label(v: Any) -> Any:
    """``v`` as a plain Python value (NumPy scalars unwrapped, anything else but None,
    text, numbers and booleans as text)."""
    if isinstance(v, (np.integer,)):
        return int(v)
    if isinstance(v, (np.floating,)):
        return float(v)
    if isinstance(v, (np.bool_,)):
        return bool(v)
    if isinstance(v, (str, int, float, bool)) or v is None:
        return v
    return str(v)


def label_text(v: Any) -> str:
    """How a message shows a row's label or a value held in a column: as Python writes
    the plain value (``17``, ``'a'``, ``2.5``), a NumPy scalar as the value it holds
    (``17``, not ``np.int64(17)``)."""
    return repr(json_label(v))


def is_missing(v: Any) -> bool:
    """Whether a label is missing (None, NaN or pandas' NA)."""
    try:
        return v is None or bool(pd.isna(v))
    except (TypeError, ValueError):
        return False


def label_key(v: Any, parts: int = 1) -> Any:
    """The value of a group label, the same for "308", 308 and 308.0: a number for
    anything that reads as one (integers as ``int``), else the text. Labels of an
    interaction ("a:1") are keyed part by part. None for a missing label."""
    if is_missing(v):
        return None
    if parts > 1:
        pieces = str(v).split(":")
        if len(pieces) != parts:
            return ("text", str(v))
        return tuple(label_key(p) for p in pieces)
    if isinstance(v, (bool, np.bool_)):
        return ("bool", bool(v))
    if isinstance(v, (int, np.integer)):
        return ("number", int(v))
    try:
        f = float(v.strip() if isinstance(v, str) else v)
    except (TypeError, ValueError, OverflowError):
        return ("text", str(v))
    if not math.isfinite(f):
        return ("text", str(v))
    if f.is_integer() and abs(f) < 2**63:
        try:  # keep every digit of a long integer written as text
            return ("number", int(v) if isinstance(v, str) else int(f))
        except ValueError:
            return ("number", int(f))
    return ("number", f)


def levels_by_value(levels: pd.Index, parts: int) -> dict[Any, int]:
    """Index of each level by the value of its label; a value shared by several levels
    (an ambiguous one, e.g. levels "1" and 1) maps to -1."""
    table: dict[Any, int] = {}
    for i, v in enumerate(levels):
        key = label_key(v, parts)
        if key is not None:
            table[key] = -1 if key in table else i
    return table


def split_labels(labels: pd.Index) -> tuple[Any, Any] | None:
    """A number label and a text label of ``labels`` that read as the same value (17
    and "17", 2 and "2.0"), which would be two groups of one value; ``None`` when
    there are none. The text is read as :func:`label_key` reads it."""
    vals = np.asarray(labels, dtype=object)
    is_text = np.fromiter((isinstance(v, str) for v in vals), dtype=bool, count=len(vals))
    if is_text.all() or not is_text.any():
        return None
    text, numbers = vals[is_text], vals[~is_text]
    as_float = pd.to_numeric(pd.Series(text), errors="coerce").to_numpy(dtype=float)
    near = np.isin(as_float, pd.to_numeric(pd.Series(numbers), errors="coerce").to_numpy(dtype=float))
    if not near.any():
        return None
    by_key = {label_key(v): v for v in numbers}
    for t in text[near]:
        hit = by_key.get(label_key(t))
        if hit is not None:
            return hit, t
    return None
