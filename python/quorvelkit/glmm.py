"""Generalized linear mixed models of binomial and Poisson responses: :func:`glmm`,
written as lme4's ``glmer(formula, data, family, nAGQ)``, fitted by the compiled GLMM
core and returned as a :class:`~quorvelkit.glmm_fit.GlmmFit`."""

from __future__ import annotations

import dataclasses
import difflib
import time
import warnings
from typing import Any

import numpy as np

from .data_arguments import resolve_rows, take_subset
from .design import build_design
from .errors import (
    SINGULAR_NOTE,
    ConvergenceWarning,
    NearSeparationWarning,
    QuadratureCostWarning,
    SingularFitWarning,
)
from .frames import is_batch_source, to_frame
from .glmm_core import fit_core, make_core
from .glmm_family import parse_family
from .glmm_fit import GlmmFit
from .glmm_point import fit_at_point
from .glmm_response import read_response, split_response
from .heavy_imports import load_for_fit
from .parsing import parse_formula

__all__ = ["glmm", "check_family", "check_nagq", "fit_core", "make_core", "stand_in", "MAX_NAGQ", "MAX_NODES"]

#: lme4's largest number of quadrature points per dimension.
MAX_NAGQ = 25
#: The most quadrature nodes a group may take (nagq^q, q random effects per group).
MAX_NODES = 10_000
_OPTIONS = ("family", "link", "nagq", "weights", "offset", "subset", "theta", "beta", "max_iter")
#: glmer's arguments that are spelt otherwise here, or mean nothing here.
_R_NAMES = {"nAGQ": "nagq", "start": "theta= and beta", "control": "max_iter", "REML": None}


def check_family(family: Any, link: Any) -> tuple[str, str]:
    """(family, link) by R's names, the family's canonical link when ``link`` is None;
    ``ValueError`` for one quorvelkit does not fit (R's spellings as
    :func:`~quorvelkit.glmm_family.parse_family` reads them)."""
    return parse_family(family, link)


def check_nagq(nagq: Any) -> int:
    """The number of quadrature points per dimension: an integer from 0 to 25 (lme4's
    range); 0 and 1 are Laplace's approximation (0 with beta inside the modes' iteration)."""
    if isinstance(nagq, (bool, np.bool_)) or not isinstance(nagq, (int, np.integer)):
        raise TypeError(f"nagq must be an integer from 0 to {MAX_NAGQ}, got {nagq!r}")
    if not 0 <= int(nagq) <= MAX_NAGQ:
        raise ValueError(f"nagq must be an integer from 0 to {MAX_NAGQ} (lme4's limit), got {int(nagq)}")
    return int(nagq)


def _unknown(kwargs: dict[str, Any]) -> TypeError:
    name = next(iter(kwargs))
    if name in _R_NAMES:
        alias = _R_NAMES[name]
        hint = f"; glmer's {name}= is {alias}= here" if alias else f"; {name}= has no meaning for a GLMM"
    else:
        close = difflib.get_close_matches(name, _OPTIONS, n=1)
        hint = f"; did you mean {close[0]}=?" if close else ""
    return TypeError(f"glmm() got an unexpected keyword argument '{name}'{hint}")


def stand_in(columns: Any) -> str:
    """A column name the data do not use, for the response's place in the design."""
    name, k = "qk_glmm_row", 0
    taken = {str(c) for c in columns}
    while name in taken:
        k += 1
        name = f"qk_glmm_row{k}"
    return name


def _vector(values: Any, size: int, what: str) -> np.ndarray | None:
    if values is None:
        return None
    out = np.asarray(values, dtype=float).reshape(-1)
    if out.shape != (size,) or not np.all(np.isfinite(out)):
        shown = np.asarray(values).ravel()[:5].tolist()
        raise ValueError(f"{what} must hold {size} finite number{'s' if size != 1 else ''} (the model's), got {shown}")
    return np.ascontiguousarray(out)


def glmm(
    formula: str,
    data: Any,
    family: str = "binomial",
    link: str | None = None,
    nagq: int = 1,
    weights: Any = None,
    offset: Any = None,
    *,
    subset: Any = None,
    theta: Any = None,
    beta: Any = None,
    max_iter: int = 300,
    **kwargs: Any,
) -> GlmmFit:
    """Fit a generalized linear mixed model written in lme4's notation (lme4's
    ``glmer(formula, data, family, nAGQ = nagq)``).

    Args:
        formula: e.g. ``"cbind(incidence, size - incidence) ~ period + (1 | herd)"``,
            ``"use ~ age + urban + (1 | district)"`` or ``"y ~ x + offset(log(t)) + (1 + x
            | g)"``; the right-hand side as :func:`quorvelkit.lmm` takes it (vector-valued
            and ``||`` terms; crossed and nested factors by Laplace's approximation).
        data: a pandas DataFrame or anything pandas can turn into one. Data read in
            batches are refused.
        family: "binomial" or "poisson", in R's spellings too: any case, and
            R's call with the link inside (``"binomial(link = 'probit')"``,
            ``"poisson()"``; :func:`~quorvelkit.glmm_family.parse_family`). A binomial response is 0/1 numbers or
            booleans, a factor (its first level is the failure, as in R),
            ``cbind(successes, failures)``, or proportions with ``weights`` giving the
            trials; a Poisson response is counts (see
            :mod:`quorvelkit.glmm_response`).
        link: "logit" (binomial's default), "probit" or "cloglog"; "log" for Poisson.
        nagq: points per dimension of the adaptive Gauss-Hermite quadrature of each
            group's integral, 0 to 25. 1 (the default) is Laplace's approximation; 0
            is Laplace's with beta found within the conditional modes' iteration (a
            faster, rougher fit, as glmer's nAGQ = 0). Above 1 the rule is the product
            rule of nagq points per random effect, centred at the group's conditional
            mode and scaled by the Cholesky factor of its conditional covariance:
            nagq^q nodes per group for q random effects (glmer takes only q = 1), at
            most 10000; one grouping factor only, as in lme4.
        weights: prior weights, a column name or one number per row (the trials of a
            binomial proportion).
        offset: a known part of the linear predictor, a column name or one number per
            row, added to the formula's ``offset()`` terms.
            ``weights`` and ``offset`` may also be expressions of the columns, as
            glmer's ``offset = log(expected)`` (``offset="log(expected)"``), evaluated
            as a formula term is.
        subset: the rows to fit, as glmer's ``subset``: an expression of the columns
            or one boolean per row (see :func:`quorvelkit.lmm`).
        theta, beta: a start for the optimiser (lme4's layout of theta).
        max_iter: the optimiser's iteration limit. With ``max_iter=0`` the model is
            evaluated, not fitted: every parameter given is kept, and the fit reports
            -2 log-likelihood, modes and fitted values at that point (lme4's deviance
            function at ``c(theta, beta)``).

    Returns:
        :class:`~quorvelkit.glmm_fit.GlmmFit`.

    Raises:
        ValueError: an unknown family or link, a response outside its family's support
            (naming the first bad value and its row), ``nagq`` out of range or with
            several grouping factors or too many nodes, and the refusals of
            :func:`quorvelkit.lmm` for the rest of the model.
        TypeError: an argument ``glmm`` does not take, or ``nagq`` not an integer.

    Warns :class:`~quorvelkit.NonIntegerResponseWarning` where R warns of counts that
    are not whole, :class:`~quorvelkit.SingularFitWarning` for a boundary fit and
    :class:`~quorvelkit.ConvergenceWarning` when the optimiser does not converge (the
    fit's :attr:`~GlmmFit.converged` is then False).
    """
    load_for_fit()
    if kwargs:
        raise _unknown(kwargs)
    family, link = check_family(family, link)
    nagq = check_nagq(nagq)
    if is_batch_source(data):
        raise ValueError("glmm() fits data in memory only (a DataFrame); data read in batches are not supported")
    t0 = time.perf_counter()
    frame = to_frame(data)
    weights_label, offset_label = (a if isinstance(a, str) else None for a in (weights, offset))
    weights, offset = resolve_rows(weights, frame, "weights"), resolve_rows(offset, frame, "offset")
    frame, (weights, offset) = take_subset(frame, subset, weights, offset)
    _, rhs = split_response(formula)
    response = read_response(formula, frame, family, weights, stacklevel=2)
    # The design sees the response as a stand-in column, each kept row's place among
    # the response's rows (missing where the response dropped the row): rows dropped
    # for a missing value anywhere are counted once, and the design's rows map back.
    stand = stand_in(frame.columns)
    place = np.full(len(frame), np.nan)
    place[response.keep] = np.arange(np.count_nonzero(response.keep), dtype=float)
    parsed = parse_formula(f"{stand} ~ {rhs}", [*frame.columns, stand])
    design = build_design(parsed, frame.assign(**{stand: place}), offset=offset, glmm=True)
    nfactors = len(design.spec.factors)
    q = len(design.re_names)
    if nagq > 1 and nfactors > 1:
        raise ValueError(
            f"nagq > 1 is only available for models with a single grouping factor (this one has {nfactors}); "
            "use nagq=1 (Laplace's approximation)"
        )
    if nagq > 1 and nagq**q > MAX_NODES:
        raise ValueError(
            f"nagq = {nagq} with q = {q} random effects per group takes nagq^q = {nagq**q} quadrature nodes per "
            f"group, more than {MAX_NODES}; use a smaller nagq"
        )
    rows = design.need_rows("the fit")
    if nagq > 1:
        _warn_of_quadrature_cost(nagq, q, len(rows.y))
    at = rows.y.astype(np.int64)
    y = np.ascontiguousarray(response.y[at])
    trials = None if response.trials is None else response.trials[at]
    prior = np.ascontiguousarray(response.prior_weights[at])
    if not np.any(prior > 0):
        raise ValueError(
            f"no row has a positive prior weight (all {len(prior)} are zero): a GLMM needs rows that carry "
            "information; check the weights (or, for cbind(), the trials)"
        )
    spec = dataclasses.replace(design.spec, family=family, link=link)
    design = dataclasses.replace(design.with_response(y), spec=spec)
    t1 = time.perf_counter()
    core = make_core(design, prior, family, link)
    theta0 = _vector(theta, int(core.n_theta), "theta")
    beta0 = _vector(beta, int(core.p), "beta")
    try:
        if int(max_iter) == 0 and beta0 is not None:  # an evaluation: every parameter given is kept
            result = fit_at_point(core, design, prior, family, link, nagq, theta0, beta0, make_core, fit_core)
        else:
            result = fit_core(core, design, nagq, theta0, beta0, int(max_iter))
    except RuntimeError as exc:
        raise RuntimeError(_why_not_fitted(str(exc), family, y)) from exc
    t2 = time.perf_counter()
    fit = GlmmFit(
        design,
        core,
        result,
        formula=formula,
        trials=trials,
        prior_weights=prior,
        weights_column=weights_label,
        offset_column=offset_label,
        seconds=(t2 - t1, t2 - t0),
    )
    if fit.is_singular:
        warnings.warn(f"{SINGULAR_NOTE}; see GlmmFit.is_singular", SingularFitWarning, stacklevel=2)
    if family == "binomial":
        _warn_of_separation(fit)
    if not fit.converged:
        warnings.warn(
            f"the GLMM fit did not converge: {fit.optimizer['message']} (max |gradient| "
            f"{fit.optimizer['grad_inf_norm']:.3g})",
            ConvergenceWarning,
            stacklevel=2,
        )
    return fit


#: glm's bound of fitted probabilities that are numerically 0 or 1 (glm.fit: 10 eps).
_NUMERIC_EPS = 10 * np.finfo(float).eps


def _numeric_range(link: str) -> float:
    """|eta| beyond which the link's probability is within _NUMERIC_EPS of 0 or 1 on
    both sides (the nearer side for cloglog, which is asymmetric)."""
    if link == "logit":
        return float(np.log((1 - _NUMERIC_EPS) / _NUMERIC_EPS))
    if link == "probit":
        from scipy.special import ndtri

        return float(-ndtri(_NUMERIC_EPS))
    return float(np.log(-np.log(_NUMERIC_EPS)))  # cloglog: 1 - exp(-exp(eta)) = 1 - eps


def _warn_of_separation(fit: GlmmFit) -> None:
    """Near-separation of a binomial fit, in two forms (lme4 is silent on the first and
    warns of the second only through its optimiser's checks):

    - fitted probabilities numerically 0 or 1 (glm's rule, within 10 eps): some
      combination of the effects predicts those responses exactly;
    - a random effect's standard deviation so large that two of them on the linear
      predictor's scale pass the link's numeric range (|eta| where probabilities are
      within 10 eps of 0 or 1): its groups whose responses are all alike then pull it
      up without bound, and the data cannot identify it."""
    mu = fit.fitted.to_numpy()
    exact = int(np.count_nonzero((mu < _NUMERIC_EPS) | (mu > 1 - _NUMERIC_EPS)))
    if exact:
        warnings.warn(
            f"fitted probabilities numerically 0 or 1 occurred in {exact} of {len(mu)} rows: near-separation, some "
            "combination of the fixed and random effects predicts those responses exactly; the estimates tied to "
            "it are unbounded in principle and their standard errors unreliable",
            NearSeparationWarning,
            stacklevel=3,
        )
    reach = _numeric_range(fit.link)
    vc = fit.varcorr
    alone = vc[(vc["grp"] != "Residual") & vc["var2"].isna()]
    for grp, name, sd in zip(alone["grp"], alone["var1"], alone["sdcor"], strict=True):
        if 2.0 * float(sd) > reach:
            warnings.warn(
                f"the standard deviation of {grp}'s {name}, {float(sd):.3g} on the {fit.link} scale, puts two of "
                f"them beyond |eta| = {reach:.3g}, where fitted probabilities are 0 or 1 to double precision: "
                f"groups of {grp} whose responses are all alike pull it up without bound, and the data cannot "
                "identify it (a random effect running off toward the boundary); consider removing the term or "
                "pooling the sparse groups",
                NearSeparationWarning,
                stacklevel=3,
            )


# Above this a count's Poisson log-likelihood, y log(mu) - mu, is a difference of
# terms near 1e13 or more whose rounding (some 1e-3 and up) swamps the changes PIRLS
# must resolve to converge; 2^53 is where counts stop being exact doubles at all.
_LARGEST_RESOLVED_COUNT = 1e12


def _why_not_fitted(message: str, family: str, y: np.ndarray) -> str:
    """The error of a fit the core could not make, naming the cause where it is known:
    separation only for a binomial response whose fitted probabilities reached 0 or 1
    (the core checks), counts too large for PIRLS to resolve for a Poisson one."""
    text = f"the GLMM cannot be fitted: {message}"
    if message.startswith("perfect separation"):
        return (
            f"{text}: the fixed effects separate the responses perfectly (every failure on one side of a "
            "combination of them, every success on the other), so their estimates are infinite; drop or merge the "
            "column that separates them"
        )
    largest = float(np.max(y, initial=0.0))
    if family == "poisson" and largest > _LARGEST_RESOLVED_COUNT:
        return (
            f"{text}: counts as large as {largest:.3g} are beyond what PIRLS can resolve in double precision (above "
            f"about {_LARGEST_RESOLVED_COUNT:.0e} the rounding of the log-likelihood's terms exceeds the changes it "
            "must resolve to converge)"
        )
    return text


#: Seconds a whole quadrature fit takes per node and row, measured on a 2-core machine
#: (q = 4, 1,500 rows: 81, 625 and 1,296 nodes took 9.9, 71 and 144 s): the work of a
#: fit is its evaluations' node-row visits, some 100 evaluations of each.
_SECONDS_PER_NODE_ROW = 7.5e-5
#: A fit estimated to take longer than this warns, naming a nagq within it.
_PATIENCE_SECONDS = 60.0


def _warn_of_quadrature_cost(nagq: int, q: int, n: int) -> None:
    """Warns when the quadrature of ``nagq`` points per dimension, nagq^q nodes per group
    over ``n`` rows, is estimated to take over a minute; names the largest nagq that
    keeps it within one (or Laplace's approximation, nagq=1)."""
    seconds = _SECONDS_PER_NODE_ROW * nagq**q * n
    if seconds <= _PATIENCE_SECONDS:
        return
    fits = [k for k in range(2, nagq) if _SECONDS_PER_NODE_ROW * k**q * n <= _PATIENCE_SECONDS]
    lower = f"nagq={fits[-1]}" if fits else "nagq=1 (Laplace's approximation)"
    warnings.warn(
        f"nagq = {nagq} with q = {q} random effects per group takes nagq^q = {nagq**q} quadrature nodes per group "
        f"over {n} rows: the fit is estimated to take about {_duration(seconds)}; {lower} would take under a minute",
        QuadratureCostWarning,
        stacklevel=3,
    )


def _duration(seconds: float) -> str:
    if seconds < 3600:
        return f"{seconds / 60:.0f} minutes"
    return f"{seconds / 3600:.1f} hours"
