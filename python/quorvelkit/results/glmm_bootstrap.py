"""What a GLMM adds to the parametric bootstrap (:func:`~quorvelkit.results.bootstrap.bootstrap`):
the refit of a drawn response by a core of the same rows from the fit's estimates, and
its parameters as lme4's ``confint(fit, method = "boot")`` names them."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any

import numpy as np

from ..cores.glmm_core import fit_core, make_core

__all__ = ["glmm_parameters", "glmm_refit", "glmm_response_fitter"]


def glmm_parameters(fit: Any, theta: np.ndarray, beta: np.ndarray) -> tuple[list[str], np.ndarray]:
    """The names (lme4's, as ``confint(..., oldNames = FALSE)`` gives them) and values
    of the parameters at (theta, beta): per term in lme4's order the standard deviation
    of each effect and the correlations within the term (NaN where a standard deviation
    is 0), then the fixed effects."""
    names: list[str] = []
    values: list[float] = []
    at = 0
    for t in fit._terms:
        k = len(t.columns)
        lam = np.zeros((k, k))
        pos = at
        for j in range(k):
            for i in range(j, k):
                lam[i, j] = theta[pos]
                pos += 1
        at = pos
        cov = lam @ lam.T
        sd = np.sqrt(np.maximum(np.diag(cov), 0.0))
        for c, col in enumerate(t.columns):
            names.append(f"sd_{col}|{t.group}")
            values.append(float(sd[c]))
            for r in range(c + 1, k):
                names.append(f"cor_{t.columns[r]}.{col}|{t.group}")
                ok = sd[r] > 0 and sd[c] > 0
                values.append(float(cov[r, c] / (sd[r] * sd[c])) if ok else np.nan)
    return names + list(fit.fe_names), np.concatenate([values, np.asarray(beta, dtype=float)])


def glmm_response_fitter(fit: Any) -> Callable[[np.ndarray], Mapping[str, Any]]:
    """The fit of a new response of ``fit``'s rows by a core of the same rows, from the
    fit's estimates with its nagq: the core's result, "m2loglik" its criterion."""
    design, prior, theta, beta = fit._design, fit._prior, fit.theta, fit._core_beta

    def refit(y: np.ndarray) -> Mapping[str, Any]:
        d = design.with_response(np.ascontiguousarray(y))
        return fit_core(make_core(d, prior, fit.family, fit.link), d, fit.nagq, theta, beta)

    return refit


def glmm_refit(fit: Any) -> Callable[[np.ndarray], tuple[np.ndarray, np.ndarray, bool]]:
    """The refit of a response drawn from ``fit`` (:func:`glmm_response_fitter`), as (its
    parameters, its theta, whether it converged)."""
    fit_response = glmm_response_fitter(fit)

    def refit(y: np.ndarray) -> tuple[np.ndarray, np.ndarray, bool]:
        res = fit_response(y)
        new_theta = np.asarray(res["theta"], dtype=float)
        return glmm_parameters(fit, new_theta, np.asarray(res["beta"]))[1], new_theta, bool(res["converged"])

    return refit
