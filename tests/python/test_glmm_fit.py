"""Generalized linear mixed models against lme4's glmer (tests/data/glmm, made by
make_reference.R there), model by model over the references of one grouping factor.

Two ways in. With glmer's own estimates in place of the compiled core's (a stand-in
core built from glmer's theta, beta and modes), everything the Python side derives
must be glmer's: what the core is given (proportions, prior weights, offset), fitted
values, the three kinds of residual, predictions, deviance, overdispersion, variance
components, the degrees of freedom and the printed summary. With the compiled core,
the fit itself must reach glmer's optimum: a log-likelihood at glmer's tight refit or
higher, and its theta, beta and standard errors where glmer converged."""

import contextlib
import json
import math
import pickle
import re
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose
from printing import printed_alike

import quorvelkit as qk
from quorvelkit import _quorvelkit
from quorvelkit.families.family import linkinv
from quorvelkit.results.report import r_abbreviate

GLMM = Path(__file__).resolve().parent.parent / "data" / "glmm"
MODELS = {  # model: its data set
    "cbpp_laplace": "cbpp", "cbpp_nagq0": "cbpp", "cbpp_nagq9": "cbpp", "cbpp_proportion_laplace": "cbpp",
    "contraception_laplace": "contraception", "contraception_nagq5": "contraception",
    "bernoulli_vector_laplace": "sim_bernoulli_vector", "poisson_offset_laplace": "sim_poisson_offset",
    "probit_laplace": "sim_binomial_links", "cloglog_laplace": "sim_binomial_links",
    "probit_nagq7": "sim_binomial_links", "cloglog_nagq7": "sim_binomial_links",
    "bernoulli_singular_laplace": "sim_bernoulli_singular",
}  # fmt: skip


def load(name: str) -> tuple[dict, pd.DataFrame]:
    """A data set's reference file and its data, factors as R's (categoricals in R's order)."""
    meta = json.loads((GLMM / f"{name}.json").read_text())
    frame = pd.read_csv(GLMM / meta["data"])
    for col, levels in meta["factors"].items():
        frame[col] = pd.Categorical(frame[col].astype(str), categories=levels)
    return meta, frame


@pytest.fixture(scope="module", params=list(MODELS))
def case(request):
    meta, frame = load(MODELS[request.param])
    return request.param, meta["models"][request.param], frame, meta["factors"]


def saturated(ref: dict) -> float:
    """What glmer leaves out of its -2 log-likelihood for nAGQ > 1 (zero otherwise)."""
    return ref["devfun"].get("saturated_m2ll", 0.0) if ref["nagq"] > 1 else 0.0


def in_our_order(group: dict, levels, values) -> np.ndarray:
    """glmer's values of a factor's levels (in the order of ``group["levels"]``) in our
    order of levels."""
    at = {str(v): k for k, v in enumerate(group["levels"])}
    return np.asarray(values)[[at[str(v)] for v in levels]]


def glmer_modes(ref: dict, levels) -> np.ndarray:
    """glmer's conditional modes, (levels, q), in our order of levels."""
    (group,) = ref["ranef"].values()
    return np.column_stack([in_our_order(group, levels, group["values"][c]) for c in group["columns"]])


def glmer_newdata(ref: dict, factors: dict, fit) -> pd.DataFrame:
    """glmer's new rows for predictions, the factors the model does not group by as text."""
    new = pd.DataFrame(ref["predict"]["newdata"])
    return new.astype({c: str for c in new.columns if c in factors and c not in fit.factor_names})


class GlmerCore:
    """A stand-in for the compiled core that 'fits' by returning glmer's estimates: its
    linear predictor from what it is given, so that a wrong response, weight or offset
    handed to it shows in what the fit derives."""

    made: list = []
    ref: dict = {}

    def __init__(self, y, x, z, codes, m, blocks, weights, offset, family, link, laplace=None, zi=None):
        self.args = dict(y=y, x=x, z=z, codes=codes, m=m, blocks=blocks, weights=weights, offset=offset)
        self.family, self.link, self.laplace = family, link, laplace or "fisher"
        self.n_theta, self.p = len(self.ref["theta"]["values"]), x.shape[1]
        GlmerCore.made.append(self)

    def fit(self, nagq=1, theta=None, beta=None, max_iter=300):
        ref, a = self.ref, self.args
        beta = np.asarray(ref["beta"]["values"])
        b = self.modes
        eta = a["x"] @ beta + np.einsum("ij,ij->i", a["z"], b[a["codes"]])
        eta = eta + (0.0 if a["offset"] is None else a["offset"])
        q = b.shape[1]
        return {
            "theta": np.asarray(ref["theta"]["values"]), "beta": beta, "nagq": nagq, "converged": True,
            "m2loglik": ref["m2loglik"] + saturated(ref), "message": "glmer's", "iterations": 1, "fev": 1,
            "fev_stage1": 0, "grad": np.zeros(self.n_theta + self.p), "grad_inf_norm": 0.0, "u": b, "b": b,
            "cond_var": np.zeros((len(b), q, q)), "eta": eta, "mu": linkinv(eta, self.link),
            "vcov": np.diag(np.square(ref["se"])), "vcov_rx": np.diag(np.square(ref["se_rx"])),
            "vcov_source": "hessian", "singular": ref["singular"],
        }  # fmt: skip


def glmm_call(ref: dict, frame: pd.DataFrame, **kw):
    return qk.glmm(ref["formula"], frame, ref["family"], ref["link"], ref["nagq"], weights=ref["weights"], **kw)


def glmer_fit(ref: dict, frame: pd.DataFrame):
    """The fit of a model through the stand-in core, and that core."""
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(_quorvelkit, "GlmmCore", GlmerCore, raising=False)
        mp.setattr(GlmerCore, "ref", ref)
        (group,) = ref["cnms"]
        levels = frame[group["group"]].cat.categories
        levels = levels[levels.isin(frame[group["group"]].unique())]
        mp.setattr(GlmerCore, "modes", glmer_modes(ref, levels), raising=False)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", qk.SingularFitWarning)
            fit = glmm_call(ref, frame)
    return fit, GlmerCore.made[-1]


@pytest.fixture(scope="module")
def by_glmer(case):
    name, ref, frame, factors = case
    return glmer_fit(ref, frame)


def test_the_core_is_given_the_response_and_derives_glmers_residuals(case, by_glmer):
    name, ref, frame, _ = case
    fit, core = by_glmer
    a = core.args
    want = (ref["family"], ref["link"], ref["ngrps"][fit.group_name], ref["n"])
    assert (core.family, core.link, a["m"], fit.nobs) == want
    assert a["x"].shape == (ref["n"], len(ref["beta"]["values"])) and a["z"].shape[1] == a["blocks"][0]
    # glmer's fitted proportions come from what the core was given: the rows, the
    # weights (trials) and the offset
    assert_allclose(fit.fitted[:20], ref["fitted_first20"], rtol=1e-12)
    assert len(fit.fe_names) == len(ref["beta"]["names"])  # named as lmm() names them: period[T.2] for period2
    assert (a["offset"] is None) == ("offset(" not in ref["formula"])
    # what derives from it: residuals, deviance, overdispersion and the criteria
    for kind, want in ref["residuals_first20"].items():
        assert_allclose(fit.residuals(kind)[:20], want, rtol=1e-9, atol=1e-12, err_msg=kind)
    assert_allclose(fit.residuals()[:20], ref["residuals_first20"]["deviance"], rtol=1e-9, atol=1e-12)
    assert_allclose(fit.deviance, ref["deviance"], rtol=1e-9)
    assert (fit.df, fit.df_resid) == (ref["df"], ref["df_resid"])
    od, ours = ref["overdispersion"], fit.overdispersion
    if fit.family == "binomial" and float(np.max(fit.trials)) == 1.0:
        assert ours is None  # Bernoulli rows: no ratio
    else:
        assert ours["df_resid"] == od["df_resid"]
        assert_allclose([ours["pearson_chisq"], ours["ratio"]], [od["pearson_chisq"], od["ratio"]], rtol=1e-9)
    full = ref["m2loglik"] + saturated(ref)
    assert_allclose([fit.aic, fit.bic], [full + 2 * ref["df"], full + math.log(ref["n"]) * ref["df"]], rtol=1e-12)
    if ref["nagq"] <= 1:  # glmer's criteria are on our scale
        assert_allclose([fit.aic, fit.bic, fit.loglik], [ref["aic"], ref["bic"], ref["loglik"]], rtol=1e-12)


def test_predictions_variance_components_and_modes_are_glmers(case, by_glmer):
    name, ref, frame, factors = case
    fit, _ = by_glmer
    pred, new = ref["predict"], glmer_newdata(ref, factors, fit)
    for kind in ("link", "response"):
        assert_allclose(fit.predict(new, type=kind, allow_new_levels=True), pred[kind], rtol=1e-10, err_msg=kind)
    assert_allclose(fit.predict(new, re=False), pred["link_fixed_only"], rtol=1e-10)
    assert_allclose(fit.predict(type="response"), fit.fitted, rtol=1e-13)
    with pytest.raises(ValueError, match="new_level"):
        fit.predict(new)
    vc, want = fit.varcorr, ref["varcorr"]
    assert list(vc["grp"]) == want["grp"] and list(vc["var1"]) == want["var1"]
    assert [v if isinstance(v, str) else None for v in vc["var2"]] == want["var2"]
    assert_allclose(vc["vcov"], want["vcov"], rtol=1e-9, atol=1e-15)
    assert_allclose(vc["sdcor"], want["sdcor"], rtol=1e-9, atol=1e-15)
    ((group, ranef),) = zip(ref["ranef"].values(), fit.ranef.values(), strict=True)
    assert list(ranef.columns) == group["columns"] and [str(v) for v in ranef.index] == group["levels"]
    assert_allclose(ranef[group["columns"][0]], group["values"][group["columns"][0]], rtol=1e-12)
    assert fit.is_singular == ref["singular"]


def block(lines: list[str], title: str, last: str | None = None) -> list[str]:
    """The lines of a summary from the one starting ``title`` to the next blank line."""
    start = next(i for i, s in enumerate(lines) if s.strip().startswith(title))
    end = next((i for i in range(start, len(lines)) if not lines[i].strip()), len(lines))
    return lines[start:end]


def test_summary_reports_and_pickles_show_glmers_numbers_as_glmer_prints_them(case, by_glmer):
    name, ref, frame, _ = case
    fit, _ = by_glmer
    ours, theirs = fit.summary_text().splitlines(), ref["summary_lines"]
    assert ours[0].startswith("Generalized linear mixed model fit by maximum likelihood (")
    assert ours[len(ours[0:2]) - (1 if "[" in ours[0] else 0)] == f" Family: {ref['family']}  ( {ref['link']} )"
    assert f"Formula: {ref['formula']}" in ours
    sections = ["AIC", "Scaled residuals:", "Random effects:", "Fixed effects:"]
    if ref["nagq"] > 1:  # glmer's criteria leave out the saturated model's log-likelihood
        sections.remove("AIC")
        crit = block(ours, "AIC")[1].split()
        full = [round(v, 1) for v in (fit.aic, fit.bic, fit.loglik, fit.m2loglik)]
        assert [float(v) for v in crit[:4]] == pytest.approx(full)
    for title in sections:
        mine, want = block(ours, title), block(theirs, title)
        assert len(mine) == len(want), (mine, want)
        for k, (a, b) in enumerate(zip(mine, want, strict=True)):
            if title == "Fixed effects:" and 2 <= k < 2 + len(fit.fe_names):  # lmm()'s names: period[T.2]
                a, b = a[len(fit.fe_names[k - 2]) :], b[len(ref["beta"]["names"][k - 2]) :]
            assert printed_alike(a, b), (a, b)
    if len(fit.fe_names) > 1:  # the correlations' header: R's abbreviations of R's names
        header = block(theirs, "Correlation of Fixed Effects:")[1].split()
        assert [r_abbreviate(n) for n in ref["beta"]["names"][:-1]] == header
        assert len(block(ours, "Correlation of Fixed Effects:")[1].split()) == len(header)
    assert ("Overdispersion" in fit.summary_text()) == (fit.overdispersion is not None)
    assert ("boundary (singular) fit" in fit.summary_text()) == ref["singular"]
    # the other reports and a pickle
    d = fit.to_dict()
    json.dumps(d, allow_nan=False)
    assert d["fixed_effects"][fit.fe_names[-1]]["p_value"] == pytest.approx(ref["coef"]["p"][-1], rel=1e-6)
    assert d["family"] == ref["family"] and d["nagq"] == ref["nagq"]
    text = repr(fit)
    assert f" Family: {ref['family']}  ( {ref['link']} )" in text and "Fixed Effects:" in text
    copy = pickle.loads(pickle.dumps(fit))
    assert_allclose(copy.fixef, fit.fixef) and copy.summary_text() == fit.summary_text()
    with pytest.raises(RuntimeError, match="pickle"):
        copy.core  # noqa: B018
    ci = fit.confint(0.9)
    assert list(ci.columns) == ["5 %", "95 %"]
    assert_allclose((ci["95 %"] - ci["5 %"]) / 2, 1.6448536269514722 * np.asarray(ref["se"]), rtol=1e-12)
    assert_allclose(fit.coef_table["z value"], ref["coef"]["z"], rtol=1e-9)
    assert_allclose(fit.coef_table["Pr(>|z|)"], ref["coef"]["p"], rtol=1e-6)


def test_simulated_responses_follow_the_fitted_model(case, by_glmer):
    # each row's mean over the draws is its marginal mean over new random effects,
    # E linkinv(x'beta + o + z'b) with z'b ~ N(0, z'Sigma z), found here by a 1-D
    # Gauss-Hermite rule of 60 points, to 5 standard errors of the draws' mean
    name, ref, frame, _ = case
    fit, core = by_glmer
    sims = fit.simulate(2000, seed=1)
    assert sims.shape == (2000, fit.nobs) and np.array_equal(sims[:5], fit.simulate(5, seed=1))
    w = fit.weights.to_numpy()
    if fit.family == "binomial":
        assert np.all((sims >= 0) & (sims <= 1)) and np.allclose(sims * w, np.round(sims * w))
    else:
        assert np.all(sims >= 0) and np.array_equal(sims, np.round(sims))
    a, lam = core.args, fit.lambda_matrix
    base = fit.predict(re=False).to_numpy()
    scale = np.sqrt(np.einsum("ij,jk,ik->i", a["z"], lam @ lam.T, a["z"]))
    t, wt = np.polynomial.hermite_e.hermegauss(60)
    expected = linkinv(base[:, None] + scale[:, None] * t[None, :], fit.link) @ wt / math.sqrt(2 * math.pi)
    se = sims.std(axis=0) / math.sqrt(len(sims))
    rows = se > 0
    assert np.max(np.abs(sims.mean(axis=0) - expected)[rows] / se[rows]) < 5


def test_likelihood_ratio_tables_of_glmms(sleep):
    # lme4's anova of glmer fits: Df the parameters, deviance -2 logLik (not the sum of
    # deviance residuals); only GLMMs of one family and link on the same response
    meta, cbpp = load("cbpp")
    fits = [glmer_fit(meta["models"][m], cbpp)[0] for m in ("cbpp_laplace", "cbpp_proportion_laplace")]
    table = qk.anova(*fits, names=["cbind", "proportion"])
    assert list(table["Df"]) == [5, 5] and list(table["deviance"]) == [f.m2loglik for f in fits]
    assert list(table["logLik"]) == [f.loglik for f in fits] and table["Chisq"].iloc[1] == 0.0
    meta, pois = load("sim_poisson_offset")
    poisson = glmer_fit(meta["models"]["poisson_offset_laplace"], pois)[0]
    meta, vector = load("sim_bernoulli_vector")
    vector = glmer_fit(meta["models"]["bernoulli_vector_laplace"], vector)[0]
    lmm = qk.lmm("Reaction ~ Days + (1 | Subject)", sleep)
    for other, exc, words in [(lmm, TypeError, "not both"), (poisson, ValueError, "same data"),
                              (vector, ValueError, "same data")]:  # fmt: skip
        with pytest.raises(exc, match=words):
            qk.anova(fits[0], other)


# ------------------------------------------------------------------ fits by the core


@pytest.fixture(scope="module")
def core_fit(case):
    name, ref, frame, _ = case
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        return glmm_call(ref, frame), {w.category for w in caught}


def test_fit_reaches_glmers_optimum(case, core_fit):
    # at glmer's tight refit's log-likelihood or higher; cloglog_laplace's glmer value
    # is its default PIRLS tolerance's, 1.7e-4 below the converged criterion there;
    # no warning of separation where there is none
    name, ref, frame, _ = case
    (fit, warned), tight = core_fit, ref["tight"]
    assert qk.NearSeparationWarning not in warned
    best = min(tight["m2loglik"], ref["m2loglik"]) + saturated(ref)
    assert fit.m2loglik <= best * (1 + 1e-6), (fit.m2loglik, best)
    assert fit.converged and fit.optimizer["grad_inf_norm"] < 1e-3
    assert fit.to_dict()["vcov_source"] in ("hessian", "rx")  # the core's own report, read whole
    if not ref["singular"]:  # glmer's modes and conditional covariances (postVar) at its own
        # estimates, which differ from the optimum by up to 1e-3 relative
        ((group, ranef, cond_cov, cond_var),) = zip(
            ref["ranef"].values(), fit.ranef.values(), fit.cond_cov.values(), fit.cond_var.values(), strict=True
        )
        b = glmer_modes(ref, ranef.index)
        assert_allclose(ranef, b, atol=2e-3 * np.abs(b).max())
        cov = in_our_order(group, ranef.index, group["cond_var"][0]).reshape(cond_cov.shape)
        assert_allclose(cond_cov, cov, atol=2e-3 * np.abs(cov).max())
        assert_allclose(cond_var.to_numpy(), np.diagonal(cov, axis1=1, axis2=2), atol=2e-3 * np.abs(cov).max())
    if len(fit.fe_names) > 1 and not ref["conv_messages"]:
        # the printed correlations of the fixed effects, glmer's from its finite-
        # difference Hessian at its default fit: within 5e-3
        def cells(lines: list[str], names: list[str]) -> list[float]:
            rows = block(lines, "Correlation of Fixed Effects:")[2:]
            return [float(v) for row, name in zip(rows, names[1:], strict=True) for v in row[len(name) :].split()]

        ours = cells(fit.summary_text().splitlines(), fit.fe_names)
        assert_allclose(ours, cells(ref["summary_lines"], ref["beta"]["names"]), atol=5e-3)
    if ref["nagq"] == 0:  # a first stage, beta inside the modes: glmer's own estimates
        assert_allclose(fit.fixef, ref["beta"]["values"], rtol=1e-4, atol=1e-5)
        return
    # beta within 1e-4 relative of glmer's tight refit (its optimum is flat to 1e-15 in
    # the criterion); standard errors from the Hessian over (theta, beta), compared
    # with glmer's finite-difference Hessian's to 1e-3
    assert_allclose(fit.fixef, tight["beta"]["values"], rtol=1e-4, atol=1e-5)
    assert_allclose(fit.theta, tight["theta"]["values"], rtol=1e-3, atol=1e-4)
    if not ref["singular"]:
        assert_allclose(fit.se, tight["se"], rtol=1e-3)
    assert fit.is_singular == ref["singular"]


BAD = json.loads((GLMM / "bad_input.json").read_text())


@pytest.mark.parametrize("name", [k for k, v in BAD.items() if isinstance(v, dict) and "outcome" in v])
def test_bad_input_as_glmer_meets_it(name):
    # where glmer refuses, a refusal naming the cause; where it fits, a fit of its rows
    # whose log-likelihood is glmer's or higher, converged, with glmer's warning of
    # counts that are not whole
    case = BAD[name]
    _, frame = load("bad_input")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if case["outcome"] == "error":
            words = "separate" if name == "perfect_separation" else "must|above the trials"
            with pytest.raises((ValueError, RuntimeError), match=words):
                qk.glmm(case["formula"], frame, case["family"], weights=case["weights"])
            return
        fit = qk.glmm(case["formula"], frame, case["family"], weights=case["weights"])
    assert fit.nobs == case["n"] and fit.converged, fit.optimizer
    if case["loglik"] is not None:  # R's dpois of 2.5 is 0: glmer's logLik is NA there
        assert fit.loglik >= case["loglik"] - 1e-6 * abs(case["loglik"])
    non_integer = [w for w in caught if issubclass(w.category, qk.NonIntegerResponseWarning)]
    assert bool(non_integer) == any("non-integer" in w for w in case["warnings"])
    # A third level glmer takes silently as a success: ours says so.
    levels = [str(w.message) for w in caught if issubclass(w.category, qk.ResponseLevelsWarning)]
    assert len(levels) == (name == "three_level_factor")
    if levels:
        assert "'y3' has 3 levels ('a', 'b', 'c'): the first, 'a', is read as a failure" in levels[0]


@pytest.mark.parametrize("case", json.loads((GLMM / "abbreviate_reference.json").read_text())["cases"])
def test_correlation_headers_abbreviate_as_r_does(case):
    # R's abbreviate(name, minlength = 6), which heads lme4's correlation table
    assert r_abbreviate(case["name"]) == case["abbreviation"]


def test_bootstrap_spreads_as_the_standard_errors_say():
    # cbpp by Laplace: 300 refits of responses simulated from the fit; the replicates'
    # fixed effects scatter about the estimates with the standard errors' spread (to
    # 25%, a bootstrap of 300 estimates a standard deviation to about 4%, the
    # standard errors are Laplace's approximation), and the same seed repeats them
    meta, cbpp = load("cbpp")
    fit = glmm_call(meta["models"]["cbpp_laplace"], cbpp)
    boot = fit.bootstrap(300, seed=5)
    fixed = boot.replicates[fit.fe_names]
    assert list(boot.replicates.columns) == ["sd_(Intercept)|herd", *fit.fe_names] and boot.converged.all()
    assert_allclose(fixed.std(), fit.se, rtol=0.25)
    assert np.all(np.abs(fixed.mean() - fit.fixef) < 3 * fit.se / math.sqrt(300) + 0.1 * fit.se)
    assert_allclose(boot.estimate["sd_(Intercept)|herd"], math.sqrt(fit.varcorr["vcov"].iloc[0]), rtol=1e-12)
    again = fit.confint(method="boot", n=300, seed=5, level=0.9)
    assert_allclose(again, boot.intervals(0.9)) and list(again.columns) == ["5 %", "95 %"]
    meta, pois = load("sim_poisson_offset")
    vector = glmm_call(meta["models"]["poisson_offset_laplace"], pois).bootstrap(2, seed=1)
    assert list(vector.replicates.columns)[:3] == ["sd_(Intercept)|g", "cor_x.(Intercept)|g", "sd_x|g"]
    want = meta["models"]["poisson_offset_laplace"]["varcorr"]["sdcor"][2]
    assert_allclose(vector.estimate["cor_x.(Intercept)|g"], want, rtol=1e-2)


CROSSED = [("grouseticks", "grouseticks_cheight_laplace"), ("verbagg", "verbagg_laplace")]
TMB = json.loads((GLMM / "tmb_reference.json").read_text())["models"]


@pytest.mark.filterwarnings("ignore::quorvelkit.SingularFitWarning")
@pytest.mark.parametrize("name", ["grouseticks_year_laplace", "grouseticks_year_cheight_laplace"])
def test_uncentred_covariate_reaches_the_peers_optimum(name):
    # YEAR as the number 95 to 97 beside the intercept: PIRLS's step on beta has a
    # rounding floor above its step tolerance there, which must not end the fit at its
    # start. Where glmer stops short ("nearly unidentifiable", its criterion 0.009 above
    # the optimum) glmmTMB's exact Laplace optimum is the reference; elsewhere glmer's.
    meta, frame = load("grouseticks_year")
    glmer = meta["models"][name]
    fit = qk.glmm(glmer["formula"], frame, "poisson")
    assert fit.converged and fit.m2loglik <= glmer["m2loglik"] * (1 + 1e-9)
    peer = TMB.get(name)
    if peer is None:
        tight = glmer.get("tight", glmer)  # glmer refitted to its optimum
        m2ll, beta, sd = tight["m2loglik"], tight["beta"]["values"], tight["theta"]["values"]
    else:
        m2ll, beta, sd = float(peer["m2loglik"]), np.asarray(peer["beta"], float), np.asarray(peer["sd"], float)
        assert fit.m2loglik < glmer["m2loglik"] - 1e-3
    assert_allclose(fit.m2loglik, m2ll, rtol=1e-9)
    assert np.all(np.abs(fit.fixef.to_numpy() - beta) <= 2e-3 * fit.se.to_numpy())
    assert_allclose(fit.varcorr["sdcor"].to_numpy(), sd, rtol=1e-3, atol=1e-5)


@pytest.mark.parametrize("data,name", CROSSED)
def test_crossed_fit_reaches_glmers_optimum(data, name):
    # several grouping factors by Laplace: glmer's optimum (its tight refit), its
    # random effects factor by factor in lme4's order, its predictions with new levels,
    # and its printed random effects and group counts
    meta, frame = load(data)
    ref, tight = meta["models"][name], meta["models"][name]["tight"]
    fit = glmm_call(ref, frame)
    assert fit.m2loglik <= tight["m2loglik"] * (1 + 1e-6) and fit.converged
    # glmer's tight refit still evaluates its criterion through PIRLS stopped at 1e-12
    # in pwrss, which moves the criterion by ~1e-8 and so its optimum by ~1e-4 of a
    # standard error along flat directions (VerbAgg's intercept: 7.6e-5 SE, at a
    # criterion 9e-9 above ours): beta is compared in units of its standard error.
    assert np.all(np.abs(fit.fixef.to_numpy() - tight["beta"]["values"]) <= 2e-4 * fit.se.to_numpy())
    assert_allclose(fit.theta, tight["theta"]["values"], rtol=1e-3)
    # glmer's finite-difference Hessians of its default and tight fits disagree on
    # cHEIGHT's standard error by 1.5%: ours is within 1e-3 of one of the two
    near = np.minimum(*(np.abs(fit.se.to_numpy() / np.asarray(v) - 1) for v in (ref["se"], tight["se"])))
    assert np.all(near < 1e-3), near
    assert fit.factor_names == list(ref["ranef"]) == list(fit.ranef) == list(fit.cond_var)
    # lme4's conditional variances of several factors: the diagonal blocks of the
    # inverse of the whole system (each factor's uncertainty given the data, the other
    # factors' modes unknown too)
    for factor, group in ref["ranef"].items():
        want = in_our_order(group, fit.ranef[factor].index, group["values"]["(Intercept)"])
        assert_allclose(fit.ranef[factor]["(Intercept)"], want, atol=2e-3 * np.abs(want).max())
        var = in_our_order(group, fit.ranef[factor].index, np.asarray(group["cond_var"][0]).reshape(-1))
        assert_allclose(fit.cond_var[factor]["(Intercept)"], var, rtol=2e-3, err_msg=factor)
    pred, new = ref["predict"], glmer_newdata(ref, meta["factors"], fit)
    assert_allclose(fit.predict(new, type="response", allow_new_levels=True), pred["response"], rtol=1e-3)
    assert_allclose(fit.predict(new, re=False), pred["link_fixed_only"], rtol=1e-3, atol=1e-5)  # at glmer's own beta
    ours, theirs = fit.summary_text().splitlines(), ref["summary_lines"]
    # glmer's printed variances are those of its default fit, 2e-4 off its optimum
    for mine, want in zip(block(ours, "Random effects:"), block(theirs, "Random effects:"), strict=True):
        a, b = mine.split(), want.split()
        assert [t for t in a if not t[-1].isdigit()] == [t for t in b if not t[-1].isdigit()], (mine, want)
        assert_allclose([float(t) for t in a if t[-1].isdigit()], [float(t) for t in b if t[-1].isdigit()], rtol=1e-3)
    assert next(s for s in ours if s.startswith("Number of obs")) == next(s for s in theirs if s.startswith("Number"))


def test_offsets_and_weights_given_apart_fit_the_same_model():
    # offset= (a column or an array) is the formula's offset(); weights= an array is
    # the column: the same fit to the last bit, and the report names what was given
    meta, pois = load("sim_poisson_offset")
    pois = pois.assign(log_exposure=np.log(pois["exposure"]))
    base = qk.glmm("y ~ x + offset(log(exposure)) + (1 + x | g)", pois, "poisson")
    by_column = qk.glmm("y ~ x + (1 + x | g)", pois, "poisson", offset="log_exposure")
    by_array = qk.glmm("y ~ x + (1 + x | g)", pois, "poisson", offset=pois["log_exposure"].to_numpy())
    assert base.m2loglik == by_column.m2loglik == by_array.m2loglik
    assert " Offset: log_exposure" in by_column.summary_text().splitlines()
    new = pois.iloc[:3]
    assert np.array_equal(by_column.predict(new), base.predict(new))
    meta, cbpp = load("cbpp")
    prop = "incidence/size ~ period + (1 | herd)"
    by_name, by_values = (qk.glmm(prop, cbpp, weights=w) for w in ("size", cbpp["size"].to_numpy(dtype=float)))
    assert by_name.m2loglik == by_values.m2loglik and "Weights: size" in by_name.summary_text().splitlines()


def test_rows_missing_in_the_response_or_the_model_are_dropped_once():
    # the response's missing values and the other columns' drop their rows together:
    # rows 0-1 lack the response, rows 1 and 30 a predictor; row 1 is counted once, and
    # the response's rows stay with the model's rows past a row only the model lacks
    meta, cbpp = load("cbpp")
    holes = cbpp.astype({"incidence": float})
    holes.loc[[0, 1], "incidence"] = np.nan
    holes["period"] = holes["period"].astype(object)
    holes.loc[[1, 30], "period"] = None
    holes["period"] = pd.Categorical(holes["period"], categories=meta["factors"]["period"])
    fit = qk.glmm("cbind(incidence, size - incidence) ~ period + (1 | herd)", holes)
    whole = qk.glmm("cbind(incidence, size - incidence) ~ period + (1 | herd)", cbpp.drop(index=[0, 1, 30]))
    assert (fit.nobs, fit.n_dropped) == (53, 3) and list(fit.fitted.index) == list(whole.fitted.index)
    assert fit.m2loglik == whole.m2loglik
    assert "(3 observations deleted due to missingness)" in fit.summary_text().splitlines()


def _unfittable(case: str) -> tuple[str, pd.DataFrame, str, dict]:
    rng = np.random.default_rng(7)
    n = 120
    d = pd.DataFrame({"g": np.repeat(np.arange(12), 10), "x": rng.normal(size=n)})
    d["y"] = (rng.random(n) < 0.5).astype(float)
    d["zero"] = 0.0
    d["huge"] = np.round(1e14 * np.exp(0.1 * d.x + rng.normal(0, 0.1, n)))
    d["sep"] = (d.x > 0).astype(float)
    d["zeros_where"] = np.where(d.x > 0, 0.0, rng.poisson(3.0, n))
    return {
        "all weights zero": ("y ~ x + (1 | g)", d, "binomial", {"weights": "zero"}),
        "counts beyond resolution": ("huge ~ x + (1 | g)", d, "poisson", {}),
        "binomial separation": ("sep ~ x + (1 | g)", d, "binomial", {}),
        "poisson zeros fitted exactly": ("zeros_where ~ I(x > 0) + (1 | g)", d, "poisson", {}),
    }[case]


@pytest.mark.parametrize(
    "case,error,says,never",
    [
        ("all weights zero", ValueError, "no row has a positive prior weight", "separat"),
        ("counts beyond resolution", RuntimeError, r"counts as large as 1\.\d+e\+14 are beyond", "separat"),
        ("binomial separation", RuntimeError, "perfect separation: .* separate the responses perfectly", "counts"),
        ("poisson zeros fitted exactly", RuntimeError, r"fit \d+ zero counts exactly .* column 1 diverges", "separat"),
    ],
)
def test_a_fit_that_cannot_be_made_names_its_cause(case, error, says, never):
    # separation is named only where a binomial response's fitted probabilities reached
    # 0 or 1; the other causes by their own names
    formula, data, family, kw = _unfittable(case)
    with pytest.raises(error, match=says) as caught:
        qk.glmm(formula, data, family, **kw)
    assert never not in str(caught.value)


@pytest.mark.parametrize("shift,scale", [(1900.0, 1.0), (1e4, 1.0), (0.0, 1e9), (0.0, 1e-6), (1e4, 1e3)])
def test_the_units_of_a_covariate_do_not_change_the_fit(shift, scale):
    # a calendar year beside the intercept, a covariate in other units: the same model,
    # so the same criterion, and a slope in the covariate's units
    _, frame = load("grouseticks_year")
    formula = "TICKS ~ YEAR + (1 | BROOD) + (1 | LOCATION)"
    base = qk.glmm(formula, frame, "poisson")
    moved = qk.glmm(formula, frame.assign(YEAR=(frame.YEAR + shift) * scale), "poisson")
    assert moved.converged
    assert_allclose(moved.m2loglik, base.m2loglik, rtol=1e-10)
    assert_allclose(moved.fixef["YEAR"] * scale, base.fixef["YEAR"], rtol=1e-5)
    assert_allclose(moved.se["YEAR"] * scale, base.se["YEAR"], rtol=1e-3)


@pytest.mark.parametrize(
    "nagq,q,warns",
    [(10, 4, r"about 19 minutes; nagq=4 would take"), (6, 4, r"about 2 minutes; nagq=4"), (25, 1, None)],
)
def test_a_long_quadrature_is_announced_with_its_cost(nagq, q, warns):
    # 1,500 rows, q random effects on one factor: 10^4 nodes per group cost some 18
    # minutes; the estimate comes before the fit starts (raised here as an error, so
    # the fit is never made), with the nagq that keeps it within a minute
    rng = np.random.default_rng(5)
    d = pd.DataFrame(rng.standard_normal((1500, 3)), columns=["a", "b", "c"])
    d["g"] = np.repeat(np.arange(100), 15)
    d["y"] = (rng.random(1500) < 0.5).astype(float)
    slopes = " + ".join(["1", "a", "b", "c"][:q])
    with warnings.catch_warnings():  # a scalar effect's 25 nodes: seconds at most, no warning
        warnings.simplefilter("error", qk.QuadratureCostWarning)
        with pytest.raises(qk.QuadratureCostWarning, match=warns) if warns else contextlib.nullcontext():
            qk.glmm(f"y ~ a + ({slopes} | g)", d, "binomial", nagq=nagq)


def _guprenat() -> tuple[dict, pd.DataFrame]:
    # the levels "None" must stay levels: read without pandas' NA strings
    meta = json.loads((GLMM / "guprenat.json").read_text())
    frame = pd.read_csv(GLMM / meta["data"], keep_default_na=False, dtype=str)
    for col in frame.columns:
        levels = meta["factors"].get(col)
        frame[col] = pd.Categorical(frame[col], categories=levels) if levels else frame[col].astype(float)
    return meta, frame


GUPRENAT_POINTS = [
    # (point, |ours - lme4's deviance function| at most); mom SD 0.5 at glmer's beta:
    # finite only, PIRLS there ends where the clamped objective is flat, a point that
    # depends on the path (lme4's modes give a penalised deviance 14 lower)
    ("glmer optimum", 0.02), ("glmmTMB optimum", 0.1), ("mom sd 1 at glmer's beta", 0.01),
    ("mom sd 2 at glmer's beta", 0.02), ("mom sd 5 at glmer's beta", 0.05), ("mom sd 0.5 at glmer's beta", None),
]  # fmt: skip


@pytest.fixture(scope="module")
def guprenat_core():
    """The core of guPrenat's probit GLMM, as glmm() builds it."""
    meta, frame = _guprenat()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return meta, qk.glmm(meta["formula"], frame, "binomial", link="probit", max_iter=0).core


@pytest.mark.parametrize("label,tol", GUPRENAT_POINTS)
def test_near_separation_criterion_is_finite_where_the_model_is(guprenat_core, label, tol):
    # guPrenat as a probit GLMM: hundreds of rows' linear predictors pass the probit's
    # clamp, where PIRLS's Fisher scoring converges only linearly with steps wandering
    # about 1e-5 over a constant objective: the criterion must stay finite at mom SDs of
    # 0.5 to 2
    meta, core = guprenat_core
    point = next(p for p in meta["points"] if p["label"] == label)
    m2ll = core.criterion(np.asarray(point["sd"], float), np.asarray(point["beta"], float))
    assert np.isfinite(m2ll)
    if tol is not None:
        assert abs(m2ll - float(point["lme4_m2ll"])) <= tol


def test_near_separation_is_named_and_a_better_start_is_kept():
    meta, frame = _guprenat()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fit = qk.glmm(meta["formula"], frame, "binomial", link="probit")
    said = [str(w.message) for w in caught if issubclass(w.category, qk.NearSeparationWarning)]
    assert len(said) == 2, said
    assert re.match(r"fitted probabilities numerically 0 or 1 occurred in \d+ of 2449 rows", said[0])
    assert said[1].startswith("the standard deviation of mom's (Intercept), ") and "cannot identify it" in said[1]
    # From glmer's estimate (its 10,000 evaluations, not converged) the fit starts there,
    # not at the joint PIRLS's beta, and goes below glmer's criterion
    glmer = meta["glmer"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        onward = qk.glmm(
            meta["formula"], frame, "binomial", link="probit",
            theta=np.asarray(glmer["theta"], float), beta=np.asarray(glmer["beta"], float),
        )  # fmt: skip
    assert onward.m2loglik < float(glmer["m2loglik"]) - 1.0 < fit.m2loglik
