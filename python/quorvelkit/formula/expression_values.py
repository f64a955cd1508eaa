"""The values of one expression of a data frame's columns, checked and evaluated as a
formula term is (:func:`~quorvelkit.formula.expressions.check_part`, then formulaic under
:data:`~quorvelkit.formula.r_functions.FORMULA_CONTEXT`, as the model matrices are built): the
parts of a response its family reads (``cbind(s, n - s)``'s two, a factor, a
proportion), and the expressions given for the weights, the offset and the subset.
A bare column is its own values, whatever their type (labels included)."""

from __future__ import annotations

import ast
from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from ..support.errors import clean_message
from ..support.warning_scope import filtered_warnings
from .checks import require_columns
from .expressions import bare_column, check_part
from .r_functions import FORMULA_CONTEXT

__all__ = ["EvaluatedPart", "evaluate_expression", "evaluate_parts"]

#: A response part evaluated: (its name in messages, its values, a flag per row for a
#: missing input), as :func:`evaluate_expression` gives it.
EvaluatedPart = tuple[str, pd.Series, np.ndarray]


_OPERATORS = {ast.Add: np.add, ast.Sub: np.subtract, ast.Mult: np.multiply, ast.Div: np.true_divide}


def _arithmetic(text: str, frame: pd.DataFrame) -> tuple[pd.Series, np.ndarray] | None:
    """The values of checked ``text`` when it is +, -, * and / of numbers and numeric
    columns named as Python names (``size - incidence``), computed directly in double
    precision, the very operations formulaic's evaluation makes, without its cost of
    building a model matrix (some 10 ms); None for any other expression."""
    try:
        tree = ast.parse(text, mode="eval").body
    except SyntaxError:
        return None
    missing = np.zeros(len(frame), dtype=bool)

    def walk(node: ast.AST) -> Any:
        nonlocal missing
        if isinstance(node, ast.BinOp) and type(node.op) in _OPERATORS:
            return _OPERATORS[type(node.op)](walk(node.left), walk(node.right))
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
            value = walk(node.operand)
            return -value if isinstance(node.op, ast.USub) else value
        if isinstance(node, ast.Constant) and isinstance(node.value, (int, float)) and not isinstance(node.value, bool):
            return float(node.value)
        if isinstance(node, ast.Name) and node.id in frame.columns:
            values = frame[node.id]
            if pd.api.types.is_numeric_dtype(values.dtype) and not pd.api.types.is_bool_dtype(values.dtype):
                # A numeric column is missing exactly where it reads as NaN.
                column = values.to_numpy(dtype=float, na_value=np.nan)
                missing = missing | np.isnan(column)
                return column
        raise LookupError  # not plain arithmetic of numeric columns

    try:
        with np.errstate(all="ignore"):
            out = np.broadcast_to(np.asarray(walk(tree), dtype=float), (len(frame),))
    except LookupError:
        return None
    return pd.Series(out, index=frame.index), missing


def evaluate_expression(text: str, frame: pd.DataFrame, where: str, shown: str) -> tuple[pd.Series, np.ndarray]:
    """The values of one expression of columns (a column, or arithmetic, comparisons and
    the formula's functions on columns) on the rows of ``frame``, and a flag per row for
    a missing input; ``where`` names its place in messages (the response, the weights,
    the offset, the subset) and ``shown`` the expression. Refuses what a formula term
    may not use (:class:`~quorvelkit.support.errors.FormulaError`), a column the frame lacks,
    and an expression that does not evaluate to one column."""
    column = bare_column(text)
    if column is not None:
        require_columns([column], frame.columns, "the data")
        values = frame[column]
        return values, values.isna().to_numpy()
    aliases: dict[str, str] = {}
    checked = check_part(f"I({text})", response=True, where=where, aliases=aliases)
    direct = _arithmetic(text, frame)
    if direct is not None:
        return direct
    used = list(dict.fromkeys(c for c, _ in checked.uses))
    require_columns(used, frame.columns, "the data")
    sub = frame[used].rename(columns=aliases)
    from formulaic import model_matrix

    try:
        with filtered_warnings("ignore", DeprecationWarning), np.errstate(all="ignore"):
            lhs = model_matrix(f"{checked.text} ~ 1", sub, na_action="ignore", context=FORMULA_CONTEXT).lhs
    except Exception as exc:  # formulaic's and the evaluation's errors
        raise ValueError(f"cannot evaluate the {where} {shown}: {clean_message(exc)}") from None
    if lhs.shape[1] != 1:
        raise ValueError(f"the {where} {shown} must be one column of numbers")
    # A comparison of a missing value is False, not missing: the inputs decide.
    missing = sub.isna().any(axis=1).to_numpy()
    return pd.Series(lhs.to_numpy()[:, 0], index=frame.index), missing


def evaluate_parts(parts: Sequence[tuple[str, str]], frame: pd.DataFrame) -> list[EvaluatedPart]:
    """The parts of a response its family reads
    (:attr:`~quorvelkit.formula.parsing.ParsedFormula.response_parts`: (name, text) each)
    evaluated on ``frame``."""
    return [(shown, *evaluate_expression(text, frame, "response", shown)) for shown, text in parts]
