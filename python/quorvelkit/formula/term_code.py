"""One Python expression of a formula term (``I(x^2)``, ``np.log(y)``, ``Time > 2``),
checked and rewritten before anything evaluates it: the functions a formula may call
(:data:`ALLOWED_FUNCTIONS`), and the walk of the expression's syntax tree that refuses
everything else, gives R's meanings (``^`` a power, ``factor()`` as ``C()``, R's math)
and records the columns it uses and how (:mod:`quorvelkit.formula.expressions` checks whole
formula parts with it)."""

from __future__ import annotations

import ast
import math
import re

from ..support.errors import FormulaError
from .r_functions import R_CONSTANTS, R_MATH, attribute, check_basis, contrasts_node, log_call, round_call

__all__ = ["ALLOWED_FUNCTIONS", "check_code", "needs_alias", "alias_of", "unquote_name"]

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
_MAX_CONSTANT = 1e300


def _allowed_list() -> str:
    return (
        "C, factor, I, log, exp, sqrt, abs, sin, round, center, scale, poly, bs, np.log and the others "
        "listed in quorvelkit.formula.expressions.ALLOWED_FUNCTIONS"
    )


def unquote_name(text: str) -> str:
    """The column name of a term written as ``name`` or ```na\\`me```."""
    if len(text) >= 2 and text[0] == "`" and text[-1] == "`":
        return re.sub(r"\\(.)", r"\1", text[1:-1], flags=re.S)
    return text


def needs_alias(name: str) -> bool:
    """Whether formulaic cannot read the column ``name`` (it holds a backtick or a backslash)."""
    return "`" in name or "\\" in name


def alias_of(name: str, aliases: dict[str, str]) -> str:
    """The alias of column ``name`` among ``aliases`` (column -> alias, updated in place)."""
    if name not in aliases:
        aliases[name] = _ALIAS.format(len(aliases))
    return aliases[name]


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


def check_code(code: str, *, response: bool, aliases: dict[str, str]) -> tuple[str, list[tuple[str, str]]]:
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
        if needs_alias(name):
            return alias_of(name, aliases)
        return f"`{name}`"

    return re.sub(r"__qk_column_(\d+)__", restore, out), checker.uses
