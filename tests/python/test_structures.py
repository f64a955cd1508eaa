"""Residual correlation and variance structures against nlme's fits of the same models
(tests/data/structures, written by make_reference.R there): the log-likelihood, the
fixed effects with their standard errors, sigma, the structure's parameters, the random
effects' standard deviations and one subject's marginal covariance; both notations
(the formula's terms and nlme's keywords) and the refusals that name what to write."""

import json
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quorvelkit as qk
from quorvelkit import FormulaError
from quorvelkit import _quorvelkit as Q

DATA = Path(__file__).resolve().parent.parent / "data" / "structures"
REF = json.loads((DATA / "structures.json").read_text())
FACTORS = {"bodyweight": ["Diet"], "dialyzer": ["QB"]}

OVARY = "follicles ~ sin(2*pi*Time) + cos(2*pi*Time)"
DIALYZER = (
    "rate ~ (pressure + I(pressure^2) + I(pressure^3) + I(pressure^4)) * QB + (pressure + I(pressure^2) | Subject)"
)
TRIAL = "y ~ arm * factor(visit) + base"
AR1_LME = {"correlation": "corAR1()"}

# (nlme's case, our formula, our keywords): the formula's terms and nlme's keywords both.
CASES = [
    ("ovary_lme_ar1", f"{OVARY} + (1 | Mare) + (0 + sin(2*pi*Time) | Mare)", AR1_LME),
    ("ovary_gls_ar1", OVARY, {"correlation": "corAR1(form = ~ 1 | Mare)"}),
    ("ovary_gls_ar1_ml", OVARY, {"correlation": "corAR1(form = ~ 1 | Mare)", "reml": False}),
    ("bodyweight_car1", "weight ~ Time * Diet + (Time | Rat)", {"correlation": "corCAR1(form = ~ Time)"}),
    ("orthodont_gls_cs_ident", "distance ~ age * Sex + cs(age | Subject)", {"variance": "varIdent(form = ~ 1 | Sex)"}),
    ("orthodont_lme_ident", "distance ~ age * Sex + (1 | Subject)", {"variance": "varIdent(~ 1 | Sex)"}),
    ("orthodont_gls_symm", "distance ~ age * Sex + us(age | Subject)", {}),
    ("orthodont_gls_symm_ml", "distance ~ age * Sex + us(age | Subject)", {"reml": False}),
    ("dialyzer_power_ar1", DIALYZER, {"variance": "varPower(form = ~ pressure)", **AR1_LME}),
    ("dialyzer_exp", DIALYZER, {"variance": "varExp(form = ~ pressure)"}),
    ("ovary_lme_ar1_ml", f"{OVARY} + (1 | Mare) + (0 + sin(2*pi*Time) | Mare)", {**AR1_LME, "reml": False}),
    (
        "orthodont_gls_cs_ident_ml",
        "distance ~ age * Sex + cs(age | Subject)",
        {"variance": "varIdent(~ 1 | Sex)", "reml": False},
    ),
    ("dialyzer_power", DIALYZER, {"variance": "varPower(form = ~ pressure)"}),
    ("trial200_ar1", f"{TRIAL} + ar1(visit | id)", {}),
    ("wheat2_exp_nonugget", "yield ~ 0 + variety", {"correlation": "corExp(form = ~ latitude + longitude)"}),
    ("trial200_us", f"{TRIAL} + us(visit | id)", {}),
    ("trial200_cs", TRIAL, {"correlation": "corCompSymm(form = ~ visit | id)"}),
    ("trial200_csh", f"{TRIAL} + csh(visit | id)", {}),
    ("trial200_ar1h", f"{TRIAL} + ar1h(visit | id)", {}),
    ("ar1_4000_lme", "y ~ x + (1 | id) + ar1(visit | id)", {}),
    ("ar1_4000_car1", "y ~ x + (1 | id) + car1(visit | id)", {}),
    ("wheat2_gaus", "yield ~ 0 + variety", {"correlation": "corGaus(form = ~ latitude + longitude, nugget = TRUE)"}),
]


def frame(name: str) -> pd.DataFrame:
    df = pd.read_csv(DATA / name, dtype={"Mare": str, "Rat": str, "Subject": str, "id": str})
    for col in FACTORS.get(name.removesuffix(".csv"), []):
        df[col] = pd.Categorical(df[col].astype(str))
    return df


def r_name(name: str) -> str:
    """Our column name written as R writes it: Sex[T.Male] is SexMale."""
    return re.sub(r"\[(T\.)?([^\]]*)\]", r"\2", name).replace(" ", "")


def upper_pairs(t: int) -> list[tuple[int, int]]:
    """nlme's order of corSymm's correlations: (1,2), (1,3), ..., (2,3), ..."""
    return [(i, j) for i in range(t) for j in range(i + 1, t)]


@pytest.fixture(scope="module", params=CASES, ids=[c[0] for c in CASES])
def case(request):
    name, formula, kwargs = request.param
    ref = REF[name]
    assert ref["status"] == "fitted", ref.get("error")
    return ref, qk.lmm(formula, frame(ref["data"]), **kwargs)


def test_fits_match_nlme(case):
    ref, fit = case
    assert isinstance(fit, qk.StructuredFit)
    # Both reach the optimum closely (within 3e-8 of the log-likelihood on these cases);
    # nlme stops on a looser test, so ours may be higher by a little, never lower.
    assert fit.loglik == pytest.approx(ref["logLik"], abs=1e-6)
    assert fit.loglik >= ref["logLik"] - 1e-9
    assert fit.aic == pytest.approx(ref["AIC"], abs=2e-6) and fit.n_params == ref["df"]
    assert fit.bic == pytest.approx(ref["BIC"], abs=2e-6)
    assert fit.sigma == pytest.approx(ref["sigma"], rel=5e-5)
    fixed = ref["fixed"]
    ours = {r_name(n): k for k, n in enumerate(fit.fe_names)}
    at = [ours[n.replace(" ", "")] for n in fixed["names"]]
    se = np.asarray(fixed["se"])
    np.testing.assert_allclose(fit.fixef.to_numpy()[at], fixed["estimate"], atol=1e-4 * se.max(), rtol=0)
    np.testing.assert_allclose(fit.se.to_numpy()[at], se, rtol=5e-5)


def test_tests_of_the_fixed_effects_match_nlme(case):
    ref, fit = case
    ours = {r_name(n): k for k, n in enumerate(fit.fe_names)}
    at = [ours[n.replace(" ", "")] for n in ref["fixed"]["names"]]
    assert list(fit.df.to_numpy()[at]) == ref["fixed"]["df"]
    table, want = fit.anova_terms(), ref["anova_marginal"]
    assert [r_name(t) for t in table.index] == [t.replace(" ", "") for t in want["terms"]]
    assert list(table["numDF"]) == want["numDF"]
    np.testing.assert_allclose(table["F-value"], want["F"], rtol=2e-3)
    np.testing.assert_allclose(table["p-value"], want["p"], rtol=2e-2, atol=1e-12)


def test_structure_parameters_match_nlme(case):
    ref, fit = case
    corr, spec = ref["corStruct"], fit.structure
    if corr is not None and spec.correlation == "us":
        t = int(round((1 + np.sqrt(1 + 8 * len(corr["values"]))) / 2))
        labels = fit._layout_rows.visit_labels
        ours = fit.correlation
        for (i, j), value in zip(upper_pairs(t), corr["values"], strict=True):
            assert ours[f"cor({labels[i]},{labels[j]})"] == pytest.approx(value, abs=1e-4)
    elif corr is not None:
        np.testing.assert_allclose(fit.correlation.to_numpy(), corr["values"], rtol=1e-4, atol=1e-5)
    var = ref["varStruct"]
    if var is not None:
        ours = pd.concat([v.iloc[1:] if len(v) > 1 else v for v in fit.variance_function])
        np.testing.assert_allclose(ours.to_numpy(), var["values"], rtol=1e-4, atol=1e-5)
    if ref.get("VarCorr"):
        np.testing.assert_allclose(fit.sd_re.to_numpy(), ref["VarCorr"]["sd"], rtol=1e-4)


# nlme's Hessian of the variance parameters is by finite differences of the
# log-likelihood (fdHess, steps of eps^(1/3)); ours by central differences of the exact
# gradient. They agree to 1e-3 on gls fits, less closely on lme fits, least where the
# random effects' correlation is near -1 (dialyzer_power_ar1: -0.97).
WALD_RTOL = {"dialyzer_power_ar1": 3e-2}


def test_wald_intervals_of_the_structure_match_nlme(case):
    ref, fit = case
    want = ref["intervals"]
    ours = fit.intervals()
    rows = []
    if want.get("corStruct"):
        names = list(fit.correlation.index)
        if fit.structure.correlation == "us":  # nlme's order of the pairs, ours by name
            t = int(round((1 + np.sqrt(1 + 8 * len(names))) / 2))
            labels = fit._layout_rows.visit_labels
            names = [f"cor({labels[i]},{labels[j]})" for i, j in upper_pairs(t)]
        rows += list(zip(names, *(want["corStruct"][k] for k in ("lower", "est", "upper")), strict=True))
    if want.get("varStruct"):
        names = [n for n in ours.index if n not in fit.correlation.index and n != "sigma"]
        rows += list(zip(names, *(want["varStruct"][k] for k in ("lower", "est", "upper")), strict=True))
    rows.append(("sigma", *(want["sigma"][k] for k in ("lower", "est", "upper"))))
    assert sorted(ours.index) == sorted(r[0] for r in rows)
    # nlme's corSymm intervals are on its spherical coordinates, ours on Fisher's z.
    name = next(k for k in REF if REF[k] is ref)
    rtol = 5e-3 if fit.structure.correlation == "us" else WALD_RTOL.get(name, 3e-3 if fit.re_terms else 1e-3)
    got = ours.loc[[r[0] for r in rows]].to_numpy()
    np.testing.assert_allclose(got, np.array([r[1:] for r in rows], dtype=float), rtol=rtol)


# The core's coordinate of each natural parameter (residual.hpp): natural = g(eta).
TO_ETA = {"tanh": np.arctanh, "logistic": lambda v: np.log(v / (1 - v)), "exp": np.log, "identity": lambda v: v}


@pytest.mark.parametrize(
    "formula,data,kwargs,maps",
    [
        (OVARY, "ovary.csv", {"correlation": "corAR1(form = ~ 1 | Mare)"}, ["tanh"]),
        ("distance ~ age * Sex + cs(age | Subject)", "orthodont.csv", {"variance": "varIdent(~ 1 | Sex)"},
         ["tanh", "exp"]),
        ("weight ~ Time * Diet + (Time | Rat)", "bodyweight.csv", {"correlation": "corCAR1(form = ~ Time)"},
         ["logistic"]),
        ("yield ~ 0 + variety", "wheat2.csv", {"correlation": "corGaus(form = ~ latitude + longitude, nugget = TRUE)"},
         ["exp", "logistic"]),
        (DIALYZER.split(" + (")[0], "dialyzer.csv", {"variance": "varPower(form = ~ pressure)"}, ["identity"]),
    ],
)  # fmt: skip
def test_profile_intervals_end_where_the_constrained_criterion_rises_by_z_squared(formula, data, kwargs, maps):
    fit = qk.lmm(formula, frame(data), **kwargs)
    ci = fit.confint(method="profile", level=0.95)
    assert len(ci) == len(maps) and ci.attrs["scale"] == "REML"
    core, x0 = fit._core, np.asarray(fit._res["params"], dtype=float)
    f0 = core.deviance(list(x0))
    for j, (name, g) in enumerate(zip(ci.index, maps, strict=True)):
        at = core.n_theta + j
        for end in ci.loc[name]:
            start = x0.copy()
            start[at] = TO_ETA[g](end)
            res = Q.minimize(lambda x: core.deviance_grad(list(x)), start, fixed=[at], max_iter=500)
            assert res["fun"] - f0 == pytest.approx(1.959963984540054**2, abs=2e-3), (name, end)


@pytest.mark.parametrize(
    "name,formula,kwargs",
    [
        ("bodyweight_car1_power", "weight ~ Time * Diet + (Time | Rat)",
         {"correlation": "corCAR1(form = ~ Time)", "variance": "varPower()"}),
        ("dialyzer_gls_power_fitted_ml", DIALYZER.split(" + (")[0],
         {"variance": "varPower(form = ~ fitted(.))", "reml": False}),
    ],
)  # fmt: skip
def test_a_variance_of_the_fitted_values_iterates_to_nlmes_fit(name, formula, kwargs):
    # nlme holds the covariate at the last fit's fitted values and fits again until the
    # estimates move by less than 1e-6 of their size: the fixed point is reached only
    # that closely, by either of us.
    ref = REF[name]
    fit = qk.lmm(formula, frame(ref["data"]), **kwargs)
    assert fit.loglik == pytest.approx(ref["logLik"], abs=2e-6)
    se = np.asarray(ref["fixed"]["se"])
    at = [list(map(r_name, fit.fe_names)).index(n.replace(" ", "")) for n in ref["fixed"]["names"]]
    np.testing.assert_allclose(fit.fixef.to_numpy()[at], ref["fixed"]["estimate"], atol=1e-4 * se.max(), rtol=0)
    np.testing.assert_allclose(fit.se.to_numpy()[at], se, rtol=1e-4)
    assert fit.variance_function[0].iloc[0] == pytest.approx(ref["varStruct"]["values"][0], abs=5e-5)
    assert fit.sigma == pytest.approx(ref["sigma"], rel=2e-4)
    if ref["corStruct"]:
        np.testing.assert_allclose(fit.correlation, ref["corStruct"]["values"], atol=5e-5)


def test_likelihood_ratio_test_of_a_variance_of_the_fitted_values_matches_nlme():
    ref = REF["anova_bodyweight_car1_vs_power"]
    df, model = frame("bodyweight.csv"), "weight ~ Time * Diet + (Time | Rat)"
    fits = [qk.lmm(model, df, correlation="corCAR1(form = ~ Time)", variance=v) for v in (None, "varPower()")]
    table = qk.anova(*fits)
    assert list(table["Df"]) == ref["df"]
    assert table["Chisq"].iloc[1] == pytest.approx(ref["L.Ratio"][1], rel=1e-5)
    # By ML the fitted values are iterated again: the refit is the fit by ML.
    ml = qk.lmm(model, df, correlation="corCAR1(form = ~ Time)", variance="varPower()", reml=False)
    assert fits[1].refit_ml().loglik == pytest.approx(ml.loglik, abs=1e-6)


@pytest.mark.parametrize(
    "name,formula,reml",
    [
        ("crossed_ar1", "y ~ x + visit + (1 | site) + (1 | rater) + ar1(visit | patient)", True),
        ("crossed_ar1_ml", "y ~ x + visit + (1 | rater) + (1 | site) + ar1(visit | patient)", False),
        ("crossed_ar1_rater", "y ~ x + visit + (1 | rater) + ar1(visit | patient)", True),
    ],
)
def test_crossed_random_effects_beside_a_structure_match_nlme(name, formula, reml):
    # nlme fits crossed factors as pdIdent blocks of one group of every row; the
    # patients lie in no factor's groups (a patient meets several raters).
    ref = REF[name]
    data = frame(ref["data"]).astype({"site": str, "rater": str})
    fit = qk.lmm(formula, data, reml=reml)
    assert fit.loglik == pytest.approx(ref["logLik"], abs=1e-6) and fit.aic == pytest.approx(ref["AIC"], abs=2e-6)
    np.testing.assert_allclose(fit.fixef, ref["fixed"]["estimate"], rtol=1e-5)
    np.testing.assert_allclose(fit.se, ref["fixed"]["se"], rtol=5e-5)
    assert fit.sigma == pytest.approx(ref["sigma"], rel=5e-5)
    assert fit.correlation.iloc[0] == pytest.approx(ref["corStruct"]["values"][0], abs=5e-5)
    sd = {f: fit.varcorr.query(f"grp == '{f}'")["sdcor"].iloc[0] for f in fit.ngroups}
    assert sd == pytest.approx({f: ref["sd"][f] for f in sd}, rel=1e-4)
    first = ref["first_patient"]
    np.testing.assert_allclose(fit.marginal_cov(first["id"]), first["cov"], rtol=2e-4)
    if reml:
        with pytest.raises(ValueError, match="not with crossed factors"):
            fit.coef_tests("kenward-roger")
    wald = fit.intervals()
    want = ref["intervals"]
    np.testing.assert_allclose(
        wald.loc[["Phi", "sigma"]].to_numpy(),
        [
            [want["corStruct"][k][0] for k in ("lower", "est", "upper")],
            [want["sigma"][k] for k in ("lower", "est", "upper")],
        ],
        rtol=3e-3,
    )
    # X beta plus each factor's mode at the row's level (nlme's innermost fitted values).
    np.testing.assert_allclose(fit.fitted.to_numpy()[:30], ref["fitted"], rtol=1e-5)
    # nlme has no degrees of freedom for crossed factors: Satterthwaite's, of the
    # intercept near the number of sites and raters rather than of the rows.
    assert fit.df.iloc[0] < 30 < fit.df.iloc[1]
    with pytest.raises(ValueError, match="needs its subject"):
        qk.lmm("y ~ x + (1 | site) + (1 | rater)", data, correlation="corAR1()")
    data["other"] = np.arange(len(data)) % 9  # as many levels as rater: lme4 interleaves the terms
    with pytest.raises(ValueError, match="write the random-effects terms of one grouping factor together"):
        qk.lmm("y ~ x + (1 | rater) + (1 | other) + (0 + x | rater) + ar1(visit | patient)", data)


def test_a_subjects_marginal_covariance_matches_nlme(case):
    ref, fit = case
    for subject in ref["subject_cov"][:2]:
        ours = fit.marginal_cov(subject["id"]) if fit.structure.subject or fit.re_terms else None
        if ours is None:  # gls over one subject of every row
            continue
        np.testing.assert_allclose(
            ours.to_numpy(), np.asarray(subject["cov"]), rtol=5e-3, atol=1e-3 * ref["sigma"] ** 2
        )
    if fit.reml and fit.re_terms and not fit.is_singular:
        # Kenward-Roger's blocks of groups (Z Lambda Lambda' Z' plus the subjects' R):
        # their (sum X' V^-1 X)^-1 is the fit's Cov(beta)
        cov = fit.cov_fixef.to_numpy()
        np.testing.assert_allclose(fit.kenward_roger().cov_beta, cov, rtol=1e-9, atol=1e-12 * np.abs(cov).max())


def test_the_report_shows_the_structure(case):
    ref, fit = case
    text = fit.summary_text()
    assert ("Correlation Structure:" in text) == (ref["corStruct"] is not None)
    assert ("Variance function:" in text) == (ref["varStruct"] is not None)
    assert fit.to_dict()["structure"]["correlation"] == fit.structure.correlation


@pytest.mark.parametrize(
    "name,formula",
    [
        ("trial200_tmb_us", f"{TRIAL} + us(visit | id)"),
        ("trial200_tmb_toep", f"{TRIAL} + toeph(visit | id)"),
        ("trial200_tmb_cs", f"{TRIAL} + csh(visit | id)"),
        ("trial200_tmb_ar1", f"{TRIAL} + ar1(visit | id)"),
        ("ar1_4000_tmb", "y ~ x + (1 | id) + ar1(visit | id)"),
        ("trial200_tmb_us_ml", f"{TRIAL} + us(visit | id)"),
        ("trial200_tmb_toep_ml", f"{TRIAL} + toeph(visit | id)"),
    ],
)
def test_glmmtmb_g_side_forms_of_the_same_models(name, formula):
    # glmmTMB fits these residual structures as random effects with the dispersion
    # fixed near zero (REML: a residual of variance ~1e-8 is left, worth ~1e-5 of the
    # log-likelihood); it warns of false convergence on some, and stops below ours.
    ref = REF[name]
    data = frame("trial200.csv" if name.startswith("trial") else "ar1_4000.csv")
    fit = qk.lmm(formula, data, reml=not name.endswith("_ml"))
    stopped_early = ref["status"] == "false_convergence"
    assert fit.loglik == pytest.approx(ref["logLik"], abs=1e-3 if stopped_early else 2e-4)
    assert fit.loglik >= ref["logLik"] - 2e-5


def test_a_structure_per_arm_is_each_arms_structure():
    # With every fixed effect the arm's own, the likelihood of a covariance per arm is
    # the sum of the arms' fitted apart (by ML: REML's constant counts p once).
    df = frame("trial200.csv")
    both = qk.lmm("y ~ 0 + arm + arm:factor(visit) + arm:base + us(visit | arm / id)", df, reml=False)
    apart = [
        qk.lmm(f"{TRIAL.replace('arm * ', '')} + us(visit | id)", df[df.arm == a], reml=False) for a in ("ctl", "trt")
    ]
    assert both.loglik == pytest.approx(sum(f.loglik for f in apart), abs=1e-6)
    assert both.n_params == sum(f.n_params for f in apart)
    for arm, fit in zip(("ctl", "trt"), apart, strict=True):
        ours = both.correlation[[n for n in both.correlation.index if n.startswith(f"{arm}: ")]]
        np.testing.assert_allclose(ours.to_numpy(), fit.correlation.to_numpy(), atol=1e-5)
        subject = df[df.arm == arm].id.iloc[0]
        np.testing.assert_allclose(both.marginal_cov(subject), fit.marginal_cov(subject), rtol=1e-5)
    moved = df.copy()
    moved.loc[1, "arm"] = {"ctl": "trt", "trt": "ctl"}[moved.loc[1, "arm"]]
    with pytest.raises(ValueError, match="must each lie within one level of 'arm'"):
        qk.lmm("y ~ base + us(visit | arm / id)", moved)


def test_first_order_ante_dependence_of_two_visits_is_the_unstructured_covariance():
    two = frame("trial200.csv").query("visit <= 2")
    ad, us = (qk.lmm(f"{TRIAL} + {term}(visit | id)", two) for term in ("adh", "us"))
    assert ad.loglik == pytest.approx(us.loglik, abs=1e-8)
    assert ad.correlation.iloc[0] == pytest.approx(us.correlation.iloc[0], abs=1e-6)


@pytest.mark.parametrize(
    "name,formula,reml,kr",
    [
        ("orthodont_lmertest_ri", "distance ~ age * Sex + cs(age | Subject)", True, "ortho_ri"),
        ("trial200_lmertest_ri", f"{TRIAL} + cs(visit | id)", True, "trial200_ri"),
        ("trial200_lmertest_ri_ml", f"{TRIAL} + cs(visit | id)", False, None),
    ],
)
def test_satterthwaite_tests_of_compound_symmetry_are_lmertests_of_a_random_intercept(name, formula, reml, kr):
    # With a positive correlation the two are one model, whose variance parameters are
    # written differently: Satterthwaite's df do not depend on how, nor do Kenward and
    # Roger's of the first derivatives (pbkrtest's, tests/data/models/kr.json).
    ref = REF[name]
    fit = qk.lmm(formula, frame(ref["data"]), reml=reml)
    assert fit.loglik == pytest.approx(ref["logLik"], abs=1e-6)
    table = fit.coef_tests().set_axis(list(map(r_name, fit.fe_names)))
    assert list(table.index) == [n.replace(" ", "") for n in ref["fixed"]["names"]]
    for ours, theirs in [("Estimate", "estimate"), ("Std. Error", "se"), ("df", "df"), ("Pr(>|t|)", "p")]:
        np.testing.assert_allclose(table[ours], ref["fixed"][theirs], rtol=1e-5, err_msg=ours)
    anova = fit.anova_terms(ddf="Satterthwaite")
    assert list(anova.index) == ref["anova"]["terms"]
    for ours, theirs in [("NumDF", "NumDF"), ("DenDF", "DenDF"), ("F value", "F"), ("Pr(>F)", "p")]:
        np.testing.assert_allclose(anova[ours], ref["anova"][theirs], rtol=1e-5, err_msg=ours)
    rows = fit.contrast(np.eye(len(fit.fe_names))).tests
    np.testing.assert_allclose(rows["df"], ref["fixed"]["df"], rtol=1e-5)
    with pytest.raises(ValueError, match='ddf must be "nlme", "satterthwaite" or "kenward-roger"'):
        fit.coef_tests("kenward")
    if kr is None:
        with pytest.raises(ValueError, match="only available for REML"):
            fit.coef_tests("kenward-roger")
        return
    want = json.loads((DATA.parent / "models" / "kr.json").read_text())[kr]
    got = {"coef": fit.coef_tests("Kenward-Roger"), "anova": fit.anova_terms(ddf="kenward-roger")}
    for table, cols in [("coef", ["Std. Error", "df", "Pr(>|t|)"]), ("anova", ["DenDF", "F value", "Pr(>F)"])]:
        for col in cols:
            np.testing.assert_allclose(got[table][col], want[table]["columns"][col], rtol=1e-6, err_msg=col)


@pytest.mark.parametrize(
    "name,formulas,kwargs",
    [
        (
            "anova_trial200_cs_vs_us",
            [TRIAL, f"{TRIAL} + us(visit | id)"],
            [{"correlation": "corCompSymm(~ visit | id)"}, {}],
        ),
        ("anova_trial200_ar1_vs_ar1h", [f"{TRIAL} + ar1(visit | id)", f"{TRIAL} + ar1h(visit | id)"], [{}, {}]),
        (
            "anova_dialyzer_power_vs_power_ar1",
            [DIALYZER] * 2,
            [{"variance": "varPower(~ pressure)"}, {"variance": "varPower(~ pressure)", **AR1_LME}],
        ),
    ],
)
def test_likelihood_ratio_tests_of_structures_match_nlme(name, formulas, kwargs):
    ref = REF[name]
    df = frame(REF[ref["models"][0]]["data"])
    table = qk.anova(*(qk.lmm(f, df, **k) for f, k in zip(formulas, kwargs, strict=True)))
    assert list(table["Df"]) == ref["df"] and not table.attrs["refitted_ml"]
    assert table["Chisq"].iloc[1] == pytest.approx(ref["L.Ratio"][1], rel=1e-4)
    assert table["Pr(>Chisq)"].iloc[1] == pytest.approx(ref["p.value"][1], rel=1e-3)


@pytest.mark.parametrize(
    "kwargs,formula,message",
    [
        ({"correlation": "corARMA(p = 1, q = 1)"}, OVARY, "corARMA(p = 1, q = 0) is corAR1()"),
        ({"variance": "varPower(form = ~ Time | Mare)"}, OVARY, "give one covariate and no strata"),
        ({"correlation": "corAR1(form = ~ 1 | Mare)"}, OVARY + " + ar1(Time | Mare)", "keep one"),
        ({}, OVARY + " + ar1(Time | Mare)", "ar1 needs whole-number times or a factor of visits"),
        ({}, OVARY + " + ar1(Time)", "needs its subject after a '|'"),
        ({"correlation": "corExp(form = ~ 1 | Mare)"}, OVARY, "needs the coordinates in its form"),
    ],
)
def test_refusals_name_what_to_write(kwargs, formula, message):
    with pytest.raises((FormulaError, ValueError), match=re.escape(message)):
        qk.lmm(formula, frame("ovary.csv"), **kwargs)


@pytest.mark.parametrize(
    "term,drop,message",
    [  # drop: the visits left out of the even and of the odd subjects
        ("us(visit | id)", ([4], [1]), "the correlation of visits 1 and 4 of 'us(visit | id)' cannot be estimated: "
         "no subject has both in 'visit'"),
        ("toeph(visit | id)", ([4], [1]), "the correlation at lag 3 of 'toeph(visit | id)' cannot be estimated"),
        ("ad(visit | id)", ([3], [2]), "the correlation of visits 2 and 3 of 'ad(visit | id)' cannot be estimated"),
        ("us(visit | arm / id)", ([4], [1]), "no subject in arm 'ctl' has both in 'visit'"),
    ],
)  # fmt: skip
def test_a_correlation_no_subject_can_estimate_is_refused(term, drop, message):
    df = frame("trial200.csv")
    odd = df["id"].str[1:].astype(int) % 2 == 1
    df = df[~((~odd & df.visit.isin(drop[0])) | (odd & df.visit.isin(drop[1])))]
    with pytest.raises(ValueError, match=re.escape(message)):
        qk.lmm(f"{TRIAL} + {term}", df)


def test_a_time_repeated_within_a_subject_is_refused_naming_the_rows():
    df = frame("trial200.csv")
    df.loc[1, "visit"] = 1
    with pytest.raises(ValueError, match=r"the time 'visit' is repeated within a subject in rows 0, 1"):
        qk.lmm(f"{TRIAL} + ar1(visit | id)", df)


def test_predictions_match_nlme_and_condition_on_a_subjects_rows(case):
    ref, fit = case
    pred = ref["predict"]
    new = pd.DataFrame(pred["newdata"])
    for col in FACTORS.get(ref["data"].removesuffix(".csv"), []):
        new[col] = pd.Categorical(new[col].astype(str), categories=fit._design.spec.categorical.get(col))
    level0 = fit.predict(new, re=False, conditional=False).to_numpy()
    np.testing.assert_allclose(level0, pred["level0"], rtol=1e-4, atol=1e-3 * ref["sigma"])
    if "level1" in pred:
        np.testing.assert_allclose(
            fit.predict(new, conditional=False), pred["level1"], rtol=1e-4, atol=1e-3 * ref["sigma"]
        )
    # The residual structure's part: at a subject's own times, where a row's correlation
    # with an observed one at the same time is 1, its observed response.
    spec = fit.structure
    if spec.correlation in ("ar1", "car1", "us") and spec.position:
        subject = spec.subject or fit._design.spec.factors[0].columns[0]
        seen = frame(ref["data"])
        rows = seen[seen[subject] == new[subject].iloc[0]]
        response = rows[fit._design.parsed.response].to_numpy()
        np.testing.assert_allclose(fit.predict(rows), response, rtol=1e-9, atol=1e-9 * np.abs(response).max())


def test_a_long_ar1_series_is_whitened_row_by_row():
    # 12,000 time points of one subject, where glmmTMB's AR(1) as a random effect per
    # time point asks for tens of GB: the bidiagonal whitening keeps it O(n).
    rng = np.random.default_rng(3)
    e = np.empty(12_000)
    e[0] = rng.normal()
    for t in range(1, len(e)):
        e[t] = 0.6 * e[t - 1] + 0.8 * rng.normal()
    df = pd.DataFrame({"t": np.arange(len(e)), "y": 2.0 + e, "id": 1})
    fit = qk.lmm("y ~ 1 + ar1(t | id)", df)
    assert fit.correlation["Phi"] == pytest.approx(0.6, abs=0.03) and fit.sigma == pytest.approx(1.0, abs=0.05)
