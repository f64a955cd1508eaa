"""Residual correlation and variance structures within subjects, as a formula writes
them and as nlme's keywords do; both are read into one :class:`ResidualSpec`.

The formula's terms are mmrm's covariance terms, beside the random-effects terms:

====================  =====================================================  =================================
term                  residual covariance of one subject (sigma^2 R)         nlme's keywords
====================  =====================================================  =================================
``ar1(t | id)``       rho^|t_a - t_b|; t whole numbers (gaps kept), or a     ``correlation = corAR1(form = ~ t | id)``
                      factor whose levels are equally spaced visits
``ar1h(t | id)``      ar1 with a variance per level of t                     + ``weights = varIdent(form = ~ 1 | t)``
``car1(t | id)``      phi^|t_a - t_b| over real times                        ``corCAR1(form = ~ t | id)``
``cs(v | id)``        one correlation between any two rows                   ``corCompSymm(form = ~ 1 | id)``
``csh(v | id)``       cs with a variance per level of v                      + ``varIdent(form = ~ 1 | v)``
``us(v | id)``        a covariance per pair of levels of v                   ``corSymm(form = ~ v | id)``
                                                                             + ``varIdent(form = ~ 1 | v)``
``sp_exp(x, y | id)`` exp(-d / range), d the distance between the rows       ``corExp(form = ~ x + y | id)``
``sp_gau(x, y | id)`` exp(-(d / range)^2)                                    ``corGaus(form = ~ x + y | id)``
``toep(v | id)``      one correlation per lag between levels of v (toeph:    (none; glmmTMB's ``toep()``)
                      a variance per level too)
``ad(v | id)``        first-order ante-dependence: the product of the        (none)
                      correlations of consecutive levels (adh: a variance
                      per level too)
====================  =====================================================  =================================

nlme's keywords are taken as text by :func:`quorvelkit.lmm`: ``correlation=`` one of
``corAR1``, ``corCAR1``, ``corCompSymm``, ``corSymm``, ``corExp``, ``corGaus`` (with
``nugget = TRUE`` for the spatial ones), and ``variance=`` (nlme's ``weights=``, a name
``lmm`` gives the prior weights) one or several of ``varIdent(form = ~ 1 | g)``,
``varPower(form = ~ v)``, ``varExp(form = ~ v)``, and ``varPower()`` / ``varExp()``
of the fitted values (nlme's default form, ``~ fitted(.)``). A form without ``| id`` groups by the
model's grouping factor (as nlme's lme), or makes every row one subject when the model
has no random effects (as nlme's gls); ``~ 1`` orders a subject's rows as the data
does. What nlme has and this does not (``corARMA``, strata of a power) is refused
naming what to write instead."""

from __future__ import annotations

import re
from dataclasses import dataclass, field, replace
from typing import Any

from ..support.errors import FormulaError
from .formula_text import split_top

__all__ = [
    "FITTED",
    "ResidualSpec",
    "VarianceSpec",
    "TERM_NAMES",
    "structure_term",
    "from_keywords",
    "merged",
    "has_structure_term",
]

#: The formula's structure terms.
TERM_NAMES = ("ar1", "ar1h", "car1", "cs", "csh", "us", "sp_exp", "sp_gau", "toep", "toeph", "ad", "adh")

_NAME = re.compile(r"[A-Za-z.][A-Za-z0-9._]*")
_TERM = re.compile(r"\s*([A-Za-z_][A-Za-z0-9_]*)\s*\((.*)\)\s*", re.S)


#: The covariate of a variance function of the fitted values (nlme's ``form = ~ fitted(.)``).
FITTED = "fitted(.)"


@dataclass(frozen=True)
class VarianceSpec:
    """One variance function: ``kind`` "ident" (a standard deviation per level of
    ``column``, the first level's 1; per level of ``by`` and ``column`` together when
    ``by`` is set), "power" (|v|^delta) or "exp" (exp(delta v)) of the column
    ``column``."""

    kind: str
    column: str
    text: str
    by: str | None = None


@dataclass(frozen=True)
class ResidualSpec:
    """A residual structure: the correlation among a subject's rows, by ``position``
    (the columns of its time, visit or coordinates; empty: the rows' order within the
    subject), the ``subject`` column (``None``: the model's grouping factor, or one
    subject of every row without random effects), and the variance functions."""

    correlation: str = "none"  # none, ar1, car1, cs, us, exp, gaus, toep, ad
    position: tuple[str, ...] = ()
    subject: str | None = None
    #: A structure of its own per level of this column (``us(visit | arm / id)``).
    group: str | None = None
    nugget: bool = False
    variances: tuple[VarianceSpec, ...] = ()
    text: str = ""
    #: Variance functions that came with the correlation's term (ar1h, csh, us).
    own_variances: tuple[VarianceSpec, ...] = field(default=(), compare=False)

    @property
    def columns(self) -> tuple[str, ...]:
        """Every column the structure reads, each once."""
        cols = [*self.position, *([self.subject] if self.subject else []), *([self.group] if self.group else [])]
        cols += [c for v in self.variances for c in (v.column, *([v.by] if v.by else [])) if c != FITTED]
        return tuple(dict.fromkeys(cols))

    @property
    def of_fitted(self) -> bool:
        """Whether a variance function is of the fitted values (nlme's ``varPower()``)."""
        return any(v.column == FITTED for v in self.variances)

    @property
    def uses(self) -> tuple[tuple[str, str], ...]:
        """The columns and their roles for the formula's checks: coordinates and the
        covariates of power and exponential variances are numbers, the rest any type."""
        numeric = set(self.position) if self.correlation in ("car1", "exp", "gaus") else set()
        numeric |= {v.column for v in self.variances if v.kind != "ident"}
        return tuple((c, "numeric" if c in numeric else "any") for c in self.columns)


def _column(text: str, what: str, source: str) -> str:
    name = text.strip()
    if not _NAME.fullmatch(name):
        raise FormulaError(f"{what} of {source!r} must be a column name, got {name!r}")
    return name


def _split_bar(inner: str, source: str, grouped: bool = False) -> tuple[str, Any]:
    """The left of the bar and the subject after it (None without a bar); with
    ``grouped``, a bar written ``group / subject`` gives (group, subject)."""
    left, bar, right = inner.partition("|")
    if not bar:
        return left, None
    if "|" in right and grouped:
        group, _, subject = right.partition("|")
        return left, (_column(group, "the group", source), _column(subject, "the subject", source))
    if "|" in right:
        raise FormulaError(f"{source!r} has more than one '|'")
    return left, _column(right, "the subject", source)


def structure_term(piece: str) -> ResidualSpec | None:
    """The structure of one term of the formula's right-hand side, or None when the
    term is not a structure term."""
    m = _TERM.fullmatch(piece)
    if m is None or m.group(1) not in TERM_NAMES:
        return None
    name, inner = m.group(1), m.group(2)
    left, subject = _split_bar(inner.replace("/", "|", 1) if "/" in inner else inner, piece.strip(), grouped=True)
    if subject is None:
        raise FormulaError(f"{piece.strip()!r} needs its subject after a '|', e.g. {name}(visit | id)")
    group, subject = subject if isinstance(subject, tuple) else (None, subject)
    coords = tuple(_column(c, "a coordinate", piece.strip()) for c in re.split(r"[,+]", left))
    heterogeneous = name in ("ar1h", "csh", "us", "toeph", "adh")
    if name.startswith("sp_"):
        kind, heterogeneous = ("exp" if name == "sp_exp" else "gaus"), False
    elif len(coords) != 1:
        raise FormulaError(f"{piece.strip()!r} takes one time or visit column before the '|'")
    else:
        kind = name.removesuffix("h") if name != "us" else "us"
    # Per group, each group its own variances too: by visit (heterogeneous) or one each.
    own: tuple[VarianceSpec, ...] = ()
    if heterogeneous:
        what = f"a variance per level of {coords[0]}" + (f" and {group}" if group else "")
        own = (VarianceSpec("ident", coords[0], what, by=group),)
    elif group:
        own = (VarianceSpec("ident", group, f"a variance per level of {group}"),)
    return ResidualSpec(kind, coords, subject, group=group, variances=own, text=piece.strip(), own_variances=own)


def has_structure_term(formula: Any) -> bool:
    """Whether a formula's text holds a structure term (a quick look, for refusing
    such a model where it cannot be fitted; the parse decides)."""
    return isinstance(formula, str) and re.search(rf"\b({'|'.join(TERM_NAMES)})\s*\(", formula) is not None


def _call(text: str, what: str) -> tuple[str, list[str], dict[str, str]]:
    """nlme's constructor call: its name, positional arguments and named ones."""
    m = _TERM.fullmatch(text)
    if m is None:
        raise FormulaError(
            f"{what} must be an nlme constructor call such as 'corAR1(form = ~ time | id)', got {text!r}"
        )
    args: list[str] = []
    named: dict[str, str] = {}
    pieces = [piece.strip() for _, piece in split_top(m.group(2), ",")]
    for piece in (p for p in pieces if p):
        key, eq, value = piece.partition("=")
        if eq and _NAME.fullmatch(key.strip()):
            named[key.strip()] = value.strip()
        elif piece.startswith("~"):
            named["form"] = piece
        else:
            args.append(piece)
    return m.group(1), args, named


def _form(named: dict[str, str], source: str) -> tuple[tuple[str, ...], str | None]:
    form = named.get("form", "~ 1").strip()
    if not form.startswith("~"):
        raise FormulaError(f"the form of {source!r} must be a one-sided formula such as '~ time | id'")
    left, subject = _split_bar(form[1:], source)
    left = left.strip()
    if left == "1":
        return (), subject
    return tuple(_column(c, "a covariate", source) for c in left.split("+")), subject


_CORRELATIONS = {"corAR1": "ar1", "corCAR1": "car1", "corCompSymm": "cs", "corSymm": "us", "corExp": "exp",
                 "corGaus": "gaus"}  # fmt: skip


def _correlation(text: str) -> ResidualSpec:
    name, _, named = _call(text, "correlation")
    if name not in _CORRELATIONS:
        raise FormulaError(
            f"the correlation {name}() is not supported; use one of "
            f"{', '.join(_CORRELATIONS)} (corARMA(p = 1, q = 0) is corAR1())"
        )
    if "fixed" in named and named["fixed"].upper() in ("TRUE", "T"):
        raise FormulaError(f"{text!r}: a correlation held fixed is not supported")
    kind = _CORRELATIONS[name]
    position, subject = _form(named, text)
    if kind in ("exp", "gaus") and not position:
        raise FormulaError(f"{text!r} needs the coordinates in its form, e.g. form = ~ x + y")
    if kind in ("ar1", "car1", "cs", "us") and len(position) > 1:
        raise FormulaError(f"{text!r} takes one time covariate in its form")
    nugget = named.get("nugget", "FALSE").upper() in ("TRUE", "T")
    return ResidualSpec(kind, position, subject, nugget=nugget, text=text.strip())


def _variance(text: str) -> VarianceSpec:
    name, _, named = _call(text, "variance")
    fitted = re.fullmatch(r"~\s*fitted\(\s*\.\s*\)\s*", named.get("form", "~ fitted(.)").strip())
    if name in ("varPower", "varExp") and fitted:  # nlme's default: of the fitted values
        return VarianceSpec("power" if name == "varPower" else "exp", FITTED, text.strip())
    position, strata = _form(named, text)
    if name == "varIdent":
        if position or strata is None:
            raise FormulaError(f"{text!r}: write varIdent(form = ~ 1 | g), a standard deviation per level of g")
        return VarianceSpec("ident", strata, text.strip())
    if name in ("varPower", "varExp"):
        if strata is not None or len(position) != 1:
            raise FormulaError(f"{text!r}: give one covariate and no strata, e.g. {name}(form = ~ x)")
        return VarianceSpec("power" if name == "varPower" else "exp", position[0], text.strip())
    raise FormulaError(f"the variance function {name}() is not supported; use varIdent, varPower or varExp")


def from_keywords(correlation: str | None, variance: str | list[str] | tuple[str, ...] | None) -> ResidualSpec | None:
    """The structure nlme's ``correlation=`` and ``weights=`` (here ``variance=``) write,
    or None when neither is given."""
    if correlation is None and variance is None:
        return None
    for value, name in ((correlation, "correlation"), (variance, "variance")):
        if value is not None and not isinstance(value, (str, list, tuple)):
            raise TypeError(f"{name}= takes nlme's constructor as text, e.g. 'corAR1(form = ~ time | id)'")
    if correlation is not None and not isinstance(correlation, str):
        raise TypeError("correlation= takes one constructor as text")
    spec = ResidualSpec() if correlation is None else _correlation(correlation)
    texts = [variance] if isinstance(variance, str) else list(variance or ())
    return replace(spec, variances=tuple(_variance(t) for t in texts))


def merged(term: ResidualSpec | None, keywords: ResidualSpec | None) -> ResidualSpec | None:
    """The structure of the formula's term and of the keywords together: one
    correlation at most, the variance functions of both."""
    if term is None or keywords is None:
        return term or keywords
    if keywords.correlation != "none":
        raise FormulaError(f"the formula's {term.text!r} and correlation= both give a correlation; keep one")
    return replace(term, variances=term.variances + keywords.variances)
