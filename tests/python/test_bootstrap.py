"""Wald intervals, simulation from a fitted model and the parametric bootstrap: every
parameter of every replicate is that of a refit to the simulated response."""

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose


def parameters(fit) -> list[float]:
    """lme4's bootstrap parameters of a fit, from its public estimates: sd and
    correlations of the random effects, sigma, the fixed effects."""
    sd, corr = fit.sd_re.to_numpy(), fit.corr_re.to_numpy()
    return [sd[0], corr[1, 0], sd[1], fit.sigma, *fit.fixef]


def test_wald_intervals(fm1):
    ci, z = fm1.confint(), 1.959963984540054
    assert list(ci.columns) == ["2.5 %", "97.5 %"] and list(fm1.confint(0.9).columns) == ["5 %", "95 %"]
    assert_allclose(ci, np.column_stack([fm1.fixef - z * fm1.se, fm1.fixef + z * fm1.se]), 1e-12)


def test_simulate_draws_from_the_fitted_model(fm1, sleep):
    # y* = X beta + Z b* + sigma e, with b* = sigma Lambda u for standard normal u and e
    rng = np.random.default_rng(7)
    x = np.column_stack([np.ones(180), sleep["Days"]])
    groups = fm1.levels.get_indexer(sleep["Subject"])
    sims = fm1.simulate(2, seed=7)
    for k in range(2):
        b = rng.standard_normal((fm1.ngroups, 2)) @ (fm1.lambda_matrix.T * fm1.sigma)
        y = x @ fm1.fixef.to_numpy() + (x * b[groups]).sum(axis=1) + fm1.sigma * rng.standard_normal(fm1.nobs)
        assert_allclose(sims[k], y, 1e-12)


def test_bootstrap_refits_simulated_responses(fm1):
    a = fm1.bootstrap(20, seed=42, progress=False)
    pd.testing.assert_frame_equal(a.replicates, fm1.bootstrap(20, seed=42, progress=False).replicates)
    assert not a.replicates.equals(fm1.bootstrap(20, seed=43, progress=False).replicates)
    names = [
        "sd_(Intercept)|Subject",
        "cor_Days.(Intercept)|Subject",
        "sd_Days|Subject",
        "sigma",
        "(Intercept)",
        "Days",
    ]
    assert list(a.replicates.columns) == names and list(a.estimate.index) == names
    assert a.replicates.shape == (20, 6) and a.theta.shape == (20, 3) and a.converged.all()
    assert_allclose(a.estimate, parameters(fm1), 1e-12)
    for k, y in enumerate(fm1.simulate(3, seed=42)):  # replicate k refits simulated response k
        refit = fm1.refit(y)
        assert_allclose(a.replicates.iloc[k], parameters(refit), 1e-6)
        assert_allclose(a.theta.iloc[k], refit.theta, 1e-6, 1e-8)
    ci = a.intervals(0.9)
    assert_allclose(ci, np.quantile(a.replicates, [0.05, 0.95], axis=0).T, 1e-12)
    assert (ci["5 %"] < a.estimate).all() and (a.estimate < ci["95 %"]).all()
    assert_allclose(fm1.confint(method="boot", n=20, seed=42), a.ci, 1e-12)
    with pytest.raises(ValueError, match="positive"):
        fm1.bootstrap(0)
