"""The generalized linear mixed model as a model class of the one fit
(:func:`quorvelkit.fitting.model_fit.fit_model`): a binomial or Poisson response read by its
family (:mod:`quorvelkit.families.response`) from the formula's evaluated left-hand side,
lme4's checks of the quadrature, the compiled GLMM core's fit (or its evaluation at a
point), and the warnings of a fit near separation or off its optimum."""

from __future__ import annotations

import dataclasses
import functools
import math
import time
import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..cores.glmm_core import fit_core, make_core
from ..cores.glmm_point import fit_at_point
from ..families.family import DISPERSION_FAMILIES, POWER_FAMILIES, start_beta, zero_inflation_start
from ..families.response import read_evaluated, zero_inflation_design
from ..model.design import Design
from ..model.fit_options import FitOptions
from ..results.glmm_fit import GlmmFit
from ..support.errors import (
    SINGULAR_NOTE,
    ConvergenceWarning,
    NearSeparationWarning,
    QuadratureCostWarning,
    SingularFitWarning,
)

__all__ = ["GlmmModel", "MAX_NODES"]

#: The most quadrature nodes a group may take (nagq^q, q random effects per group).
MAX_NODES = 10_000


def _vector(values: Any, size: int, what: str) -> np.ndarray | None:
    if values is None:
        return None
    out = np.asarray(values, dtype=float).reshape(-1)
    if out.shape != (size,) or not np.all(np.isfinite(out)):
        shown = np.asarray(values).ravel()[:5].tolist()
        raise ValueError(f"{what} must hold {size} finite number{'s' if size != 1 else ''} (the model's), got {shown}")
    return np.ascontiguousarray(out)


@dataclass(frozen=True)
class GlmmModel:
    """A GLMM of ``family`` and ``link`` (checked), fitted with ``nagq`` quadrature
    points per dimension from a start ``beta`` (theta's start is
    :attr:`FitOptions.starts`); ``formula`` as given, and the names of the weights and
    offset columns when given by name (for the report)."""

    family: str
    link: str
    nagq: int
    formula: str
    beta: Any = None
    weights_column: str | None = None
    offset_column: str | None = None
    laplace: str | None = None
    zi_formula: str | None = None

    #: The formula's left-hand side is read by the family (cbind(), a factor, proportions).
    reads_response = True

    def reading(self, weights: Any) -> Any:
        """The family's reading of the response, with ``weights`` (the prior weights of
        each row, a proportion's trials): :class:`~quorvelkit.model.design.ResponseReading`."""
        return functools.partial(_read, family=self.family, weights=weights, zi_formula=self.zi_formula)

    def fit(self, design: Design, options: FitOptions, t0: float, stacklevel: int) -> GlmmFit:
        """The fit of ``design`` (its response read by :meth:`reading`) under
        ``options`` (``starts``: one theta in lme4's layout; ``max_iter``; data read from
        ``t0`` on); warnings point ``stacklevel`` frames up, this method's being 1."""
        nagq, family, link = self.nagq, self.family, self.link
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
            _warn_of_quadrature_cost(nagq, q, len(rows.y), stacklevel + 1)
        response = design.response
        y, trials, prior = rows.y, response.trials, response.prior_weights
        if not np.any(prior > 0):
            raise ValueError(
                f"no row has a positive prior weight (all {len(prior)} are zero): a GLMM needs rows that carry "
                "information; check the weights (or, for cbind(), the trials)"
            )
        spec = dataclasses.replace(
            design.spec, family=family, link=link, laplace=self.laplace, zero_inflated=self.zi_formula is not None
        )
        design = dataclasses.replace(design, spec=spec)
        t1 = time.perf_counter()
        core = make_core(design, prior, family, link)
        theta0 = _vector(options.starts, int(core.n_theta), "theta")
        beta0 = _vector(self.beta, int(core.p), "beta")
        max_iter = int(options.max_iter)
        zx = response.zi_design
        zi_columns = 0 if self.zi_formula is None else (1 if zx is None else zx.shape[1])
        # log(phi), Tweedie's power's s, the zero-inflation's coefficients.
        extra = int(family in DISPERSION_FAMILIES) + int(family in POWER_FAMILIES) + zi_columns
        if beta0 is None and max_iter > 0:
            beta0 = start_beta(family, link, y, prior, rows.x, rows.offset, self.zi_formula is not None)
            if beta0 is not None:
                # log(phi) and s (power 1.5), glmmTMB's starts.
                starts = [0.0] * (int(family in DISPERSION_FAMILIES) + int(family in POWER_FAMILIES))
                if zi_columns:
                    # The intercept's (or the constant's) start from the excess zeros.
                    fixed = rows.x @ beta0 + (0.0 if rows.offset is None else rows.offset)
                    logit = zero_inflation_start(y, fixed)
                    starts += (
                        [logit] if zx is None else list(np.linalg.lstsq(zx, np.full(len(y), logit), rcond=None)[0])
                    )
                beta0 = np.append(beta0, starts)
        elif extra and beta0 is not None:
            if max_iter == 0:
                raise ValueError(
                    f"max_iter=0 evaluates the model at given parameters, which for the {family} family would need "
                    "its dispersion parameter too: fit it instead"
                )
            beta0 = np.append(beta0, np.zeros(extra))
        try:
            if max_iter == 0 and beta0 is not None:  # an evaluation: every parameter given is kept
                result = fit_at_point(core, design, prior, family, link, nagq, theta0, beta0, make_core, fit_core)
            else:
                result = fit_core(core, design, nagq, theta0, beta0, max_iter)
        except RuntimeError as exc:
            raise RuntimeError(_why_not_fitted(str(exc), family, y)) from exc
        t2 = time.perf_counter()
        fit = GlmmFit(
            design,
            core,
            result,
            formula=self.formula,
            trials=trials,
            prior_weights=prior,
            weights_column=self.weights_column,
            offset_column=self.offset_column,
            seconds=(t2 - t1, t2 - t0),
        )
        if fit.is_singular:
            warnings.warn(f"{SINGULAR_NOTE}; see GlmmFit.is_singular", SingularFitWarning, stacklevel=stacklevel)
        if family == "binomial":
            _warn_of_separation(fit, stacklevel + 1)
        if not fit.converged:
            warnings.warn(
                f"the GLMM fit did not converge: {fit.optimizer['message']} (max |gradient| "
                f"{fit.optimizer['grad_inf_norm']:.3g})",
                ConvergenceWarning,
                stacklevel=stacklevel,
            )
        return fit


def _read(
    lhs: str, parts: Any, frame: Any, *, family: str, weights: Any, zi_formula: str | None, stacklevel: int
) -> Any:
    response = read_evaluated(
        lhs, parts, frame, family, weights, stacklevel=stacklevel + 1, hurdle=zi_formula is not None
    )
    if zi_formula is None or zi_formula == "~1":
        return response
    return dataclasses.replace(response, **zero_inflation_design(zi_formula, frame, response.keep))


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


def _warn_of_separation(fit: GlmmFit, stacklevel: int) -> None:
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
            stacklevel=stacklevel,
        )
    reach = _numeric_range(fit.link)
    # Each random effect's standard deviation, varcorr's rows without var2 (read from
    # the covariance directly: building that table is most of this check's time).
    cov = fit._cov_re_values()
    effects = [(grp, name) for grp, columns in fit.re_terms for name in columns]
    for i, (grp, name) in enumerate(effects):
        sd = math.sqrt(max(float(cov[i, i]), 0.0))
        if 2.0 * sd > reach:
            warnings.warn(
                f"the standard deviation of {grp}'s {name}, {sd:.3g} on the {fit.link} scale, puts two of "
                f"them beyond |eta| = {reach:.3g}, where fitted probabilities are 0 or 1 to double precision: "
                f"groups of {grp} whose responses are all alike pull it up without bound, and the data cannot "
                "identify it (a random effect running off toward the boundary); consider removing the term or "
                "pooling the sparse groups",
                NearSeparationWarning,
                stacklevel=stacklevel,
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


def _warn_of_quadrature_cost(nagq: int, q: int, n: int, stacklevel: int) -> None:
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
        stacklevel=stacklevel,
    )


def _duration(seconds: float) -> str:
    if seconds < 3600:
        return f"{seconds / 60:.0f} minutes"
    return f"{seconds / 3600:.1f} hours"
