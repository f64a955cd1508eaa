"""The model interface (quorvelkit.lmm, LmmFit, anova, bootstrap) against lme4's numbers."""

import copy
import json
import math
import pickle
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from scipy.stats import chi2

import quorvelkit as qk
from quorvelkit import FormulaError, RankDeficiencyWarning, anova, lmm
from quorvelkit.formula import aliased_columns

DATA = Path(__file__).parent.parent / "data"
FM1 = "Reaction ~ Days + (Days | Subject)"


def _load(name: str) -> pd.DataFrame:
    if name == "dyestuff2":  # only the coded design is stored; give the batches letters
        d = pd.read_csv(DATA / "dyestuff2.csv")
        return pd.DataFrame({"Yield": d["y"], "Batch": np.array(list("ABCDEF"))[d["g"]]})
    return pd.read_csv(DATA / f"{name}_data.csv")


def _ref(case: str) -> dict:
    return json.loads((DATA / f"{case}.json").read_text())


def _close(actual, expected, rtol, atol=0.0):
    np.testing.assert_allclose(np.asarray(actual, float), np.asarray(expected, float), rtol=rtol, atol=atol)


@pytest.fixture(scope="module")
def sleep() -> pd.DataFrame:
    return _load("sleepstudy")


@pytest.fixture(scope="module")
def fm1(sleep):
    return lmm(FM1, sleep)


# ------------------------------------------------------------------ agreement with lme4

CASES = [
    ("sleepstudy", "sleepstudy", FM1),
    ("sleepstudy_int", "sleepstudy", "Reaction ~ Days + (1 | Subject)"),
    ("dyestuff", "dyestuff", "Yield ~ 1 + (1 | Batch)"),
    ("dyestuff2", "dyestuff2", "Yield ~ 1 + (1 | Batch)"),
]
# Each evaluator is requested somewhere, so the option reaches the core and gives lme4's numbers.
EVALUATORS = ["auto", "blocks", "aggregated", "streaming"] * 2
PARAMS = [(*c, m, EVALUATORS[2 * i + j]) for i, c in enumerate(CASES) for j, m in enumerate(["reml", "ml"])]


@pytest.mark.parametrize("at_theta", [True, False], ids=["at_lme4_theta", "fitted"])
@pytest.mark.parametrize("case,data,formula,method,evaluator", PARAMS)
def test_matches_lme4(case, data, formula, method, evaluator, at_theta):
    full = _ref(case)
    ref = full[method]
    fit = lmm(
        formula, _load(data), reml=method == "reml", evaluator=evaluator, theta=ref["theta"] if at_theta else None
    )
    if at_theta:  # every derived quantity is lme4's to well below 1e-6
        tol, crit_tol = 1e-8, 1e-12
        _close(fit.theta, ref["theta"], 0, 1e-15)
    else:
        # lme4's own q = 2 optimum is about 4e-5 off in theta (its criterion is higher than
        # ours), which propagates to ~1e-4 in what follows; the q = 1 optima agree to 1e-6.
        tol, crit_tol = (1e-6 if len(ref["theta"]) == 1 else 1e-4), 1e-7
        assert fit.converged
        _close(fit.theta, ref["theta"], 1e-4, 1e-6)
    if evaluator != "auto":
        assert fit.core.evaluator == evaluator
    _close(fit.criterion, ref["criterion"], crit_tol)
    _close(fit.fixef, ref["beta"], tol)
    _close([fit.se, np.sqrt(np.diag(fit.cov_fixef))], [ref["se_beta"]] * 2, tol)
    _close(fit.sigma, ref["sigma"], tol)
    b = np.asarray(ref["b"], float).reshape(fit.ranef.shape)
    _close(fit.ranef.to_numpy(), b, tol, tol * max(1.0, np.abs(b).max()))
    _close(fit.cond_cov, np.reshape(ref["cond_cov"], fit.cond_cov.shape), tol, 1e-12)
    assert fit.is_singular == ref["singular"]
    assert (fit.nobs, fit.ngroups) == (full["n"], full["m"])
    # variance components from lme4's theta: Lambda is lower triangular, filled by columns
    q = fit.core.q
    lam = np.zeros((q, q))
    lam[np.triu_indices(q)[::-1]] = ref["theta"]
    cov = ref["sigma"] ** 2 * lam @ lam.T
    sd, (r, c) = np.sqrt(np.diag(cov)), np.triu_indices(q, 1)
    _close(fit.cov_re, cov, tol)
    _close(fit.varcorr["vcov"], [*np.diag(cov), *cov[r, c], ref["sigma"] ** 2], tol)
    _close(fit.varcorr["sdcor"], [*sd, *(cov[r, c] / (sd[r] * sd[c])), ref["sigma"]], tol)
    # lme4's criteria: k = fixed effects + theta + sigma; logLik is -criterion / 2
    k, crit = len(ref["beta"]) + len(ref["theta"]) + 1, fit.criterion
    _close([fit.loglik, fit.aic, fit.bic], [-crit / 2, crit + 2 * k, crit + math.log(full["n"]) * k], 1e-14)
    assert (fit.reml_criterion, fit.deviance) == ((crit, None) if method == "reml" else (None, crit))


def test_result_labels(fm1, sleep):
    # names used elsewhere (fixef["Days"], ranef.loc[308]) are checked through those uses
    assert fm1.ranef.index.name == "Subject" and list(fm1.ranef.index) == sorted(sleep["Subject"].unique())
    assert list(fm1.varcorr["grp"]) == ["Subject"] * 3 + ["Residual"]
    _close(fm1.coef["Days"], fm1.fixef["Days"] + fm1.ranef["Days"], 1e-15)
    _close(fm1.cond_var, np.diagonal(fm1.cond_cov, axis1=1, axis2=2), 0)


# ------------------------------------------------------------------ predictions


def test_fitted_residuals_and_predictions(fm1, sleep):
    x = np.column_stack([np.ones(len(sleep)), sleep["Days"]])
    expected = x @ fm1.fixef.to_numpy() + (x * fm1.ranef.loc[sleep["Subject"]].to_numpy()).sum(axis=1)
    _close(fm1.fitted, expected, 1e-12)
    _close(fm1.residuals, sleep["Reaction"] - expected, 1e-9, 1e-9)
    _close(fm1.predict(), fm1.fitted, 0)
    _close(fm1.predict(sleep), fm1.fitted, 1e-12)
    # known groups (also given as text), a new group, a missing label, a missing predictor
    new = pd.DataFrame(
        {"Days": [0.0, 5.0, 2.0, 3.0, 1.0, np.nan], "Subject": [308, 309, 999, None, "308", 308]}, index=list("abcdef")
    )
    b, fixed = fm1.ranef, fm1.fixef["(Intercept)"] + fm1.fixef["Days"] * new["Days"]
    random = [b.loc[308] @ [1, 0], b.loc[309] @ [1, 5], 0, 0, b.loc[308] @ [1, 1], 0]
    pred = fm1.predict(new, allow_new_levels=True)
    assert list(pred.index) == list("abcdef")
    _close(pred.iloc[:5], (fixed + random).iloc[:5], 1e-13)
    assert np.isnan(pred["f"])
    _close(fm1.predict(new, re=False), fixed, 1e-13)
    with pytest.raises(ValueError, match="999"):
        fm1.predict(new.iloc[:3], allow_new_levels=False)


# ------------------------------------------------------------------ formulas and data


def _synthetic(seed=1, m=30, per=8):
    rng = np.random.default_rng(seed)
    n = m * per
    g = np.repeat(np.arange(m), per)
    x1, x2, u = rng.normal(size=n), rng.normal(size=n), rng.normal(scale=1.5, size=(m, 2))
    site = rng.choice(["north", "south", "east"], n)
    y = 2 + x1 - 0.5 * x2 + 0.3 * x1 * x2 + (site == "south") + u[g, 0] + u[g, 1] * x1 + rng.normal(size=n)
    return pd.DataFrame({"y": y, "x1": x1, "x2": x2, "site": site, "g": g, "a": g % 5, "b": np.where(g < 15, "u", "v")})


@pytest.mark.parametrize(
    "formula,p,re_names,group,m",
    [
        ("y ~ x1 * x2 + C(site) + (1 | g)", 6, ["(Intercept)"], "g", 30),
        ("y ~ 1 + (0 + x1 | g)", 1, ["x1"], "g", 30),
        ("y ~ x1 + (x1 | g)", 2, ["(Intercept)", "x1"], "g", 30),
        ("y ~ x1 + (1 + x1 | g)", 2, ["(Intercept)", "x1"], "g", 30),
        ("y ~ (1 | g) + x1", 2, ["(Intercept)"], "g", 30),
        ("y ~ (1 | g)", 1, ["(Intercept)"], "g", 30),
        ("y ~ 0 + x1 + (1 | g)", 1, ["(Intercept)"], "g", 30),
        ("y ~ x1 - 1 + (1 | g)", 1, ["(Intercept)"], "g", 30),
        ("np.log(y + 100) ~ center(x1) + (1 | g)", 2, ["(Intercept)"], "g", 30),
        ("y ~ x1 + (x1 + x2 | g)", 2, ["(Intercept)", "x1", "x2"], "g", 30),
        ("y ~ x1 + (1 | factor(g))", 2, ["(Intercept)"], "g", 30),
        ("y ~ x1 + (1 | a:b)", 2, ["(Intercept)"], "a:b", 10),
    ],
)
def test_formula_variants(formula, p, re_names, group, m):
    df = _synthetic()
    fit = lmm(formula, df)
    assert fit.converged and len(fit.fe_names) == p and fit.re_names == re_names
    assert (fit.group_name, fit.ngroups, fit.core.q) == (group, m, len(re_names))
    assert fit.ranef.shape == (m, len(re_names))
    # new data go through the fit's transforms and codings (center() keeps the fit's mean)
    _close(fit.predict(df.iloc[::-3]), fit.fitted.iloc[::-3], 1e-12)


def test_predict_refuses_unseen_factor_levels():
    fit = lmm("y ~ x1 + C(site) + (1 | g)", _synthetic())
    with pytest.raises(ValueError, match="newdata"):
        fit.predict(pd.DataFrame({"g": [1], "site": ["west"], "x1": [0.0]}))


SUPPORTED = "only one random-effects term is supported.*one random-effects term with one grouping factor"


@pytest.mark.parametrize(
    "formula,exc,match",
    [
        ("y ~ x1 + (1 | g) + (1 | site)", FormulaError, SUPPORTED),
        ("y ~ x1 + (x1 || g)", FormulaError, r"'\|\|'"),
        ("y ~ x1 + (1 | a/b)", FormulaError, "nested"),
        ("y ~ x1", FormulaError, "no random-effects term"),
        ("y ~ x1 + 1 | g", FormulaError, "parenthesised"),
        ("y ~ x1 * (1 | g)", FormulaError, "parenthesised"),
        ("y ~ x1 - (1 | g)", FormulaError, "subtracted"),
        ("~ x1 + (1 | g)", FormulaError, "no response"),
        ("y + (1 | g)", FormulaError, "no '~'"),
        ("y ~ x1 + (1 | g", FormulaError, "unbalanced"),
        ("y ~ x1 + ( | g)", FormulaError, "nothing left"),
        ("y ~ x1 + (1 | )", FormulaError, "no grouping factor"),
        ("y ~ x1 + (1 | g + h)", FormulaError, "grouping factor must be a column"),
        ("y ~ x1 + + (1 | g)", FormulaError, "operator"),
        ("y ~ x1 + offset(x2) + (1 | g)", ValueError, "offset"),
        ("y ~ foo(x1) + (1 | g)", ValueError, "unknown function 'foo'"),
        ("y ~ nope + (1 | g)", ValueError, "'nope' not found"),
        ("y ~ x1 + (1 | nope)", ValueError, "'nope' not found"),
        ("nope ~ x1 + (1 | g)", ValueError, "'nope' not found"),
        ("site ~ x1 + (1 | g)", ValueError, "response"),
        ("y ~ 0 + (1 | g)", ValueError, "no columns"),
        ("y ~ x1 + (0 | g)", ValueError, "no columns"),
    ],
)
def test_unsupported_or_bad_formulas(formula, exc, match):
    with pytest.raises(exc, match=match) as err:
        lmm(formula, _synthetic())
    assert "\n" not in str(err.value)


def test_data_that_cannot_be_fitted(sleep):
    for col, bad, match in [("Days", np.inf, "Days"), ("Reaction", -np.inf, "non-finite")]:
        df = sleep.astype({col: float})
        df.loc[3, col] = bad
        with pytest.raises(ValueError, match=match):
            lmm("Reaction ~ Days + (1 | Subject)", df)
    y = [1.0, 2.0, 3.0, 4.0]
    with pytest.raises(ValueError, match="more than one level"):
        lmm("y ~ 1 + (1 | g)", pd.DataFrame({"y": y, "g": ["a"] * 4}))
    with pytest.raises(ValueError, match="less than the number of observations"):
        lmm("y ~ 1 + (1 | g)", pd.DataFrame({"y": y, "g": list("abcd")}))


def _shifted_data(c, d, seed=11):
    """1,000 rows, sd(y) about 1.4: y shifted by c sd(y), the covariate by d sd(x)."""
    rng = np.random.default_rng(seed)
    g = rng.integers(0, 40, 1000)
    x = rng.standard_normal(1000) * 2.0
    b = rng.standard_normal((40, 2)) * [0.8, 0.4]
    y = 0.5 + 0.3 * x + b[g, 0] + b[g, 1] * x + 1.05 * rng.standard_normal(1000)
    return pd.DataFrame({"y": y + c * y.std(), "x": x + d * x.std(), "g": g})


MEANS = [(c, 0.0) for c in (1e2, 1e4, 1e6, 1e8, 1e10)] + [(0.0, 1e6), (1e10, 1e6)]


@pytest.mark.parametrize("evaluator", ["auto", "blocks", "aggregated", "streaming"])
@pytest.mark.parametrize("formula", ["y ~ x + (1 | g)", "y ~ x + (x | g)"])
def test_large_means_move_only_the_intercept(evaluator, formula):
    base = lmm(formula, _shifted_data(0.0, 0.0), evaluator=evaluator)
    for c, d in MEANS:
        if d and "(x |" in formula:
            continue  # shifting a column of Z changes the random-effects model itself
        fit = lmm(formula, _shifted_data(c, d), evaluator=evaluator)
        assert fit.converged, (c, d, fit.optimizer["message"])
        for got, want in [
            (fit.theta, base.theta),
            (fit.sigma, base.sigma),
            (fit.criterion, base.criterion),
            (fit.fixef["x"], base.fixef["x"]),
            (fit.se["x"], base.se["x"]),
        ]:
            _close(got, want, 1e-6)


@pytest.mark.parametrize("evaluator", ["auto", "blocks", "aggregated", "streaming"])
def test_response_fitted_exactly_fails_alike_on_every_evaluator(sleep, evaluator):
    with pytest.raises(ValueError, match="is constant"):
        lmm("y ~ Days + (Days | Subject)", sleep.assign(y=np.full(180, 251.4)), evaluator=evaluator)
    with pytest.raises(ValueError) as info:
        lmm("y ~ Days + (Days | Subject)", sleep.assign(y=3.0 + 10.5 * sleep["Days"]), evaluator=evaluator)
    assert str(info.value) == (
        "the fixed effects ((Intercept), Days) fit the response 'y' exactly (its residuals are zero to "
        "rounding error): there is no residual variation to estimate the variance components from"
    )
    assert str(info.value.__cause__) == (
        "theta is infeasible: the fixed effects fit the response exactly (the residual sum of squares is zero)"
    )


def test_missing_values_are_dropped_and_counted(sleep):
    df = sleep.astype({"Subject": object})
    df.loc[[3, 50], "Reaction"] = np.nan
    df.loc[77, "Days"] = None
    df.loc[100, "Subject"] = None
    df["unused"] = np.nan  # a column the model does not use does not count
    # center() sees only the rows kept, as when the incomplete rows were never there
    formula = "Reaction ~ center(Days) + (Days | Subject)"
    fit = lmm(formula, df)
    assert fit.n_dropped == 4 and fit.nobs == 176
    ref = lmm(formula, df.dropna(subset=["Reaction", "Days", "Subject"]))
    _close(fit.theta, ref.theta, 1e-12)
    _close(fit.fixef, ref.fixef, 1e-12)
    assert 3 not in fit.fitted.index and 4 in fit.fitted.index
    assert "4 observations deleted due to missingness" in fit.summary_text()


@pytest.mark.parametrize(
    "labels",
    [
        lambda s: s.astype(str),
        lambda s: s.astype(float) + 0.5,
        lambda s: "S" + s.astype(str),
        lambda s: pd.Categorical(s.astype(str), categories=sorted(s.astype(str).unique(), reverse=True)),
        lambda s: s.map(lambda v: v if v % 2 else str(v)),
    ],
    ids=["str", "float", "prefixed", "categorical", "mixed"],
)
def test_group_labels_of_any_type(sleep, fm1, labels):
    df = sleep.assign(Subject=labels(sleep["Subject"]))
    fit = lmm(FM1, df)
    _close(fit.criterion, fm1.criterion, 1e-10)
    _close(fit.ranef.loc[df["Subject"].iloc[0]], fm1.ranef.loc[sleep["Subject"].iloc[0]], 1e-5, 1e-6)
    assert set(fit.ranef.index) == set(pd.unique(df["Subject"]))
    if isinstance(df["Subject"].dtype, pd.CategoricalDtype):  # the categories' order is kept
        assert list(fit.ranef.index) == list(df["Subject"].cat.categories)
    assert fit.to_dict()["random_effects"]["levels"][0] == fit.ranef.index[0]


def test_aliased_columns_are_dropped_with_a_warning():
    df = _synthetic().assign(x3=lambda d: d["x1"] + 2 * d["x2"])
    with pytest.warns(RankDeficiencyWarning, match=r"dropping 1 column.*x3"):
        fit = lmm("y ~ x1 + x2 + x3 + (1 | g)", df)
    assert fit.dropped_columns == ["x3"] and fit.fe_names == ["(Intercept)", "x1", "x2"]
    ref = lmm("y ~ x1 + x2 + (1 | g)", df)
    _close(fit.fixef, ref.fixef, 1e-10)
    _close(fit.criterion, ref.criterion, 1e-12)
    _close(fit.predict(df), ref.predict(df), 1e-10)
    assert "rank deficient" in fit.summary_text()


_R = np.random.default_rng(11).normal(size=(40, 4))


@pytest.mark.parametrize(
    "cols,expected",
    [
        ([_R[:, 0], _R[:, 1], _R[:, 2]], []),
        ([_R[:, 0], _R[:, 1], _R[:, 0] + _R[:, 1]], [2]),
        ([_R[:, 0], np.zeros(40), _R[:, 1]], [1]),
        ([_R[:, 0], 2 * _R[:, 0], _R[:, 1], _R[:, 1] - _R[:, 0], _R[:, 2]], [1, 3]),
        ([_R[:, 0], _R[:, 1], _R[:, 1] + 1e-9 * _R[:, 2]], [2]),  # below R's tolerance
        ([_R[:, 0], _R[:, 1], _R[:, 1] + 1e-4 * _R[:, 2]], []),  # above it
        (list(_R[:3].T), [3]),  # more columns than rows
    ],
    ids=["full", "sum", "zero", "multiple", "near", "distinct", "wide"],
)
def test_aliased_columns(cols, expected):
    assert aliased_columns(np.column_stack(cols)) == expected


def test_starts(sleep, fm1):
    fit = lmm(FM1, sleep, starts=[[1, 0, 1], [2, 0, 2]])
    assert fit.optimizer["starts"] == 2
    _close(fit.criterion, fm1.criterion, 1e-10)
    with pytest.raises(ValueError, match="starts"):
        lmm(FM1, sleep, starts=[1, 0])


# ------------------------------------------------------------------ refits and anova


def test_refits(fm1, sleep):
    again = fm1.refit(fm1.response)
    assert again.core is not fm1.core
    _close(again.criterion, fm1.criterion, 1e-12)
    y2 = sleep["Reaction"].to_numpy() * 2 + 5
    fit2, direct = fm1.refit(y2), lmm("I(2 * Reaction + 5) ~ Days + (Days | Subject)", sleep)
    _close(fit2.criterion, direct.criterion, 1e-9)
    _close(fit2.fixef, direct.fixef, 1e-7)
    _close(fit2.fitted, direct.fitted, 1e-7)
    for bad, match in [(y2[:-1], "observations"), (np.full(180, np.nan), "non-finite")]:
        with pytest.raises(ValueError, match=match):
            fm1.refit(bad)
    ml = fm1.refit_ml()
    assert not ml.reml and ml.refit_ml() is ml
    _close(ml.criterion, lmm(FM1, sleep, reml=False).criterion, 1e-12)
    _close(ml.refit_reml().criterion, fm1.criterion, 1e-12)


def test_anova_matches_lme4(sleep, fm1):
    fm0 = lmm("Reaction ~ Days + (1 | Subject)", sleep)
    ml1, ml0 = _ref("sleepstudy")["ml"]["criterion"], _ref("sleepstudy_int")["ml"]["criterion"]
    table = anova(fm1, fm0)  # REML fits are refitted by ML, rows ordered by parameters
    assert isinstance(table, qk.AnovaTable)
    assert list(table.index) == [fm0.formula, fm1.formula] and list(table["Df"]) == [4, 6]
    _close(table["deviance"], [ml0, ml1], 1e-9)
    dev, df = table["deviance"], table["Df"]
    _close(table[["logLik", "AIC", "BIC"]], np.column_stack([-dev / 2, dev + 2 * df, dev + math.log(180) * df]), 1e-15)
    assert np.isnan(table["Chisq"].iloc[0]) and table["Chi Df"].iloc[1] == 2
    assert table["Chisq"].iloc[1] == pytest.approx(42.14, abs=0.01)
    assert table["Chisq"].iloc[1] == pytest.approx(ml0 - ml1, rel=1e-6)
    assert table["Pr(>Chisq)"].iloc[1] == pytest.approx(chi2.sf(ml0 - ml1, 2), rel=1e-5)
    assert table["Pr(>Chisq)"].iloc[1] == pytest.approx(7.0724e-10, rel=1e-3)
    assert all(s in repr(table) for s in ["42.1393", "7.072e-10", "refitting"])
    assert list(anova(fm0, fm1, names=["fm0", "fm1"]).index) == ["fm0", "fm1"]
    with pytest.raises(ValueError, match="same data"):
        anova(fm1, lmm("Reaction ~ Days + (1 | Subject)", sleep.iloc[:170]))
    with pytest.raises(ValueError, match="two"):
        anova(fm1)


# ------------------------------------------------------------------ intervals, simulation and bootstrap


def test_wald_intervals(fm1):
    ci, z = fm1.confint(), 1.959963984540054
    assert list(ci.columns) == ["2.5 %", "97.5 %"] and list(fm1.confint(0.9).columns) == ["5 %", "95 %"]
    _close(ci, np.column_stack([fm1.fixef - z * fm1.se, fm1.fixef + z * fm1.se]), 1e-12)


def test_simulate_draws_from_the_fitted_model(fm1):
    # y* = X beta + Z b* + sigma e, with b* = sigma Lambda u for standard normal u and e
    rng, d = np.random.default_rng(7), fm1._design
    sims = fm1.simulate(2, seed=7)
    for k in range(2):
        b = rng.standard_normal((fm1.ngroups, 2)) @ (fm1.lambda_matrix.T * fm1.sigma)
        y = d.x @ fm1.fixef.to_numpy() + (d.z * b[d.codes]).sum(axis=1) + fm1.sigma * rng.standard_normal(fm1.nobs)
        _close(sims[k], y, 1e-12)


def test_bootstrap_refits_simulated_responses(fm1):
    a = fm1.bootstrap(20, seed=42, progress=False)
    pd.testing.assert_frame_equal(a.replicates, fm1.bootstrap(20, seed=42, progress=False).replicates)
    assert not a.replicates.equals(fm1.bootstrap(20, seed=43, progress=False).replicates)
    assert list(a.replicates.columns) == [
        "sd_(Intercept)|Subject",
        "cor_Days.(Intercept)|Subject",
        "sd_Days|Subject",
        "sigma",
        "(Intercept)",
        "Days",
    ]
    assert a.replicates.shape == (20, 6) and a.theta.shape == (20, 3) and a.converged.all()
    _close(a.estimate[["sigma", "(Intercept)", "Days"]], [fm1.sigma, *fm1.fixef], 1e-12)
    for k, y in enumerate(fm1.simulate(3, seed=42)):  # replicate k refits simulated response k
        refit = fm1.refit(y)
        _close(a.replicates.iloc[k][["sigma", "(Intercept)", "Days"]], [refit.sigma, *refit.fixef], 1e-6)
    ci = a.intervals(0.9)
    _close(ci, np.quantile(a.replicates, [0.05, 0.95], axis=0).T, 1e-12)
    assert (ci["5 %"] < a.estimate).all() and (a.estimate < ci["95 %"]).all()
    _close(fm1.confint(method="boot", n=20, seed=42), a.ci, 1e-12)
    with pytest.raises(ValueError, match="positive"):
        fm1.bootstrap(0)


def test_pickle_and_deepcopy_of_a_fit(fm1, sleep):
    new = sleep.iloc[::7]
    for other in (pickle.loads(pickle.dumps(fm1)), copy.deepcopy(fm1)):
        assert other.core is not fm1.core
        assert other.summary_text().split("Time")[0] == fm1.summary_text().split("Time")[0]
        pd.testing.assert_series_equal(other.predict(new), fm1.predict(new))
        pd.testing.assert_frame_equal(other.cond_var, fm1.cond_var)
        _close(other.refit(sleep["Reaction"] * 2).criterion, fm1.refit(sleep["Reaction"] * 2).criterion, 1e-12)
        pd.testing.assert_frame_equal(
            other.bootstrap(3, seed=1, progress=False).replicates, fm1.bootstrap(3, seed=1, progress=False).replicates
        )
    assert anova(pickle.loads(pickle.dumps(fm1)), fm1, refit=False)["Chisq"].iloc[1] == 0.0


# ------------------------------------------------------------------ reports


def test_summary_and_representations(fm1, capsys):
    fm1.summary()
    out = capsys.readouterr().out
    assert out.strip() == fm1.summary_text().strip()
    for piece in [
        "Linear mixed model fit by REML",
        f"Formula: {FM1}",
        "REML criterion at convergence: 1743.6283",
        "Number of obs: 180, groups:  Subject, 18",
        "(Intercept) 251.4051",
        "Optimizer:",
    ]:
        assert piece in out, piece
    assert "singular" not in out
    assert "REML criterion at convergence" in repr(fm1) and "Fixed Effects:" in repr(fm1)
    assert "<table>" in fm1._repr_html_() and FM1 in fm1._repr_html_()
    singular = lmm("Yield ~ 1 + (1 | Batch)", _load("dyestuff2"))
    assert singular.theta[0] == 0.0 and "singular" in singular.summary_text()


# ------------------------------------------------------------------ real data from R (tests/data/make_formula_reference.R)

FREF = json.loads((DATA / "formula_reference.json").read_text())


def _rdata(name: str) -> pd.DataFrame:
    return pd.read_csv(DATA / f"{name}.csv")


@pytest.fixture(scope="module")
def ortho():
    return _rdata("orthodont")


@pytest.fixture(scope="module")
def fm_ortho(ortho):
    return lmm("distance ~ age + Sex + (1 | Subject)", ortho)


def test_predict_refuses_labels_the_fit_has_not_seen(ortho, fm_ortho):
    b, fe = fm_ortho.ranef["(Intercept)"], fm_ortho.fixef
    new = pd.DataFrame(
        {"age": [8, 10, 12, 14], "Sex": ["Male", "Female", "Male", "Male"], "Subject": ["M01", "F03", "m01", "M1"]}
    )
    population = fe["(Intercept)"] + fe["age"] * new["age"] + fe["Sex[T.Male]"] * (new["Sex"] == "Male")
    for bad in (["m01", "M1"], [None]):  # a case difference, a typo, a missing label
        rows = new.assign(Subject=["M01", "F03", *bad, *(["M09"] * (2 - len(bad)))][:4])
        with pytest.raises(ValueError, match="allow_new_levels=True") as err:
            fm_ortho.predict(rows)
        assert all(repr(v) in str(err.value) for v in bad if v is not None)
        assert ("missing" in str(err.value)) == (None in bad)
    pred = fm_ortho.predict(new, allow_new_levels=True)
    _close(pred, population + [b["M01"], b["F03"], 0, 0], 1e-12)
    _close(fm_ortho.predict(new, re=False), population, 1e-12)  # no labels needed
    _close(fm_ortho.predict(new.iloc[:2]), pred.iloc[:2], 0)
    with pytest.raises(TypeError, match="allow_new_levels"):
        fm_ortho.predict(new, allow_new_levels="True")


@pytest.mark.parametrize(
    "fit_labels,new_labels,matched",
    [
        (lambda s: s.astype(float), lambda s: s.astype(str), True),  # 308.0 in the fit, "308" given
        (lambda s: s.astype(str), lambda s: s, True),  # "308" in the fit, 308 given
        (lambda s: s, lambda s: s.astype(float), True),  # 308 and 308.0
        (lambda s: s, lambda s: s.astype(str) + "0", False),  # "3080": another label
        (
            lambda s: s.where(s != 309, "308").astype(object),
            lambda s: s.astype(float).astype(str),
            None,
        ),  # 308 and "308"
    ],
    ids=["float-text", "text-int", "int-float", "different", "ambiguous"],
)
def test_labels_match_by_value_when_unambiguous(sleep, fit_labels, new_labels, matched):
    df = sleep.assign(Subject=fit_labels(sleep["Subject"]))
    fit = lmm("Reaction ~ Days + (1 | Subject)", df)
    new = sleep.iloc[[0, 10]].assign(Subject=lambda d: new_labels(d["Subject"]))  # subjects 308, 309
    if matched:
        _close(fit.predict(new), fit.fitted.iloc[[0, 10]], 1e-12)
    else:
        with pytest.raises(ValueError, match="not in the fit"):
            fit.predict(new)
    if matched is None:  # 309 relabelled "308": "308.0" could be either level, "309.0" is none
        with pytest.raises(ValueError, match=r"'308\.0', '309\.0'"):
            fit.predict(new)


@pytest.mark.parametrize("reml", ["FALSE", "TRUE", 0, 1, None, "yes", np.array([True])])
def test_reml_must_be_a_boolean(ortho, reml):
    with pytest.raises(TypeError, match="reml must be True or False"):
        lmm("distance ~ age + (1 | Subject)", ortho, reml=reml)


def test_numpy_booleans_choose_the_method(ortho):
    for flag in (np.bool_(False), np.False_, np.array(False)[()]):
        fit = lmm("distance ~ age + (1 | Subject)", ortho, reml=flag)
        assert fit.method == "ML" and not fit.reml
    assert lmm("distance ~ age + (1 | Subject)", ortho, reml=np.True_).reml


def test_a_singular_fit_warns(sleep):
    import warnings

    dye2 = _load("dyestuff2")
    assert _ref("dyestuff2")["reml"]["singular"]  # lme4 says "boundary (singular) fit" here
    with pytest.warns(qk.SingularFitWarning, match=r"boundary \(singular\) fit") as rec:
        fit = lmm("Yield ~ 1 + (1 | Batch)", dye2)
    assert fit.is_singular and "singular" in fit.summary_text()
    assert rec[0].filename == __file__  # points at the caller's line
    with pytest.warns(qk.SingularFitWarning):
        fit.refit_ml()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no warning for a regular fit ...
        lmm(FM1, sleep)
        lmm("Yield ~ 1 + (1 | Batch)", dye2, theta=[0.0])  # ... nor for a theta the caller gave
        warnings.simplefilter("ignore", qk.SingularFitWarning)  # users can filter it
        lmm("Yield ~ 1 + (1 | Batch)", dye2)


@pytest.mark.parametrize(
    "formula,match",
    [
        ("I(0 * weight + 5) ~ Time + (1 | Chick)", "is constant"),
        ("I(0 * weight + 5) ~ 0 + Time + (1 | Chick)", "is constant"),
        ("I(1 + 2 * Time) ~ Time + (1 | Chick)", r"fixed effects \(\(Intercept\), Time\) fit the response"),
        ("I(Time^2 - 3 * Time) ~ Time + I(Time^2) + (Time | Chick)", "fit the response .* exactly"),
        ("I(100 * Diet) ~ Time + factor(Diet) + (1 | Chick)", "exactly"),
    ],
)
@pytest.mark.parametrize("evaluator", ["auto", "blocks", "aggregated", "streaming"])
def test_degenerate_responses_are_refused_before_the_fit(formula, match, evaluator):
    chick = _rdata("chickweight")
    with pytest.raises(ValueError, match=match):
        lmm(formula, chick, evaluator=evaluator)


def test_degenerate_new_response_is_refused(fm1):
    with pytest.raises(ValueError, match="new response is constant"):
        fm1.refit(np.full(fm1.nobs, 3.0))
    with pytest.raises(ValueError, match="exactly"):
        fm1.refit(1 + 2 * fm1._design.x[:, 1])


@pytest.mark.parametrize("shift", [0.0, 1e5, 1e8, 1e10, 1e12])
def test_large_means_are_not_taken_for_an_exact_fit(shift):
    # ChickWeight's weight (sd about 71) shifted far away; Time shifted by 1e6 sd too
    chick = _rdata("chickweight")
    t = chick["Time"] + 1e6 * chick["Time"].std()
    y = chick["weight"] + shift * chick["weight"].std()
    lmm("y ~ t + (1 | Chick)", chick.assign(y=y, t=t))  # does not raise
    with pytest.raises(ValueError, match="exactly"):
        lmm("y ~ t + (1 | Chick)", chick.assign(y=shift + 3.0 * t, t=t))


def test_response_stored_as_text_names_a_value_and_its_row():
    air = _rdata("airquality").dropna().set_index(np.arange(1000, 1111))
    with pytest.raises(ValueError, match=r"'Ozone' holds numbers stored as text \(such as '41\.0' in row 1000\)"):
        lmm("Ozone ~ Wind + (1 | Month)", air.astype({"Ozone": str}))
    european = air.assign(Wind=air["Wind"].map(lambda v: f"{v:g}".replace(".", ",")))
    first = int(np.flatnonzero(european["Wind"].str.contains(","))[0])
    with pytest.raises(
        ValueError,
        match=rf"'Wind' must be numeric, but it holds '{european['Wind'].iloc[first]}' "
        rf"in row {1000 + first}, which is not a number",
    ):
        lmm("Wind ~ Ozone + (1 | Month)", european)


def test_anova_prints_like_lme4_in_a_notebook(ortho):
    ref = FREF["orthodont_anova"]
    table = anova(lmm(ref["formulas"][0], ortho), lmm(ref["formulas"][1], ortho))
    _close(table["deviance"], ref["deviance"], 1e-9)
    _close([table["Chisq"].iloc[1], table["Pr(>Chisq)"].iloc[1]], [ref["Chisq"], ref["p"]], 1e-6)
    html = table._repr_html_()
    cells = re.findall(r"<td[^>]*>([^<]*)</td>", html)
    assert cells[6:9] == ["", "", ""]  # the first model has no test: blank, not NaN
    assert cells[-3:] == [f"{ref['Chisq']:.4f}", str(ref["chi_df"]), f"{ref['p']:.4g}"]
    assert "NaN" not in html and "1.0<" not in html and "refitting" in html
    assert "NaN" not in repr(table) and "<table" in table[["Df", "AIC"]]._repr_html_()


def test_statsmodels_names_are_aliases(fm_ortho):
    ref = FREF["orthodont"]
    f = fm_ortho
    _close(f.llf, ref["loglik"], 1e-7)
    assert f.llf == f.loglik
    for alias, name in [
        ("params", "fixef"),
        ("fe_params", "fixef"),
        ("bse", "se"),
        ("fittedvalues", "fitted"),
        ("resid", "residuals"),
        ("random_effects", "ranef"),
    ]:
        pd.testing.assert_series_equal(getattr(f, alias), getattr(f, name)) if isinstance(
            getattr(f, name), pd.Series
        ) else pd.testing.assert_frame_equal(getattr(f, alias), getattr(f, name))
    pd.testing.assert_frame_equal(f.cov_params(), f.cov_fixef)
    pd.testing.assert_frame_equal(f.conf_int(0.1), f.confint(0.9))
    pd.testing.assert_frame_equal(f.conf_int(), f.confint())
    with pytest.raises(NotImplementedError, match="Satterthwaite"):
        f.pvalues
    assert not hasattr(f, "pvalues") and getattr(f, "pvalues", None) is None
    assert "pvalues" in (qk.LmmFit.__doc__ or "") and "llf" in (qk.LmmFit.__doc__ or "")
