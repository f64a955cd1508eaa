"""Wald intervals, simulation from a fitted model and the parametric bootstrap: every
parameter of every replicate is that of a refit to the simulated response. Each on
lme4's fm1 and on a fit with prior weights, an offset and uncorrelated terms; the
bootstrap also on Penicillin's two crossed factors."""

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose

import quorvelkit as qk

RE_NAMES = {
    "fm1": ["sd_(Intercept)|Subject", "cor_Days.(Intercept)|Subject", "sd_Days|Subject"],
    "weighted": ["sd_(Intercept)|Chick", "sd_Time|Chick"],
    "penicillin": ["sd_(Intercept)|plate", "sd_(Intercept)|sample"],
}


@pytest.fixture(scope="module")
def penicillin(data):
    return qk.lmm("diameter ~ 1 + (1 | plate) + (1 | sample)", data("crossed/penicillin"))


@pytest.fixture(params=list(RE_NAMES))
def fit(request):
    return request.getfixturevalue(request.param), request.param


def parameters(fit) -> list[float]:
    """lme4's bootstrap parameters of a fit, from its public estimates: sd and
    correlations of the random effects within each term, sigma, the fixed effects."""
    sd, corr = fit.sd_re.to_numpy(), fit.corr_re.to_numpy()
    re = [sd[0], corr[1, 0], sd[1]] if len(fit.re_terms) == 1 else list(sd)
    return [*re, fit.sigma, *fit.fixef]


def test_wald_intervals(fm1):
    ci, z = fm1.confint(), 1.959963984540054
    assert list(ci.columns) == ["2.5 %", "97.5 %"] and list(fm1.confint(0.9).columns) == ["5 %", "95 %"]
    assert_allclose(ci, np.column_stack([fm1.fixef - z * fm1.se, fm1.fixef + z * fm1.se]), 1e-12)


@pytest.mark.parametrize("name", list(RE_NAMES))
def test_simulate_draws_from_the_fitted_model(request, data, name):
    # y* = X beta + o + sum_j Z_j b*_j + e: b*_j = sigma Lambda_j u_j level by level of
    # each factor in turn, then e_r = sigma e0_r / sqrt(w_r) row by row, for standard
    # normal u and e0; Penicillin's factors are random intercepts of sd sigma Lambda_j
    fit = request.getfixturevalue(name)
    d, rng = fit._design, np.random.default_rng(7)
    w, o = (1.0 if d.weights is None else d.weights), (0.0 if d.offset is None else d.offset)
    if name == "penicillin":
        frame, sd = data("crossed/penicillin"), fit.sd_re.droplevel(1)
        factors = [(np.ones((fit.nobs, 1)), fit.ranef[f].index.get_indexer(frame[f]), len(fit.ranef[f]),
                    np.array([[sd[f]]])) for f in fit.factor_names]  # fmt: skip
    else:
        factors = [(d.z, d.codes, d.m, fit.lambda_matrix * fit.sigma)]
    sims = fit.simulate(2, seed=7)
    for k in range(2):
        y = d.x @ fit.fixef.to_numpy() + o
        for z, codes, m, lam in factors:
            y = y + (z * (rng.standard_normal((m, z.shape[1])) @ lam.T)[codes]).sum(axis=1)
        assert_allclose(sims[k], y + fit.sigma / np.sqrt(w) * rng.standard_normal(fit.nobs), 1e-12)


def test_bootstrap_refits_simulated_responses(fit):
    fit, case = fit
    a = fit.bootstrap(20, seed=42, progress=False)
    pd.testing.assert_frame_equal(a.replicates, fit.bootstrap(20, seed=42, progress=False).replicates)
    assert not a.replicates.equals(fit.bootstrap(20, seed=43, progress=False).replicates)
    names = [*RE_NAMES[case], "sigma", *fit.fe_names]
    assert list(a.replicates.columns) == names and list(a.estimate.index) == names
    assert a.replicates.shape == (20, len(names)) and a.theta.shape == (20, len(fit.theta)) and a.converged.all()
    assert_allclose(a.estimate, parameters(fit), 1e-12)
    for k, y in enumerate(fit.simulate(3, seed=42)):  # replicate k refits simulated response k
        refit = fit.refit(y)
        assert_allclose(a.replicates.iloc[k], parameters(refit), 1e-6)
        assert_allclose(a.theta.iloc[k], refit.theta, 1e-6, 1e-8)
    ci = a.intervals(0.9)
    assert_allclose(ci, np.quantile(a.replicates, [0.05, 0.95], axis=0).T, 1e-12)
    assert_allclose(fit.confint(method="boot", n=20, seed=42), a.ci, 1e-12)
