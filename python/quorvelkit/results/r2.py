"""R^2 of a mixed model, marginal and conditional, after Nakagawa and Schielzeth (2013),
with Johnson's (2014) extension to random slopes and Nakagawa, Johnson and Schielzeth's
(2017) distribution-specific variances of GLMMs, written once for every model class:

    R2_marginal    = s_f / (s_f + s_r + s_e)
    R2_conditional = (s_f + s_r) / (s_f + s_r + s_e)

s_f is the variance of the fixed part X beta over the rows (offset excluded; n - 1 in the
denominator, as R's ``var``). s_r is Johnson's mean variance of the random part, summed
over the terms: for a term of covariance Sigma and columns Z_t of Z, the mean over the
rows of z_i' Sigma z_i, which is the variance Var(z_i'b) a row receives from the term.
It is a property of the fitted model, not of how its covariates are written: shifting a
covariate of an intercept-and-slope term changes Sigma and Z_t together and leaves each
z_i' Sigma z_i as it is. A term whose factor has one level per row (an
observation-level random effect) models dispersion, and its variance goes to s_e, as
insight's ``var.dispersion``. s_e is the residual variance: a linear model's sigma^2, a
GLMM's distribution-specific variance (supplied by the model class) plus that
dispersion. A variance component at zero contributes 0, so the R^2 of a boundary fit is
finite (the marginal and conditional values then agree when every component is 0).
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

__all__ = ["APPROXIMATIONS", "r2_nakagawa"]

#: The approximations of a Poisson model's distribution-specific variance.
APPROXIMATIONS = ("lognormal", "delta", "trigamma")


def random_variances(fit: Any) -> tuple[float, float]:
    """(s_r, dispersion): Johnson's mean variance of the random part of every term
    whose factor has fewer levels than rows, and that of observation-level terms."""
    d = fit._design
    rows = d.need_rows("R^2")
    spans = d.spec.factor_columns()
    cov = fit._cov_re_values()
    levels = [len(lv) for lv in fit._levels]
    s_r = dispersion = 0.0
    start = 0
    for t in fit._terms:
        k = len(t.columns)
        sigma = cov[start : start + k, start : start + k]
        start += k
        z = rows.z[:, spans[fit._layout.factor_order[t.factor]]][:, list(t.at)]
        v = float(np.mean(np.einsum("ij,jk,ik->i", z, sigma, z)))
        if levels[t.factor] == d.n:
            dispersion += v
        else:
            s_r += v
    return s_r, dispersion


def r2_nakagawa(fit: Any, approximation: str = "lognormal") -> pd.Series:
    """See :meth:`quorvelkit.results.mixed_fit.MixedFit.r2`."""
    if approximation not in APPROXIMATIONS:
        raise ValueError(f"approximation must be one of {', '.join(map(repr, APPROXIMATIONS))}, got {approximation!r}")
    d = fit._design
    x = d.need_rows("R^2").x
    s_f = float(np.var(x @ np.asarray(fit._res["beta"], dtype=float), ddof=1))
    s_r, dispersion = random_variances(fit)
    distribution = float(fit._distribution_variance(approximation))
    s_e = distribution + dispersion
    total = s_f + s_r + s_e
    out = pd.Series([(s_f + s_r) / total, s_f / total], index=["R2_conditional", "R2_marginal"], name="R2")
    out.attrs.update(
        var_fixed=s_f, var_random=s_r, var_residual=s_e, var_distribution=distribution, var_dispersion=dispersion
    )
    return out
