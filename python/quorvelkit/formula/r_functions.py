"""R's spellings inside formula expressions, rewritten to what formulaic evaluates with
R's meaning: the elementwise math of R's base package, ``pi``, ``log(x, base)``,
``round(x, digits)`` (R's rounding), ``ordered(x)``, and the contrasts ``C(x, ...)``
takes. Also the bounds on the bases a transform may build (spline df, polynomial
degree): a formula is text from outside, and ``bs(x, df=10**7)`` would ask for
gigabytes before failing.
"""

from __future__ import annotations

import ast
import math
from collections.abc import Callable

import numpy as np

from ..support.errors import FormulaError

Refuse = Callable[[str], Exception]
Const = Callable[[ast.AST], "float | None"]

__all__ = ["R_MATH", "R_CONSTANTS", "MAX_BASIS", "FORMULA_CONTEXT", "r_round"]

#: R's elementwise functions, as numpy's ufuncs of the same meaning (R's ``round(x)``
#: rounds half to even, as ``np.round`` does; ``round(x, digits)`` is :func:`r_round`).
#: ``ordered(x)`` is a factor coded as every other one (R would code it with
#: polynomial contrasts: the same fit, other coefficients).
R_MATH: dict[str, str] = {
    "sin": "np.sin",
    "cos": "np.cos",
    "tan": "np.tan",
    "asin": "np.arcsin",
    "acos": "np.arccos",
    "atan": "np.arctan",
    "sinh": "np.sinh",
    "cosh": "np.cosh",
    "tanh": "np.tanh",
    "floor": "np.floor",
    "ceiling": "np.ceil",
    "trunc": "np.trunc",
    "sign": "np.sign",
    "round": "np.round",
    "ordered": "C",
}

#: Names that are constants in R wherever no column is meant (a column named so is
#: written in backticks).
R_CONSTANTS: dict[str, str] = {"pi": "np.pi"}

#: The most columns a basis transform may ask for: the df of a spline (``bs``, ``cr``,
#: ``cs``, ``cc``), its degree, its number of knots, a polynomial's degree.
MAX_BASIS = 100

#: The contrasts C() takes, by R's name (``contr.sum``, or ``sum`` as R's C() spells
#: it), and formulaic's classes.
_CONTRASTS = ("treatment", "sum", "helmert", "poly", "SAS")
_FORMULAIC_CONTRASTS = ("Treatment", "Sum", "Helmert", "Poly", "Diff")
_KNOWN_CONTRASTS = "contr.treatment, contr.sum, contr.helmert, contr.poly or contr.SAS (or sum, helmert, ...)"

_ROUND = "_qk_r_round"


def attribute(dotted: str) -> ast.expr:
    """``np.sin`` as the attribute lookup it is, a bare name as a name."""
    head, *rest = dotted.split(".")
    node: ast.expr = ast.Name(id=head, ctx=ast.Load())
    for attr in rest:
        node = ast.Attribute(value=node, attr=attr, ctx=ast.Load())
    return node


def contrasts_node(node: ast.expr, dotted: Callable[[ast.AST], str | None]) -> ast.expr | None:
    """The contrasts argument of ``C(x, contrasts)`` as formulaic takes it, for R's
    spellings: ``contr.sum``, ``"contr.sum"`` and ``sum`` are formulaic's ``contr.sum``,
    a class it instantiates; ``Sum`` is its class of the same name. None when
    ``node`` is none of these (a call such as ``contr.treatment(4)``, a matrix), to be
    checked as any argument. Raises ``ValueError`` for a string naming no contrasts."""
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        text = node.value
        if text.startswith("contr.") and text[6:] in _CONTRASTS:
            return attribute(text)
        raise ValueError(f"C() takes the contrasts {_KNOWN_CONTRASTS}, not {text!r}")
    name = dotted(node)
    if name in _CONTRASTS:
        return attribute(f"contr.{name}")
    if name is not None and name.startswith("contr.") and name[6:] in _CONTRASTS:
        return attribute(name)
    if name in _FORMULAIC_CONTRASTS:
        return attribute(name)
    return None


def _basis_arguments(target: str, node: ast.Call) -> list[tuple[str, ast.expr]]:
    """The arguments of a basis transform that set its number of columns, by name:
    ``df``, ``degree`` and ``knots`` of a spline, ``degree`` of ``poly``."""
    positions = {"bs": ("x", "df", "knots", "degree"), "poly": ("x", "degree")}.get(target, ("x", "df", "knots"))
    sized = {"df", "degree", "knots"}
    out = [(positions[k], a) for k, a in enumerate(node.args[: len(positions)]) if positions[k] in sized]
    return out + [(str(k.arg), k.value) for k in node.keywords if k.arg in sized]


def check_basis(target: str, node: ast.Call, const: Const, refuse: Refuse) -> None:
    """Refuse a basis transform that asks for more than :data:`MAX_BASIS` columns, or
    whose size is anything but a number, before formulaic builds it."""
    if target not in ("bs", "cr", "cs", "cc", "poly"):
        return
    for arg, value in _basis_arguments(target, node):
        if isinstance(value, (ast.List, ast.Tuple)) and arg == "knots":
            size: float | None = len(value.elts)
        elif isinstance(value, ast.Constant) and value.value is None:
            continue
        else:
            size = const(value)
        if size is None:
            need = "a list of numbers" if arg == "knots" else "a number"
            raise refuse(f"'{ast.unparse(node)[:60]}' ({arg} must be {need})")
        if not size <= MAX_BASIS:
            raise FormulaError(
                f"'{ast.unparse(node)[:60]}' asks for {arg} = {size:g}; a spline's df, degree and number of "
                f"knots and a polynomial's degree may be at most {MAX_BASIS}"
            )


def log_call(node: ast.Call, args: list[ast.expr], const: Const, refuse: Refuse) -> ast.expr:
    """R's ``log(x, base)`` as R computes it: ``log10``/``log2`` for the bases 10 and
    2, else ``log(x) / log(base)``; the base must be a number."""
    base = [k.value for k in node.keywords if k.arg == "base"] + node.args[1:2]
    if len(args) > 2 or len(base) != 1 or any(k.arg != "base" for k in node.keywords):
        raise refuse(f"'{ast.unparse(node)[:60]}' (log takes x and a base, as log(x, 2) or log(x, base = 10))")
    b = const(base[0])
    if b is None or not (math.isfinite(b) and b > 0 and b != 1):
        raise refuse(f"the base of '{ast.unparse(node)[:60]}' (a positive number other than 1 is needed)")
    if b in (2.0, 10.0):
        return ast.Call(attribute(f"np.log{int(b)}"), args[:1], [])
    # in I(): a term of its own where it is one, never formulaic's '/' operator
    quotient = ast.BinOp(ast.Call(attribute("np.log"), args[:1], []), ast.Div(), ast.Constant(math.log(b)))
    return ast.Call(attribute("I"), [quotient], [])


def _pow_di(x: float, n: int) -> float:
    """x to the integer power n by repeated squaring, as R's ``R_pow_di``."""
    out, neg, n = 1.0, n < 0, abs(n)
    while True:
        if n & 1:
            out *= x
        n >>= 1
        if not n:
            break
        x *= x
    return 1.0 / out if neg else out


def r_round(x: object, digits: float = 0) -> np.ndarray:
    """R's ``round(x, digits)`` (R >= 4.0.0, nmath's fround): of the two numbers with
    ``digits`` decimals around x, the one nearer in double precision, at an exact tie
    the one whose last digit is even; x unchanged where it has no more digits than
    that (about 15 significant ones). ``digits = 0`` is rounding half to even."""
    values = np.asarray(x, dtype=float)
    digits = float(digits)
    if math.isnan(digits):
        return values + digits
    if digits > 308 + 15:
        return values.copy()
    if digits < -308:
        return np.where(np.isnan(values) | np.isinf(values), values, 0.0 * values)
    if digits == 0:
        return np.round(values)
    dig = int(math.floor(digits + 0.5))
    if dig > 308:  # more digits than a double holds at any magnitude but the least
        return values.copy()
    pow10 = _pow_di(10.0, dig)
    sgn = np.where(values < 0, -1.0, 1.0)
    a = np.abs(values)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        _, exponent = np.frexp(a)
        l10x = math.log10(2) * (0.5 + (exponent - 1))  # R's M_LOG10_2 * (0.5 + logb(x))
        x10 = pow10 * a
        i10 = np.floor(x10)
        xd, xu = i10 / pow10, np.ceil(x10) / pow10
        du, dd = xu - a, a - xd
        out = sgn * np.where((du < dd) | ((du == dd) & (np.fmod(i10, 2.0) == 1)), xu, xd)
    keep = ~np.isfinite(values) | (values == 0) | (l10x + dig > 15)
    return np.where(keep, values, out)


#: What formulaic evaluates the rewritten expressions with, besides its transforms.
FORMULA_CONTEXT = {_ROUND: r_round}


def round_call(node: ast.Call, args: list[ast.expr], keywords: list[ast.keyword]) -> ast.Call:
    """``round(x)`` is numpy's rounding half to even; ``round(x, digits)`` is R's."""
    if len(args) == 1 and not keywords:
        return ast.Call(attribute("np.round"), args, [])
    return ast.Call(ast.Name(id=_ROUND, ctx=ast.Load()), args, keywords)
