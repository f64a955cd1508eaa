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
    return d.astype({"herd": str})


def insurance() -> pd.DataFrame:
    d = pd.read_csv(DATA / "glmm" / "insurance.csv")
    d["Age"] = pd.Categorical(d["Age"], categories=REF["offset_glmer"]["age_levels"])
    return d.astype({"District": str})


def sleep() -> pd.DataFrame:
    # R's factor: Subject != "308" compares labels
    return pd.read_csv(DATA / "sleepstudy_data.csv").astype({"Subject": str})


def flagged() -> pd.DataFrame:
    """sleepstudy with a column ``flag`` missing in every seventh row."""
    d = sleep()
    return d.assign(flag=np.where(d.index % 7 == 0, np.nan, d.index % 3))


def quiet(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kwargs)


def same_fit(a, b) -> None:
    """Two fits of the same model and rows, bit for bit."""
    assert a.nobs == b.nobs and a.loglik == b.loglik
    for what in ("fixef", "theta", "fitted"):
        assert np.array_equal(np.asarray(getattr(a, what)), np.asarray(getattr(b, what))), what


# (R's spelling, link=, the Python family and link)
SPELLINGS = [
    ("Binomial", None, "binomial", None), ("BINOMIAL", None, "binomial", None),
    (" binomial() ", None, "binomial", None), ("binomial(link = 'probit')", None, "binomial", "probit"),
    ('binomial(link = "probit")', None, "binomial", "probit"),
    ("binomial(link=probit)", None, "binomial", "probit"), ('binomial("cloglog")', None, "binomial", "cloglog"),
    ("binomial(link = 'probit')", "probit", "binomial", "probit"), ("Binomial", "cloglog", "binomial", "cloglog"),
    ("Poisson", None, "poisson", None), ('poisson(link = "log")', None, "poisson", None),
    ("poisson()", "log", "poisson", None),
]  # fmt: skip


@pytest.mark.parametrize("spelling, link, fam, py_link", SPELLINGS)
def test_r_spellings_of_a_family_fit_as_the_python_names(spelling, link, fam, py_link):
    data, formula = (cbpp(), CBPP) if fam == "binomial" else (insurance(), INSURANCE + " + offset(log(Holders))")
    fit = quiet(qk.glmm, formula, data, spelling, link)
    assert (fit.family, fit.link) == (fam, py_link or ("logit" if fam == "binomial" else "log"))
    same_fit(fit, quiet(qk.glmm, formula, data, fam, py_link))


@pytest.mark.parametrize("family, status, shown", [
    ("binomial(link = 'probit')", 0, "Family: binomial  ( probit )"), ("binomal", 2, "did you mean 'binomial'"),
])  # fmt: skip
def test_command_line_takes_r_spellings_of_the_family(capsys, family, status, shown):
    code = run([str(DATA / "glmm" / "cbpp.csv"), "cbind(incidence, size - incidence) ~ factor(period) + (1 | herd)",
                "--family", family])  # fmt: skip
    out, err = capsys.readouterr()
    assert code == status and shown in (out if status == 0 else err)


# (the model and its data, its family, theta, beta, nagq, lme4's deviance function there)
POINTS = [
    *[(CBPP, cbpp, "binomial", REF["point"]["theta"], REF["point"]["beta"], n, n <= 1) for n in (0, 1, 5)],
    ("TICKS ~ YEAR + (1 | BROOD) + (1 | LOCATION)",
     lambda: pd.read_csv(DATA / "glmm" / "grouseticks.csv").astype({"YEAR": str}).astype({"YEAR": "category"}),
     "poisson", [1.1, 0.6],
     [0.4, 1.2, -1.0], 1, False),
]  # fmt: skip


@pytest.mark.parametrize("formula, data, family, theta, beta, nagq, lme4", POINTS)
def test_max_iter_zero_keeps_every_parameter_given(formula, data, family, theta, beta, nagq, lme4):
    theta, beta, d = np.array(theta), np.array(beta), data()
    fit = quiet(qk.glmm, formula, d, family, nagq=nagq, theta=theta, beta=beta, max_iter=0)
    assert np.array_equal(np.asarray(fit.theta), theta) and np.array_equal(fit.fixef.to_numpy(), beta)
    assert fit.m2loglik == pytest.approx(fit.core.criterion(theta, beta, max(nagq, 1)), rel=1e-15)
    assert not fit.converged and np.all(np.isfinite(fit.se.to_numpy()))
    if lme4:  # lme4's deviance function of c(theta, beta), nAGQ = 1
        assert_allclose(fit.m2loglik, REF["point"]["m2loglik"][0], rtol=1e-10)
    if formula == CBPP:  # the modes and fitted values are those of the given beta: eta = X beta + Z b
        b = fit.ranef["herd"]["(Intercept)"].reindex(d["herd"]).to_numpy()
        x = np.column_stack([np.ones(len(d))] + [(d["period"] == p).to_numpy(float) for p in "234"])
        assert_allclose(fit.linear_predictor.to_numpy(), x @ beta + b, rtol=1e-12, atol=1e-12)
        assert_allclose(fit.fitted.to_numpy(), linkinv(x @ beta + b, "logit"), rtol=1e-12)


# (fit, formula, data, R's way, the Python way)
EXPRESSIONS = [
    (qk.glmm, INSURANCE, insurance, {"family": "poisson", "offset": "log(Holders)"},
     lambda d: {"family": "poisson", "offset": np.log(d["Holders"])}),
    (qk.glmm, INSURANCE + " + offset(log(Holders))", insurance, {"family": "poisson", "offset": "-log(2 * Holders)"},
     lambda d: {"family": "poisson", "offset": -np.log(2 * d["Holders"])}),
    (qk.glmm, "incidence / size ~ period + (1 | herd)", cbpp, {"weights": "2 * size"},
     lambda d: {"weights": 2.0 * d["size"]}),
    (qk.lmm, FM1, sleep, {"weights": "1 / (1 + Days)"}, lambda d: {"weights": 1 / (1 + d["Days"])}),
    (qk.lmm, FM1, sleep, {"offset": "sqrt(Days)"}, lambda d: {"offset": np.sqrt(d["Days"])}),
    (qk.lmm, FM1, sleep, {"weights": "Days + 1", "subset": "Days < 8"},
     lambda d: {"weights": d["Days"] + 1, "subset": (d["Days"] < 8).to_numpy()}),
    # an input missing in a row drops it, though z > 0 is False there
    (qk.glmm, INSURANCE, lambda: insurance().assign(z=lambda d: np.where(d.index == 5, np.nan, 1.0)),
     {"family": "poisson", "offset": "log(Holders) + (z > 0)"},
     lambda d: {"family": "poisson", "offset": np.log(d["Holders"]) + 1.0, "subset": d.index != 5}),
]  # fmt: skip


@pytest.mark.parametrize("fn, formula, data, r_way, python_way", EXPRESSIONS)
def test_expressions_for_weights_and_offset_fit_as_their_values(fn, formula, data, r_way, python_way):
    d = data()
    fit = quiet(fn, formula, d, **r_way)
    same_fit(fit, quiet(fn, formula, d, **python_way(d)))
    assert fit.n_dropped == int(d.isna().any(axis=1).sum())


# (fit, formula, data, subset=, the rows it keeps): R's logic of NA, NA & FALSE is
# FALSE, NA | TRUE is TRUE, !(NA & TRUE) is NA, and a row whose subset is NA is dropped
SUBSETS = [
    (qk.lmm, FM1, sleep, 'Days >= 2 & Subject != "308"', lambda d: (d.Days >= 2) & (d.Subject != "308")),
    (qk.lmm, FM1, sleep, "!(Days < 2) && Subject != '308'", lambda d: (d.Days >= 2) & (d.Subject != "308")),
    (qk.lmm, FM1, sleep, "Days > 7 | Reaction < 250", lambda d: (d.Days > 7) | (d.Reaction < 250)),
    (qk.lmm, FM1, sleep, "(Days > 7 | Days < 3) & log(Reaction) > 5.5",
     lambda d: ((d.Days > 7) | (d.Days < 3)) & (np.log(d.Reaction) > 5.5)),
    (qk.glmm, CBPP, cbpp, "size > 10", lambda d: d["size"] > 10),
    (qk.glmm, CBPP, cbpp, "period != '4'", lambda d: d["period"] != "4"),
    (qk.lmm, FM1, flagged, "flag > 0 | Days == 0", lambda d: (d.flag > 0) | (d.Days == 0)),
    (qk.lmm, FM1, flagged, "!(flag > 0)", lambda d: d.flag == 0),
    (qk.lmm, FM1, flagged, "!(flag > 0 & Days > 5)",
     lambda d: np.where(d.flag.isna(), d.Days <= 5, ~((d.flag > 0) & (d.Days > 5)))),
]  # fmt: skip


@pytest.mark.parametrize("fn, formula, data, subset, mask", SUBSETS)
def test_subset_fits_the_rows_it_keeps(fn, formula, data, subset, mask):
    d = data()
    keep = np.asarray(mask(d), dtype=bool)
    fit = quiet(fn, formula, d, subset=subset)
    same_fit(fit, quiet(fn, formula, d.loc[keep]))
    same_fit(fit, quiet(fn, formula, d, subset=keep))  # a boolean mask too
    assert fit.n_dropped == 0


@pytest.mark.parametrize("fn, formula, data, given, key, beta_rtol", [
    (qk.glmm, INSURANCE, insurance, {"family": "poisson", "offset": "log(Holders)"}, "offset_glmer", 2e-5),
    (qk.lmm, FM1, sleep, {"weights": REF["weights_lmer"]["weights"]}, "weights_lmer", 1e-6),
    (qk.lmm, FM1, sleep, {"subset": REF["subset_lmer"]["subset"]}, "subset_lmer", 2e-5),
    (qk.glmm, CBPP, cbpp, {"subset": REF["subset_glmer"]["subset"]}, "subset_glmer", 2e-5),
])  # fmt: skip
def test_peer_numbers_of_expressions_and_subsets(fn, formula, data, given, key, beta_rtol):
    # at lme4's optimum to lme4's own tolerances (a few digits short of the optimum's);
    # an LMM's criterion is REML's, -2 logLik of lmer's REML fit
    ref, fit = REF[key], quiet(fn, formula, data(), **given)
    assert fit.nobs == ref["nobs"]
    assert_allclose(fit.fixef.to_numpy(), ref["beta"], rtol=beta_rtol, atol=1e-7)
    assert_allclose(np.asarray(fit.theta), ref["theta"], rtol=2e-4, atol=1e-5)
    assert_allclose(fit.criterion, ref["m2loglik"][0], rtol=1e-9)
    if fn is qk.lmm:
        assert_allclose(fit.sigma, ref["sigma"][0], rtol=1e-5)


REFUSED = [  # (call, exception, message); the words of the Python spellings: test_messages
    *[(lambda f=f, k=k: qk.glmm(CBPP, cbpp(), f, k), ValueError, m) for f, k, m in [
        ("binomal", None, "did you mean 'binomial'"), ("Poison", None, "did you mean 'poisson'"),
        ("quasipoisson", None, "not a likelihood family.*family='poisson'"),
        ("quasibinomial(link = 'logit')", None, "not a likelihood family.*family='binomial'"),
        ("ziGamma", None, "zero-inflated families are not fitted yet"), ("nbinom", None, "did you mean 'nbinom"),
        (None, None, "must be 'binomial', 'poisson', 'nbinom2'"),
        ("binomial(link = 'probit')", "logit", "the link 'probit', but link='logit'"),
        ("binomial(link = 'probit', x)", None, "cannot read the link")]],
    (lambda: qk.glmm(INSURANCE, insurance(), "poisson", offset="log(Holder)"), ValueError, "Holder"),
    (lambda: qk.lmm(FM1, sleep(), offset="__import__('os')"), ValueError, "__import__"),
    *[(lambda s=s: qk.lmm(FM1, sleep(), subset=s), e, m) for s, e, m in [
        ("Days + 1", ValueError, "must be a condition"), ("Days > 100", ValueError, "keeps no row"),
        ("Dayz > 1", ValueError, "Dayz"), (np.ones(5, bool), ValueError, "one boolean per row"),
        (3, TypeError, "subset must be")]],
    (lambda: qk.lmm(FM1, iter([sleep()[:90], sleep()[90:]]), subset="Days > 1"), ValueError,
     "subset= is for data in memory.*pyarrow"),
    (lambda: qk.lmm(FM1, iter([sleep()[:90], sleep()[90:]]), weights="1 / (1 + Days)"), ValueError,
     "weights='1 / \\(1 \\+ Days\\)' is an expression"),
]  # fmt: skip


@pytest.mark.parametrize("call, error, message", REFUSED, ids=[r[2][:40] for r in REFUSED])
def test_what_cannot_be_fitted_is_refused_with_a_hint(call, error, message):
    with pytest.raises(error, match=message):
        call()
