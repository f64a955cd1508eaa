"""Grouping factors as lme4 reads them, and lme4's order of the random-effects terms.

A grouping expression is a column, an interaction ``a:b`` (left-associative, binding
tighter than ``/``, as in R), or a nesting ``a/b`` = ``a + a:b``: :func:`expand_group`
turns it into the factors lme4's ``findbars`` makes of it, most nested first
(``a/b/c`` gives ``c:(b:a)``, ``b:a``, ``a``), each named as R deparses it and with
the columns whose interaction it is, in the order lme4 pastes their labels.

lme4's ``mkReTrms`` orders the terms by the number of levels of their factor,
largest first, but only when the terms are not in that order already; it then
reverses a stable ascending sort, so tied terms come out in reverse formula order
(:func:`lme4_term_order`). theta follows that order, each term's lower triangle
column by column. The core takes the factors instead, each with all its terms as
blocks, factors in the order of their first term in lme4's order and blocks in
formula order: :func:`theta_layout` gives the permutation between the two and lme4's
names of the entries (``names(getME(fit, "theta"))``).
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from dataclasses import dataclass

from ..support.errors import FormulaError
from .expressions import unquote_name

__all__ = ["BarFactor", "expand_group", "lme4_term_order", "ThetaLayout", "theta_layout"]

# A grouping expression: a column name, or (":" | "/", left, right), or ("()", inner).
Expr = str | tuple

_TOKEN = re.compile(r"\s*(?:(`(?:[^`\\]|\\.)+`)|([A-Za-z_][A-Za-z0-9_.]*)|([():/]))", re.S)
#: Calls that make a column categorical: a grouping factor is categorical anyway.
_WRAPPERS = ("factor", "as.factor", "C")


@dataclass(frozen=True)
class BarFactor:
    """One grouping factor of a bar term as the formula writes it, after lme4's
    expansion of ``/``: its name and columns (the model's grouping factor, with its
    terms and their columns of Z, is :class:`~quorvelkit.model.description.GroupingFactor`).

    Attributes:
        name: as lme4 names it (R's deparse of the expression: ``"b:a"``, ``"c:(b:a)"``),
            column names as they are, without backticks.
        columns: the columns whose interaction it is, in the order their labels are
            joined with ``":"`` (``("c", "b", "a")`` for ``c:(b:a)``).
    """

    name: str
    columns: tuple[str, ...]


class _Reader:
    """A recursive-descent reader of one grouping expression (R's precedence: ``:``
    above ``/``, both left-associative)."""

    def __init__(self, text: str, refuse: str) -> None:
        self.tokens: list[tuple[str, str]] = []
        self.refuse = refuse
        pos = 0
        text = text.rstrip()
        while pos < len(text):
            m = _TOKEN.match(text, pos)
            if m is None:
                raise FormulaError(refuse)
            quoted, plain, op = m.groups()
            self.tokens.append(("name", unquote_name(quoted)) if quoted else ("name", plain) if plain else ("op", op))
            pos = m.end()
        self.at = 0

    def peek(self) -> tuple[str, str] | None:
        return self.tokens[self.at] if self.at < len(self.tokens) else None

    def take(self, op: str) -> bool:
        if self.peek() == ("op", op):
            self.at += 1
            return True
        return False

    def read(self) -> Expr:
        expr = self.slash()
        if self.peek() is not None:
            raise FormulaError(self.refuse)
        return expr

    def slash(self) -> Expr:
        expr = self.colon()
        while self.take("/"):
            expr = ("/", expr, self.colon())
        return expr

    def colon(self) -> Expr:
        expr = self.atom()
        while self.take(":"):
            expr = (":", expr, self.atom())
        return expr

    def atom(self) -> Expr:
        tok = self.peek()
        if tok is None:
            raise FormulaError(self.refuse)
        self.at += 1
        if tok == ("op", "("):
            inner = self.slash()
            if not self.take(")"):
                raise FormulaError(self.refuse)
            return ("()", inner)
        if tok[0] != "name":
            raise FormulaError(self.refuse)
        if tok[1] in _WRAPPERS and self.take("("):
            wrapped = self.peek()
            if wrapped is None or wrapped[0] != "name":
                raise FormulaError(self.refuse)
            self.at += 1
            if not self.take(")"):
                raise FormulaError(self.refuse)
            return wrapped[1]
        return tok[1]


def _has_slash(expr: Expr) -> bool:
    return not isinstance(expr, str) and (expr[0] == "/" or any(_has_slash(e) for e in expr[1:]))


def _slash_terms(expr: Expr, text: str) -> Expr | list:
    """lme4's ``slashTerms``: the operands of the ``/`` operators, as nested pairs."""
    if not _has_slash(expr):
        return expr
    if isinstance(expr, str) or expr[0] != "/":
        raise FormulaError(
            f"cannot read the grouping factor '{text}': '/' nests whole grouping factors, as in a/b or a/b/c, "
            f"and may not stand within ':' or parentheses"
        )
    outer = _slash_terms(expr[1], text)
    if not isinstance(outer, (str, list)):
        raise FormulaError(
            f"cannot read the grouping factor '{text}': the left side of '/' must be a column or another nesting "
            f"(a/b/c); write the interactions out as terms of their own, e.g. (1 | a:b) + (1 | c:a:b)"
        )
    return [outer, _slash_terms(expr[2], text)]


def _interactions(x: Expr | list) -> list:
    """lme4's ``makeInteraction``, flattened: for a pair [outer, inner], the interaction
    of inner with outer's first factor, then outer's own factors (for a/b/c:
    ``c:(b:a)``, ``b:a``, ``a``)."""
    if not isinstance(x, list):
        return [x]
    outer = _interactions(x[0])
    return [(":", x[1], outer[0]), *outer]


def _deparse(expr: Expr, right: bool = False) -> str:
    """R's deparse of a grouping expression, names as they are: a ':' call on the right
    of another is parenthesised (':' is left-associative)."""
    if isinstance(expr, str):
        return expr
    if expr[0] == "()":
        return f"({_deparse(expr[1])})"
    text = f"{_deparse(expr[1])}{expr[0]}{_deparse(expr[2], right=True)}"
    return f"({text})" if right else text


def _columns(expr: Expr) -> tuple[str, ...]:
    if isinstance(expr, str):
        return (expr,)
    return tuple(c for e in expr[1:] for c in _columns(e))


def expand_group(text: str, refuse: str) -> list[BarFactor]:
    """The grouping factors of the right side ``text`` of a bar term, as lme4's
    ``expandSlash`` makes them: one for a column or an interaction, one per level of
    nesting for ``/`` (most nested first). A wrapper ``factor(g)``, ``as.factor(g)``
    or ``C(g)`` is the column ``g``. ``refuse`` is the message of an expression that is
    not made of column names, ``:``, ``/`` and parentheses."""
    expr = _Reader(text, refuse).read()
    terms = _slash_terms(expr, text.strip())
    out = _interactions(terms) if isinstance(terms, list) else [terms]
    return [BarFactor(_deparse(e), _columns(e)) for e in out]


def lme4_term_order(n_levels: Sequence[int]) -> list[int]:
    """The order ``mkReTrms`` gives terms whose factors have ``n_levels`` levels (in
    formula order): unchanged when no term has more levels than the one before it,
    otherwise the reverse of a stable ascending sort (``rev(order(nl))``), which puts
    tied terms in reverse formula order."""
    k = len(n_levels)
    if all(n_levels[i + 1] <= n_levels[i] for i in range(k - 1)):
        return list(range(k))
    return sorted(range(k), key=lambda i: n_levels[i])[::-1]


@dataclass(frozen=True)
class ThetaLayout:
    """The order of terms and factors behind theta's two layouts: lme4's (terms in lme4's
    order) and the crossed core's (factors in :attr:`factor_order`, each factor's terms
    in formula order), each term's lower triangle column by column. The core maps one to
    the other itself (its ``term_order``); these orders name the terms and factors.

    Attributes:
        factor_order: the factors (indices in formula order) in the core's order.
        term_order: the terms (indices in formula order) in lme4's order.
        names: lme4's names of theta's entries, in lme4's order ("Subject.(Intercept)",
            "Subject.Days.(Intercept)", "Subject.Days").
    """

    factor_order: tuple[int, ...]
    term_order: tuple[int, ...]
    names: tuple[str, ...]


def _triangle(name: str, columns: Sequence[str]) -> list[str]:
    """lme4's names of one term's lower triangle, column by column: "g.a" on the
    diagonal, "g.b.a" below it (row b, column a)."""
    k = len(columns)
    return [
        f"{name}.{columns[i]}" if i == j else f"{name}.{columns[i]}.{columns[j]}" for j in range(k) for i in range(j, k)
    ]


def theta_layout(
    term_factor: Sequence[int],
    term_columns: Sequence[Sequence[str]],
    factor_names: Sequence[str],
    n_levels: Sequence[int],
) -> ThetaLayout:
    """The layouts of theta of terms given in formula order (lme4's bar order after the
    expansion of ``||`` and ``/``): ``term_factor[t]`` is the factor of term t (an index
    into ``factor_names``, whose factors have ``n_levels`` levels), ``term_columns[t]``
    its columns' names."""
    order = lme4_term_order([n_levels[f] for f in term_factor])
    factor_order = tuple(dict.fromkeys(term_factor[t] for t in order))
    names = tuple(n for t in order for n in _triangle(factor_names[term_factor[t]], term_columns[t]))
    return ThetaLayout(factor_order, tuple(order), names)
