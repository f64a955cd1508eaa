"""The parametric bootstrap of a fitted GLMM: responses drawn from the fitted model
(:meth:`~quorvelkit.results.glmm_fit.GlmmFit.simulate`), each refitted by a core of the same
rows from the fit's estimates, summarised as lme4's ``confint(fit, method = "boot")``
parameters in a :class:`~quorvelkit.results.bootstrap.BootstrapResult`."""

from __future__ import annotations

import time
from typing import Any

import numpy as np
import pandas as pd

from ..cores.glmm_core import fit_core, make_core
from .bootstrap import BootstrapResult

__all__ = ["glmm_bootstrap", "glmm_parameters"]


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


def glmm_bootstrap(fit: Any, n: int, seed: int | None, level: float) -> BootstrapResult:
    """Refits of ``n`` responses simulated from ``fit`` (see :meth:`GlmmFit.bootstrap`)."""
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
        raise ValueError(f"n must be a positive number of replicates, got {n!r}")
    if seed is None:
        seed = int(np.random.SeedSequence().entropy) % (2**63)  # type: ignore[arg-type]
    t0 = time.perf_counter()
    sims = fit.simulate(int(n), seed=np.random.default_rng(seed))
    names, estimate = glmm_parameters(fit, fit.theta, fit.fixef.to_numpy())
    rows, thetas, converged = [], [], []
    design, prior = fit._design, fit._prior
    for y in sims:
        refit = design.with_response(np.ascontiguousarray(y))
        res = fit_core(make_core(refit, prior, fit.family, fit.link), refit, fit.nagq, fit.theta, fit.fixef.to_numpy())
        rows.append(glmm_parameters(fit, np.asarray(res["theta"]), np.asarray(res["beta"]))[1])
        thetas.append(np.asarray(res["theta"], dtype=float))
        converged.append(bool(res["converged"]))
    return BootstrapResult(
        replicates=pd.DataFrame(np.array(rows), columns=names),
        theta=pd.DataFrame(np.array(thetas), columns=[f"theta{k + 1}" for k in range(len(fit.theta))]),
        estimate=pd.Series(estimate, index=names, name="estimate"),
        converged=np.array(converged, dtype=bool),
        seed=int(seed),
        seconds=time.perf_counter() - t0,
        level=level,
    )
