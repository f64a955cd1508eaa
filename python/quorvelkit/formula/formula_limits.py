"""Bounds on what a formula may ask for, checked on its text in one linear pass before
anything parses it further.

A formula is text from outside the program, and the work it causes is not linear in
its length: formulaic's parse grows with the square of the number of terms (20,000
names take a minute and gigabytes), an interaction ``a*b*c*...`` doubles the terms with
every factor, and Python's parser and the expression check recurse once per operator of
``I(x + x + ...)``. Every limit below is far above what a model fitted by lme4 uses:

- :data:`MAX_NAMES` distinct column names and :data:`MAX_TOKENS` tokens (names,
  numbers, operators, brackets),
- :data:`MAX_TERMS` model terms, counted as formulaic would expand the formula
  (``a*b`` is three terms, ``(a + b + c)^2`` six; the count is an upper bound),
- :data:`MAX_OPERATIONS` operators in one expression (``I(x1 + ... + x101)``), and
  brackets nested at most :data:`MAX_DEPTH` deep.

Once the model's columns are known, a random-effects term may have at most
:data:`MAX_RANDOM_COLUMNS` (q): its covariance has q(q + 1)/2 parameters, and every
group's blocks q^2 entries (``(C(k) | g)`` with a 200-level k is 20,100 parameters).
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable, Sequence
from typing import Any

from ..support.errors import FormulaError, SourceError

__all__ = [
    "MAX_NAMES",
    "MAX_TOKENS",
    "MAX_TERMS",
    "MAX_OPERATIONS",
    "MAX_DEPTH",
    "MAX_RANDOM_COLUMNS",
    "FormulaTooLarge",
    "check_size",
    "check_random_columns",
    "missing",
]

MAX_NAMES = 1000
MAX_TOKENS = 20000
MAX_TERMS = 1000
MAX_OPERATIONS = 100
MAX_DEPTH = 32
MAX_RANDOM_COLUMNS = 100

_TOKEN = re.compile(
    r"""(?P<bt>`[^`\\]*(?:\\.[^`\\]*)*`?)
    |(?P<str>'[^'\\]*(?:\\.[^'\\]*)*'?|"[^"\\]*(?:\\.[^"\\]*)*"?)
    |(?P<num>(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)
    |(?P<name>[A-Za-z_.][A-Za-z0-9_.]*)
    |(?P<op>\*\*|%in%|//|==|!=|<=|>=|\|\||[-+*/:^~|%<>=,])
    |(?P<open>[(\[{])
    |(?P<close>[)\]}])
    |(?P<space>\s+)
    |(?P<other>.)""",
    re.X | re.S,
)

#: Formula operators by binding strength, as formulaic reads them.
_PRECEDENCE = {"~": 1, "|": 2, "||": 2, "+": 3, "-": 3, "*": 4, "/": 4, ":": 5, "%in%": 5, "^": 6, "**": 6}


class FormulaTooLarge(FormulaError):
    """A formula over one of the size limits. ``names`` holds the column names the
    formula refers to (as its text gives them), so that a caller with data can say
    which are missing first."""

    def __init__(self, message: str, names: tuple[str, ...]) -> None:
        super().__init__(message)
        self.names = names


def _unquote(text: str) -> str:
    if "\\" not in text:
        return text[1:-1]
    return re.sub(r"\\(.)", r"\1", text[1:-1], flags=re.S)


def _tokens(text: str) -> list[tuple[str, str]]:
    return [(m.lastgroup or "", m.group()) for m in _TOKEN.finditer(text) if m.lastgroup != "space"]


#: Bare names that are no column: constants, contrasts, numpy's namespace.
_NOT_COLUMNS = re.compile(r"(?:pi|True|False|None|sum|treatment|helmert|poly|SAS|np\..*|contr\..*|\.)")


def _names(tokens: list[tuple[str, str]]) -> tuple[str, ...]:
    """The distinct column names in formula order: names in backticks, and bare names
    other than a call's, a keyword argument's (``df=``) and the constants'."""
    out: dict[str, None] = {}
    for k, (kind, tok) in enumerate(tokens):
        after = tokens[k + 1][1] if k + 1 < len(tokens) else ""
        if kind == "bt" and len(tok) > 1 and tok.endswith("`"):
            out[_unquote(tok)] = None
        elif kind == "name" and after not in ("(", "=") and not _NOT_COLUMNS.fullmatch(tok):
            out[tok] = None
    return tuple(out)


class _TermCount:
    """An upper bound of the number of terms formulaic expands a formula to, from its
    tokens: operators by precedence; a call, braces, a name or a number is one term."""

    def __init__(self, tokens: list[tuple[str, str]]) -> None:
        self.tokens = tokens
        self.k = 0

    def peek(self) -> str | None:
        return self.tokens[self.k][1] if self.k < len(self.tokens) else None

    def skip_group(self) -> None:
        depth = 0
        while self.k < len(self.tokens):
            kind = self.tokens[self.k][0]
            depth += kind == "open"
            depth -= kind == "close"
            self.k += 1
            if depth == 0:
                return

    def atom(self) -> int:
        while self.peek() in ("-", "+", "~"):  # unary
            self.k += 1
        kind, tok = self.tokens[self.k] if self.k < len(self.tokens) else ("", "")
        if tok == "(":
            self.k += 1
            inner = self.expr(0)
            if self.peek() == ")":
                self.k += 1
            return inner
        if kind == "open":
            self.skip_group()
            return 1
        self.k += 1
        if kind == "name" and self.peek() == "(":
            self.skip_group()
        return 1

    def expr(self, floor: int) -> int:
        left = self.atom()
        while (op := self.peek()) in _PRECEDENCE and _PRECEDENCE[op] > floor:
            self.k += 1
            if op in ("^", "**"):
                power = self.tokens[self.k][1] if self.k < len(self.tokens) else ""
                self.atom()
                n = int(float(power)) if re.fullmatch(r"\d+(?:\.\d*)?", power) else left
                total = 0  # the interactions of up to n of the left's terms
                for j in range(1, min(max(n, 1), left) + 1):
                    total += math.comb(left, j)
                    if total > MAX_TERMS:
                        break
                left = total
            else:
                right = self.expr(_PRECEDENCE[op])
                if op == "~":  # the response is no term of the model
                    left = right
                elif op in ("+", "|", "||"):
                    left = left + right
                elif op in (":", "%in%"):
                    left = left * right
                elif op in ("*", "/"):
                    left = left + right + left * right
            left = min(left, 10 * MAX_TERMS)  # a bound, never a big integer
        return left


def check_size(text: str) -> None:
    """Refuse (:class:`FormulaTooLarge`) a formula over one of the module's limits,
    in time linear in its length."""
    tokens = _tokens(text)
    names = _names(tokens)

    def refuse(what: str) -> FormulaTooLarge:
        return FormulaTooLarge(f"the formula is too large: {what}", names)

    if len(names) > MAX_NAMES:
        raise refuse(f"it names {len(names)} columns, more than the {MAX_NAMES} a formula may name")
    if len(tokens) > MAX_TOKENS:
        raise refuse(f"it holds {len(tokens)} names, numbers and operators, more than {MAX_TOKENS}")
    # One entry per open bracket: whether what it holds is Python code (a call's
    # arguments or braces, or anything inside those). Only code counts operators: a
    # bracket of the formula itself, (a + b + ... | g), is read by formulaic as the
    # formula's top level is, and a random term too wide is refused for its columns.
    code: list[bool] = []
    depth = deepest = operations = 0
    previous = ""
    for kind, tok in tokens:
        if kind == "open":
            code.append(bool(code and code[-1]) or tok == "{" or previous == "name")
            depth += 1
            deepest = max(deepest, depth)
        elif kind == "close":
            depth -= 1
            if code:
                code.pop()
        elif kind == "op" and code and code[-1] and tok != ",":
            operations += 1
            if operations > MAX_OPERATIONS:
                raise refuse(f"a term holds more than {MAX_OPERATIONS} operators (such as I(x1 + ... + x101))")
        if not (code and code[-1]):
            operations = 0
        previous = kind
    if deepest > MAX_DEPTH:
        raise refuse(f"it nests brackets {deepest} deep, more than {MAX_DEPTH}")
    if depth == 0:  # an unbalanced formula is refused for that by the parse
        count = _TermCount(tokens)
        terms = count.expr(0)
        if terms > MAX_TERMS:
            raise refuse(
                f"it expands to more than {MAX_TERMS} terms (an interaction a*b*c*... doubles them per factor)"
            )


def missing(names: Iterable[str], columns: Iterable[Any], where: str) -> SourceError | None:
    """The error naming the first few of ``names`` that ``columns`` lacks and how many
    there are, or None when none is missing."""
    have = set(columns)
    lacking = [n for n in names if n not in have]
    if not lacking:
        return None
    shown = ", ".join(repr(c) for c in lacking[:5])
    more = f" and {len(lacking) - 5} more" if len(lacking) > 5 else ""
    return SourceError(f"column{'s' if len(lacking) > 1 else ''} {shown}{more} not found in {where}")


def check_random_columns(terms: Sequence[str], group_label: str, blocks: Sequence[int]) -> None:
    """Refuse (:class:`FormulaError`) a random-effects term of more than
    :data:`MAX_RANDOM_COLUMNS` columns (``blocks``: the columns of each of ``terms``),
    before anything of its size q^2 per group is allocated."""
    for term, q in zip(terms, blocks, strict=True):
        if q > MAX_RANDOM_COLUMNS:
            raise FormulaError(
                f"the random-effects term ({term} | {group_label}) has {q} columns; a random-effects term may have "
                f"at most {MAX_RANDOM_COLUMNS} (its covariance alone would have {q * (q + 1) // 2} parameters)"
            )
