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
is refused with a :class:`~quorvelkit.errors.FormulaError` naming it, and nothing has
been evaluated at that point. Constant sub-expressions are bounded too (``9^9^9`` would
take Python's big integers forever).

The same pass gives the terms the meaning a user of R expects:

- ``^`` is a power, as in R (``I(Time^2)`` is Time squared), never Python's exclusive or;
- ``factor(x)``, ``as.factor(x)`` and ``ordered(x)`` are ``C(x)``; ``sqrt``, ``abs``,
  ``log1p`` and ``expm1`` are numpy's; R's elementwise math (``sin`` ... ``tanh``,
  ``floor``, ``ceiling``, ``round``, ``trunc``, ``sign``, ``log(x, base)``) and ``pi``
  mean what they mean in R (:mod:`quorvelkit.r_functions`), and so do R's spellings of
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

import ast
import math
import re
from dataclasses import dataclass

from .errors import FormulaError, clean_message
from .r_functions import R_CONSTANTS, R_MATH, attribute, check_basis, contrasts_node, log_call, round_call

__all__ = ["ALLOWED_FUNCTIONS", "CheckedPart", "check_part", "quote_name", "unquote_name"]

#: Roles of a column in a formula: "response" (in the response: a number is needed),
#: "numeric" (an argument of arithmetic or of a numeric transform: a number is needed),
#: "term" (a term by itself: numbers are a covariate, text is a factor), "factor" (inside
#: C() or factor(): any labels) and "any" (an operand of a comparison, an extra argument
#: of C()).
ROLES = ("response", "numeric", "term", "factor", "any")

_NUMPY_UFUNCS = (
    "log log2 log10 log1p exp exp2 expm1 sqrt cbrt square abs absolute sign floor ceil round trunc sin cos tan "
    "arcsin arccos arctan sinh cosh tanh power minimum maximum clip"
).split()

#: Every function a formula may call, mapped to what formulaic is asked to evaluate.
#: Bare names are formulaic's transforms (C, I, center, scale, poly, bs, ...), with R's
#: spellings ``factor``/``as.factor`` for ``C``, numpy's ``sqrt``, ``abs``, ``log1p``
#: and ``expm1`` and R's elementwise math added; ``np.<ufunc>`` are numpy's elementwise
#: functions.
ALLOWED_FUNCTIONS: dict[str, str] = {
    "C": "C",
    "factor": "C",
    "as.factor": "C",
    "I": "I",
    "Q": "Q",
    "log": "log",
    "log2": "log2",
    "log10": "log10",
    "exp": "exp",
    "exp2": "exp2",
    "sqrt": "np.sqrt",
    "abs": "np.abs",
    "log1p": "np.log1p",
    "expm1": "np.expm1",
    "center": "center",
    "scale": "scale",
    "standardize": "standardize",
    "poly": "poly",
    "bs": "bs",
    "cr": "cr",
    "cs": "cs",
    "cc": "cc",
    "lag": "lag",
    "Treatment": "Treatment",
    "Sum": "Sum",
    "Helmert": "Helmert",
    "Poly": "Poly",
    "Diff": "Diff",
    **{f"contr.{k}": f"contr.{k}" for k in ("treatment", "sum", "helmert", "poly", "diff", "SAS")},
    **{f"np.{k}": f"np.{k}" for k in _NUMPY_UFUNCS},
    **R_MATH,
}

_CATEGORICAL = {"C"}
_PLACEHOLDER = "__qk_column_{}__"
_ALIAS = "_qk_alias_{}_"
_PLAIN_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*")
_MAX_CONSTANT = 1e300


def _allowed_list() -> str:
    return (
        "C, factor, I, log, exp, sqrt, abs, sin, round, center, scale, poly, bs, np.log and the others "
        "listed in quorvelkit.expressions.ALLOWED_FUNCTIONS"
    )


def quote_name(name: str) -> str:
    """``name`` as a formula term: bare when it is a plain name, else in backticks with
    backslashes and backticks escaped (``a`b`` becomes ```a\\`b```)."""
    if _PLAIN_NAME.fullmatch(name) and not name.endswith(".") and ".." not in name:
        return name
    return "`" + name.replace("\\", "\\\\").replace("`", "\\`") + "`"


def unquote_name(text: str) -> str:
    """The column name of a term written as ``name`` or ```na\\`me```."""
    if len(text) >= 2 and text[0] == "`" and text[-1] == "`":
        return re.sub(r"\\(.)", r"\1", text[1:-1], flags=re.S)
    return text


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


def _needs_alias(name: str) -> bool:
    return "`" in name or "\\" in name


def _alias(name: str, aliases: dict[str, str]) -> str:
    if name not in aliases:
        aliases[name] = _ALIAS.format(len(aliases))
    return aliases[name]


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
            if _needs_alias(name):
                alias = _alias(name, aliases)
                pieces.append((start, end, alias))
                renames.append((alias, name))
            continue
        if tok.kind is Token.Kind.PYTHON:
            braced = opener == "{"
            original = text[start + 1 : end - 1] if braced else text[start:end]
            code, used = _check_code(original, response=response, aliases=aliases)
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


# ------------------------------------------------------------------ one Python expression


def _prepare(code: str) -> tuple[str, list[str]]:
    """Replace backticked names by placeholders, ``^`` by ``**`` and ``as.factor(`` by
    ``factor(`` outside string literals; returns the code and the names in order."""
    out: list[str] = []
    names: list[str] = []
    i, n = 0, len(code)
    while i < n:
        ch = code[i]
        if ch in "'\"":
            j = i + 1
            while j < n and code[j] != ch:
                j += 2 if code[j] == "\\" else 1
            out.append(code[i : j + 1])
            i = j + 1
        elif ch == "`":
            j = i + 1
            while j < n and code[j] != "`":
                j += 2 if code[j] == "\\" else 1
            if j >= n:
                raise FormulaError(f"unterminated backtick in '{code}'")
            names.append(unquote_name(code[i : j + 1]))
            out.append(_PLACEHOLDER.format(len(names) - 1))
            i = j + 1
        elif ch == "^":
            out.append("**")
            i += 1
        elif code.startswith("as.factor", i) and (i == 0 or not (code[i - 1].isalnum() or code[i - 1] in "_.")):
            out.append("factor")
            i += len("as.factor")
        else:
            out.append(ch)
            i += 1
    return "".join(out), names


def _dotted(node: ast.AST) -> str | None:
    """``a.b.c`` for a chain of attribute lookups on a name, else None."""
    parts: list[str] = []
    while isinstance(node, ast.Attribute):
        parts.append(node.attr)
        node = node.value
    if isinstance(node, ast.Name):
        parts.append(node.id)
        return ".".join(reversed(parts))
    return None


def _show(node: ast.AST) -> str:
    text = ast.unparse(node)
    return text if len(text) <= 60 else text[:57] + "..."


def _const_value(node: ast.AST) -> float | None:
    """The value of an arithmetic expression of number literals, in floating point
    (never Python's unbounded integers); None when it is not one. Raises FormulaError
    when it is not a finite number."""
    if isinstance(node, ast.Constant):
        v = node.value
        if isinstance(v, bool) or not isinstance(v, (int, float)):
            return None
        try:
            return float(v)
        except OverflowError:
            return math.inf
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
        v = _const_value(node.operand)
        return None if v is None else (-v if isinstance(node.op, ast.USub) else v)
    if isinstance(node, ast.BinOp):
        a, b = _const_value(node.left), _const_value(node.right)
        if a is None or b is None:
            return None
        try:
            if isinstance(node.op, ast.Add):
                return a + b
            if isinstance(node.op, ast.Sub):
                return a - b
            if isinstance(node.op, ast.Mult):
                return a * b
            if isinstance(node.op, ast.Div):
                return a / b
            if isinstance(node.op, ast.FloorDiv):
                return a // b
            if isinstance(node.op, ast.Mod):
                return a % b
            if isinstance(node.op, ast.Pow):
                return math.pow(a, b)
        except (ZeroDivisionError, OverflowError, ValueError):
            return math.nan
    return None


class _Checker:
    """Walks one parsed expression, refusing what is not allowed, rewriting function
    names and dotted column names, and recording the columns used."""

    def __init__(self, source: str, names: list[str], response: bool) -> None:
        self.source = source
        self.names = names  # column names by placeholder index (backticked or dotted)
        self.response = response
        self.uses: list[tuple[str, str]] = []

    def refuse(self, what: str) -> FormulaError:
        return FormulaError(
            f"the formula term '{self.source}' uses {what}, which a formula may not use; "
            f"allowed are column names, numbers, arithmetic (+ - * / ^), comparisons and "
            f"the functions {_allowed_list()}"
        )

    def column(self, name: str, role: str) -> None:
        self.uses.append((name, "response" if self.response else role))

    def expr(self, node: ast.expr, role: str, *, strings: bool = False) -> ast.expr:
        """Check ``node`` (an expression); returns it rewritten."""
        if isinstance(node, ast.Constant):
            v = node.value
            if isinstance(v, str):
                if not strings:
                    raise self.refuse(f"the string {v!r} outside a function's arguments or a comparison")
                return node
            if v is None or isinstance(v, (bool, int, float)):
                if isinstance(v, (int, float)) and not isinstance(v, bool) and not abs(v) <= _MAX_CONSTANT:
                    raise self.refuse(f"the number {_show(node)} (too large)")
                return node
            raise self.refuse(f"the constant {_show(node)}")
        if isinstance(node, ast.Name):
            if node.id in R_CONSTANTS:
                return attribute(R_CONSTANTS[node.id])
            m = re.fullmatch(r"__qk_column_(\d+)__", node.id)
            name = self.names[int(m.group(1))] if m else node.id
            self.column(name, role)
            if not m:
                self.names.append(name)
                node = ast.Name(id=_PLACEHOLDER.format(len(self.names) - 1), ctx=ast.Load())
            return node
        if isinstance(node, ast.Attribute):
            dotted = _dotted(node)
            if dotted is None:
                raise self.refuse(f"the attribute '{_show(node)}'")
            if dotted in ALLOWED_FUNCTIONS:
                raise self.refuse(f"the function '{dotted}' without calling it")
            # R's dotted names (Solar.R) are column names, never attribute lookups
            self.names.append(dotted)
            self.column(dotted, role)
            return ast.Name(id=_PLACEHOLDER.format(len(self.names) - 1), ctx=ast.Load())
        if isinstance(node, ast.BinOp):
            if not isinstance(node.op, (ast.Add, ast.Sub, ast.Mult, ast.Div, ast.FloorDiv, ast.Mod, ast.Pow)):
                raise self.refuse(f"the operator in '{_show(node)}'")
            self.bounded(node)
            return ast.BinOp(self.expr(node.left, "numeric"), node.op, self.expr(node.right, "numeric"))
        if isinstance(node, ast.UnaryOp):
            if not isinstance(node.op, (ast.USub, ast.UAdd)):
                raise self.refuse(f"the operator in '{_show(node)}'")
            self.bounded(node)
            return ast.UnaryOp(node.op, self.expr(node.operand, "numeric"))
        if isinstance(node, ast.Compare):
            if not all(isinstance(op, (ast.Eq, ast.NotEq, ast.Lt, ast.LtE, ast.Gt, ast.GtE)) for op in node.ops):
                raise self.refuse(f"the comparison '{_show(node)}'")
            return ast.Compare(
                self.expr(node.left, "any", strings=True),
                node.ops,
                [self.expr(c, "any", strings=True) for c in node.comparators],
            )
        if isinstance(node, ast.Call):
            return self.call(node, role)
        if isinstance(node, (ast.List, ast.Tuple)) and strings:
            elts = [self.expr(e, "any", strings=True) for e in node.elts]
            return type(node)(elts=elts, ctx=ast.Load())
        kind = type(node).__name__.lower()
        return_kinds = {
            "subscript": "a subscript",
            "lambda": "a lambda",
            "list": "a list",
            "tuple": "a tuple",
            "dict": "a dict",
            "set": "a set",
            "ifexp": "a conditional",
            "boolop": "'and'/'or'",
            "namedexpr": "an assignment",
            "starred": "unpacking",
            "joinedstr": "an f-string",
            "listcomp": "a comprehension",
            "generatorexp": "a generator",
            "setcomp": "a comprehension",
            "dictcomp": "a comprehension",
            "await": "await",
            "yield": "yield",
        }
        raise self.refuse(f"{return_kinds.get(kind, kind)} ('{_show(node)}')")

    def bounded(self, node: ast.AST) -> None:
        """Refuse a constant sub-expression whose value is not a finite, moderate number."""
        v = _const_value(node)
        if v is not None and not (math.isfinite(v) and abs(v) <= _MAX_CONSTANT):
            raise self.refuse(f"the constant expression '{_show(node)}' (not a finite number of moderate size)")
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Pow):
            e = _const_value(node.right)
            if e is not None and abs(e) > 1024:
                raise self.refuse(f"the power '{_show(node)}' (exponent above 1024)")

    def call(self, node: ast.Call, role: str) -> ast.expr:
        name = _dotted(node.func)
        if name is None:
            raise self.refuse(f"the call '{_show(node.func)}'")
        if name == "offset":
            raise FormulaError(
                f"offset() is a term of the fixed part of its own, e.g. 'y ~ x + offset(log(n)) + "
                f"(1 | g)', not part of the expression '{self.source}'"
            )
        target = ALLOWED_FUNCTIONS.get(name)
        if target is None:
            hint = " (numpy's functions are written np.<name>)" if name.startswith("numpy.") else ""
            raise FormulaError(
                f"unknown function '{name}' in the formula term '{self.source}'{hint}; a formula "
                f"may call {_allowed_list()}"
            )
        if any(isinstance(a, ast.Starred) for a in node.args) or any(k.arg is None for k in node.keywords):
            raise self.refuse(f"argument unpacking in '{_show(node)}'")
        private = [k.arg for k in node.keywords if k.arg and k.arg.startswith("_")]
        if private:  # formulaic passes its own state to transforms under such names
            raise self.refuse(f"the keyword argument '{private[0]}'")
        if target == "Q":
            if (
                len(node.args) != 1
                or node.keywords
                or not (isinstance(node.args[0], ast.Constant) and isinstance(node.args[0].value, str))
            ):
                raise self.refuse(f"'{_show(node)}' (Q takes one column name in quotes)")
            self.column(node.args[0].value, role)
            return ast.Call(ast.Name(id="Q", ctx=ast.Load()), [node.args[0]], [])
        check_basis(target, node, _const_value, self.refuse)
        args = []
        for k, a in enumerate(node.args):
            if target in _CATEGORICAL:
                arole = "factor" if k == 0 else "any"
            else:
                arole = "numeric"
            args.append(self.contrasts(a) if target in _CATEGORICAL and k == 1 else self.expr(a, arole, strings=True))
        keywords = [
            ast.keyword(
                arg=k.arg,
                value=self.contrasts(k.value)
                if target in _CATEGORICAL and k.arg == "contrasts"
                else self.expr(k.value, "any", strings=True),
            )
            for k in node.keywords
        ]
        if name == "log" and (len(args) > 1 or keywords):
            return log_call(node, args, _const_value, self.refuse)
        if name == "round":
            return round_call(node, args, keywords)
        return ast.Call(attribute(target), args, keywords)

    def contrasts(self, node: ast.expr) -> ast.expr:
        """The contrasts argument of C(), R's spellings included."""
        try:
            known = contrasts_node(node, _dotted)
        except ValueError as exc:
            raise FormulaError(f"{exc} (in the formula term '{self.source}')") from None
        return self.expr(node, "any", strings=True) if known is None else known


def _check_code(code: str, *, response: bool, aliases: dict[str, str]) -> tuple[str, list[tuple[str, str]]]:
    """Check one Python expression of a formula; returns the code formulaic is to
    evaluate and the columns it uses."""
    source = " ".join(code.split())
    if "__qk_column_" in code or "_qk_alias_" in code:
        raise FormulaError(f"the formula term '{source}' uses a reserved name (__qk_column_..., _qk_alias_...)")
    prepared, names = _prepare(code)
    try:
        tree = ast.parse(prepared.strip(), mode="eval")
    except SyntaxError as exc:
        raise FormulaError(f"cannot read the formula term '{source}': {exc.msg}") from None
    checker = _Checker(source, list(names), response)
    body = checker.expr(tree.body, "numeric")
    out = ast.unparse(ast.fix_missing_locations(ast.Expression(body)))

    def restore(m: re.Match[str]) -> str:
        name = checker.names[int(m.group(1))]
        if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", name):
            return name
        if _needs_alias(name):
            return _alias(name, aliases)
        return f"`{name}`"

    return re.sub(r"__qk_column_(\d+)__", restore, out), checker.uses
