"""The families of a GLMM with their links, as R's ``binomial()`` and ``poisson()``
define them: the Python face of the compiled core's family table, which is their one
home. The names (:data:`FAMILY_LINKS`) are read from it, and the inverse link with R's
clamps, the variance function and the deviance residuals are its own functions, so a
number computed here is the core's to the bit; this module adds R's spellings of a
family (:func:`parse_family`) and the three kinds of residual ``residuals.glmerMod``
gives.

A binomial response is the proportion y of successes in its trials and ``w`` its prior
weights (trials times any user weights), so that the family's formulas are R's:
Var(y) = mu (1 - mu) / w and the unit deviance 2 w [y log(y / mu) + (1 - y)
log((1 - y) / (1 - mu))]; a Poisson response is a count, Var(y) = mu / w.
"""

from __future__ import annotations

import difflib
import re
from typing import Any

import numpy as np

import quorvelkit._quorvelkit as _core

__all__ = ["FAMILY_LINKS", "parse_family", "linkinv", "variance", "unit_deviance", "residuals", "RESIDUAL_TYPES"]

#: The links of each family, the canonical one first (R's names), from the core's table.
FAMILY_LINKS: dict[str, tuple[str, ...]] = {name: entry["links"] for name, entry in _core.families().items()}
_LINKS = frozenset(link for links in FAMILY_LINKS.values() for link in links)
#: R's families that are not fitted here, and what to use instead.
_OTHER_FAMILIES = {
    "gaussian": "a Gaussian response is a linear mixed model: use quorvelkit.lmm (lme4's lmer)",
    "quasibinomial": (
        "quasibinomial is not a likelihood family (it has no log-likelihood to maximise, and glmer refuses it "
        "too): use family='binomial', with an observation-level random effect such as (1 | obs) for "
        "overdispersion"
    ),
    "quasipoisson": (
        "quasipoisson is not a likelihood family (it has no log-likelihood to maximise, and glmer refuses it "
        "too): use family='poisson', with an observation-level random effect such as (1 | obs) for "
        "overdispersion"
    ),
    "quasi": "quasi is not a likelihood family (it has no log-likelihood to maximise, and glmer refuses it too)",
}
# R's call syntax: a family name, and optionally its arguments in parentheses.
_CALL = re.compile(r"\s*([A-Za-z_][A-Za-z0-9_.]*)\s*(?:\((.*)\))?\s*", flags=re.S)
# The one argument of a family call: the link, named or not, quoted or not.
_LINK_ARGUMENT = re.compile(r"\s*(?:link\s*=\s*)?(?:\"([^\"]*)\"|'([^']*)'|([A-Za-z_][A-Za-z0-9_.]*))\s*", flags=re.S)


def _names() -> str:
    return " or ".join(map(repr, FAMILY_LINKS))


def parse_family(family: Any, link: Any = None) -> tuple[str, str]:
    """(family, link) by R's names from a family as R writes it: a name whatever its
    case ("binomial", "Poisson") or a call with the link inside (``binomial(link =
    "probit")``, ``binomial(link=probit)``, ``binomial("cloglog")``, ``poisson()``); the
    family's canonical link when no link is given. ``link`` is the link given apart; a
    link in the call and a different ``link`` are refused naming both. ``ValueError``
    for a family or link not fitted here, with a hint for R's other families and for
    near misses of the names."""
    if not isinstance(family, str):
        raise ValueError(f"family must be {_names()} (R's names), got {family!r}")
    call = _CALL.fullmatch(family)
    if call is None:
        raise ValueError(
            f'family must be {_names()} (R\'s names, or a call such as binomial(link = "probit")), got {family!r}'
        )
    name, arguments = call.group(1).lower(), call.group(2)
    if name not in FAMILY_LINKS:
        if name in _OTHER_FAMILIES:
            raise ValueError(f"family {family!r} is not fitted by glmm(): {_OTHER_FAMILIES[name]}")
        close = difflib.get_close_matches(name, list(FAMILY_LINKS), n=1, cutoff=0.6)
        hint = f"; did you mean {close[0]!r}?" if close else ""
        raise ValueError(f"family must be {_names()} (R's names), got {family!r}{hint}")
    inner = None
    if arguments is not None and arguments.strip():
        arg = _LINK_ARGUMENT.fullmatch(arguments)
        if arg is None:
            raise ValueError(
                f'cannot read the link of the family {family!r}: write it as {name}(link = "NAME") or give link='
            )
        inner = next(g for g in arg.groups() if g is not None)
    if link is not None and not isinstance(link, str):
        raise ValueError(f"link must be a link's name (R's names), got {link!r}")
    if inner is not None and link is not None and inner.strip().lower() != link.strip().lower():
        raise ValueError(f"the family {family!r} has the link {inner!r}, but link={link!r}: give the link once")
    chosen = inner if inner is not None else link
    links = FAMILY_LINKS[name]
    if chosen is None:
        return name, links[0]
    key = chosen.strip().lower()
    if key not in links:
        shown = ", ".join(map(repr, links))
        raise ValueError(f"the link of the {name} family must be {shown} (R's names), got {chosen!r}")
    return name, key


#: The kinds of residual, glmer's default (deviance) first.
RESIDUAL_TYPES = ("deviance", "pearson", "response")


def _vector(a: Any) -> np.ndarray:
    """``a`` as the contiguous float64 vector the core's functions take."""
    return np.ascontiguousarray(np.asarray(a, dtype=float).reshape(-1))


def linkinv(eta: np.ndarray, link: str) -> np.ndarray:
    """The mean mu of a linear predictor ``eta`` under ``link``, clamped as R clamps it
    (so that mu stays inside (0, 1) for binomial links and positive for the log)."""
    eta = np.asarray(eta, dtype=float)
    if link not in _LINKS:
        raise ValueError(f"unknown link {link!r}")
    return _core.family_linkinv(link, _vector(eta)).reshape(eta.shape)


def variance(mu: np.ndarray, family: str) -> np.ndarray:
    """The variance function V(mu): mu (1 - mu) for binomial, mu for Poisson."""
    mu = np.asarray(mu, dtype=float)
    return _core.family_variance(family, _vector(mu)).reshape(mu.shape)


def unit_deviance(y: np.ndarray, mu: np.ndarray, w: np.ndarray, family: str) -> np.ndarray:
    """Each row's contribution to the deviance (R's ``dev.resids``), non-negative (a
    rounding below zero where mu is y is taken as 0). For Poisson counts above 1024 by
    Loader's form, which R's formula (2 w (y log(y / mu) - (y - mu)), whose terms
    cancel) matches only to ~1e-7 of a residual near 1e9."""
    y, mu, w = np.broadcast_arrays(*(np.asarray(a, dtype=float) for a in (y, mu, w)))
    d = _core.family_dev_resid(family, _vector(y), _vector(mu), _vector(w)).reshape(y.shape)
    return np.asarray(np.maximum(d, 0.0), dtype=float)


def residuals(y: np.ndarray, mu: np.ndarray, w: np.ndarray, family: str, kind: str = "deviance") -> np.ndarray:
    """Residuals as lme4's ``residuals(fit, type)``: "response" y - mu; "pearson"
    (y - mu) sqrt(w / V(mu)); "deviance" sign(y - mu) times the root of the row's unit
    deviance. A row of prior weight zero has Pearson and deviance residuals 0."""
    y, mu, w = (np.asarray(a, dtype=float) for a in (y, mu, w))
    if kind == "response":
        return np.asarray(y - mu, dtype=float)
    if kind == "pearson":
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.asarray(np.where(w > 0, (y - mu) * np.sqrt(w / variance(mu, family)), 0.0), dtype=float)
    if kind == "deviance":
        return np.asarray(np.sign(y - mu) * np.sqrt(unit_deviance(y, mu, w, family)), dtype=float)
    raise ValueError(f"type must be one of {', '.join(map(repr, RESIDUAL_TYPES))}, got {kind!r}")
