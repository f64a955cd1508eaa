"""Predictions of GLMM fits with standard errors and confidence intervals, against
glmmTMB's predict(se.fit = TRUE) and glmer's (tests/data/glmm/make_predict_reference.R):
the population level, the fit's levels, new levels, the response scale through the
inverse link (increasing and decreasing) and zero-inflated means of new rows; the
working weights the conditional variances use, against the core's conditional
covariances of every family; and what is refused."""

from __future__ import annotations

import json
import math
import pickle
from functools import cache
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose
from scipy.special import expit
from scipy.stats import norm

import quorvelkit as qk
from quorvelkit.results.glmm_predict import working_weights

GLMM = Path(__file__).resolve().parent.parent / "data" / "glmm"
REF = json.loads((GLMM / "predict_reference.json").read_text())["models"]
DISPERSION = json.loads((GLMM / "dispersion_reference.json").read_text())["models"]
MODELS = list(REF)
# The inverse links of R's families, written here as R has them.
LINKINV = {"log": np.exp, "inverse": lambda eta: 1.0 / eta, "logit": expit}
Z95 = norm.ppf(0.975)


def floats(v) -> np.ndarray:
    return np.asarray(v, dtype=float)


def assert_bounds(got: pd.DataFrame, lwr: np.ndarray, upr: np.ndarray, se: np.ndarray) -> None:
    """The bounds to 1e-4 relative, or 1e-4 of the standard error where a bound is near 0."""
    expected = np.c_[lwr, upr]
    error = np.abs(got[["lwr", "upr"]].to_numpy() - expected)
    assert np.all(error <= 1e-4 * (np.abs(expected) + np.c_[se, se])), error


def frame_of(ref: dict) -> pd.DataFrame:
    frame = pd.read_csv(GLMM / ref["data"])
    if ref.get("subset"):
        frame = frame.query(ref["subset"]).reset_index(drop=True)
    for col, levels in ref["factors"].items():
        frame[col] = pd.Categorical(frame[col].astype(str), categories=levels)
    return frame


@cache
def fit_of(name: str) -> qk.GlmmFit:
    ref = REF[name]
    start = {"beta": [1 / 300, 0]} if ref["link"] == "inverse" else {}
    return qk.glmm(
        ref["formula"], frame_of(ref), ref["family"], link=ref["link"], laplace=ref["laplace"],
        zi=ref.get("zi_formula"), **start,
    )  # fmt: skip


def newdata_of(name: str) -> tuple[pd.DataFrame, np.ndarray]:
    """The reference's new rows, and the mask of those of a level the fit has."""
    ref = REF[name]
    nd = pd.DataFrame({k: (v if k in ref["factors"] else floats(v)) for k, v in ref["newdata"].items()})
    known = np.ones(len(nd), bool)
    known[ref["new_rows"]] = False
    return nd, known


@pytest.mark.parametrize("name", MODELS)
def test_population_level_intervals_are_the_peers(name):
    ref, fit = REF[name], fit_of(name)
    nd, _ = newdata_of(name)
    got = fit.predict(nd, re=False, interval="confidence", se_fit=True)
    fit_pop, se_pop = floats(ref["fit_pop"]), floats(ref["se_pop"])
    assert_allclose(got["fit"], fit_pop, rtol=1e-4)
    assert_allclose(got["se.fit"], se_pop, rtol=1e-4)
    assert_bounds(got, fit_pop - Z95 * se_pop, fit_pop + Z95 * se_pop, se_pop)


@pytest.mark.parametrize("name", MODELS)
def test_conditional_se_is_the_peers_with_the_modes_moving_with_beta(name):
    """At the fit's levels, Var(b | y) plus the delta method over beta with the modes'
    derivative -K Z'W X: glmmTMB's sdreport with beta's covariance alone, glmer's from
    its postVar and working weights. Also without newdata, for the fit's own rows."""
    ref, fit = REF[name], fit_of(name)
    nd, known = newdata_of(name)
    got = fit.predict(nd[known], re=True, interval="confidence", level=0.9, se_fit=True)
    fit_cond, se = floats(ref["fit_cond"]), floats(ref["se_cond_beta"])
    assert_allclose(got["fit"], fit_cond, rtol=1e-4)
    assert_allclose(got["se.fit"], se, rtol=1e-4)
    z90 = norm.ppf(0.95)
    assert_bounds(got, fit_cond - z90 * se, fit_cond + z90 * se, se)
    own = fit.predict(se_fit=True).iloc[ref["data_rows"]]
    assert_allclose(own["se.fit"], se, rtol=1e-4)


@pytest.mark.parametrize(
    "name", [n for n in MODELS if "se_cond" in REF[n] and np.all(np.isfinite(floats(REF[n]["se_cond"])))]
)
def test_glmmtmbs_own_conditional_se_also_moves_the_modes_with_theta(name):
    """glmmTMB's re.form = NULL also moves the modes with theta and the dispersion (and
    the zero-inflation): ours, which holds them, differs from it by their share only
    (within 15% on these fits), while the population level agrees exactly."""
    ref, fit = REF[name], fit_of(name)
    nd, known = newdata_of(name)
    got = fit.predict(nd[known], re=True, se_fit=True)["se.fit"].to_numpy()
    full = floats(ref["se_cond"])
    assert np.all(np.abs(got / full - 1) < 0.15)
    assert np.max(np.abs(got / full - 1)) > 1e-3  # a different quantity, not the same one


@pytest.mark.parametrize("name", MODELS)
def test_a_new_level_adds_its_random_effects_variance(name):
    """allow_new_levels: x0'C x0 + z0'Sigma z0, Sigma the peer's VarCorr."""
    ref, fit = REF[name], fit_of(name)
    nd, known = newdata_of(name)
    got = fit.predict(nd[~known], re=True, allow_new_levels=True, se_fit=True)
    sigma = floats(ref["re_cov"])
    q = int(round(math.sqrt(len(sigma))))
    z0 = np.ones((int(np.sum(~known)), 1)) if q == 1 else np.c_[np.ones(np.sum(~known)), nd.loc[~known, "Days"]]
    expected = floats(ref["se_pop"])[~known] ** 2 + np.einsum("ia,ab,ib->i", z0, sigma.reshape(q, q), z0)
    assert_allclose(got["fit"], floats(ref["fit_pop"])[~known], rtol=1e-4)
    assert_allclose(got["se.fit"] ** 2, expected, rtol=1e-4)


@pytest.mark.parametrize("name", [n for n in MODELS if not REF[n].get("zi_formula")])
@pytest.mark.parametrize("re", [False, True])
def test_response_bounds_are_the_link_bounds_through_the_inverse_link(name, re):
    """linkinv(fit -+ z se) in order: the inverse link of the Gamma decreases, so its
    lower bound is linkinv of the upper one."""
    ref, fit = REF[name], fit_of(name)
    nd, known = newdata_of(name)
    rows = nd if not re else nd[known]
    eta = floats(ref["fit_cond" if re else "fit_pop"])
    se = floats(ref["se_cond_beta" if re else "se_pop"])
    inv = LINKINV[ref["link"]]
    got = fit.predict(rows, type="response", re=re, interval="confidence")
    lo, hi = inv(eta - Z95 * se), inv(eta + Z95 * se)
    assert_allclose(got["fit"], inv(eta), rtol=1e-4)
    assert_allclose(got["lwr"], np.minimum(lo, hi), rtol=1e-4)
    assert_allclose(got["upr"], np.maximum(lo, hi), rtol=1e-4)
    assert np.all((got["lwr"] < got["fit"]) & (got["fit"] < got["upr"]))


def test_zero_inflated_means_of_new_rows_are_glmmtmbs():
    """(1 - pi) mu with pi from the zero-inflation formula's columns of the new rows:
    the fit's levels and the population level, whose standard error (the delta method
    over beta and the zero-inflation's coefficients) is glmmTMB's."""
    name = "salamanders_zipois"
    ref, fit = REF[name], fit_of(name)
    nd, known = newdata_of(name)
    assert_allclose(fit.predict(nd[known], type="response"), floats(ref["response_cond"]), rtol=1e-4)
    got = fit.predict(nd, type="response", re=False, interval="confidence", se_fit=True)
    mean, se = floats(ref["response_pop"]), floats(ref["response_se_pop"])
    assert_allclose(got["fit"], mean, rtol=1e-4)
    assert_allclose(got["se.fit"], se, rtol=1e-4)
    assert_bounds(got, mean - Z95 * se, mean + Z95 * se, se)


@pytest.mark.parametrize("name", [n for n in MODELS if REF[n]["family"] != "binomial"])
def test_response_standard_errors_are_glmmtmbs(name):
    """glmmTMB's se.fit of type = "response": the link's times |d mu / d eta| (or the
    mixture's delta method)."""
    ref, fit = REF[name], fit_of(name)
    nd, _ = newdata_of(name)
    se = floats(ref["response_se_pop"])
    if not np.all(np.isfinite(se)):  # glmmTMB's own Hessian of the inverse link's fit is not inverted
        se = floats(ref["se_pop"]) / floats(ref["fit_pop"]) ** 2
    got = fit.predict(nd, type="response", re=False, se_fit=True)
    assert_allclose(got["fit"], floats(ref["response_pop"]), rtol=1e-4)
    assert_allclose(got["se.fit"], se, rtol=1e-4)


# One-factor fits of every family and both informations: the weights' Z'WZ + Sigma^-1
# must invert to the core's own conditional covariances.
WEIGHT_FITS = [
    "salamanders_nb2_lme4", "salamanders_nb1", "owls_nb2", "sleepstudy_gamma_log", "sleepstudy_gamma_log_lme4",
    "sleepstudy_gaussian_inverse", "sleepstudy_inverse_gaussian_lme4", "sim_beta",
    "salamanders_truncnb2", "salamanders_hurdle_nb2", "owls_zinb1", "salamanders_zinb2", "salamanders_hurdle_pois1",
]  # fmt: skip


@pytest.mark.parametrize("name", WEIGHT_FITS)
def test_the_working_weights_give_the_cores_conditional_covariances(name):
    ref = DISPERSION[name]
    family = "nbinom2" if ref["peer"] == "glmer.nb" else ref["family"]
    start = {k: floats(v) for k, v in (ref.get("start") or {}).items() if k == "beta"}
    fit = qk.glmm(
        ref["formula"], frame_of(ref), family, link=ref["link"], laplace=ref["laplace"], zi=ref.get("zi_formula"),
        **start,
    )  # fmt: skip
    rows = fit._design.need_rows("test")
    w = working_weights(fit)
    m, q = fit._design.m, rows.z.shape[1]
    ztwz = np.zeros((m, q, q))
    for a in range(q):
        for b in range(q):
            ztwz[:, a, b] = np.bincount(rows.codes, weights=rows.z[:, a] * rows.z[:, b] * w, minlength=m)
    sigma = fit.cov_re.to_numpy()
    # The weights are the core's own (the family table's derivatives), so to rounding.
    assert_allclose(np.linalg.inv(ztwz + np.linalg.inv(sigma)), fit._factor_cond_covs()[0], rtol=1e-9)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f, nd: f.predict(nd, interval="prediction"), "use interval='confidence'"),
        (lambda f, nd: f.predict(nd, interval="wald"), "interval must be 'confidence' or None"),
        (lambda f, nd: f.predict(nd, type="mean"), "type must be 'link' or 'response'"),
        (lambda f, nd: f.predict(nd, interval="confidence", level=1.5), "level"),
        (lambda f, nd: f.predict(nd.drop(columns="mined"), type="response", re=False), "mined"),
        (lambda f, nd: f.predict(nd.drop(columns="site"), type="response"), "site"),
    ],
)
def test_what_is_refused_says_why(call, message):
    fit = fit_of("salamanders_zipois")
    nd, known = newdata_of("salamanders_zipois")
    with pytest.raises(ValueError, match=message):
        call(fit, nd[known])


def test_a_zero_inflation_column_missing_is_named_among_the_formulas():
    """The count model has no column of the zero-inflation formula's here: newdata
    without it predicts the link, and refuses the response naming the column."""
    d = frame_of(REF["salamanders_zipois"]).assign(cover=lambda f: (f["count"].index % 7) / 7.0)
    fit = qk.glmm("count ~ mined + (1 | site)", d, "poisson", zi="~ cover")
    nd = d[["mined", "site"]].iloc[:3]
    assert np.all(np.isfinite(fit.predict(nd, interval="confidence")["lwr"]))
    with pytest.raises(ValueError, match="zero-inflation formula's column.* cover"):
        fit.predict(nd, type="response")
    got = fit.predict(d.iloc[:3], type="response")
    assert_allclose(got, fit.fitted.iloc[:3], rtol=1e-12)


def test_several_factors_give_population_intervals_and_refuse_conditional_ones():
    """The intercept's row (the first year, cHEIGHT 0) has glmmTMB's SE of the intercept."""
    ref = DISPERSION["grouseticks_nb2"]
    frame = frame_of(ref)
    fit = qk.glmm(ref["formula"], frame, "nbinom2", laplace="observed")
    row = frame.iloc[:1].assign(YEAR=pd.Categorical([ref["factors"]["YEAR"][0]], categories=ref["factors"]["YEAR"]))
    got = fit.predict(row.assign(cHEIGHT=0.0), re=False, interval="confidence", se_fit=True)
    assert_allclose(got["se.fit"], floats(ref["se"])[:1], rtol=1e-3)
    assert_allclose(got["fit"], floats(ref["beta"]["values"])[:1], rtol=1e-4)
    with pytest.raises(ValueError, match="one grouping factor"):
        fit.predict(frame.iloc[:4], interval="confidence")
    # New levels of both factors: each adds its variance, glmmTMB's sd squared.
    new = row.assign(cHEIGHT=0.0, BROOD="new brood", LOCATION="new location")
    got = fit.predict(new, allow_new_levels=True, se_fit=True)
    variances = sum(floats(t["sd"])[0] ** 2 for t in ref["random"].values())
    assert_allclose(got["se.fit"] ** 2, floats(ref["se"])[:1] ** 2 + variances, rtol=1e-3)


@pytest.mark.parametrize("name", ["salamanders_zipois", "sleepstudy_gamma_inverse", "cbpp_binomial"])
def test_a_fit_loaded_from_a_pickle_gives_the_same_intervals(name):
    fit = fit_of(name)
    nd, _ = newdata_of(name)
    before = fit.predict(nd, type="response", interval="confidence", se_fit=True, allow_new_levels=True)
    after = pickle.loads(pickle.dumps(fit)).predict(
        nd, type="response", interval="confidence", se_fit=True, allow_new_levels=True
    )
    assert before.equals(after)
