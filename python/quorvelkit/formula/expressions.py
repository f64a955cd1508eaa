"""The expressions inside a model formula, checked before anything evaluates them.

formulaic builds model matrices by evaluating the Python code of a term (``I(x^2)``,
``np.log(y)``, ``center(x)``, ``{x + 1}``) with :func:`eval`. A formula often comes from
outside the program (a command line, a configuration file, a web form), so every such
expression is parsed with :mod:`ast` here first, and it is handed to formulaic only when
it consists of

- column names (a bare ``x``, a dotted ``Solar.R`` as in R, or any text in backticks),
- numbers, and strings as arguments of a function or operands of a comparison,
- arithmetic ``+ - * / // % ^ **`` and comparisons ``== != < <= > >=``,
- lists and tuples of those as arguments,
- calls of the functions in :data:`ALLOWED_FUNCTIONS`.

Anything else (attribute access, subscripts, other functions, lambdas, ``**kwargs`` ...)
is refused with a :class:`~quorvelkit.support.errors.FormulaError` naming it, and nothing has
been evaluated at that point. Constant sub-expressions are bounded too (``9^9^9`` would
take Python's big integers forever).

The same pass gives the terms the meaning a user of R expects:

- ``^`` is a power, as in R (``I(Time^2)`` is Time squared), never Python's exclusive or;
- ``factor(x)``, ``as.factor(x)`` and ``ordered(x)`` are ``C(x)``; ``sqrt``, ``abs``,
  ``log1p`` and ``expm1`` are numpy's; R's elementwise math (``sin`` ... ``tanh``,
  ``floor``, ``ceiling``, ``round``, ``trunc``, ``sign``, ``log(x, base)``) and ``pi``
  mean what they mean in R (:mod:`quorvelkit.formula.r_functions`), and so do R's spellings of
  the contrasts of ``C(x, contr.sum)``;
- a name in backticks may hold any character; inside backticks ``\\``` is a backtick and
  ``\\\\`` a backslash. (formulaic cannot read such names itself, so a column whose name
  holds a backtick or a backslash reaches it under an alias, see :attr:`CheckedPart.aliases`.)

It also lists every column each part of the formula uses and how (so that the data can
be checked before the model matrices are built), and the names formulaic will give the
rewritten terms, so that a model's columns keep the names of the terms as written
(``I(Time ^ 2)``, ``factor(Diet)[T.2]``).
"""

from __future__ import annotations

import re
from dataclasses import dataclass

from ..support.errors import FormulaError, clean_message
from .term_code import ALLOWED_FUNCTIONS, alias_of, check_code, needs_alias, unquote_name

__all__ = ["ALLOWED_FUNCTIONS", "CheckedPart", "bare_column", "check_part", "quote_name", "unquote_name"]

#: Roles of a column in a formula: "response" (in the response: a number is needed),
#: "numeric" (an argument of arithmetic or of a numeric transform: a number is needed),
#: "term" (a term by itself: numbers are a covariate, text is a factor), "factor" (inside
#: C() or factor(): any labels) and "any" (an operand of a comparison, an extra argument
#: of C()).
ROLES = ("response", "numeric", "term", "factor", "any")

_PLAIN_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*")


def quote_name(name: str) -> str:
    """``name`` as a formula term: bare when it is a plain name, else in backticks with
    backslashes and backticks escaped (``a`b`` becomes ```a\\`b```)."""
    if _PLAIN_NAME.fullmatch(name) and not name.endswith(".") and ".." not in name:
        return name
    return "`" + name.replace("\\", "\\\\").replace("`", "\\`") + "`"


def bare_column(text: str) -> str | None:
    """The column of an expression that is one column name (plain or in backticks), or
    None for any other expression."""
    if re.fullmatch(r"`(?:[^`\\]|\\.)*`", text, flags=re.S):
        return unquote_name(text)
    if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_.]*", text) and quote_name(text) == text:
        return text
    return None


@dataclass(frozen=True)
class CheckedPart:
    """One part of a formula (the response, the fixed part, the left side of the bar),
    checked.

    Attributes:
        text: the part as handed to formulaic.
        renames: (formulaic's name of a rewritten term, the name of the term as
            written) pairs, to rename the model matrix's columns.
        uses: (column, role) pairs in order of appearance; roles as in :data:`ROLES`.
        aliases: (column, alias) pairs: columns whose names formulaic cannot read
            (they hold a backtick or a backslash) appear in ``text`` as the alias, and
            the data must be handed to formulaic with those columns renamed.
    """

    text: str
    renames: tuple[tuple[str, str], ...] = ()
    uses: tuple[tuple[str, str], ...] = ()
    aliases: tuple[tuple[str, str], ...] = ()


def _formulaic_name(code: str) -> str:
    """The name formulaic gives the term of this Python code (its canonical spelling)."""
    from formulaic.parser.algos.sanitize_tokens import sanitize_python_code

    try:
        return str(sanitize_python_code(code))
    except SyntaxError:
        return code.strip()


def check_part(
    text: str,
    *,
    response: bool = False,
    where: str = "formula",
    aliases: dict[str, str] | None = None,
) -> CheckedPart:
    """Check one part of a formula and rewrite it for formulaic.

    Args:
        text: the part, in formulaic's grammar (``x1 * x2 + I(x1^2)``).
        response: the part is the response (every column in it must be numeric).
        where: how the part is called in error messages.
        aliases: column -> alias for names formulaic cannot read, shared by the parts
            of one formula (updated in place).

    Raises:
        FormulaError: an expression uses something that is not allowed (named in the
            message), or cannot be read.
    """
    from formulaic.parser.algos.tokenize import tokenize
    from formulaic.parser.types import Token

    try:
        tokens = list(tokenize(text))
    except Exception as exc:  # formulaic's syntax errors
        raise FormulaError(f"cannot read the {where} '{text}': {clean_message(exc)}") from None
    aliases = {} if aliases is None else aliases
    pieces: list[tuple[int, int, str]] = []  # (start, end, replacement)
    renames: list[tuple[str, str]] = []
    uses: list[tuple[str, str]] = []
    for tok in tokens:
        if tok.source_start is None or tok.source_end is None:
            continue
        start, end = tok.source_start, tok.source_end + 1
        opener = text[start]
        if opener in "`{" and end < len(text) and text[end] == ("`" if opener == "`" else "}"):
            end += 1
        if tok.token == "." and opener != "`":
            raise FormulaError(f"'.' (all other columns) is not supported in the {where} '{text}'; name the columns")
        if tok.kind is Token.Kind.NAME:
            name = unquote_name(text[start:end]) if opener == "`" else tok.token
            uses.append((name, "response" if response else "term"))
            if needs_alias(name):
                alias = alias_of(name, aliases)
                pieces.append((start, end, alias))
                renames.append((alias, name))
            continue
        if tok.kind is Token.Kind.PYTHON:
            braced = opener == "{"
            original = text[start + 1 : end - 1] if braced else text[start:end]
            code, used = check_code(original, response=response, aliases=aliases)
            uses.extend(used)
            if code != original:
                pieces.append((start, end, "{" + code + "}" if braced else code))
                new, old = _formulaic_name(code), _formulaic_name(original)
                if new != old:
                    renames.append((new, old))
    out = text
    for start, end, code in sorted(pieces, reverse=True):
        out = out[:start] + code + out[end:]
    return CheckedPart(
        text=_expand_powers(out, where, text),
        renames=tuple(dict.fromkeys(renames)),
        uses=tuple(uses),
        aliases=tuple(aliases.items()),
    )


#: The longest text the expansion of a part's powers may reach.
_MAX_EXPANDED = 100_000


def _expand_powers(text: str, where: str, shown: str) -> str:
    """``L ^ n`` (or ``L ** n``) of a part rewritten as ``((L)*(L)*...)``, n factors.

    Both mean every interaction of up to n of L's terms (R's meaning), but formulaic
    expands a power as the product of n copies of L's terms, len(L)^n products before
    duplicates go: ``(x + t)^40`` would never finish. A product of the sets one at a
    time keeps each step as small as its result, and n past the number of distinct
    factors of L adds no term, so it is capped there. Exponents other than a positive
    integer are left to formulaic, which names them."""
    from formulaic.parser.algos.tokenize import tokenize
    from formulaic.parser.types import Token

    factors = (Token.Kind.NAME, Token.Kind.PYTHON)
    for _ in range(text.count("^") + text.count("**") + 1):
        tokens = [t for t in tokenize(text) if t.source_start is not None and t.source_end is not None]
        for k, tok in enumerate(tokens):
            if not (tok.kind is Token.Kind.OPERATOR and tok.token in ("^", "**") and 0 < k < len(tokens) - 1):
                continue
            power = tokens[k + 1]
            if power.kind is not Token.Kind.VALUE or not re.fullmatch(r"[1-9]\d*", power.token):
                continue
            first = k - 1  # the left operand: one token, or a bracketed group
            if tokens[first].token == ")":
                depth = 0
                while first >= 0:
                    if tokens[first].kind is Token.Kind.CONTEXT:
                        depth += {")": 1, "(": -1}.get(tokens[first].token, 0)
                    if depth == 0:
                        break
                    first -= 1
                if first < 0:
                    continue
            left = text[tokens[first].source_start : tokens[k - 1].source_end + 1]
            distinct = {t.token for t in tokens[first:k] if t.kind in factors}
            n = min(int(power.token), max(len(distinct), 1))
            product = "(" + "*".join([f"({left})"] * n) + ")"
            text = text[: tokens[first].source_start] + product + text[power.source_end + 1 :]
            if len(text) > _MAX_EXPANDED:
                raise FormulaError(
                    f"the {where} '{shown}' is too large: its powers expand past {_MAX_EXPANDED} characters"
                )
            break
        else:
            return text
    return text
