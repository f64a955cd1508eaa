"""Reading a model formula in lme4's notation: the random-effects terms
``(terms | group)`` (``||`` for uncorrelated terms; several terms on a grouping factor;
grouping factors crossed, nested with ``a/b`` or interacting with ``a:b``, as
:mod:`quorvelkit.formula.grouping` reads them) and the ``offset(...)`` terms are split off,
and every expression of the other parts is checked (:mod:`quorvelkit.formula.expressions`)
before anything evaluates it.

The response, the fixed-effects part and the left sides of the bars are handed on to
formulaic (:mod:`quorvelkit.model.design` builds the model matrices), so ``C(site)``,
``x1 * x2``, ``np.log(y)``, ``center(x)``, ``0 +``, ``- 1`` and the rest of formulaic's
grammar work as documented there, with R's meanings (``I(x^2)`` is a square; only
column names, numbers, arithmetic and a fixed list of transforms are allowed).
"""

from __future__ import annotations

import re
from collections.abc import Collection, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import pandas as pd

from ..support.errors import FormulaError, clean_message
from .expressions import CheckedPart, bare_column, check_part
from .formula_limits import FormulaTooLarge, check_size, missing
from .formula_text import closing, has_top_bar, scan, split_top
from .grouping import BarFactor, expand_group
from .residual_terms import ResidualSpec, merged, structure_term

__all__ = ["ParsedFormula", "RandomTerm", "parse_formula", "response_parts", "SUPPORTED"]

SUPPORTED = (
    "quorvelkit reads random-effects terms written as in lme4: "
    "'y ~ x + (1 | g)', 'y ~ x + (x | g)', 'y ~ x + (x || g)' (uncorrelated), "
    "'y ~ x + (1 | g) + (0 + x | g)', crossed '(1 | s) + (1 | d)', nested '(1 | a/b)' or '(1 | a:b)'"
)


@dataclass(frozen=True)
class RandomTerm:
    """One random-effects term after lme4's expansion of ``||``: a block of Lambda,
    uncorrelated with the other terms.

    Attributes:
        text: the left side of its bar as lme4 writes the expanded term
            (``"1"``, ``"0 + Time"``, ``"1 + age"``).
        model_text: the same as handed to formulaic, after the check.
        group: the columns of its grouping factor (:class:`~quorvelkit.formula.grouping.BarFactor`).
        group_name: its grouping factor as lme4 names it (``"Subject"``, ``"b:a"``).
        position: its place among the terms in lme4's formula order (bars left to
            right, each expanded for ``||`` and then for ``/``).
    """

    text: str
    model_text: str
    group: tuple[str, ...] = ()
    group_name: str = ""
    position: int = 0


#: The kinds of column formulaic may take as categorical (or C()/factor() may make so).
_FACTOR_KINDS = frozenset({"text", "categorical", "bool", "integer"})


@dataclass(frozen=True)
class ParsedFormula:
    """A model formula split into its parts.

    Attributes:
        text: the formula as given.
        response: the left-hand side (an expression formulaic evaluates).
        fixed: the fixed-effects part of the right-hand side, without the bar term
            (``"1"`` when only the bar term was given).
        random: the left side of the bar, e.g. ``"1"``, ``"Days"`` or ``"0 + x"``
            (of every bar term, joined by ``" + "``, when there are several).
        group: the names of the grouping columns (two or more for ``a:b``); with
            several grouping factors, every column of any of them, in order of first
            appearance.
        model_response, model_fixed, model_random: the three parts as handed to
            formulaic, after the check (``I(Time ** 2)`` for ``I(Time^2)``);
            ``model_random`` is the first bar's.
        random_terms: the random-effects terms, one per block of Lambda, factor by
            factor (factors in order of first appearance), in formula order within a
            factor: a bar term ``(a + b | g)`` is one, ``(a + b || g)`` one per term of
            its left side (its intercept first), ``(1 | a/b)`` one per factor, as lme4
            expands them (:attr:`RandomTerm.position` keeps lme4's order).
        offsets: the expressions of the ``offset(...)`` terms, checked, as handed to
            formulaic (each wrapped in ``I()``: R evaluates an offset as an
            expression); their sum is the offset.
        renames: (formulaic's name of a rewritten term, its name as written) pairs.
        uses: (column, role) pairs, every column the formula refers to and how
            (roles as in :data:`quorvelkit.formula.expressions.ROLES`, plus "group").
        aliases: (column, alias) pairs: the names under which columns whose names
            formulaic cannot read are handed to it (see :meth:`for_formulaic`).
        response_parts: for a response its family reads (``parse_formula(...,
            family_response=True)``), the expressions it is evaluated from, each as
            (its name in messages, its text): the successes and the failures of
            ``cbind(s, f)``, else the left-hand side alone; ``()`` for a response
            formulaic evaluates (``model_response`` is then the only response part,
            and it is empty for a response read apart).
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
    random_terms: tuple[RandomTerm, ...] = ()
    offsets: tuple[str, ...] = ()
    response_parts: tuple[tuple[str, str], ...] = ()
    residual: ResidualSpec | None = None

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

    def display_names(self, names: Sequence[Any]) -> list[str]:
        """Model columns as lme4 prints them: "(Intercept)", and the terms the check
        rewrote under the names they are written with (formulaic's spelling of
        ``I(Time^2)`` is "I(Time ^ 2)", not the "I(Time ** 2)" it evaluates)."""
        order = sorted(self.renames, key=lambda r: -len(r[0]))
        out = []
        for n in names:
            n = str(n)
            if n == "Intercept":
                n = "(Intercept)"
            for new, old in order:
                n = n.replace(new, old)
            out.append(n)
        return out

    def factor_candidates(self, kinds: Mapping[str, str], declared: Collection[str] = ()) -> list[str]:
        """The columns whose distinct values a first pass over a source collects, so
        that every batch expands to the same model columns: the formula's columns of a
        kind formulaic takes as categorical (text, categorical, boolean) or of integers
        (which C() or factor() may make categorical), other than the response, the
        columns used as group labels only and the ``declared`` ones. ``kinds`` gives
        each column's kind as its engine reads it ("text", "categorical", "bool",
        "integer" or "other")."""
        resp = {c for c, r in self.uses if r == "response"}
        labels_only = {c for c in self.group if self.roles(c) == {"group"}}
        return [
            c
            for c in self.columns
            if c not in resp and c not in labels_only and c not in declared and kinds.get(c) in _FACTOR_KINDS
        ]

    @property
    def factor_names(self) -> list[str]:
        """The grouping factors as lme4 names them, in order of first appearance (a
        factor is its name and columns)."""
        return [name for name, _ in dict.fromkeys((t.group_name, t.group) for t in self.random_terms)]

    @property
    def group_label(self) -> str:
        """The grouping factor as lme4 names it (``"Subject"``, ``"a:b"``); with several,
        their names joined by ``", "``."""
        return ", ".join(self.factor_names)


#: A formula part of names (bare or backticked), whole numbers and the operators + - :
#: and ~ alone, which formulaic's parser reads without fail.
# Possessive throughout, so that a part that does not match fails in linear time.
_PLAIN = re.compile(r"(?:\s|[+\-:~]|`[^`]*+`|[A-Za-z_.][\w.]*+|\d++)*+")


def _group_factors(text: str, formula: str) -> list[BarFactor]:
    grp = text.strip()
    if not grp:
        raise FormulaError(f"the random-effects term in {formula!r} has no grouping factor; {SUPPORTED}")
    return expand_group(
        grp,
        f"the grouping factor must be a column name, a:b for their interaction or a/b for b nested in a, "
        f"got {grp!r}; {SUPPORTED}",
    )


def _offset_inner(piece: str) -> str | None:
    """The expression of a term ``offset(expr)``, or None when the term is another."""
    m = re.fullmatch(r"offset\s*\((.*)\)", piece, flags=re.S)
    if m is None or closing(piece, piece.index("(")) != len(piece) - 1:
        return None
    return m.group(1).strip()


def _term_text(term: Any) -> str:
    """A formulaic term written back in formulaic's grammar: its factors joined by ':',
    a column name in backticks unless it is a plain name, Python code in braces (the
    same evaluation, and the same column names, as without them)."""
    out = []
    for factor in term.factors:
        kind = factor.eval_method.value
        expr = str(factor.expr)
        if kind == "python":
            out.append("{" + expr + "}")
        elif kind == "lookup" and not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_.]*", expr):
            out.append(f"`{expr}`")
        else:
            out.append(expr)
    return ":".join(out)


def _expand_bar(
    inner: str, formula: str, aliases: dict[str, str]
) -> tuple[str, list[BarFactor], list[tuple[str, CheckedPart]]]:
    """The left side and grouping factors of one bar term (one per level of nesting of
    ``a/b``), and its terms as (text as written, checked part) pairs: one for ``|``,
    one per term of the left side for ``||`` (lme4's expansion: ``(x || g)`` is
    ``(1 | g) + (0 + x | g)``; a factor stays one term)."""
    double = any(ch == "|" and depth == 0 and inner[i + 1 : i + 2] == "|" for i, ch, depth in scan(inner))
    parts = split_top(inner, "|")
    if double:
        if len(parts) != 3 or parts[1][1].strip():
            raise FormulaError(f"cannot read the random-effects term ({inner}); {SUPPORTED}")
        parts = [parts[0], parts[2]]
    if len(parts) != 2:
        raise FormulaError(f"cannot read the random-effects term ({inner}); {SUPPORTED}")
    lhs = parts[0][1].strip()
    if not lhs:
        raise FormulaError(f"the random-effects term ({inner}) has nothing left of '|'; {SUPPORTED}")
    group = _group_factors(parts[1][1], formula)
    checked = check_part(lhs, where="random-effects term", aliases=aliases)
    if not double:
        return lhs, group, [(lhs, checked)]
    from formulaic import Formula

    try:
        terms = [_term_text(t) for t in Formula(checked.text)]
    except Exception as exc:  # formulaic's syntax errors
        raise FormulaError(f"invalid random-effects term '{lhs}': {clean_message(exc)}") from None
    # The terms as written, for reports: the check's renames map formulaic's names of
    # rewritten code back to the code as written.
    back = sorted(checked.renames, key=lambda r: -len(r[0]))
    expanded: list[tuple[str, CheckedPart]] = []
    for term in terms:
        shown = re.sub(r"\{([A-Za-z_][\w.]*\([^{}]*\))\}", r"\1", term)  # a call needs no braces
        for new, old in back:
            shown = shown.replace(new, old)
        text, model = ("1", "1") if term == "1" else (f"0 + {shown}", f"0 + {term}")
        expanded.append((text, CheckedPart(model, checked.renames, checked.uses, checked.aliases)))
    return lhs, group, expanded


def response_parts(lhs: str) -> tuple[tuple[str, str], ...]:
    """The expressions a family's response ``lhs`` is evaluated from, each as (its name
    in messages, its text): ``cbind(successes, failures)`` gives its two arguments (each
    a column or an expression of columns), any other left-hand side itself. A
    ``cbind()`` that is not the whole response, or without two arguments, is a
    :class:`FormulaError`."""
    m = re.match(r"cbind\s*\(", lhs)
    if m is None:
        if re.search(r"(?<![\w.])cbind\s*\(", lhs):
            raise FormulaError(f"cbind(successes, failures) must be the whole response, got {lhs!r}")
        return ((repr(lhs), lhs),)
    if closing(lhs, m.end() - 1) != len(lhs) - 1:
        raise FormulaError(f"cbind(successes, failures) must be the whole response, got {lhs!r}")
    args = [piece.strip() for _, piece in split_top(lhs[m.end() : -1], ",")]
    if len(args) != 2 or not all(args):
        raise FormulaError(f"cbind() takes two columns, the successes and the failures, got {lhs!r}")
    return ((f"successes {args[0]!r}", args[0]), (f"failures {args[1]!r}", args[1]))


def _response_uses(parts: Sequence[tuple[str, str]]) -> tuple[tuple[str, str], ...]:
    """The columns the response parts read (role "response"), checked as a formula
    term is; nothing is evaluated."""
    uses: list[tuple[str, str]] = []
    for _, text in parts:
        column = bare_column(text)
        if column is not None:
            uses.append((column, "response"))
        else:
            uses += check_part(f"I({text})", response=True, where="response", aliases={}).uses
    return tuple(uses)


def parse_formula(
    formula: str,
    columns: Collection[Any] | None = None,
    where: str = "the data",
    *,
    family_response: bool = False,
    residual: ResidualSpec | None = None,
) -> ParsedFormula:
    """Split an lme4-style formula into response, fixed part, offsets, random-effects
    terms and group.

    One or more random-effects terms ``(terms | group)`` or ``(terms || group)`` must
    appear, added to the fixed part with ``+``, on one grouping factor or several
    (crossed, nested with ``a/b``, interactions ``a:b``: :func:`quorvelkit.formula.grouping.expand_group`).
    ``offset(expr)`` terms of the fixed part are the model's offset. What cannot be
    read raises :class:`FormulaError` (a ``ValueError``) saying what is supported. The
    syntax of the remaining parts is checked by formulaic.

    The formula's size is bounded first, in one pass over its text
    (:mod:`quorvelkit.formula.formula_limits`: names, terms, operators in a term, nesting):
    :class:`FormulaError` names the limit. Given the ``columns`` of the data (of
    ``where``), a formula over a limit that names columns the data lacks is a
    :class:`~quorvelkit.support.errors.SourceError` naming the first few and their count.

    With ``family_response`` the left-hand side is a response its family reads (a
    GLMM's: ``cbind()``, a factor, proportions): formulaic does not evaluate it
    (``model_response`` is empty), and :attr:`ParsedFormula.response_parts` holds the
    expressions the design evaluates for the family to read.
    """
    if not isinstance(formula, str):
        raise FormulaError(f"the formula must be a string, got {type(formula).__name__}")
    text = formula.strip()
    if not text:
        raise FormulaError(f"the formula is empty; {SUPPORTED}")
    try:
        check_size(text)
    except FormulaTooLarge as exc:
        lacking = None if columns is None else missing(exc.names, columns, where)
        if lacking is not None:
            raise lacking from None
        raise
    list(scan(text))  # balance and quote checks
    tildes = [i for i, ch, depth in scan(text) if ch == "~" and depth == 0]
    if len(tildes) != 1:
        what = "has no '~'" if not tildes else "has more than one '~'"
        raise FormulaError(f"the formula {what}; write it as 'response ~ terms', e.g. 'y ~ x + (1 | g)'")
    lhs = text[: tildes[0]].strip()
    rhs = text[tildes[0] + 1 :].strip()
    if not lhs:
        raise FormulaError(f"the formula has no response on the left of '~'; {SUPPORTED}")
    if not rhs:
        raise FormulaError(f"the formula has nothing on the right of '~'; {SUPPORTED}")

    pieces = split_top(rhs, "+-")
    fixed_pieces: list[tuple[str, str]] = []
    bars: list[str] = []
    offsets: list[str] = []
    structure: ResidualSpec | None = None
    for op, piece in pieces:
        stripped = piece.strip()
        term = structure_term(stripped)
        if term is not None:
            if op == "-" or structure is not None:
                raise FormulaError(f"a formula takes one residual structure, added with '+'; found {stripped!r}")
            structure = term
            continue
        is_bar = False
        if stripped.startswith("("):
            close = closing(stripped, 0)
            if close == len(stripped) - 1 and has_top_bar(stripped[1:-1]):
                is_bar = True
        if is_bar:
            if op == "-":
                raise FormulaError(f"a random-effects term cannot be subtracted ('- {stripped}'); {SUPPORTED}")
            bars.append(stripped[1:-1])
            continue
        if any(ch == "|" for _, ch, _ in scan(stripped)):
            raise FormulaError(
                f"the random-effects term must be a parenthesised term of its own, "
                f"added with '+', e.g. '+ (1 | g)'; found {stripped!r}; {SUPPORTED}"
            )
        inner = _offset_inner(stripped)
        if inner is not None:
            if op == "-":
                raise FormulaError(f"an offset cannot be subtracted ('- {stripped}'); write offset(-({inner}))")
            if not inner:
                raise FormulaError("offset() needs an expression, e.g. offset(log(n))")
            offsets.append(inner)
            continue
        fixed_pieces.append((op, stripped))
    residual = merged(structure, residual)
    if not bars and residual is None:
        raise FormulaError(f"the formula has no random-effects term such as '(1 | g)'; {SUPPORTED}")

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
    parts_apart = response_parts(lhs) if family_response else ()
    if family_response:
        checked_lhs = CheckedPart("", uses=_response_uses(parts_apart))
    else:
        checked_lhs = check_part(lhs, response=True, where="response", aliases=aliases)
    checked_fixed = check_part(fixed, where="fixed part", aliases=aliases)
    checked_offsets = [check_part(f"I({o})", response=True, where="offset", aliases=aliases) for o in offsets]
    sides: list[str] = []
    found: list[tuple[str, CheckedPart, BarFactor]] = []
    for inner in bars:
        side, factors, expanded = _expand_bar(inner, text, aliases)
        if not expanded:  # (0 || g): every column of the term removed
            raise FormulaError(f"the random-effects term ({inner}) has no columns; use (1 | g) for a random intercept")
        sides.append(side)
        # lme4 expands || over the whole formula before it expands /.
        found += [(t, c, f) for t, c in expanded for f in factors]
    # Terms grouped by factor (a factor is its name and columns), kept in formula order.
    first: dict[BarFactor, int] = {}
    for k, (_, _, f) in enumerate(found):
        first.setdefault(f, k)
    order = sorted(range(len(found)), key=lambda k: first[found[k][2]])
    terms = [(found[k][0], found[k][1]) for k in order]
    group = found[0][2].columns if len(first) == 1 else tuple(dict.fromkeys(c for f in first for c in f.columns))

    from formulaic import Formula

    parts = [(f"{checked_lhs.text} ~ {checked_fixed.text}", f"{lhs} ~ {fixed}", "fixed part")]
    parts += [(c.text, t, "random-effects term") for t, c in terms]
    parts += [(c.text, f"offset({o})", "offset") for o, c in zip(offsets, checked_offsets, strict=True)]
    for part, shown, where in parts:
        if _PLAIN.fullmatch(part):
            continue  # names, numbers, + - : and ~ only: nothing formulaic's parser could refuse
        try:
            Formula(part)
        except Exception as exc:  # formulaic's syntax errors
            raise FormulaError(f"invalid {where} '{shown}': {clean_message(exc)}") from None
    random_uses = tuple(u for _, c in terms for u in c.uses)
    # An offset's columns must hold numbers, as arithmetic's do.
    offset_uses = tuple((col, "numeric") for c in checked_offsets for col, _ in c.uses)
    uses = checked_lhs.uses + checked_fixed.uses + random_uses + offset_uses + tuple((g, "group") for g in group)
    uses += residual.uses if residual is not None else ()
    renames = checked_lhs.renames + checked_fixed.renames + tuple(r for _, c in terms for r in c.renames)
    return ParsedFormula(
        text=text,
        response=lhs,
        fixed=fixed,
        random=" + ".join(sides),
        group=group,
        model_response=checked_lhs.text,
        model_fixed=checked_fixed.text,
        model_random=terms[0][1].text if terms else "",
        renames=tuple(dict.fromkeys(renames)),
        uses=tuple(dict.fromkeys(uses)),
        aliases=tuple(aliases.items()),
        random_terms=tuple(
            RandomTerm(found[k][0], found[k][1].text, found[k][2].columns, found[k][2].name, k) for k in order
        ),
        offsets=tuple(c.text for c in checked_offsets),
        response_parts=parts_apart,
        residual=residual,
    )
