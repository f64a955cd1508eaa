"""The families of a GLMM with their links, as R's ``binomial()`` and ``poisson()``
and glmmTMB's ``nbinom2()``, ``Gamma()``, ``beta_family()`` and the rest define
them: the Python face of the compiled core's family table, which is their one home.
The names (:data:`FAMILY_LINKS`) are read from it, and the inverse link with R's
clamps, the variance function and the deviance residuals are its own functions, so a
number computed here is the core's to the bit; this module adds R's spellings of a
family (:func:`parse_family`) and the three kinds of residual ``residuals.glmerMod``
gives.

A binomial response is the proportion y of successes in its trials and ``w`` its prior
weights (trials times any user weights), so that the family's formulas are R's:
Var(y) = mu (1 - mu) / w and the unit deviance 2 w [y log(y / mu) + (1 - y)
log((1 - y) / (1 - mu))]; a Poisson response is a count, Var(y) = mu / w. A family
with a dispersion parameter phi takes glmmTMB's phi (nbinom2's size, nbinom1's
mu (1 + phi) variance, Gamma's coefficient of variation, gaussian's sd, beta's and
betabinomial's precision) and R's for inverse.gaussian (variance phi mu^3).

The families are also objects, as in R: ``quorvelkit.families.nbinom2()``,
``Gamma(link="log")``; :func:`parse_family` reads them as it reads their names.
"""

from __future__ import annotations

import difflib
import math
import re
from typing import Any, NamedTuple

import numpy as np

import quorvelkit._quorvelkit as _core

__all__ = [
    "FAMILY_LINKS",
    "DISPERSION_FAMILIES",
    "Family",
    "parse_family",
    "linkinv",
    "variance",
    "unit_deviance",
    "residuals",
    "RESIDUAL_TYPES",
    "binomial",
    "poisson",
    "nbinom2",
    "nbinom1",
    "Gamma",
    "gaussian",
    "inverse_gaussian",
    "beta_family",
    "betabinomial",
    "truncated_poisson",
    "truncated_nbinom2",
    "tweedie",
    "POWER_FAMILIES",
    "draw",
    "response_moments",
    "zero_inflation_start",
    "excess_zeros_logit",
    "linkfun",
    "start_beta",
]

#: The links of each family, R's default first (R's names), from the core's table.
FAMILY_LINKS: dict[str, tuple[str, ...]] = {name: entry["links"] for name, entry in _core.families().items()}
#: The families with a dispersion parameter phi.
DISPERSION_FAMILIES = frozenset(name for name, entry in _core.families().items() if entry["dispersion"])
#: The families with a power parameter beside phi (Tweedie's p = 1 + plogis(s), variance phi mu^p).
POWER_FAMILIES = frozenset({"tweedie"})
_LINKS = frozenset(link for links in FAMILY_LINKS.values() for link in links)
#: A family's name by its lower case, and R's and glmmTMB's other names of the same family.
_BY_LOWER = {name.lower(): name for name in FAMILY_LINKS} | {"beta_family": "beta"}
#: R's families that are not fitted here, and what to use instead.
_OTHER_FAMILIES = {
    "negative.binomial": "MASS's negative.binomial(theta) holds theta fixed: use family='nbinom2', which estimates it",
    "ziGamma": "zero-inflated families are not fitted yet: use Gamma for positive responses",
    "compois": "the Conway-Maxwell-Poisson family is not fitted here: use nbinom1 or nbinom2",
    "genpois": "the generalized Poisson family is not fitted here: use nbinom1 or nbinom2",
    "t_family": "Student's t family is not fitted here",
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


class Family(NamedTuple):
    """A family and its link, as R's family objects carry them: ``str()`` is R's call."""

    name: str
    link: str

    def __str__(self) -> str:
        return f'{self.name}(link = "{self.link}")'


def _maker(name: str) -> Any:
    def make(link: str | None = None) -> Family:
        return Family(*parse_family(name, link))

    make.__name__ = make.__qualname__ = "inverse_gaussian" if name == "inverse.gaussian" else name
    make.__doc__ = f"The {name} family with ``link`` (default {FAMILY_LINKS[name][0]!r}; one of {FAMILY_LINKS[name]})."
    return make


binomial = _maker("binomial")
poisson = _maker("poisson")
nbinom2 = _maker("nbinom2")
nbinom1 = _maker("nbinom1")
Gamma = _maker("Gamma")
gaussian = _maker("gaussian")
inverse_gaussian = _maker("inverse.gaussian")
beta_family = _maker("beta")
betabinomial = _maker("betabinomial")
truncated_poisson = _maker("truncated_poisson")
truncated_nbinom2 = _maker("truncated_nbinom2")
tweedie = _maker("tweedie")


def _names() -> str:
    return ", ".join(map(repr, FAMILY_LINKS))


def parse_family(family: Any, link: Any = None) -> tuple[str, str]:
    """(family, link) by R's names from a family as R writes it: a name whatever its
    case ("binomial", "Poisson") or a call with the link inside (``binomial(link =
    "probit")``, ``binomial(link=probit)``, ``binomial("cloglog")``, ``poisson()``); the
    family's canonical link when no link is given. ``link`` is the link given apart; a
    link in the call and a different ``link`` are refused naming both. ``ValueError``
    for a family or link not fitted here, with a hint for R's other families and for
    near misses of the names."""
    if isinstance(family, Family):
        family = str(family)
    if not isinstance(family, str):
        raise ValueError(f"family must be {_names()} (R's names), got {family!r}")
    call = _CALL.fullmatch(family)
    if call is None:
        raise ValueError(
            f'family must be {_names()} (R\'s names, or a call such as binomial(link = "probit")), got {family!r}'
        )
    name, arguments = call.group(1), call.group(2)
    if name in _OTHER_FAMILIES:
        raise ValueError(f"family {family!r} is not fitted by glmm(): {_OTHER_FAMILIES[name]}")
    name = _BY_LOWER.get(name.lower(), name)
    if name not in FAMILY_LINKS:
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


def linkfun(mu: np.ndarray, link: str) -> np.ndarray:
    """The link g(mu), R's ``linkfun``: eta of the mean mu (the inverse of :func:`linkinv`
    inside its clamps)."""
    from scipy.special import ndtri

    mu = np.asarray(mu, dtype=float)
    with np.errstate(divide="ignore", invalid="ignore"):
        eta = {
            "logit": lambda: np.log(mu / (1.0 - mu)),
            "probit": lambda: ndtri(mu),
            "cloglog": lambda: np.log(-np.log1p(-mu)),
            "log": lambda: np.log(mu),
            "inverse": lambda: 1.0 / mu,
            "identity": lambda: mu,
            "1/mu^2": lambda: 1.0 / mu**2,
        }[link]()
    return np.asarray(eta, dtype=float)


#: R's starting means (its families' ``initialize``) by family, from the response y and
#: the weights w: inside the support of every link's mean.
_MUSTART = {
    "nbinom2": lambda y, w: y + (y == 0) / 6.0,
    "nbinom1": lambda y, w: y + (y == 0) / 6.0,
    "truncated_poisson": lambda y, w: y,
    "tweedie": lambda y, w: y + (y == 0) / 6.0,
    "Gamma": lambda y, w: y,
    "inverse.gaussian": lambda y, w: y,
    "gaussian": lambda y, w: y,
    "beta": lambda y, w: y,
    "betabinomial": lambda y, w: (w * y + 0.5) / (w + 1.0),
}


def start_beta(
    family: str, link: str, y: np.ndarray, w: np.ndarray, x: np.ndarray, offset: Any, inflated: bool = False
) -> np.ndarray | None:
    """A start for the fixed effects as R's glm takes one: least squares of the link of
    the family's starting means on the fixed effects' columns (the offset taken out),
    over the counts above zero for a zero-inflated or hurdle model; None for binomial and
    Poisson without inflation, whose fits start at zero (lme4's start)."""
    if inflated:
        keep = y > 0
        return start_beta(
            "truncated_poisson", link, y[keep], w[keep], x[keep], None if offset is None else offset[keep]
        )
    if family not in _MUSTART:
        return None
    eta = linkfun(_MUSTART[family](y, w), link) - (0.0 if offset is None else offset)
    ok = np.isfinite(eta)
    beta = np.linalg.lstsq(x[ok], eta[ok], rcond=None)[0]
    return np.asarray(beta, dtype=float) if np.all(np.isfinite(beta)) else None


def response_moments(
    family: str, mu: np.ndarray, phi: float | None, zi: Any, power: float | None = None
) -> tuple[np.ndarray, np.ndarray]:
    """The mean and variance of a response of weight 1 whose count process has mean mu:
    those of the family (:func:`variance`) mixed with structural zeros of probability
    ``zi``, mean (1 - zi) mu and variance (1 - zi) V + zi (1 - zi) mu^2; for a truncated
    Poisson, whose zeros are cut (a hurdle's replaced by zeros of probability zi), the
    mean (1 - zi) mu / (1 - p0) and E[y^2] = (1 - zi) (V + mu^2) / (1 - p0), p0 the base
    family's probability of a zero (exp(-mu), or nbinom2's (phi / (phi + mu))^phi). The
    variance is the variance function's, as glmmTMB's Pearson residuals take it (free
    of a dispersion or precision parameter, as R's; Tweedie's, phi mu^power, holds
    both, as glmmTMB's)."""
    mu = np.asarray(mu, dtype=float)
    p = np.asarray(0.0 if zi is None else zi, dtype=float)
    v = variance(mu, family, phi, power)
    if family.startswith("truncated"):
        size = 1.0 if phi is None else float(phi)
        log_p0 = -mu if family == "truncated_poisson" else -size * np.log1p(mu / size)
        kept = (1.0 - p) / -np.expm1(log_p0)
        mean = kept * mu
        return mean, kept * (v + mu * mu) - mean * mean
    return (1.0 - p) * mu, (1.0 - p) * v + p * (1.0 - p) * mu * mu


def zero_inflation_start(y: np.ndarray, eta: np.ndarray) -> float:
    """A start for the logit of the zero-inflation probability: the zeros in excess of
    those a Poisson of the start's means exp(eta) expects, as a fraction of the rows,
    within [0.01, 0.5] (a start of one half, glmmTMB's, leaves the joint PIRLS of the
    first stage converging slowly)."""
    return excess_zeros_logit(float(np.mean(y == 0) - np.mean(np.exp(-np.exp(eta)))))


def excess_zeros_logit(excess: float) -> float:
    """:func:`zero_inflation_start` of the zeros in excess as a fraction of the rows."""
    p = min(max(excess, 0.01), 0.5)
    return math.log(p / (1.0 - p))


def draw(
    family: str,
    mu: np.ndarray,
    trials: np.ndarray,
    phi: float | None,
    rng: np.random.Generator,
    zi: Any = None,
    power: float | None = None,
) -> np.ndarray:
    """Responses of ``family`` with means ``mu`` (and ``trials`` of a binomial or
    betabinomial row, dispersion ``phi``), drawn from ``rng``: a proportion of trials,
    or a count or value; with ``zi``, structural zeros of that probability (a hurdle's
    zeros for a truncated family). Binomial and Poisson draws without zi are one call
    each, so a seed gives the same draws whatever the family's table holds."""
    if zi is not None:
        counts = draw(family, mu, trials, phi, rng)
        return np.where(rng.random(np.shape(mu)) < zi, 0.0, counts)
    p = 1.0 if phi is None else float(phi)
    if family == "poisson":
        return np.asarray(rng.poisson(mu), dtype=float)
    if family in ("binomial", "betabinomial"):
        prob = mu if family == "binomial" else rng.beta(mu * p, (1.0 - mu) * p)
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(trials > 0, rng.binomial(trials, prob) / np.maximum(trials, 1), 0.0)
    if family in ("nbinom2", "nbinom1"):
        size = p if family == "nbinom2" else mu / p
        return np.asarray(rng.negative_binomial(size, size / (size + mu)), dtype=float)
    if family == "Gamma":
        return rng.gamma(1.0 / p**2, mu * p**2)
    if family == "gaussian":
        return rng.normal(mu, p)
    if family == "inverse.gaussian":
        return rng.wald(mu, 1.0 / p)
    if family == "beta":
        return rng.beta(mu * p, (1.0 - mu) * p)
    if family == "tweedie":
        # Compound Poisson-gamma: N ~ Poisson(mu^(2-q) / (phi (2-q))) gamma terms of shape
        # (2-q)/(q-1) and scale phi (q-1) mu^(q-1), q the power (Jorgensen 1987).
        q = 1.5 if power is None else float(power)
        n = rng.poisson(mu ** (2.0 - q) / (p * (2.0 - q)))
        shape = (2.0 - q) / (q - 1.0)
        return np.where(n > 0, rng.gamma(np.maximum(n, 1) * shape, p * (q - 1.0) * mu ** (q - 1.0)), 0.0)
    if family.startswith("truncated"):
        # Inversion of the zero-truncated distribution: u uniform above P(0).
        from scipy import stats

        base = stats.poisson(mu) if family == "truncated_poisson" else stats.nbinom(p, p / (p + mu))
        p0 = base.pmf(0)
        return np.asarray(base.ppf(p0 + rng.random(np.shape(mu)) * (1.0 - p0)), dtype=float)
    raise ValueError(f"no draws for the {family} family")


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


def variance(mu: np.ndarray, family: str, phi: float | None = None, power: float | None = None) -> np.ndarray:
    """The variance function V(mu), R's and glmmTMB's ``family$variance``: mu (1 - mu) for
    binomial, beta and betabinomial, mu for Poisson, mu^2 for Gamma; a negative
    binomial's holds its ``phi`` (mu + mu^2 / phi, mu (1 + phi)), Tweedie's its ``phi``
    and ``power`` (phi mu^power; NaN without the power)."""
    mu = np.asarray(mu, dtype=float)
    if family in POWER_FAMILIES:
        return np.asarray(np.nan * mu if power is None else (1.0 if phi is None else phi) * mu**power, dtype=float)
    phis = np.full(mu.size, 1.0 if phi is None else float(phi))
    return _core.family_variance(family, _vector(mu), phis).reshape(mu.shape)


def unit_deviance(y: np.ndarray, mu: np.ndarray, w: np.ndarray, family: str, phi: float | None = None) -> np.ndarray:
    """Each row's contribution to the deviance (R's ``dev.resids``), non-negative (a
    rounding below zero where mu is y is taken as 0). For Poisson counts above 1024 by
    Loader's form, which R's formula (2 w (y log(y / mu) - (y - mu)), whose terms
    cancel) matches only to ~1e-7 of a residual near 1e9."""
    y, mu, w = np.broadcast_arrays(*(np.asarray(a, dtype=float) for a in (y, mu, w)))
    phis = np.full(y.size, 1.0 if phi is None else float(phi))
    d = _core.family_dev_resid(family, _vector(y), _vector(mu), _vector(w), phis).reshape(y.shape)
    return np.asarray(np.where(np.isnan(d), d, np.maximum(d, 0.0)), dtype=float)


def residuals(
    y: np.ndarray,
    mu: np.ndarray,
    w: np.ndarray,
    family: str,
    kind: str = "deviance",
    phi: float | None = None,
    power: float | None = None,
) -> np.ndarray:
    """Residuals as lme4's ``residuals(fit, type)``: "response" y - mu; "pearson"
    (y - mu) sqrt(w / V(mu)); "deviance" sign(y - mu) times the root of the row's unit
    deviance. A row of prior weight zero has Pearson and deviance residuals 0."""
    y, mu, w = (np.asarray(a, dtype=float) for a in (y, mu, w))
    if kind == "response":
        return np.asarray(y - mu, dtype=float)
    if kind == "pearson":
        with np.errstate(divide="ignore", invalid="ignore"):
            v = variance(mu, family, phi, power)
            return np.asarray(np.where(w > 0, (y - mu) * np.sqrt(w / v), 0.0), dtype=float)
    if kind == "deviance":
        d = unit_deviance(y, mu, w, family, phi)
        if d.size and np.isnan(d).all():
            raise ValueError(
                f"the {family} family has no unit deviance (neither R nor glmmTMB defines one): use "
                "type='pearson' or 'response'"
            )
        return np.asarray(np.sign(y - mu) * np.sqrt(d), dtype=float)
    raise ValueError(f"type must be one of {', '.join(map(repr, RESIDUAL_TYPES))}, got {kind!r}")
