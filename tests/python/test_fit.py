"""lmm and the fitted model's estimates against lme4's numbers: one grouping factor
(sleepstudy, Dyestuff), and crossed and nested factors against lme4 1.1-31 and lmerTest
(tests/data/crossed/make_reference.R): the criterion at lme4's or lower, the estimates
where lme4 converged, the variance table, the conditional modes and variances per
factor, lme4's deviance function at fixed theta, Satterthwaite's tests, predictions and
profiles. Then starts, the method flag, refits, the singular-fit warning, statsmodels'
names, pickles and copies of each model class (refusals: test_messages)."""

import copy
import json
import pickle
import re
import warnings
from functools import cache
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose

import quorvelkit as qk
from quorvelkit import lmm
from quorvelkit.__main__ import run

DATA = Path(__file__).resolve().parent.parent / "data" / "crossed"
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


@cache
def crossed_ref(name):
    ref = json.loads((DATA / f"{name}.json").read_text())
    # labels as categories, as R's factors are (a label such as "1" is no number)
    frame = pd.read_csv(DATA / ref["data"], dtype={c: "category" for c in ref["labels"]})
    return ref, frame


CROSSED = [
    (path.stem, key)
    for path in sorted(DATA.glob("*.json"))
    if path.stem not in ("bad_input", "terms_reference")
    for key in json.loads(path.read_text())["models"]
]


@cache
def crossed_fit(name, key):
    ref, frame = crossed_ref(name)
    model = ref["models"][key]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qk.SingularFitWarning)
        return qk.lmm(model["formula"], frame, reml=model["reml"], weights=model["weights"]), model


def r_name(name):
    """A column's name as R writes it ("MachineB" for "Machine[T.B]")."""
    return re.sub(r"\[T\.(.*?)\]", r"\1", name)


def r_names(names):
    return [r_name(n) for n in names]


def rel(a, b):
    return abs(a - b) / max(abs(b), 1.0)


@pytest.mark.parametrize("name,key", CROSSED, ids=[k for _, k in CROSSED])
def test_crossed_estimates_variances_and_modes_are_lme4s(name, key):
    fit, ref = crossed_fit(name, key)
    assert fit.nobs == ref["n"]
    assert list(fit.ngroups.items()) == list(ref["ngrps"].items())  # lme4's order of factors
    # lme4's terms in its order (a second term on a factor is "a.1" in the variance table)
    assert [(g.split(".")[0], r_names(cols)) for g, cols in fit.re_terms] == [
        (t["group"], t["columns"]) for t in ref["cnms"]
    ]
    # at lme4's criterion or lower, and the same optimum where lme4 converged
    assert fit.criterion <= ref["criterion"] + 1e-7 * abs(ref["criterion"])
    assert fit.converged and fit.is_singular == ref["singular"]
    theta = np.asarray(ref["theta"]["values"])
    np.testing.assert_allclose(fit.theta, theta, rtol=1e-4, atol=1e-4 * max(1.0, np.abs(theta).max()))
    np.testing.assert_allclose(fit.fixef, ref["beta"]["values"], rtol=1e-5, atol=1e-6)
    np.testing.assert_allclose(fit.se, ref["se"], rtol=1e-4)
    assert rel(fit.sigma, ref["sigma"]) < 1e-5 and rel(fit.loglik, ref["loglik"]) < 1e-7
    assert rel(fit.aic, ref["aic"]) < 1e-7 and fit.n_params == ref["df"]
    vc, want = fit.varcorr, ref["varcorr"]
    assert list(vc["grp"]) == want["grp"]
    assert [r_name(v) if isinstance(v, str) else None for v in vc["var1"]] == want["var1"]
    assert [r_name(v) if isinstance(v, str) else None for v in vc["var2"]] == want["var2"]
    scale = max(want["vcov"])
    np.testing.assert_allclose(vc["vcov"], want["vcov"], rtol=2e-4, atol=2e-4 * scale)
    ranef, cond = fit.ranef, fit.cond_cov
    assert list(ranef) == list(ref["ranef"])
    for factor, theirs in ref["ranef"].items():
        ours = ranef[factor]
        assert sorted(map(str, ours.index)) == sorted(theirs["levels"]), factor
        assert r_names(ours.columns) == theirs["columns"], factor
        by_label = ours.set_axis(list(map(str, ours.index))).set_axis(r_names(ours.columns), axis=1)
        for col, values in theirs["values"].items():
            got = by_label.loc[theirs["levels"], col].to_numpy()
            np.testing.assert_allclose(got, values, rtol=1e-3, atol=1e-4 * max(1.0, np.abs(values).max()))
        if "cond_var" not in theirs:
            continue
        order = [list(map(str, ours.index)).index(lv) for lv in theirs["levels"]]
        at = 0
        terms = theirs["cond_var"]
        for term in terms.values() if isinstance(terms, dict) else terms:  # a block per term on the factor
            term = np.asarray(term, dtype=float)
            k = term.shape[-1]
            got = cond[factor][order][:, at : at + k, at : at + k]
            np.testing.assert_allclose(got, term, rtol=2e-4, atol=1e-6 * max(1.0, np.abs(term).max()))
            at += k


@pytest.mark.parametrize("name,key", CROSSED, ids=[k for _, k in CROSSED])
def test_criterion_at_fixed_theta_is_lme4s_deviance_function(name, key):
    # no optimiser involved: the core's criterion and its pieces at lme4's points
    fit, ref = crossed_fit(name, key)
    for point, theirs in ref["devfun"].items():
        parts = fit.core.criterion_parts(theirs["theta"], reml=ref["reml"])
        assert rel(parts["deviance"], theirs["criterion"]) < 1e-10, point
        assert rel(parts["pwrss"], theirs["pwrss"]) < 1e-9, point
        np.testing.assert_allclose(parts["beta"], theirs["beta"], rtol=1e-9, atol=1e-9, err_msg=point)


SATTERTHWAITE = [(n, k) for n, k in CROSSED if "satterthwaite" in crossed_ref(n)[0]["models"][k]]


@pytest.mark.parametrize("name,key", SATTERTHWAITE, ids=[k for _, k in SATTERTHWAITE])
def test_satterthwaite_tests_are_lmertests(name, key):
    fit, ref = crossed_fit(name, key)
    want = ref["satterthwaite"]
    table = fit.coef_table
    np.testing.assert_allclose(table["df"], want["coef"]["df"], rtol=1e-4)
    # p-values below 1e-10 on the log scale: there a relative change of t of 1e-6
    # moves p by t^2 times as much
    p, their_p = (np.maximum(np.asarray(v, dtype=float), 1e-300) for v in (table["Pr(>|t|)"], want["coef"]["p"]))
    np.testing.assert_allclose(np.where(their_p < 1e-10, np.log(p), p), np.where(their_p < 1e-10, np.log(their_p),
                               their_p), rtol=1e-4)  # fmt: skip
    anova = want["anova"]
    if anova and anova.get("terms"):
        ours = fit.anova_terms()
        np.testing.assert_allclose(ours["F value"], anova["f"], rtol=1e-5)
        np.testing.assert_allclose(ours["DenDF"], anova["den_df"], rtol=1e-4)
        np.testing.assert_allclose(ours["NumDF"], anova["num_df"])


PREDICT = [(n, k) for n, k in CROSSED if "predict" in crossed_ref(n)[0]["models"][k]]


@pytest.mark.parametrize("name,key", PREDICT, ids=[k for _, k in PREDICT])
def test_predictions_are_lme4s(name, key):
    # lme4's predict(fit, newdata, allow.new.levels = TRUE) and re.form = NA
    fit, ref = crossed_fit(name, key)
    theirs = ref["predict"]
    frame = crossed_ref(name)[1]
    new = pd.DataFrame(theirs["newdata"])
    for col in new:  # as the fit's data hold them (R wrote factors as text)
        kind = frame[col].dtype
        if isinstance(kind, pd.CategoricalDtype):
            known = {str(v): v for v in kind.categories}
            new[col] = [known.get(str(v), str(v)) for v in new[col]]
        else:
            new[col] = new[col].astype(kind)
    # to 1e-5, as theta: both fits stop within 1e-12 of the optimum's criterion, which
    # leaves theta, and the modes with it, free in about the sixth digit on flat designs
    np.testing.assert_allclose(fit.predict(new, allow_new_levels=True), theirs["with_ranef"], rtol=1e-5)
    np.testing.assert_allclose(fit.predict(new, re=False), theirs["fixed_only"], rtol=1e-5)
    if any(v == "new_level" for vals in theirs["newdata"].values() for v in vals):
        with pytest.raises(ValueError, match="not in the fit: .*new_level.*allow_new_levels=True"):
            fit.predict(new)


PROFILE = [(n, k) for n, k in CROSSED if "profile" in crossed_ref(n)[0]["models"][k]]


@pytest.mark.parametrize("name,key", PROFILE, ids=[k for _, k in PROFILE])
def test_profile_intervals_are_lme4s(name, key):
    # lme4 profiles the ML deviance of a REML fit too, which ml=True reproduces
    fit, ref = crossed_fit(name, key)
    ci = fit.confint(method="profile", ml=True)
    want = ref["profile"]
    assert r_names(ci.index) == want["parm"]
    np.testing.assert_allclose(ci.to_numpy(), np.column_stack([want["lower"], want["upper"]]), rtol=1e-3, atol=1e-6)


@pytest.mark.filterwarnings("ignore::quorvelkit.SingularFitWarning")
@pytest.mark.parametrize("name,key", [("crossed_balanced", "crossed_balanced_reml"), ("pixel", "pixel_ml")])
def test_the_start_model_saves_evaluations(name, key):
    # The start's inverse-Hessian model (each factor's own run's) sizes the first steps:
    # the same optimum in fewer evaluations than from the same start without it.
    ref, frame = crossed_ref(name)
    model = ref["models"][key]
    fit = qk.lmm(model["formula"], frame, reml=model["reml"], weights=model["weights"])
    start = fit.core.start_theta(model["reml"])
    plain = qk.lmm(model["formula"], frame, reml=model["reml"], weights=model["weights"], starts=start)
    assert fit.criterion == pytest.approx(plain.criterion, rel=1e-12)
    assert fit.optimizer["fev"] < plain.optimizer["fev"]


def test_reports_list_every_factor_as_lme4_does(capsys):
    # the summary's groups and variance rows in lme4's order of factors; the JSON
    # record, the HTML view and the command line carry every factor
    text = crossed_fit("insteval", "insteval_reml")[0].summary_text()
    assert "Number of obs: 73421, groups:  s, 2972; d, 1128; dept:service, 28" in text
    rows = [line.split()[0] for line in text.split("Random effects:")[1].splitlines()[2:6]]
    assert rows == ["s", "d", "dept:service", "Residual"]
    fit, ref = crossed_fit("penicillin", "penicillin_reml")
    record = json.loads(json.dumps(fit.to_dict()))
    assert record["ngroups"] == ref["ngrps"] and list(record["random_effects"]) == ["plate", "sample"]
    sample, html = record["random_effects"]["sample"], fit._repr_html_()
    np.testing.assert_allclose([v[0] for v in sample["values"]], fit.ranef["sample"]["(Intercept)"])
    assert len(sample["cond_cov"]) == 6 and "Groups (plate, sample)</th>" in html and ">24; 6</td>" in html
    assert run([str(DATA / "penicillin.csv"), ref["formula"]]) == 0 and isinstance(fit, qk.CrossedFit)
    assert "Number of obs: 144, groups:  plate, 24; sample, 6" in capsys.readouterr().out


REFITTED = {  # a fit, its data, its response's column and what else lmm() is given
    "fm1": (lambda r: r.getfixturevalue("fm1"), lambda r: r.getfixturevalue("sleep"), "Reaction", {}),
    "weighted": (lambda r: r.getfixturevalue("weighted"), lambda r: r.getfixturevalue("model_data")("chickweight"),
                 "weight", {"weights": "w"}),
    "penicillin": (lambda r: crossed_fit("penicillin", "penicillin_reml")[0], lambda r: crossed_ref("penicillin")[1],
                   "diameter", {}),
}  # fmt: skip


@pytest.mark.parametrize("name", list(REFITTED))
def test_refits_pickles_and_copies_of_each_model_class(request, name):
    # a new response refits as lmm() fits it, by either method; copies refit, predict,
    # report and bootstrap as the fit does (prior weights, offset and several factors)
    fit, frame = (f(request) for f in REFITTED[name][:2])
    response, kw = REFITTED[name][2:]
    y = fit.simulate(1, seed=8)[0]
    again, direct = fit.refit(y), lmm(fit.formula, frame.assign(**{response: y}), reml=fit.reml, **kw)
    assert type(again) is type(fit) and again.core is not fit.core
    assert_allclose(again.criterion, direct.criterion, 1e-10)
    assert_allclose([*again.theta, *again.fixef], [*direct.theta, *direct.fixef], 1e-5, 1e-7)
    ml = fit.refit_ml()
    assert not ml.reml and ml.refit_ml() is ml
    for other, reml in ((ml, False), (ml.refit_reml(), True)):
        assert other.reml == reml
        assert_allclose(other.criterion, lmm(fit.formula, frame, reml=reml, **kw).criterion, 1e-10)
    new = frame.iloc[::7]
    for other in (pickle.loads(pickle.dumps(fit)), copy.deepcopy(fit)):
        assert other.core is not fit.core and other.core.deviance(fit.theta) == fit.core.deviance(fit.theta)
        assert other.summary_text().split("Time")[0] == fit.summary_text().split("Time")[0]
        pd.testing.assert_series_equal(other.predict(new), fit.predict(new))
        for factor in fit.factor_names:
            pd.testing.assert_frame_equal(other.cond_var[factor], fit.cond_var[factor])
        assert other.refit(fit.response * 2).criterion == fit.refit(fit.response * 2).criterion
        pd.testing.assert_frame_equal(
            other.bootstrap(3, seed=1, progress=False).replicates, fit.bootstrap(3, seed=1, progress=False).replicates
        )
