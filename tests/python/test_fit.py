"""lmm and the fitted model's estimates against lme4's numbers; starts, the method flag,
refits, the singular-fit warning, statsmodels' names and pickles (refusals: test_messages)."""

import copy
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose

import quorvelkit as qk
from quorvelkit import lmm

FM1 = "Reaction ~ Days + (Days | Subject)"
CASES = [
    ("sleepstudy", "sleepstudy", FM1),
    ("sleepstudy_int", "sleepstudy", "Reaction ~ Days + (1 | Subject)"),
    ("dyestuff", "dyestuff", "Yield ~ 1 + (1 | Batch)"),
    ("dyestuff2", "dyestuff2", "Yield ~ 1 + (1 | Batch)"),
]
# Each evaluator is requested somewhere, so the option reaches the core and gives lme4's numbers.
EVALUATORS = ["auto", "blocks", "aggregated", "streaming"] * 2
PARAMS = [(*c, m, EVALUATORS[2 * i + j]) for i, c in enumerate(CASES) for j, m in enumerate(["reml", "ml"])]


@pytest.mark.filterwarnings("ignore::quorvelkit.SingularFitWarning")
@pytest.mark.parametrize("at_theta", [True, False], ids=["at_lme4_theta", "fitted"])
@pytest.mark.parametrize("case,name,formula,method,evaluator", PARAMS)
def test_matches_lme4(data, reference, case, name, formula, method, evaluator, at_theta):
    full = reference(case)
    ref = full[method]
    theta = ref["theta"] if at_theta else None
    fit = lmm(formula, data(name), reml=method == "reml", evaluator=evaluator, theta=theta)
    if at_theta:  # every derived quantity is lme4's to well below 1e-6
        tol, crit_tol = 1e-8, 1e-12
        assert_allclose(fit.theta, ref["theta"], 0, 1e-15)
        assert fit.optimizer["grad_inf_norm"] == np.max(np.abs(fit.solution["grad"]))
    else:
        # lme4's own q = 2 optimum is about 4e-5 off in theta (its criterion is higher than
        # ours), which propagates to ~1e-4 in what follows; the q = 1 optima agree to 1e-6.
        tol, crit_tol = (1e-6 if len(ref["theta"]) == 1 else 1e-4), 1e-7
        assert fit.converged
        assert_allclose(fit.theta, ref["theta"], 1e-4, 1e-6)
    if evaluator != "auto":
        assert fit.core.evaluator == evaluator
    assert_allclose(fit.criterion, ref["criterion"], crit_tol)
    assert_allclose(fit.fixef, ref["beta"], tol)
    assert_allclose([fit.se, np.sqrt(np.diag(fit.cov_fixef))], [ref["se_beta"]] * 2, tol)
    assert_allclose(fit.sigma, ref["sigma"], tol)
    ((ranef, cond_cov, m),) = zip(fit.ranef.values(), fit.cond_cov.values(), fit.ngroups.values(), strict=True)
    b = np.asarray(ref["b"], float).reshape(ranef.shape)
    assert_allclose(ranef.to_numpy(), b, tol, tol * max(1.0, np.abs(b).max()))
    assert_allclose(cond_cov, np.reshape(ref["cond_cov"], cond_cov.shape), tol, 1e-12)
    assert fit.is_singular == ref["singular"]
    assert (fit.nobs, m) == (full["n"], full["m"])
    # variance components from lme4's theta: Lambda is lower triangular, filled by columns
    q = fit.core.q
    lam = np.zeros((q, q))
    lam[np.triu_indices(q)[::-1]] = ref["theta"]
    assert_allclose(fit.lambda_matrix, lam, tol, 1e-6)
    cov = ref["sigma"] ** 2 * lam @ lam.T
    sd, (r, c) = np.sqrt(np.diag(cov)), np.triu_indices(q, 1)
    assert_allclose(fit.cov_re, cov, tol)
    assert_allclose(fit.varcorr["vcov"], [*np.diag(cov), *cov[r, c], ref["sigma"] ** 2], tol)
    assert_allclose(fit.varcorr["sdcor"], [*sd, *(cov[r, c] / (sd[r] * sd[c])), ref["sigma"]], tol)
    crit = fit.criterion
    assert (fit.reml_criterion, fit.deviance) == ((crit, None) if method == "reml" else (None, crit))


def test_result_labels_and_statsmodels_names(fm1, sleep):
    # names used elsewhere (fixef["Days"], ranef.loc[308]) are checked through those uses
    ranef = fm1.ranef["Subject"]  # by factor, one factor as several
    assert ranef.index.name == "Subject" and list(ranef.index) == sorted(sleep["Subject"].unique())
    assert list(fm1.varcorr["grp"]) == ["Subject"] * 3 + ["Residual"]
    assert_allclose(fm1.coef["Subject"]["Days"], fm1.fixef["Days"] + ranef["Days"], 1e-15)
    assert_allclose(fm1.cond_var["Subject"], np.diagonal(fm1.cond_cov["Subject"], axis1=1, axis2=2), 0)
    aliases = "params=fixef fe_params=fixef bse=se llf=loglik vcov=cov_fixef fittedvalues=fitted resid=residuals"
    for alias, name in (pair.split("=") for pair in f"{aliases} random_effects=ranef".split()):
        assert getattr(type(fm1), alias) is getattr(type(fm1), name), alias
    pd.testing.assert_frame_equal(fm1.cov_params(), fm1.cov_fixef)
    pd.testing.assert_frame_equal(fm1.conf_int(0.1), fm1.confint(0.9))


def test_fit_options(sleep, fm1):
    # one by one or as one record, for a frame and for batches; several starts; NumPy's
    # booleans choose the method
    ml = qk.FitOptions(reml=False, evaluator="aggregated", max_iter=50)
    for source in (lambda: sleep, lambda: iter([sleep.iloc[:90], sleep.iloc[90:]])):
        ref, fit = lmm(FM1, source(), False, "aggregated", max_iter=50), lmm(FM1, source(), options=ml)
        assert (fit.reml, fit.criterion, fit.optimizer["evaluator"]) == (False, ref.criterion, "aggregated")
    at = lmm(FM1, sleep, options=qk.FitOptions(theta=[1.0, 0.0, 1.0]))
    assert at.optimizer["fev"] == 1 and list(at.theta) == [1.0, 0.0, 1.0]
    fit = lmm(FM1, sleep, starts=[[1, 0, 1], [2, 0, 2]])
    assert fit.optimizer["starts"] == 2 and fit.criterion == pytest.approx(fm1.criterion, rel=1e-10)
    for flag in (np.bool_(False), np.False_, np.array(False)[()], np.True_):
        fit = lmm("Reaction ~ Days + (1 | Subject)", sleep, reml=flag)
        assert (fit.method, fit.reml) == (("REML", True) if flag else ("ML", False))


def test_refits(fm1, sleep):
    y2 = sleep["Reaction"].to_numpy() * 2 + 5
    fit2, direct = fm1.refit(y2), lmm("I(2 * Reaction + 5) ~ Days + (Days | Subject)", sleep)
    assert_allclose(fit2.criterion, direct.criterion, 1e-9)
    assert_allclose([*fit2.fixef, *fit2.fitted], [*direct.fixef, *direct.fitted], 1e-7)
    ml = fm1.refit_ml()
    assert not ml.reml and ml.refit_ml() is ml
    assert_allclose(ml.criterion, lmm(FM1, sleep, reml=False).criterion, 1e-12)
    assert_allclose(ml.refit_reml().criterion, fm1.criterion, 1e-12)


def test_a_singular_fit_warns(data, sleep):
    dye2 = data("dyestuff2")  # lme4 says "boundary (singular) fit" here (test_matches_lme4)
    with pytest.warns(qk.SingularFitWarning, match=r"boundary \(singular\) fit") as rec:
        fit = lmm("Yield ~ 1 + (1 | Batch)", dye2)
    assert fit.is_singular and fit.theta[0] == 0.0
    assert rec[0].filename == __file__  # points at the caller's line
    with pytest.warns(qk.SingularFitWarning):
        fit.refit_ml()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no warning for a regular fit ...
        lmm(FM1, sleep)
        lmm("Yield ~ 1 + (1 | Batch)", dye2, theta=[0.0])  # ... nor for a theta the caller gave
        warnings.simplefilter("ignore", qk.SingularFitWarning)  # users can filter it
        lmm("Yield ~ 1 + (1 | Batch)", dye2)


@pytest.mark.parametrize("name", ["fm1", "weighted"])
def test_refit_pickle_and_deepcopy_of_a_fit(request, data, model_data, name):
    # a fit refits its own response to itself, and its copies refit, predict, report
    # and bootstrap as it does (prior weights and offset included)
    fit = request.getfixturevalue(name)
    new = (data("sleepstudy") if name == "fm1" else model_data("chickweight")).iloc[::7]
    again = fit.refit(fit.response)
    assert again.core is not fit.core
    assert_allclose(again.criterion, fit.criterion, 1e-12)
    assert_allclose([*again.theta, *again.fixef], [*fit.theta, *fit.fixef], 1e-6, 1e-7)
    for other in (pickle.loads(pickle.dumps(fit)), copy.deepcopy(fit)):
        assert other.core is not fit.core
        assert other.summary_text().split("Time")[0] == fit.summary_text().split("Time")[0]
        pd.testing.assert_series_equal(other.predict(new), fit.predict(new))
        pd.testing.assert_frame_equal(*(f.cond_var[fit.group_name] for f in (other, fit)))
        assert other.refit(fit.response * 2).criterion == fit.refit(fit.response * 2).criterion
        pd.testing.assert_frame_equal(
            other.bootstrap(3, seed=1, progress=False).replicates, fit.bootstrap(3, seed=1, progress=False).replicates
        )
