"""R's ways of calling glmer and lmer: family names and calls as R writes them, weights=
and offset= as expressions of the data's columns, subset=, and max_iter=0 as the
evaluation of lme4's deviance function at a given (theta, beta).

Each R spelling must give the very fit of the Python spelling (bit for bit), and each
new capability one number of lme4's (tests/data/glmm/call_reference.json, made by
make_call_reference.R there)."""

import json
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose

import quorvelkit as qk
from quorvelkit.__main__ import run
from quorvelkit.families.family import linkinv

DATA = Path(__file__).resolve().parent.parent / "data"
REF = json.loads((DATA / "glmm" / "call_reference.json").read_text())
CBPP = "cbind(incidence, size - incidence) ~ period + (1 | herd)"
INSURANCE = "Claims ~ Age + (1 | District)"
FM1 = "Reaction ~ Days + (Days | Subject)"


def cbpp() -> pd.DataFrame:
    d = pd.read_csv(DATA / "glmm" / "cbpp.csv")
    d["period"] = pd.Categorical(d["period"].astype(str), categories=["1", "2", "3", "4"])
    d["herd"] = d["herd"].astype(str)
    return d


def insurance() -> pd.DataFrame:
    d = pd.read_csv(DATA / "glmm" / "insurance.csv")
    d["Age"] = pd.Categorical(d["Age"], categories=REF["offset_glmer"]["age_levels"])
    d["District"] = d["District"].astype(str)
    return d


def sleep() -> pd.DataFrame:
    d = pd.read_csv(DATA / "sleepstudy_data.csv")
    d["Subject"] = d["Subject"].astype(str)  # R's factor: Subject != "308" compares labels
    return d


def quiet(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kwargs)


def same_fit(a, b) -> None:
    """Two fits of the same model and rows, bit for bit."""
    assert a.nobs == b.nobs
    assert np.array_equal(a.fixef.to_numpy(), b.fixef.to_numpy())
    assert np.array_equal(np.asarray(a.theta), np.asarray(b.theta))
    assert np.array_equal(a.fitted.to_numpy(), b.fitted.to_numpy())
    assert a.loglik == b.loglik


def near_r(fit, ref: dict, rtol: float = 2e-5) -> None:
    """A fit at lme4's optimum (lme4's own tolerances: a few significant digits short
    of the optimum's)."""
    assert fit.nobs == ref["nobs"]
    assert_allclose(fit.fixef.to_numpy(), ref["beta"], rtol=rtol, atol=1e-7)
    assert_allclose(np.asarray(fit.theta), ref["theta"], rtol=1e-4, atol=1e-5)
    assert_allclose(-2 * fit.loglik, ref["m2loglik"][0], rtol=1e-9)


# ----------------------------------------------------------------- families


@pytest.mark.parametrize(
    "spelling, link, python",
    [
        ("Binomial", None, ("binomial", None)),
        ("BINOMIAL", None, ("binomial", None)),
        (" binomial() ", None, ("binomial", None)),
        ("binomial(link = 'probit')", None, ("binomial", "probit")),
        ('binomial(link = "probit")', None, ("binomial", "probit")),
        ("binomial(link=probit)", None, ("binomial", "probit")),
        ('binomial("cloglog")', None, ("binomial", "cloglog")),
        ("binomial(link = 'probit')", "probit", ("binomial", "probit")),
        ("Binomial", "cloglog", ("binomial", "cloglog")),
        ("Poisson", None, ("poisson", None)),
        ('poisson(link = "log")', None, ("poisson", None)),
        ("poisson()", "log", ("poisson", None)),
    ],
)
def test_r_spellings_of_a_family_fit_as_the_python_names(spelling, link, python):
    fam, py_link = python
    data, formula = (cbpp(), CBPP) if fam == "binomial" else (insurance(), INSURANCE + " + offset(log(Holders))")
    fit = quiet(qk.glmm, formula, data, spelling, link)
    assert (fit.family, fit.link) == (fam, py_link or ("logit" if fam == "binomial" else "log"))
    same_fit(fit, quiet(qk.glmm, formula, data, fam, py_link))


@pytest.mark.parametrize(
    "family, link, message",
    [
        ("binomal", None, "did you mean 'binomial'"),
        ("Poison", None, "did you mean 'poisson'"),
        ("quasipoisson", None, "not a likelihood family.*family='poisson'"),
        ("quasibinomial(link = 'logit')", None, "not a likelihood family.*family='binomial'"),
        ("gaussian", None, "quorvelkit.lmm"),
        ("Gamma", None, "must be 'binomial' or 'poisson'"),
        ("binomial(link = 'probit')", "logit", "the link 'probit', but link='logit'"),
        ("binomial(link = 'probit', x)", None, "cannot read the link"),
        ("binomial(link = 'log')", None, "link of the binomial family must be 'logit', 'probit', 'cloglog'"),
        ("poisson", "identity", "link of the poisson family must be 'log'"),
        (None, None, "must be 'binomial' or 'poisson'"),
    ],
)
def test_families_not_fitted_are_refused_with_a_hint(family, link, message):
    with pytest.raises(ValueError, match=message):
        qk.glmm(CBPP, cbpp(), family, link)


@pytest.mark.parametrize(
    "family, status, shown",
    [
        ("Binomial", 0, "Family: binomial  ( logit )"),
        ("binomial(link = 'probit')", 0, "Family: binomial  ( probit )"),
        ("binomal", 2, "did you mean 'binomial'"),
    ],
)
def test_command_line_takes_r_spellings_of_the_family(capsys, family, status, shown):
    code = run(
        [
            str(DATA / "glmm" / "cbpp.csv"),
            "cbind(incidence, size - incidence) ~ factor(period) + (1 | herd)",
            "--family",
            family,
        ]
    )
    out, err = capsys.readouterr()
    assert code == status
    assert shown in (out if status == 0 else err)


# ----------------------------------------------------------------- max_iter=0: an evaluation


@pytest.mark.parametrize("nagq", [0, 1, 5])
def test_max_iter_zero_keeps_every_parameter_given(nagq):
    ref = REF["point"]
    theta, beta = np.array(ref["theta"]), np.array(ref["beta"])
    fit = quiet(qk.glmm, CBPP, cbpp(), nagq=nagq, theta=theta, beta=beta, max_iter=0)
    assert np.array_equal(np.asarray(fit.theta), theta)
    assert np.array_equal(fit.fixef.to_numpy(), beta)
    assert fit.m2loglik == fit.core.criterion(theta, beta, max(nagq, 1))
    if nagq <= 1:  # lme4's deviance function of c(theta, beta), nAGQ = 1
        assert_allclose(fit.m2loglik, ref["m2loglik"][0], rtol=1e-10)
    # The modes and fitted values are those of the given beta: eta = X beta + Z b.
    d = cbpp()
    b = fit.ranef["herd"]["(Intercept)"].reindex(d["herd"]).to_numpy()
    x = np.column_stack([np.ones(len(d))] + [(d["period"] == p).to_numpy(float) for p in "234"])
    assert_allclose(fit.linear_predictor.to_numpy(), x @ beta + b, rtol=1e-12, atol=1e-12)
    assert_allclose(fit.fitted.to_numpy(), linkinv(x @ beta + b, "logit"), rtol=1e-12)
    assert not fit.converged
    assert np.all(np.isfinite(fit.se.to_numpy()))


def test_max_iter_zero_on_crossed_factors_keeps_the_point():
    d = pd.read_csv(DATA / "glmm" / "grouseticks.csv")
    formula = "TICKS ~ YEAR + (1 | BROOD) + (1 | LOCATION)"
    d["YEAR"] = pd.Categorical(d["YEAR"].astype(str))
    theta, beta = np.array([1.1, 0.6]), np.array([0.4, 1.2, -1.0])
    fit = quiet(qk.glmm, formula, d, "poisson", theta=theta, beta=beta, max_iter=0)
    assert np.array_equal(np.asarray(fit.theta), theta)
    assert np.array_equal(fit.fixef.to_numpy(), beta)
    assert fit.m2loglik == pytest.approx(fit.core.criterion(theta, beta), rel=1e-12)


# ----------------------------------------------------------------- weights= and offset= as expressions


@pytest.mark.parametrize(
    "fn, formula, data, r_way, python_way",
    [
        (qk.glmm, INSURANCE, insurance, {"family": "poisson", "offset": "log(Holders)"},
         lambda d: {"family": "poisson", "offset": np.log(d["Holders"])}),
        (qk.glmm, INSURANCE + " + offset(log(Holders))", insurance,
         {"family": "poisson", "offset": "-log(2 * Holders)"},
         lambda d: {"family": "poisson", "offset": -np.log(2 * d["Holders"])}),
        (qk.glmm, "incidence / size ~ period + (1 | herd)", cbpp, {"weights": "2 * size"},
         lambda d: {"weights": 2.0 * d["size"]}),
        (qk.lmm, FM1, sleep, {"weights": "1 / (1 + Days)"}, lambda d: {"weights": 1 / (1 + d["Days"])}),
        (qk.lmm, FM1, sleep, {"offset": "sqrt(Days)"}, lambda d: {"offset": np.sqrt(d["Days"])}),
        (qk.lmm, FM1, sleep, {"weights": "Days + 1", "subset": "Days < 8"},
         lambda d: {"weights": d["Days"] + 1, "subset": (d["Days"] < 8).to_numpy()}),
    ],
)  # fmt: skip
def test_expressions_for_weights_and_offset_fit_as_their_values(fn, formula, data, r_way, python_way):
    d = data()
    same_fit(quiet(fn, formula, d, **r_way), quiet(fn, formula, d, **python_way(d)))


def test_an_offset_expression_drops_rows_of_a_missing_input():
    d = insurance()
    d["z"] = 1.0
    d.loc[5, "z"] = np.nan  # z > 0 is False there, but the input is missing: the row goes
    fit = quiet(qk.glmm, INSURANCE, d, "poisson", offset="log(Holders) + (z > 0)")
    assert (fit.nobs, fit.n_dropped) == (63, 1)
    kept = d.drop(index=5)
    same_fit(fit, quiet(qk.glmm, INSURANCE, kept, "poisson", offset=np.log(kept["Holders"]) + 1.0))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: qk.glmm(INSURANCE, insurance(), "poisson", offset="log(Holder)"), "Holder"),
        (lambda: qk.lmm(FM1, sleep(), offset="__import__('os')"), "__import__"),
    ],
)
def test_bad_expressions_are_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_peer_numbers_of_expressions():
    near_r(quiet(qk.glmm, INSURANCE, insurance(), "poisson", offset="log(Holders)"), REF["offset_glmer"])
    ref = REF["weights_lmer"]
    fit = qk.lmm(FM1, sleep(), reml=True, weights=ref["weights"])
    assert fit.nobs == ref["nobs"]
    assert_allclose(fit.fixef.to_numpy(), ref["beta"], rtol=1e-6)
    assert_allclose(fit.sigma, ref["sigma"][0], rtol=1e-5)
    assert_allclose(fit.criterion, ref["m2loglik"][0], rtol=1e-9)  # REML: -2 logLik is the REML criterion


# ----------------------------------------------------------------- subset=


@pytest.mark.parametrize(
    "fn, formula, data, subset, mask",
    [
        (qk.lmm, FM1, sleep, 'Days >= 2 & Subject != "308"', lambda d: (d.Days >= 2) & (d.Subject != "308")),
        (qk.lmm, FM1, sleep, "!(Days < 2) && Subject != '308'", lambda d: (d.Days >= 2) & (d.Subject != "308")),
        (qk.lmm, FM1, sleep, "Days > 7 | Reaction < 250", lambda d: (d.Days > 7) | (d.Reaction < 250)),
        (qk.lmm, FM1, sleep, "(Days > 7 | Days < 3) & log(Reaction) > 5.5",
         lambda d: ((d.Days > 7) | (d.Days < 3)) & (np.log(d.Reaction) > 5.5)),
        (qk.glmm, CBPP, cbpp, "size > 10", lambda d: d["size"] > 10),
        (qk.glmm, CBPP, cbpp, "period != '4'", lambda d: d["period"] != "4"),
    ],
)  # fmt: skip
def test_subset_fits_the_rows_it_keeps(fn, formula, data, subset, mask):
    d = data()
    keep = mask(d).to_numpy()
    fit = quiet(fn, formula, d, subset=subset)
    same_fit(fit, quiet(fn, formula, d.loc[keep]))
    same_fit(fit, quiet(fn, formula, d, subset=keep))  # a boolean mask too
    assert fit.n_dropped == 0


def test_subset_drops_rows_where_it_is_na_with_r_logic():
    d = sleep()
    d["flag"] = np.where(d.index % 7 == 0, np.nan, d.index % 3)
    # NA & FALSE is FALSE, NA | TRUE is TRUE; a row whose subset is NA is dropped.
    fit = quiet(qk.lmm, FM1, d, subset="flag > 0 | Days == 0")
    keep = ((d.flag > 0) | (d.Days == 0)).to_numpy()
    assert fit.nobs == int(keep.sum()) and fit.n_dropped == 0
    same_fit(fit, quiet(qk.lmm, FM1, d.loc[keep]))
    fit = quiet(qk.lmm, FM1, d, subset="!(flag > 0)")
    assert fit.nobs == int((d.flag == 0).sum())
    # !(NA & FALSE) is TRUE, !(NA & TRUE) is NA.
    fit = quiet(qk.lmm, FM1, d, subset="!(flag > 0 & Days > 5)")
    keep = np.where(d.flag.isna(), d.Days <= 5, ~((d.flag > 0) & (d.Days > 5)))
    same_fit(fit, quiet(qk.lmm, FM1, d.loc[keep]))


@pytest.mark.parametrize(
    "subset, error, message",
    [
        ("Days + 1", ValueError, "must be a condition"),
        ("Days > 100", ValueError, "keeps no row"),
        ("Dayz > 1", ValueError, "Dayz"),
        (np.ones(5, bool), ValueError, "one boolean per row"),
        (3, TypeError, "subset must be"),
    ],
)
def test_bad_subsets_are_refused(subset, error, message):
    with pytest.raises(error, match=message):
        qk.lmm(FM1, sleep(), subset=subset)


def test_peer_numbers_of_subset():
    for fn, formula, data, ref in [
        (qk.lmm, FM1, sleep, REF["subset_lmer"]),
        (qk.glmm, CBPP, cbpp, REF["subset_glmer"]),
    ]:
        fit = quiet(fn, formula, data(), subset=ref["subset"])
        assert fit.nobs == ref["nobs"]
        assert_allclose(fit.fixef.to_numpy(), ref["beta"], rtol=2e-5)
        assert_allclose(np.asarray(fit.theta), ref["theta"], rtol=2e-4)
        assert_allclose(fit.criterion, ref["m2loglik"][0], rtol=1e-9)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"subset": "Days > 1"}, "subset= is for data in memory.*pyarrow"),
        ({"weights": "1 / (1 + Days)"}, "weights='1 / \\(1 \\+ Days\\)' is an expression"),
    ],
)
def test_batched_data_refuse_expressions(kwargs, message):
    d = sleep()
    with pytest.raises(ValueError, match=message):
        qk.lmm(FM1, iter([d.iloc[:90], d.iloc[90:]]), **kwargs)
