"""R's data arguments of a model call, read on the data as lme4 reads them:
``weights=`` and ``offset=`` may be expressions of the data's columns (glmer's
``offset = log(expected)``), and ``subset=`` an expression selecting rows (lmer's and
glmer's ``subset = Days >= 2 & Subject != "308"``).

Every expression goes through the formula's checked evaluator (the same rules and
functions as a formula term: :mod:`quorvelkit.formula.expressions`), so ``offset="log(t)"``
gives the very numbers of a formula term ``offset(log(t))``. A subset combines its
comparisons with R's ``&``, ``|`` and ``!`` (``&&``, ``||`` too), which bind less
tightly than comparisons as in R; R's three-valued logic decides a row whose inputs
are missing (``NA & FALSE`` is FALSE, ``NA | TRUE`` is TRUE), and a row whose subset
is NA is dropped, as ``model.frame`` drops it.
"""

from __future__ import annotations

import ast
import re
from typing import Any

import numpy as np
import pandas as pd

from ..formula.expression_values import evaluate_expression
from ..formula.formula_text import closing, scan
from ..support.errors import FormulaError

__all__ = ["resolve_rows", "subset_mask", "take_subset", "is_expression", "batch_refusal"]

_DOTTED = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*")


def is_expression(text: str) -> bool:
    """Whether a column argument reads as an expression rather than a name: Python
    code other than a (dotted, as R's ``Solar.R``) name."""
    if _DOTTED.fullmatch(text.strip()):
        return False
    try:
        ast.parse(text.strip(), mode="eval")
    except SyntaxError:
        return False  # a name with spaces or other characters, e.g. "prior weight"
    return True


def batch_refusal(what: str, text: str) -> ValueError:
    """The refusal of an expression for ``what`` (weights or offset) on data read in batches."""
    return ValueError(
        f"{what}={text!r} is an expression: data read in batches take {what}= as a column of the source only; "
        "add the column to the source (e.g. with pandas or pyarrow) and name it"
    )


def resolve_rows(spec: Any, frame: pd.DataFrame, what: str) -> Any:
    """``spec`` as :func:`quorvelkit.formula.checks.row_values` takes it: a column name or values
    unchanged, an expression of the columns (text that is not a column of ``frame``)
    evaluated to one number per row, NaN where an input is missing."""
    if not isinstance(spec, str) or spec in frame.columns or not is_expression(spec):
        return spec  # a name that is not a column is refused as one
    values, missing = evaluate_expression(spec, frame, what, f"{what} {spec!r}")
    out = np.asarray(pd.to_numeric(values, errors="coerce"), dtype=float).copy()
    out[missing] = np.nan
    return out


def _strip_parens(text: str) -> str:
    text = text.strip()
    while text.startswith("(") and closing(text, 0) == len(text) - 1:
        text = text[1:-1].strip()
    return text


def _split_logical(text: str, op: str) -> list[str]:
    """``text`` split at R's top-level ``op`` ("|" or "&"), the doubled form included."""
    pieces, start, skip = [], 0, -1
    for i, ch, depth in scan(text):
        if depth != 0 or ch != op or i <= skip:
            continue
        pieces.append(text[start:i])
        skip = i + 1 if i + 1 < len(text) and text[i + 1] == op else i
        start = skip + 1
    pieces.append(text[start:])
    return pieces


def _logical(text: str, frame: pd.DataFrame, shown: str) -> tuple[np.ndarray, np.ndarray]:
    """(TRUE, NA) flags of each row for a subset expression, by R's precedence
    (``|`` below ``&`` below ``!`` below comparisons) and three-valued logic."""
    text = _strip_parens(text)
    if not text:
        raise FormulaError(f"cannot read the subset {shown}: an operand is empty")
    for op in "|&":
        parts = _split_logical(text, op)
        if len(parts) > 1:
            true, na = _logical(parts[0], frame, shown)
            for part in parts[1:]:
                t2, n2 = _logical(part, frame, shown)
                if op == "&":
                    false = (~true & ~na) | (~t2 & ~n2)
                    true, na = true & t2, ~false & (na | n2)
                else:
                    true, na = true | t2, ~(true | t2) & (na | n2)
            return true, na
    if text.startswith("!") and not text.startswith("!="):
        true, na = _logical(text[1:], frame, shown)
        return ~true & ~na, na
    values, missing = evaluate_expression(text, frame, "subset", shown)
    # The evaluator gives a comparison as 0/1 numbers; a column must hold booleans.
    if _is_comparison(text):
        true = np.asarray(values, dtype=float) != 0
    elif pd.api.types.is_bool_dtype(values):
        true = np.asarray(values.fillna(False) if values.hasnans else values, dtype=bool)
    else:
        raise ValueError(
            f"the subset {shown} must be a condition (a comparison such as x > 1, or a column of booleans), "
            f"got {text!r}"
        )
    return true & ~missing, np.asarray(missing, dtype=bool).copy()


def _is_comparison(text: str) -> bool:
    try:
        node = ast.parse(text, mode="eval").body
    except SyntaxError:
        return False
    return isinstance(node, ast.Compare)


def subset_mask(subset: Any, frame: pd.DataFrame) -> np.ndarray:
    """The rows of ``frame`` that ``subset`` keeps: an R expression of its columns (rows
    where it is TRUE; NA drops the row) or one boolean per row."""
    if isinstance(subset, str):
        true, _ = _logical(subset, frame, repr(subset))
        return true
    if isinstance(subset, (bytes, dict, set)) or np.ndim(subset) != 1:
        raise TypeError(f"subset must be an expression of the data's columns or one boolean per row, got {subset!r}")
    mask = np.asarray(subset)
    if mask.dtype != bool or len(mask) != len(frame):
        raise ValueError(
            f"subset must be an expression of the data's columns or one boolean per row of the data "
            f"({len(frame)} rows), got {mask.dtype} values of length {len(mask)}"
        )
    return mask.copy()


def take_subset(frame: pd.DataFrame, subset: Any, *specs: Any) -> tuple[pd.DataFrame, list[Any]]:
    """``frame``'s rows that ``subset`` keeps, and each of ``specs`` (weights, offset: a
    column name, or values of one per row of ``frame``) on those rows, as R's
    ``model.frame`` subsets every variable; values of another length are left for the
    caller's refusal."""
    if subset is None:
        return frame, list(specs)
    mask = subset_mask(subset, frame)
    if not mask.any():
        raise ValueError(
            f"subset {subset!r} keeps no row of the data"
            if isinstance(subset, str)
            else "subset keeps no row of the data"
        )
    out = []
    for spec in specs:
        if spec is None or isinstance(spec, str) or np.ndim(spec) != 1 or len(spec) != len(frame):
            out.append(spec)
        else:
            out.append(np.asarray(spec)[mask])
    return frame.loc[mask], out
