"""Satterthwaite's t and F tests against lmerTest 3.1.3 (tests/data/models/lmertest.json,
written by make_reference.R there) on real data and on simulated designs: a 3 x 3
factorial split plot, a fit on the boundary (Lambda of rank one), and multi-df terms in
unequal cells (with two random-effects terms, singleton groups, prior weights from 1e-8
to 1e8, and a model of one term), at lmerTest's estimates and at our own. A
RuntimeWarning fails these tests (pyproject's filter)."""

import json
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quorvelkit as qk
from quorvelkit.results import pvalues
from quorvelkit.results import satterthwaite as st

REF = json.loads((Path(__file__).parent.parent / "data" / "models" / "lmertest.json").read_text())
CASES = sorted(k for k in REF if not k.startswith("_"))
COLUMNS = [("Estimate", "estimate"), ("Std. Error", "se"), ("df", "df"), ("t value", "t"), ("Pr(>|t|)", "p")]


def _fit(model_data, name: str, at_reference: bool = True):
    r = REF[name]
    theta = np.atleast_1d(r["theta"]) if at_reference else None
    return r, qk.lmm(r["formula"], model_data(r["data"]), reml=r["reml"], weights=r["weights"], theta=theta)


def _info(cov):
    """The tests' inputs with Cov(beta) = cov (the variance parameters' part unused)."""
    return st.VarparInfo(np.ones(len(cov)), cov, cov[None] * 0.1, np.eye(1), np.eye(1), 1)


# (Cov(beta), L, its rank). lmerTest drops the eigen-directions of L Cov(beta) L' whose
# eigenvalue is at or below sqrt(machine epsilon) (1.49e-8) times the largest: a second
# coefficient of variance 1.2e-8 adds nothing, one of 2e-8 adds a df; a hypothesis
# written twice counts once, with the F of writing it once; a zero row tests nothing.
RANKS = [
    (np.diag([1.0, 1.2e-8]), np.eye(2), 1.0), (np.diag([1.0, 2e-8]), np.eye(2), 2.0),
    (np.array([[2.0, 0.3], [0.3, 1.0]]), [[0, 1], [0, 2]], 1.0), (np.eye(2), [[0, 0]], 0.0),
]  # fmt: skip


@pytest.mark.parametrize("cov,hypothesis,rank", RANKS)
def test_contrast_rank_counts_eigenvalues_above_lmertests_tolerance(cov, hypothesis, rank):
    got = st.f_test(_info(cov), hypothesis)
    assert got["num_df"] == rank
    if rank == 0:
        assert np.isnan(got["F"])
    elif len(hypothesis) > rank:
        once = st.f_test(_info(cov), hypothesis[:1])
        np.testing.assert_allclose([got["F"], got["den_df"]], [once["F"], once["den_df"]], rtol=1e-10)


@pytest.mark.parametrize("nu,expected", [
    ([7.0], 7.0),  # one row: its own df
    ([5.0, 5.0], 5.0),  # equal df: that df
    ([4.0, 12.0], 2 * 3.2 / 1.2),  # E = 4/2 + 12/10 = 3.2
    ([1.5, 30.0], 2.0),  # a df at or below 2 has no finite E term
])  # fmt: skip
def test_denominator_df_of_independent_t_tests(nu, expected):
    assert st._denominator_df(np.array(nu)) == pytest.approx(expected, rel=1e-12)


def _anova_reference(ref):
    a, ours = ref["anova"], ["Sum Sq", "Mean Sq", "NumDF", "DenDF", "F value", "Pr(>F)"]
    theirs = ["sum_sq", "mean_sq", "num_df", "den_df", "f", "p"]
    return {o: np.atleast_1d(a[t]) for o, t in zip(ours, theirs, strict=True)}, list(np.atleast_1d(a["terms"]))


@pytest.mark.parametrize("name", CASES)
def test_fit_reports_lmertest_tables_and_hypotheses(model_data, name):
    # the covariance of the variance parameters (one criterion and two gradients per
    # parameter), then lmerTest's summary(fit), contrasts and anova(fit): type III F,
    # NumDF, DenDF and p (Fai and Cornelius's DenDF of a multi-df term depends on the
    # basis of its hypothesis: in unequal cells the sum-to-zero basis is 1e-2 off)
    ref, fit = _fit(model_data, name)
    info = fit.satterthwaite()
    # (lmerTest's Hessian is numDeriv's Richardson extrapolation of the deviance: with
    # weights spanning 16 orders of magnitude the two differ by 3e-6)
    np.testing.assert_allclose(info.vcov_varpar, ref["vcov_varpar"], rtol=5e-6 if ref["weights"] else 2e-6, atol=1e-9)
    assert info.evaluations == 1 + 2 * (len(np.atleast_1d(ref["theta"])))
    table = fit.coef_table
    assert list(table.columns) == ["Estimate", "Std. Error", "df", "t value", "Pr(>|t|)"]
    assert len(table) == len(ref["names"])  # formulaic spells factor columns as Sex[T.Male]
    # a p of 1e-20 moves 100 times as much as its df
    tiny_p = 5e-5 if ref["weights"] else 1e-5
    for ours, theirs in COLUMNS:
        np.testing.assert_allclose(
            table[ours], ref["coef"][theirs], rtol=tiny_p if theirs == "p" else 1e-5, err_msg=ours
        )
    np.testing.assert_allclose(fit.pvalues, ref["coef"]["p"], rtol=tiny_p)
    anova = fit.anova_terms()
    want, terms = _anova_reference(ref)
    assert list(anova.index) == terms
    # lmerTest rounds its hypotheses to 7 significant digits (zapsmall), which moves F
    # by up to 1e-6 where a term's entries are thirds
    for col, values in want.items():
        rtol = {"NumDF": 0, "Pr(>F)": tiny_p}.get(col, 1e-6)
        np.testing.assert_allclose(anova[col], values, rtol=rtol, err_msg=col)
    res = fit.contrast(ref["L"])
    for ours, theirs in COLUMNS:
        np.testing.assert_allclose(res.tests[ours], np.atleast_1d(ref["contrast_rows"][theirs]), rtol=1e-5)
    joint, got = ref["contrast"], res.joint[["F value", "NumDF", "DenDF"]].to_numpy(dtype=float)
    np.testing.assert_allclose(got, [joint["f"], joint["num_df"], joint["den_df"]], rtol=1e-6)
    assert res.joint["Pr(>F)"] == pytest.approx(joint["p"], rel=tiny_p)
    # lmerTest's attr(anova(fit), "hypotheses"), rounded there to 7 significant digits:
    # type III (over-parameterised indicators orthogonalised against the terms that
    # contain each term), or type I (Doolittle's factor of X'X) for a model of one term.
    ours = fit._type3_hypotheses()
    assert list(ours) == list(ref["hypotheses"])
    for term, theirs in ref["hypotheses"].items():
        theirs = np.array(theirs, dtype=float).reshape(-1, len(ref["names"]))
        np.testing.assert_allclose(ours[term], theirs, rtol=0, atol=1e-6 * np.abs(theirs).max(), err_msg=term)


@pytest.mark.parametrize("name", ["unbalanced", "unbalanced_one_term"])
def test_a_fit_from_batches_reports_lmertests_anova(model_data, name):
    # No rows are kept: type III hypotheses come from the model's terms alone, and a
    # model of one term takes X'X from the core at theta = 0 (weighted, the type III
    # basis: the same F).
    ref = REF[name]
    frame = model_data(ref["data"])
    batches = iter([frame[:90], frame[90:]])
    fit = qk.lmm(ref["formula"], batches, reml=ref["reml"], theta=np.atleast_1d(ref["theta"]))
    assert not fit.rows_kept
    want, _ = _anova_reference(ref)
    for col in ("F value", "NumDF", "DenDF"):
        np.testing.assert_allclose(fit.anova_terms()[col], want[col], rtol=1e-6, err_msg=col)
    batches = iter([frame[:90], frame[90:]])
    weighted = qk.lmm(ref["formula"], batches, weights="w", theta=np.atleast_1d(ref["theta"])).anova_terms()
    in_memory = qk.lmm(ref["formula"], frame, weights="w", theta=np.atleast_1d(ref["theta"])).anova_terms()
    np.testing.assert_allclose(weighted[["F value", "NumDF"]], in_memory[["F value", "NumDF"]], rtol=1e-9)


@pytest.mark.filterwarnings("ignore::quorvelkit.SingularFitWarning")
@pytest.mark.parametrize("name", CASES)
def test_at_our_own_optimum_the_df_agree_to_lme4s_optimiser(model_data, name):
    # Our optimum's criterion is at or below lme4's; the df then differ by what the
    # difference between the two optima moves them (at most 5e-4 relative here).
    ref, fit = _fit(model_data, name, at_reference=False)
    _, at_theirs = _fit(model_data, name)
    assert fit.criterion <= at_theirs.criterion + 1e-9
    assert fit.is_singular == ref["singular"] and (fit.theta == 0).sum() == (np.atleast_1d(ref["theta"]) == 0).sum()
    np.testing.assert_allclose(fit.coef_table["df"], ref["coef"]["df"], rtol=1e-3)
    np.testing.assert_allclose(fit.anova_terms()["DenDF"], np.atleast_1d(ref["anova"]["den_df"]), rtol=1e-3)


def test_contrast_by_name(model_data):
    _, fit = _fit(model_data, "ortho")
    by_name = fit.contrast(pd.DataFrame({"age": [1.0], "age:Sex[T.Male]": [1.0]}))
    np.testing.assert_allclose(by_name.tests.to_numpy(), fit.contrast([0, 1, 0, 1]).tests.to_numpy(), rtol=1e-12)


def test_type3_of_a_term_reduced_by_its_interaction(data):
    slopes = qk.lmm("distance ~ age + age:Sex + (1 | Subject)", data("orthodont"))
    # Sex is reduced in age:Sex (age is there): one df, and the sum-coded coefficient
    # is a multiple of the treatment-coded one, so F is its t squared.
    table = slopes.anova_terms()
    assert list(table.index) == ["age", "age:Sex"]
    assert table.loc["age:Sex", "NumDF"] == 1
    assert table.loc["age:Sex", "F value"] == pytest.approx(slopes.tvalues["age:Sex[T.Male]"] ** 2, rel=1e-9)


@pytest.mark.parametrize("frame,row", [
    # sigma about 1e-117: its cube underflows (else ZeroDivisionError)
    ({"y": [0, 0, 3.83e-109], "g": ["a", "a", "b"]}, 0),
    # x is 0 but for 5e-142 in one row: Var(beta_x) overflows (else an overflow warning, an error here)
    ({"y": [0.0] * 7 + [1.0, 0.0], "x": [0.0] * 8 + [5.055958534114386e-142], "g": list("aaaaaaaab")}, 1),
], ids=["sigma-underflows", "variance-overflows"])  # fmt: skip
def test_a_degenerate_fit_reports_its_df_as_not_available(frame, row):
    with warnings.catch_warnings():  # the fit's own warnings (digits lost, singular) are not the point
        warnings.simplefilter("ignore")
        fit = qk.lmm("y ~ x + (1 | g)" if "x" in frame else "y ~ 1 + (1 | g)", frame, reml=False)
    assert row == 1 or 0 < fit.sigma < 1e-100
    assert "Satterthwaite" in fit.summary_text()
    assert not np.isfinite(fit.coef_table["df"].iloc[row])


# Values and df across the whole range, with the edges: zero, underflow, infinities,
# NaN and df that are not positive.
TAIL_X = [0.0, 1e-300, 0.5, 1.0, 2.5, 37.3, 1e3, 1e10, np.inf, np.nan, -1.0]
TAIL_DF = [-1.0, 0.0, 1e-3, 0.5, 1.0, 3.7, 17.0, 161.0, 1e12, np.inf, np.nan]


def test_tails_are_scipy_stats_to_the_last_bit():
    # scipy.special's routines under scipy.stats' own argument checks: every p-value
    # and quantile is bit-identical to scipy.stats'
    from scipy import stats

    x, df = (a.ravel() for a in np.meshgrid(TAIL_X, TAIL_DF))
    np.testing.assert_array_equal(pvalues.t_two_sided(x, df), 2.0 * stats.t.sf(np.abs(x), df))
    np.testing.assert_array_equal(
        [pvalues.chi2_upper(float(a), float(d)) for a, d in zip(x, df, strict=True)], stats.chi2.sf(x, df)
    )
    for dfd in TAIL_DF:
        got = [pvalues.f_upper(float(a), float(d), dfd) for a, d in zip(x, df, strict=True)]
        np.testing.assert_array_equal(got, stats.f.sf(x, df, dfd), err_msg=f"dfd={dfd}")
    q = np.array([1e-300, 0.025, 0.25, 0.5, 0.975, 0.995, 0.5 + 0.999999 / 2, 1.0 - 1e-16])
    np.testing.assert_array_equal(pvalues.normal_quantile(q), stats.norm.ppf(q))
    assert pvalues.normal_quantile(0.975) == stats.norm.ppf(0.975)
