"""Crossed and nested models fitted from data frames against lme4 1.1-31 and lmerTest
(tests/data/crossed/make_reference.R): the criterion at lme4's or lower, the estimates
where lme4 converged, the variance table, the conditional modes and variances per
factor, lme4's deviance function at fixed theta, and Satterthwaite's tests."""

import json
import re
import warnings
from functools import cache
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quorvelkit as qk

DATA = Path(__file__).resolve().parent.parent / "data" / "crossed"


@cache
def reference(name):
    ref = json.loads((DATA / f"{name}.json").read_text())
    # labels as categories, as R's factors are (a label such as "1" is no number)
    frame = pd.read_csv(DATA / ref["data"], dtype={c: "category" for c in ref["labels"]})
    return ref, frame


CASES = [
    (path.stem, key)
    for path in sorted(DATA.glob("*.json"))
    if path.stem not in ("bad_input", "terms_reference")
    for key in json.loads(path.read_text())["models"]
]


@cache
def fitted(name, key):
    ref, frame = reference(name)
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


@pytest.mark.parametrize("name,key", CASES, ids=[k for _, k in CASES])
def test_estimates_are_lme4s(name, key):
    fit, ref = fitted(name, key)
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


@pytest.mark.parametrize("name,key", CASES, ids=[k for _, k in CASES])
def test_variance_table_and_random_effects_are_lme4s(name, key):
    fit, ref = fitted(name, key)
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


@pytest.mark.parametrize("name,key", CASES, ids=[k for _, k in CASES])
def test_criterion_at_fixed_theta_is_lme4s_deviance_function(name, key):
    # no optimiser involved: the core's criterion and its pieces at lme4's points
    fit, ref = fitted(name, key)
    for point, theirs in ref["devfun"].items():
        parts = fit.core.criterion_parts(theirs["theta"], reml=ref["reml"])
        assert rel(parts["deviance"], theirs["criterion"]) < 1e-10, point
        assert rel(parts["pwrss"], theirs["pwrss"]) < 1e-9, point
        np.testing.assert_allclose(parts["beta"], theirs["beta"], rtol=1e-9, atol=1e-9, err_msg=point)


SATTERTHWAITE = [(n, k) for n, k in CASES if "satterthwaite" in reference(n)[0]["models"][k]]


@pytest.mark.parametrize("name,key", SATTERTHWAITE, ids=[k for _, k in SATTERTHWAITE])
def test_satterthwaite_tests_are_lmertests(name, key):
    fit, ref = fitted(name, key)
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


def test_summary_lists_every_factor_as_lme4_does():
    fit, ref = fitted("insteval", "insteval_reml")
    text = fit.summary_text()
    assert "Number of obs: 73421, groups:  s, 2972; d, 1128; dept:service, 28" in text
    rows = [line.split()[0] for line in text.split("Random effects:")[1].splitlines()[2:6]]
    assert rows == ["s", "d", "dept:service", "Residual"]


def test_the_order_terms_are_written_in_changes_nothing():
    # lme4 keeps ties in formula order, so the second formula interleaves a's terms with
    # b's and c's (theta's layout is a 3-cycle of the core's): the same model, and the
    # same variance of each term
    rng = np.random.default_rng(5)
    n = 400
    frame = pd.DataFrame({k: pd.Categorical(rng.integers(0, 10, n)) for k in "abc"}).assign(x=rng.normal(size=n))
    effects = {k: rng.normal(size=10) for k in "abc"}
    slope = rng.normal(size=10)
    codes = {k: frame[k].cat.codes.to_numpy() for k in "abc"}
    frame["y"] = sum(effects[k][codes[k]] for k in "abc") + slope[codes["a"]] * frame.x + rng.normal(size=n)
    formulas = ("y ~ x + (1|a) + (0+x|a) + (1|b) + (1|c)", "y ~ x + (1|a) + (1|b) + (1|c) + (0+x|a)")
    fits = [qk.lmm(f, frame) for f in formulas]
    assert fits[0].criterion == pytest.approx(fits[1].criterion, rel=1e-12)
    for fit in fits:  # theta read back in lme4's layout
        assert fit.core.deviance(fit.theta) == pytest.approx(fit.criterion, rel=1e-12)
    np.testing.assert_allclose(fits[0].coef_table["df"], fits[1].coef_table["df"], rtol=1e-6)
    tables = [f.varcorr.set_index(["grp", "var1"])["vcov"] for f in fits]
    assert [g for g, _ in fits[1].re_terms] == ["a", "b", "c", "a.1"]
    same = [t.rename({"a.1": "a"}).sort_index() for t in tables]
    pd.testing.assert_series_equal(same[0], same[1], rtol=1e-6)


PREDICT = [(n, k) for n, k in CASES if "predict" in reference(n)[0]["models"][k]]


@pytest.mark.parametrize("name,key", PREDICT, ids=[k for _, k in PREDICT])
def test_predictions_are_lme4s(name, key):
    # lme4's predict(fit, newdata, allow.new.levels = TRUE) and re.form = NA
    fit, ref = fitted(name, key)
    theirs = ref["predict"]
    frame = reference(name)[1]
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


def test_simulated_responses_have_the_fitted_covariance():
    # rows sharing a plate covary by the plate variance, rows sharing a sample by the
    # sample variance, and each row varies by both plus the residual variance
    fit, _ = fitted("penicillin", "penicillin_reml")
    ys = fit.simulate(6000, seed=3)
    _, frame = reference("penicillin")
    plate, sample = frame["plate"].cat.codes.to_numpy(), frame["sample"].cat.codes.to_numpy()
    var = fit.varcorr.set_index("grp")["vcov"]
    cov = np.cov(ys, rowvar=False)
    same_plate = (plate[:, None] == plate[None, :]) & (sample[:, None] != sample[None, :])
    same_sample = (sample[:, None] == sample[None, :]) & (plate[:, None] != plate[None, :])
    np.testing.assert_allclose(np.diag(cov).mean(), var.sum(), rtol=0.05)
    np.testing.assert_allclose(cov[same_plate].mean(), var["plate"], rtol=0.1)
    np.testing.assert_allclose(cov[same_sample].mean(), var["sample"], rtol=0.1)
    np.testing.assert_allclose(cov[~same_plate & ~same_sample & (plate[:, None] != plate[None, :])].mean(), 0.0,
                               atol=0.05 * var.sum())  # fmt: skip
    np.testing.assert_allclose(ys.mean(axis=0), fit.fixef.iloc[0], atol=0.1)


def test_refits_bootstrap_and_pickles_of_a_crossed_fit():
    import pickle

    fit, ref = fitted("penicillin", "penicillin_reml")
    _, frame = reference("penicillin")
    y = fit.simulate(1, seed=8)[0]
    again = fit.refit(y)
    direct = qk.lmm(ref["formula"], frame.assign(diameter=y))
    assert type(again) is type(fit) and again.criterion == pytest.approx(direct.criterion, rel=1e-10)
    np.testing.assert_allclose(again.theta, direct.theta, rtol=1e-5)
    boot = fit.bootstrap(8, seed=2, progress=False)
    assert list(boot.estimate.index) == ref["profile"]["parm"]  # lme4's names
    np.testing.assert_allclose(boot.estimate, [*fit.varcorr["sdcor"][:2], fit.sigma, fit.fixef.iloc[0]])
    assert boot.converged.all() and np.isfinite(boot.replicates.to_numpy()).all()
    copy = pickle.loads(pickle.dumps(fit))
    assert copy.criterion == fit.criterion and copy.core.deviance(copy.theta) == fit.core.deviance(fit.theta)
    pd.testing.assert_frame_equal(copy.varcorr, fit.varcorr)
    ml = fit.refit_ml()
    assert ml.criterion == pytest.approx(reference("penicillin")[0]["models"]["penicillin_ml"]["criterion"], rel=1e-9)


PROFILE = [(n, k) for n, k in CASES if "profile" in reference(n)[0]["models"][k]]


@pytest.mark.parametrize("name,key", PROFILE, ids=[k for _, k in PROFILE])
def test_profile_intervals_are_lme4s(name, key):
    # lme4 profiles the ML deviance of a REML fit too, which ml=True reproduces
    fit, ref = fitted(name, key)
    ci = fit.confint(method="profile", ml=True)
    want = ref["profile"]
    assert r_names(ci.index) == want["parm"]
    np.testing.assert_allclose(ci.to_numpy(), np.column_stack([want["lower"], want["upper"]]), rtol=1e-3, atol=1e-6)


def test_reports_of_a_crossed_fit(tmp_path):
    # the JSON record, the HTML view and the command line carry every factor
    import subprocess
    import sys

    fit, ref = fitted("penicillin", "penicillin_reml")
    record = json.loads(json.dumps(fit.to_dict()))
    assert record["ngroups"] == ref["ngrps"] and list(record["random_effects"]) == ["plate", "sample"]
    sample = record["random_effects"]["sample"]
    np.testing.assert_allclose([v[0] for v in sample["values"]], fit.ranef["sample"]["(Intercept)"])
    assert len(sample["cond_cov"]) == 6 and "Groups (plate, sample)</th>" in fit._repr_html_()
    assert ">24; 6</td>" in fit._repr_html_()
    out = subprocess.run(
        [sys.executable, "-m", "quorvelkit", str(DATA / "penicillin.csv"), ref["formula"]],
        capture_output=True, text=True, check=True,
    )  # fmt: skip
    assert "Number of obs: 144, groups:  plate, 24; sample, 6" in out.stdout
    assert isinstance(fit, qk.CrossedFit)


@pytest.mark.parametrize("name,key", [("crossed_balanced", "crossed_balanced_reml"), ("pixel", "pixel_ml")])
def test_the_start_model_saves_evaluations(name, key):
    # The start's inverse-Hessian model (each factor's own run's) sizes the first steps:
    # the same optimum in fewer evaluations than from the same start without it.
    ref, frame = reference(name)
    model = ref["models"][key]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qk.SingularFitWarning)
        fit = qk.lmm(model["formula"], frame, reml=model["reml"], weights=model["weights"])
        start = fit.core.start_theta(model["reml"])
        plain = qk.lmm(model["formula"], frame, reml=model["reml"], weights=model["weights"], starts=start)
    assert fit.criterion == pytest.approx(plain.criterion, rel=1e-12)
    assert fit.optimizer["fev"] < plain.optimizer["fev"]
