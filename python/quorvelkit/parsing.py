"""Reading a model formula in lme4's notation: the one random-effects term
``(terms | group)`` is split off, and every expression of the other parts is checked
(:mod:`quorvelkit.expressions`) before anything evaluates it.

The response, the fixed-effects part and the left side of the bar are handed on to
formulaic (:mod:`quorvelkit.design` builds the model matrices), so ``C(site)``,
``x1 * x2``, ``np.log(y)``, ``center(x)``, ``0 +``, ``- 1`` and the rest of formulaic's
grammar work as documented there, with R's meanings (``I(x^2)`` is a square; only
column names, numbers, arithmetic and a fixed list of transforms are allowed).
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from dataclasses import dataclass

import pandas as pd

from .errors import FormulaError, clean_message
from .expressions import check_part, unquote_name

__all__ = ["ParsedFormula", "parse_formula", "SUPPORTED"]

SUPPORTED = (
    "quorvelkit fits one random-effects term with one grouping factor, "
    "written as in lme4: 'y ~ x + (1 | g)', 'y ~ x + (x | g)' or 'y ~ x + (0 + x | g)'"
)


@dataclass(frozen=True)
class ParsedFormula:
    """A model formula split into its parts.

    Attributes:
        text: the formula as given.
        response: the left-hand side (an expression formulaic evaluates).
        fixed: the fixed-effects part of the right-hand side, without the bar term
            (``"1"`` when only the bar term was given).
        random: the left side of the bar, e.g. ``"1"``, ``"Days"`` or ``"0 + x"``.
        group: the names of the grouping columns (two or more for ``a:b``).
        model_response, model_fixed, model_random: the three parts as handed to
            formulaic, after the check (``I(Time ** 2)`` for ``I(Time^2)``).
        renames: (formulaic's name of a rewritten term, its name as written) pairs.
        uses: (column, role) pairs, every column the formula refers to and how
            (roles as in :data:`quorvelkit.expressions.ROLES`, plus "group").
        aliases: (column, alias) pairs: the names under which columns whose names
            formulaic cannot read are handed to it (see :meth:`for_formulaic`).
    """

    text: str
    response: str
    fixed: str
    random: str
    group: tuple[str, ...]
    model_response: str = ""
    model_fixed: str = ""
    model_random: str = ""
    renames: tuple[tuple[str, str], ...] = ()
    uses: tuple[tuple[str, str], ...] = ()
    aliases: tuple[tuple[str, str], ...] = ()

    def for_formulaic(self, frame: pd.DataFrame) -> pd.DataFrame:
        """``frame`` with the columns formulaic cannot name renamed to their aliases."""
        if not self.aliases:
            return frame
        mapping = dict(self.aliases)
        clash = [a for c, a in self.aliases if a in frame.columns]
        if clash:
            raise ValueError(f"the data has a column named {clash[0]!r}, a name quorvelkit reserves")
        return frame.rename(columns={c: a for c, a in mapping.items() if c in frame.columns})

    @property
    def columns(self) -> list[str]:
        """Every column the formula refers to, in order of first appearance."""
        return list(dict.fromkeys(c for c, _ in self.uses))

    def roles(self, column: str) -> set[str]:
        """How the formula uses ``column`` ("response", "numeric", "term", "factor", "any",
        "group")."""
        return {r for c, r in self.uses if c == column}

    @property
    def group_label(self) -> str:
        """The grouping factor as written in the formula (``"Subject"``, ``"a:b"``)."""
        return ":".join(self.group)


def _scan(text: str) -> Iterator[tuple[int, str, int]]:
    """Yield (index, char, depth) for characters outside quotes; depth counts brackets."""
    depth = 0
    quote = None
    escaped = False
    for i, ch in enumerate(text):
        if quote is not None:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True  # a backslash in quotes escapes the next character
            elif ch == quote:
                quote = None
            continue
        if ch in "'\"`":
            quote = ch
            yield i, ch, depth
            continue
        if ch in "([{":
            yield i, ch, depth
            depth += 1
            continue
        if ch in ")]}":
            depth -= 1
            if depth < 0:
                raise FormulaError(f"unbalanced parentheses in formula {text!r}")
            yield i, ch, depth
            continue
        yield i, ch, depth
    if quote is not None:
        raise FormulaError(f"unterminated quote in formula {text!r}")
    if depth != 0:
        raise FormulaError(f"unbalanced parentheses in formula {text!r}")


def _split_top(text: str, ops: str) -> list[tuple[str, str]]:
    """Split at top-level operator characters; returns (operator before, piece) pairs."""
    pieces: list[tuple[str, str]] = []
    start = 0
    op = ""
    for i, ch, depth in _scan(text):
        if depth == 0 and ch in ops:
            pieces.append((op, text[start:i]))
            op = ch
            start = i + 1
    pieces.append((op, text[start:]))
    return pieces


def _has_top_bar(inner: str) -> bool:
    return any(ch == "|" and depth == 0 for _, ch, depth in _scan(inner))


def _closing(text: str, open_index: int) -> int:
    """Index of the bracket closing the one at ``open_index``."""
    target = None
    for i, ch, depth in _scan(text):
        if i == open_index:
            target = depth
        elif target is not None and ch == ")" and depth == target:
            return i
    return -1


def _group_names(text: str, formula: str) -> tuple[str, ...]:
    grp = text.strip()
    if not grp:
        raise FormulaError(f"the random-effects term in {formula!r} has no grouping factor; {SUPPORTED}")
    if any(ch == "/" for _, ch, _ in _scan(grp)):
        raise FormulaError(f"nested grouping factors ({grp}) are not supported; {SUPPORTED}")
    parts = [p.strip() for _, p in _split_top(grp, ":")]
    names = []
    for part in parts:
        wrapped = re.fullmatch(r"(?:factor|as\.factor|C)\(\s*(.+?)\s*\)", part)
        if wrapped:  # a grouping factor is categorical anyway: factor(g) is g
            part = wrapped.group(1)
        if re.fullmatch(r"`(?:[^`\\]|\\.)+`", part, flags=re.S):
            names.append(unquote_name(part))
        elif re.fullmatch(r"[A-Za-z_][A-Za-z0-9_.]*", part):
            names.append(part)
        else:
            raise FormulaError(
                f"the grouping factor must be a column name (or a:b for their interaction), got {grp!r}; {SUPPORTED}"
            )
    return tuple(names)


def parse_formula(formula: str) -> ParsedFormula:
    """Split an lme4-style formula into response, fixed part, random part and group.

    Exactly one random-effects term ``(terms | group)`` must appear, added to the
    fixed part with ``+``. Double bars ``||``, nested groups ``a/b`` and several bar
    terms raise :class:`FormulaError` (a ``ValueError``) saying what is supported.
    The syntax of the remaining parts is checked by formulaic.
    """
    if not isinstance(formula, str):
        raise FormulaError(f"the formula must be a string, got {type(formula).__name__}")
    text = formula.strip()
    if not text:
        raise FormulaError(f"the formula is empty; {SUPPORTED}")
    list(_scan(text))  # balance and quote checks
    tildes = [i for i, ch, depth in _scan(text) if ch == "~" and depth == 0]
    if len(tildes) != 1:
        what = "has no '~'" if not tildes else "has more than one '~'"
        raise FormulaError(f"the formula {what}; write it as 'response ~ terms', e.g. 'y ~ x + (1 | g)'")
    lhs = text[: tildes[0]].strip()
    rhs = text[tildes[0] + 1 :].strip()
    if not lhs:
        raise FormulaError(f"the formula has no response on the left of '~'; {SUPPORTED}")
    if "||" in rhs.replace(" ", ""):
        raise FormulaError(f"'||' (uncorrelated random effects) is not supported; {SUPPORTED}")
    if not rhs:
        raise FormulaError(f"the formula has nothing on the right of '~'; {SUPPORTED}")

    pieces = _split_top(rhs, "+-")
    fixed_pieces: list[tuple[str, str]] = []
    bars: list[tuple[str, str]] = []
    for op, piece in pieces:
        stripped = piece.strip()
        is_bar = False
        if stripped.startswith("("):
            close = _closing(stripped, 0)
            if close == len(stripped) - 1 and _has_top_bar(stripped[1:-1]):
                is_bar = True
        if is_bar:
            if op == "-":
                raise FormulaError(f"a random-effects term cannot be subtracted ('- {stripped}'); {SUPPORTED}")
            bars.append((stripped, stripped[1:-1]))
        else:
            if any(ch == "|" for _, ch, _ in _scan(stripped)):
                raise FormulaError(
                    f"the random-effects term must be a parenthesised term of its own, "
                    f"added with '+', e.g. '+ (1 | g)'; found {stripped!r}; {SUPPORTED}"
                )
            fixed_pieces.append((op, stripped))
    if not bars:
        raise FormulaError(f"the formula has no random-effects term such as '(1 | g)'; {SUPPORTED}")
    if len(bars) > 1:
        found = ", ".join(b for b, _ in bars)
        raise FormulaError(f"only one random-effects term is supported, found {len(bars)}: {found}; {SUPPORTED}")
    inner = bars[0][1]
    bar_parts = _split_top(inner, "|")
    if len(bar_parts) != 2:
        raise FormulaError(f"cannot read the random-effects term ({inner}); {SUPPORTED}")
    random = bar_parts[0][1].strip()
    if not random:
        raise FormulaError(f"the random-effects term ({inner}) has nothing left of '|'; {SUPPORTED}")
    group = _group_names(bar_parts[1][1], text)

    fixed = ""
    for op, piece in fixed_pieces:
        if not piece:
            if op == "" and not fixed:
                continue  # leading unary sign is carried by the next operator
            raise FormulaError(f"the formula {text!r} has an operator without a term")
        if fixed:
            fixed += f" {op or '+'} {piece}"
        else:
            fixed = f"1 - {piece}" if op == "-" else piece
    if not fixed:
        fixed = "1"

    # Every expression formulaic would evaluate is checked before anything reads the
    # formula further (formulaic's own parser included).
    aliases: dict[str, str] = {}
    checked_lhs = check_part(lhs, response=True, where="response", aliases=aliases)
    checked_fixed = check_part(fixed, where="fixed part", aliases=aliases)
    checked_random = check_part(random, where="random-effects term", aliases=aliases)

    from formulaic import Formula

    for part, shown, where in (
        (f"{checked_lhs.text} ~ {checked_fixed.text}", f"{lhs} ~ {fixed}", "fixed part"),
        (checked_random.text, random, "random-effects term"),
    ):
        try:
            Formula(part)
        except Exception as exc:  # formulaic's syntax errors
            raise FormulaError(f"invalid {where} '{shown}': {clean_message(exc)}") from None
    uses = checked_lhs.uses + checked_fixed.uses + checked_random.uses + tuple((g, "group") for g in group)
    return ParsedFormula(
        text=text,
        response=lhs,
        fixed=fixed,
        random=random,
        group=group,
        model_response=checked_lhs.text,
        model_fixed=checked_fixed.text,
        model_random=checked_random.text,
        renames=tuple(dict.fromkeys(checked_lhs.renames + checked_fixed.renames + checked_random.renames)),
        uses=uses,
        aliases=tuple(aliases.items()),
    )
