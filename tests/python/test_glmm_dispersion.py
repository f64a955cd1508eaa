"""GLMMs of the families with a dispersion parameter against glmmTMB (Laplace with the
observed information) and lme4's glmer.nb (with the expected one), on the real data of
tests/data/glmm/make_dispersion_reference.R; the exact gradient of every family and link
against differences of the criterion; and what is refused."""

from __future__ import annotations

import json
import math
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose

import quorvelkit as qk

GLMM = Path(__file__).resolve().parent.parent / "data" / "glmm"
REF = json.loads((GLMM / "dispersion_reference.json").read_text())["models"]
TMB_FITS = [
    "grouseticks_nb2", "fhch_gamma_log",
    "salamanders_nb2", "salamanders_nb1", "owls_nb1", "owls_nb2", "epil_nb2", "quine_nb2", "sleepstudy_gamma_log",
    "sleepstudy_gamma_inverse", "sleepstudy_gaussian_log", "sleepstudy_gaussian_inverse", "sim_beta",
    "cbpp_betabinomial", "salamanders_truncpois", "owls_zinb1", "owls_zinb2", "salamanders_zipois1",
    "salamanders_hurdle_pois1", "salamanders_truncnb2", "salamanders_hurdle_nb2_1", "salamanders_zipois",
    "salamanders_hurdle_nb2", "salamanders_zipois_crossed", "salamanders_zinb2_crossed",
    # Models the fits were not tuned on (the reference script's last group).
    "salamanders_zinb1", "salamanders_hurdle_pois", "salamanders_nb2_crossed", "owls_zinb2_food", "owls_zipois1",
    "epil_nb1", "quine_nb1", "grouseticks_nb1_crossed", "cbpp_betabinomial_probit", "sleepstudy_gaussian_log_slope",
    "contraception_probit", "epilepsy_nb2",
]  # fmt: skip
LME4_FITS = ["salamanders_nb2_lme4", "epil_nb2_lme4", "grouseticks_nb2_lme4"]


def floats(v) -> np.ndarray:
    return np.asarray(v, dtype=float)


def frame_of(ref: dict) -> pd.DataFrame:
    frame = pd.read_csv(GLMM / ref["data"])
    if ref.get("subset"):
        frame = frame.query(ref["subset"].replace("count > 0", "count > 0")).reset_index(drop=True)
    for col, levels in ref["factors"].items():
        frame[col] = pd.Categorical(frame[col].astype(str), categories=levels)
    return frame


def family_of(ref: dict) -> str:
    return "nbinom2" if ref["peer"] == "glmer.nb" else ref["family"]


def theta_of(ref: dict) -> np.ndarray:
    """lme4's theta (the lower triangle of each term's Cholesky factor, by columns, the
    terms of more levels first) from the peer's sd and correlations."""
    out = []
    terms = sorted(ref["random"].items(), key=lambda t: -len(ref["factors"][t[0]]))
    for _, term in terms:
        sd, corr = floats(term["sd"]), floats(term["corr"])
        cov = np.diag(sd**2)
        k = 0
        for j in range(len(sd)):
            for i in range(j + 1, len(sd)):
                cov[i, j] = cov[j, i] = corr[k] * sd[i] * sd[j]
                k += 1
        low = np.linalg.cholesky(cov) if np.all(sd > 0) else np.diag(sd)
        out += [low[i, j] for j in range(len(sd)) for i in range(j, len(sd))]
    return np.array(out)


@pytest.fixture(scope="module", params=TMB_FITS + LME4_FITS)
def case(request):
    ref = REF[request.param]
    laplace = ref["laplace"]
    fit = qk.glmm(
        ref["formula"], frame_of(ref), family_of(ref), link=ref["link"], laplace=laplace, zi=ref.get("zi_formula")
    )
    return request.param, ref, fit


def ours_name(name: str, factors: dict[str, list[str]]) -> str:
    """Our name of R's coefficient ``name`` (R's ``minedno`` is ``mined[T.no]``)."""
    for factor, levels in factors.items():
        for level in levels[1:]:
            if name == factor + level:
                return f"{factor}[T.{level}]"
    return name


def extras_of(ref: dict) -> list[float]:
    """The peer's log(phi) and zero-inflation logit, as our core's beta ends."""
    out = [math.log(float(ref["dispersion"]))] if ref["dispersion"] else []
    return out + [float(v) for v in ref["zi_beta"]["values"]] if ref.get("zi_formula") else out


@pytest.mark.filterwarnings("ignore::quorvelkit.SingularFitWarning")
def test_the_criterion_is_the_peers_at_its_estimates(case):
    # The same function: ours at the peer's (theta, beta, phi) is glmmTMB's objective
    # (or lme4's deviance function at glmer.nb's estimates) to 1e-6.
    name, ref, fit = case
    beta = np.append(floats(ref["beta"]["values"]), extras_of(ref))
    want = float(ref.get("tmb_objective_x2") or ref["m2loglik_at"])
    # lme4's deviance function stops its PIRLS short by up to 2e-9 of the criterion on
    # the crossed grouseticks (its own logLik and its deviance function differ by 3e-6).
    rel = 1e-9 if ref["peer"] == "glmmTMB" else 3e-9
    assert fit.core.criterion(theta_of(ref), beta) == pytest.approx(want, rel=rel)


@pytest.mark.filterwarnings("ignore::quorvelkit.SingularFitWarning")
def test_the_fit_reaches_the_peers_optimum(case):
    name, ref, fit = case
    want = float(ref["m2loglik_at"] if "m2loglik_at" in ref else ref["m2loglik"])
    assert fit.converged
    # At least the peer's likelihood (glmer.nb's to the 1e-5 by which its own
    # evaluations of one point differ).
    assert fit.m2loglik <= want + (1e-7 if ref["peer"] == "glmmTMB" else 1e-5)
    assert fit.m2loglik == pytest.approx(want, abs=1e-6 if ref["peer"] == "glmmTMB" else 1e-4)
    tol = 1e-4 if ref["peer"] == "glmmTMB" else 2e-3
    beta, se = floats(ref["beta"]["values"]), floats(ref["se"])
    # 1e-4 of the estimate, or of a thousandth of its SE where the optimisers' stops
    # differ (glmmTMB's truncated Poisson stops 4e-8 above our -2 loglik).
    assert np.all(np.abs(fit.fixef.to_numpy() - beta) <= tol * np.abs(beta) + 10 * tol * se)
    assert_allclose(fit.se.to_numpy(), se, rtol=1e-3 if ref["peer"] == "glmmTMB" else 1e-2)
    if ref["dispersion"] is not None:
        assert fit.sigma == pytest.approx(float(ref["dispersion"]), rel=10 * tol)
    if ref.get("zi_formula"):
        zi_se, table = floats(ref["zi_se"]), fit.zi_coef_table
        assert list(table.index) == [ours_name(n, ref["factors"]) for n in ref["zi_beta"]["names"]]
        # A logit coefficient whose SE is in the thousands has run off towards infinity
        # (a level without structural zeros: Salamanders' zinb1 in mined = "no" and in
        # two species); where the optimisers stop on that ridge is arbitrary, so it must
        # be far out on the peer's side, with an SE as large. The others are the peer's.
        est, got_se = table["Estimate"].to_numpy(), table["Std. Error"].to_numpy()
        want = floats(ref["zi_beta"]["values"])
        kept = zi_se < 1e3
        assert_allclose(est[kept], want[kept], atol=tol + 1e-2 * zi_se[kept].max())
        assert_allclose(got_se[kept], zi_se[kept], rtol=1e-3)
        assert np.all(np.sign(est[~kept]) == np.sign(want[~kept]))
        assert np.all(np.abs(est[~kept]) > 10) and np.all(got_se[~kept] > 1e3)
    sd = np.concatenate(
        [floats(t["sd"]) for _, t in sorted(ref["random"].items(), key=lambda t: -len(ref["factors"][t[0]]))]
    )
    fitted_sd = fit.varcorr.query("var2 != var2")["sdcor"].to_numpy()
    assert_allclose(fitted_sd, sd, rtol=10 * tol, atol=1e-4)
    assert fit.laplace == ref["laplace"]
    assert fit.df == ref["df"]
    # glmmTMB's Pearson residuals (its variance functions, R's). Not for the truncated
    # families: glmmTMB 1.1.5 puts their truncated mean where their variance function
    # takes the untruncated one, and the zero-inflation's variance on hurdles; ours are
    # the truncated and hurdle distributions' own moments.
    if "pearson_ss" in ref and not ref["family"].startswith("truncated"):
        assert (fit.residuals("pearson") ** 2).sum() == pytest.approx(float(ref["pearson_ss"]), rel=10 * tol)


def test_the_report_prints_glmmtmbs_dispersion_line(case):
    name, ref, fit = case
    lines = fit.summary_text().splitlines()
    if ref.get("dispersion_line"):
        assert ref["dispersion_line"].strip() in lines
    how = "observed" if ref["laplace"] == "observed" else "expected (Fisher)"
    assert f"Laplace approximation with the {how} information at the conditional modes" in lines


def _gradient_cases():
    rng = np.random.default_rng(1)
    n, m = 120, 12
    g = np.repeat(np.arange(m), n // m)
    x = rng.normal(size=n)
    b = 0.5 * rng.normal(size=m)[g]
    eta = 0.5 + 0.3 * x + b
    mu = np.exp(eta)
    responses = {
        "nbinom2": rng.negative_binomial(2, 2 / (2 + mu)),
        "nbinom1": rng.negative_binomial(mu / 1.5, 1 / 2.5),
        "Gamma": rng.gamma(3, mu / 3),
        "gaussian": 5 * mu + rng.normal(size=n),
        "inverse.gaussian": rng.wald(mu, 5.0),
        "beta": rng.beta(2 * (1 + np.tanh(eta)), 3),
        "betabinomial": rng.binomial(6, 0.4, size=n) / 6,
        "truncated_poisson": 1 + rng.poisson(mu),
        "truncated_nbinom2": 1 + rng.negative_binomial(2, 2 / (2 + mu)),
        "poisson": rng.poisson(mu),
        "binomial": rng.binomial(6, 0.4, size=n) / 6,
        "tweedie": qk.families.family.draw("tweedie", mu, None, 1.2, rng, power=1.4),
    }
    data = pd.DataFrame({"x": x, "z": rng.normal(size=n), "g": g.astype(str)})
    for family, links in qk.families.family.FAMILY_LINKS.items():
        for link in links:
            for laplace in ("observed", "fisher"):
                yield family, link, laplace, data.assign(y=responses[family].astype(float))


@pytest.mark.parametrize(
    "family,link,laplace,data", list(_gradient_cases()), ids=lambda v: v if isinstance(v, str) else ""
)
def test_the_exact_gradient_is_the_criterions(family, link, laplace, data):
    # Over (theta, beta, log phi), at a point off the optimum, against central
    # differences: catches every wrong term of the families' derivatives in mu and phi.
    check_gradient(family, link, laplace, data, False)


def check_gradient(family, link, laplace, data, zi):
    from quorvelkit._quorvelkit import GlmmCore

    n = len(data)
    trials = 6.0 if family in ("binomial", "betabinomial") else 1.0
    y = data["y"].to_numpy()
    if link in ("inverse", "1/mu^2", "identity") and family != "gaussian":
        y = np.abs(y) + 1.0  # means near 1 keep the link's mean positive
    x = np.column_stack([np.ones(n), data["x"]])
    z = np.column_stack([np.ones(n), data["z"]])
    codes = pd.Categorical(data["g"]).codes.astype(np.int64)
    try:
        core = GlmmCore(y, x, z, codes, 12, [2], np.full(n, trials), None, family, link, laplace, zi)
    except ValueError as e:
        assert "has no closed form" in str(e) and laplace == "fisher"
        return
    start = {"inverse": 0.5, "1/mu^2": 0.5, "identity": 1.5 if family != "gaussian" else 5.0}.get(link, 0.2)
    zi_columns = int(zi) if isinstance(zi, bool) else zi.shape[1]
    f = qk.families.family
    extra = [0.3] * (family in f.DISPERSION_FAMILIES) + [0.2] * (family in f.POWER_FAMILIES) + [-1.0, 0.4][:zi_columns]
    assert_gradient(core, np.array([0.3, 0.05, 0.2, start, 0.01, *extra]), 3)


def assert_gradient(core, point, nt):
    """The core's exact gradient at ``point`` (theta's nt entries, then beta's) is
    central differences' of its criterion."""
    value, grad = core.gradient(*np.split(point, [nt]))
    assert math.isfinite(value)
    h = 1e-5
    numeric = [
        (core.criterion(*np.split(point + h * e, [nt])) - core.criterion(*np.split(point - h * e, [nt]))) / (2 * h)
        for e in np.eye(len(point))
    ]
    assert_allclose(grad, numeric, rtol=1e-6, atol=1e-5)


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda d: qk.glmm("y ~ x + (1 | g)", d, "nbinom1", laplace="fisher"), "has no closed form"),
        (lambda d: qk.glmm("y ~ x + (1 | g)", d, "nbinom2", laplace="exact"), "laplace must be 'fisher' or"),
        (lambda d: qk.glmm("y ~ x + (1 | g)", d.assign(y=d.y - 1), "Gamma"), "must hold positive values"),
        (lambda d: qk.glmm("y ~ x + (1 | g)", d.assign(y=d.y / 9), "beta"), "strictly between 0 and 1"),
        (lambda d: qk.glmm("y ~ x + (1 | g)", d.assign(y=d.y - 1), "truncated_poisson"), "of at least 1"),
        (lambda d: qk.glmm("y ~ x + (1 | g)", d, "Gamma").r2(), "negative binomial fits, not Gamma ones"),
        (lambda d: qk.glmm("y ~ x + (1 | g)", d, "nbinom2", zi="~1").r2(), "not nbinom2 ones with zero-inflation"),
        (lambda d: qk.glmm("y ~ x + (1 | g)", d, "nbinom1").r2("delta"), "takes the lognormal approximation"),
        (lambda d: qk.glmm("y ~ x + (1 | g)", d, "nbinom1").residuals(), "has no unit deviance"),
        (
            lambda d: qk.anova(qk.glmm("y ~ (1 | g)", d, "poisson"), qk.glmm("y ~ (1 | g)", d, "Gamma")),
            "all be of discrete families",
        ),
        (lambda d: qk.glmm("y ~ x + (1 | g)", d, "poisson", zi="y ~ x"), "must be a one-sided formula"),
        (lambda d: qk.glmm("y ~ x + (1 | g)", d, "Gamma", zi="~1"), "zero-inflation is available for the poisson"),
    ],
)
def test_what_is_not_fitted_is_refused_with_the_reason(call, message):
    rng = np.random.default_rng(3)
    d = pd.DataFrame({"x": rng.normal(size=60), "g": np.repeat(list("abcdef"), 10), "h": np.tile(list("uvw"), 20)})
    d["y"] = 1.0 + rng.poisson(3.0, size=60)  # counts from 1 to 9 (9 at row 41 and more)
    with pytest.raises(ValueError, match=message):
        call(d)


def test_draws_and_refits_carry_the_dispersion():
    # The negative binomial's draws have its variance mu + mu^2 / theta, and the
    # bootstrap refits each with log(theta) started at the fit's.
    ref = REF["salamanders_nb2"]
    fit = qk.glmm(ref["formula"], frame_of(ref), "nbinom2")
    draws = fit.simulate(400, seed=5)
    assert draws.var() > 2 * draws.mean()  # Poisson's would be about equal
    boot = fit.bootstrap(3, seed=1)
    assert np.isfinite(boot.replicates.to_numpy()).all()
    # Poisson against the negative binomial: glmmTMB's test of overdispersion, 1 df.
    poisson = qk.glmm(ref["formula"], frame_of(ref), "poisson")
    table = qk.anova(poisson, fit)
    assert table["Chi Df"].iloc[1] == 1 and table["Chisq"].iloc[1] > 100
    assert fit.glance()["sigma"].iloc[0] == fit.sigma


def test_families_are_written_as_in_r():
    f = qk.families
    assert str(f.Gamma(link="log")) == 'Gamma(link = "log")'
    assert f.nbinom2() == ("nbinom2", "log") and f.beta_family() == ("beta", "logit")
    assert qk.families.family.parse_family("inverse.gaussian") == ("inverse.gaussian", "1/mu^2")
    assert qk.families.family.parse_family("gamma(link = 'log')") == ("Gamma", "log")
    with pytest.raises(ValueError, match="did you mean 'nbinom2'"):
        qk.families.family.parse_family("nbinom3")


@pytest.mark.parametrize(
    "family,link,laplace,zi",
    [
        ("nbinom2", "log", "observed", None),
        ("Gamma", "log", "fisher", None),
        ("binomial", "probit", "observed", None),
        ("nbinom2", "log", "observed", "~ x"),
        ("poisson", "log", "observed", "~ x"),
    ],
)
def test_the_crossed_gradient_is_the_criterions(family, link, laplace, zi):
    # The crossed core's exact gradient, log(phi)'s entry, the observed information and
    # the zero-inflation's coefficients (its logit linear in x) included, against central
    # differences off the optimum.
    rng = np.random.default_rng(7)
    n = 240
    d = pd.DataFrame({"x": rng.normal(size=n), "g": rng.integers(0, 12, n).astype(str), "h": rng.integers(0, 8, n)})
    mu = np.exp(0.5 + 0.3 * d.x + 0.4 * rng.normal(size=12)[d.g.astype(int)])
    d["y"] = {"nbinom2": rng.negative_binomial(2, 2 / (2 + mu)), "Gamma": rng.gamma(3, mu / 3)}.get(
        family, rng.binomial(1, 0.4, n)
    )
    fit = qk.glmm("y ~ x + (1 | g) + (1 | h)", d, family, link=link, laplace=laplace, zi=zi)
    assert_gradient(fit.core, np.concatenate([fit.theta, fit._core_beta]) + 0.05, len(fit.theta))


@pytest.mark.parametrize("name", ["salamanders_nb2", "owls_zinb1"])
def test_nagq0_estimates_the_family_parameters_with_theta(name):
    # nAGQ = 0 optimises theta and the family's parameters with beta from the joint
    # PIRLS: its beta is that PIRLS's at its estimates, its criterion Laplace's there,
    # within 0.1 above the Laplace optimum.
    ref = REF[name]
    laplace = qk.glmm(ref["formula"], frame_of(ref), family_of(ref), zi=ref.get("zi_formula"))
    fit = qk.glmm(ref["formula"], frame_of(ref), family_of(ref), zi=ref.get("zi_formula"), nagq=0)
    value, beta = fit.core.criterion0(fit.theta, fit._core_beta)
    assert value == pytest.approx(fit.m2loglik, rel=1e-10)
    assert_allclose(beta, fit._core_beta, rtol=1e-7, atol=1e-9)
    assert laplace.m2loglik < fit.m2loglik < laplace.m2loglik + 0.1
    assert fit.sigma == pytest.approx(laplace.sigma, rel=1e-2)


@pytest.mark.parametrize("covariate", [False, True])
@pytest.mark.parametrize("family", ["poisson", "nbinom2", "nbinom1", "truncated_poisson", "truncated_nbinom2"])
def test_the_inflated_families_gradient_is_the_criterions(family, covariate):
    # Zero-inflation (a hurdle for a truncated family), constant or with a covariate:
    # its logit's entries and the mixture's derivatives in mu and phi, on counts with
    # excess zeros.
    data = next(c[3] for c in _gradient_cases() if c[0] == family)
    zeros = np.random.default_rng(2).random(len(data)) < 0.3
    zi = np.column_stack([np.ones(len(data)), data["z"]]) if covariate else True
    check_gradient(family, "log", "observed", data.assign(y=np.where(zeros, 0, data.y)), zi)


def test_profile_intervals_of_the_fixed_effects_are_glmmtmbs():
    # log(theta) is a nuisance parameter of every profile; glmmTMB's ends come from a
    # spline through its profile's points (good to about 1e-3).
    ref = REF["salamanders_nb2"]
    ci = qk.glmm(ref["formula"], frame_of(ref), "nbinom2").confint(method="profile")
    want = ref["profile_ci"]
    got = ci.iloc[-len(want["names"]) :]
    assert_allclose(got.iloc[:, 0], floats(want["lower"]), atol=2e-3)
    assert_allclose(got.iloc[:, 1], floats(want["upper"]), atol=2e-3)


def _nagq0_frame() -> pd.DataFrame:
    rng = np.random.default_rng(3)
    n = 300
    d = pd.DataFrame({"x": rng.normal(size=n), "g": rng.integers(0, 15, n), "h": rng.integers(0, 6, n)})
    mu = np.exp(0.3 + 0.4 * d.x + 0.5 * rng.normal(size=15)[d.g])
    d["y"] = rng.negative_binomial(2, 2 / (2 + mu)) * (rng.uniform(size=n) > 0.2)  # extra zeros
    d["yb"] = rng.binomial(1, mu / (1 + mu))
    d["yg"] = rng.gamma(3, mu / 3)
    return d


@pytest.mark.parametrize(
    "formula,family,link,zi",
    [
        ("y ~ x + (1 | g)", "poisson", None, None),
        ("y ~ x + (1 | g)", "nbinom2", None, None),
        ("yb ~ x + (1 | g)", "binomial", "probit", None),
        ("yg ~ x + (x | g)", "Gamma", "log", None),
        ("y ~ x + (1 | g)", "nbinom2", None, "~x"),
        ("y ~ x + (1 | g) + (1 | h)", "nbinom2", None, None),
        ("yb ~ x + (1 | g) + (1 | h)", "binomial", "probit", None),
        ("y ~ x + (1 | g)", "poisson", None, "~1"),
        ("y ~ x + (1 | g) + (1 | h)", "poisson", None, "~1"),
        ("y ~ x + (1 | g) + (1 | h)", "nbinom2", None, "~x"),
    ],
)
def test_nagq0_gradient_is_its_criterions(formula, family, link, zi):
    # nAGQ = 0's criterion, Laplace's at the joint PIRLS's beta, against central
    # differences over theta and the family's parameters off the optimum. Its gradient
    # is Laplace's plus the term through beta's dependence on theta, which must matter
    # here for the test to see it dropped or mis-signed.
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fit = qk.glmm(formula, _nagq0_frame(), family, link=link, zi=zi, nagq=0)
    core, p, nt = fit.core, len(fit.fixef), len(fit.theta)
    beta0 = np.asarray(fit._core_beta, dtype=float)
    point = np.concatenate([np.asarray(fit.theta) + 0.07, beta0[p:] + 0.1])

    def value(x):
        return core.criterion0(x[:nt], np.concatenate([beta0[:p], x[nt:]]))[0]

    f, beta, grad = core.gradient0(point[:nt], np.concatenate([beta0[:p], point[nt:]]))
    assert f == pytest.approx(value(point), rel=1e-12)
    h = 1e-4
    numeric = np.array([(value(point + h * e) - value(point - h * e)) / (2 * h) for e in np.eye(len(point))])
    assert_allclose(grad, numeric, rtol=1e-4, atol=1e-4)
    _, laplace = core.gradient(point[:nt], beta)
    assert np.abs(laplace[:nt] - grad[:nt]).max() > 1e-2


@pytest.mark.parametrize("family, response", [("nbinom2", "c"), ("Gamma", "pos")])
def test_crossed_nagq0_of_a_family_with_phi_reaches_its_criterions_minimum(family, response):
    # Two crossed factors on 2,400 rows: log(phi)'s gradient at the stage's start is in
    # the hundreds, and its first step must not be as long. The fit reaches the nAGQ 0
    # criterion's minimum (an independent BFGS over theta and log(phi) on the core's
    # criterion0 finds no lower point), and beta's covariance is the joint system's over
    # beta alone: symmetric, within a few percent of the Laplace fit's.
    from scipy.optimize import minimize
    from test_glmm_batches_crossed import counts

    frame = counts()
    formula = f"{response} ~ x + (1 | user) + (1 | item)"
    extra = {"link": "log"} if family == "Gamma" else {}
    fit = qk.glmm(formula, frame, family, nagq=0, **extra)
    laplace = qk.glmm(formula, frame, family, **extra)
    assert fit.optimizer["converged"]
    core, p, nt = fit.core, len(fit.fixef), len(fit.theta)
    beta0 = np.asarray(fit._core_beta, dtype=float)

    def criterion(x):
        value, _, grad = core.gradient0(x[:nt], np.concatenate([beta0[:p], x[nt:]]))
        return value, grad

    start = np.concatenate([laplace.theta, np.asarray(laplace._core_beta)[p:]])
    best = minimize(criterion, start, jac=True, method="BFGS")
    assert fit.m2loglik <= best.fun + 1e-6
    assert fit.m2loglik == pytest.approx(best.fun, abs=1e-4)
    vcov = fit.vcov.to_numpy()
    assert_allclose(vcov, vcov.T, rtol=1e-10)
    assert_allclose(fit.se, laplace.se, rtol=0.05)


def test_crossed_zero_inflation_is_the_one_factor_criterion():
    # A zero-inflated Poisson's curvature in eta is negative at rows of zeros that the
    # inflation explains, so the crossed core's Newton systems carry negative weights:
    # its criterion must still be the one-factor core's on a model of one factor, and
    # its fit on two factors, the second's variance estimated at zero, the one-factor
    # fit.
    from quorvelkit._quorvelkit import CrossedGlmmCore, GlmmCore

    d = _nagq0_frame()
    n = len(d)
    y, x = d.y.to_numpy(float), np.column_stack([np.ones(n), d.x])
    g, ones = d.g.to_numpy().astype(np.int64), np.ones((n, 1))
    crossed = CrossedGlmmCore(y, x, [(g, 15, ones, [1])], np.ones(n), None, "poisson", zi=True)
    one = GlmmCore(y, x, ones, g, 15, [1], np.ones(n), None, "poisson", None, None, True)
    for theta in (1.0, 0.5, 0.1):
        for beta in ([0.0, 0.0, 0.0], [0.5, 0.4, -1.0], [1.0, 0.4, -1.5]):
            point = (np.array([theta]), np.array(beta))
            assert crossed.criterion(*point) == pytest.approx(one.criterion(*point), rel=1e-12)
    two = qk.glmm("y ~ x + (1 | g) + (1 | h)", d, "poisson", zi="~1")
    single = qk.glmm("y ~ x + (1 | g)", d, "poisson", zi="~1")
    assert two.theta[1] == 0.0 and two.loglik == pytest.approx(single.loglik, rel=1e-10)
    assert_allclose(two.fixef, single.fixef, rtol=1e-5)


@pytest.mark.filterwarnings("ignore::quorvelkit.SingularFitWarning")
@pytest.mark.parametrize("seed", [4, 9])
def test_crossed_nagq0_with_every_variance_at_zero_is_the_one_factor_fit(seed):
    # Counts with no group effect: both fits put every variance at zero, where the
    # crossed nAGQ 0 stage moves log(phi) alone over points of one theta. Each point is
    # its own joint PIRLS (not the last point's at that theta), so phi and the
    # likelihood are the one-factor core's.
    rng = np.random.default_rng(seed)
    n = 300
    d = pd.DataFrame({"x": rng.normal(size=n), "g": rng.integers(0, 12, n).astype(str)})
    d["h"] = rng.integers(0, 6, n).astype(str)
    mu = np.exp(0.8 + 0.3 * d.x)
    d["y"] = rng.negative_binomial(2.0, 2.0 / (2.0 + mu))
    two = qk.glmm("y ~ x + (1 | g) + (1 | h)", d, "nbinom2", nagq=0)
    one = qk.glmm("y ~ x + (1 | g)", d, "nbinom2", nagq=0)
    assert list(two.theta) == [0.0, 0.0] and list(one.theta) == [0.0]
    assert two.loglik == pytest.approx(one.loglik, rel=1e-10)
    assert two.sigma == pytest.approx(one.sigma, rel=1e-6)
    assert_allclose(two.fixef, one.fixef, rtol=1e-6)


R2_REF = {k: v for k, v in json.loads((GLMM / "r2_dispersion_reference.json").read_text()).items() if k[0] != "_"}


@pytest.mark.parametrize("name", sorted(R2_REF))
def test_r2_of_negative_binomial_fits_is_performances(name):
    # performance's r2_nakagawa of glmmTMB's fit: the distribution-specific variance
    # from the null model's intercept and the fit's own dispersion; to 1e-4, the
    # agreement of the two fits' estimates.
    ref = R2_REF[name]
    fit = qk.glmm(ref["formula"], frame_of(REF[name]), ref["family"])
    r2 = fit.r2()
    assert r2["R2_conditional"] == pytest.approx(float(ref["R2_conditional"]), rel=1e-4)
    assert r2["R2_marginal"] == pytest.approx(float(ref["R2_marginal"]), rel=1e-4)
    assert r2.attrs["var_distribution"] == pytest.approx(float(ref["var_distribution"]), rel=1e-4)


TWEEDIE = {k: v for k, v in json.loads((GLMM / "tweedie_reference.json").read_text()).items() if k[0] != "_"}


@pytest.mark.parametrize("name", sorted(TWEEDIE))
def test_tweedie_fits_are_glmmtmbs(name):
    # glmmTMB's tweedie: its objective at its estimates (log(phi), and the power through
    # s = qlogis(p - 1)), our optimum at or above its likelihood, the estimates, SEs, the
    # power, phi, Pearson's sum of squares and the report's two lines.
    ref = TWEEDIE[name]
    fit = qk.glmm(ref["formula"], frame_of(ref), "tweedie")
    power = float(ref["power"])
    beta = np.append(
        floats(ref["beta"]["values"]), [math.log(float(ref["sigma"])), math.log((power - 1) / (2 - power))]
    )
    assert fit.core.criterion(np.array([float(ref["theta"])]), beta) == pytest.approx(
        float(ref["objective_x2"]), rel=1e-9
    )
    assert fit.m2loglik <= float(ref["objective_x2"]) + 1e-7
    assert fit.power == pytest.approx(power, rel=1e-4)
    assert fit.sigma == pytest.approx(float(ref["sigma"]), rel=1e-4)
    assert fit.theta[0] == pytest.approx(float(ref["theta"]), rel=1e-4)
    assert_allclose(fit.fixef, floats(ref["beta"]["values"]), rtol=1e-4, atol=1e-4)
    assert_allclose(fit.se, floats(ref["se"]["values"]), rtol=1e-3)
    assert (fit.residuals("pearson") ** 2).sum() == pytest.approx(float(ref["pearson_ss"]), rel=1e-4)
    lines = [line.strip() for line in fit.summary_text().splitlines()]
    assert all(line.strip() in lines for line in ref["print_lines"])
    draws = fit.simulate(200, seed=2)
    assert (draws == 0).mean() == pytest.approx((fit._design.y == 0).mean(), abs=0.05)


def test_tweedie_fits_carry_the_power_everywhere():
    # Every use of the fit that refits, evaluates or draws takes the power with phi:
    # the bootstrap's refits start from the fit's (theta, beta, log phi, s), the
    # profile re-optimises both, and the intervals' working weights use the power.
    ref = TWEEDIE["salamanders_tweedie"]
    fit = qk.glmm(ref["formula"], frame_of(ref), "tweedie")
    assert len(fit._core_beta) == len(fit.fixef) + 2
    assert fit.core.criterion(fit.theta, fit._core_beta) == pytest.approx(fit.m2loglik, rel=1e-12)
    boot = fit.bootstrap(2, seed=1)
    assert np.isfinite(boot.replicates.to_numpy()).all()
    ci = fit.confint(method="profile", parm=["mined[T.yes]"])
    assert ci.iloc[0, 0] < fit.fixef["mined[T.yes]"] < ci.iloc[0, 1]
    band = fit.predict(frame_of(ref).head(5), type="response", interval="confidence")
    assert (band["lwr"] < band["fit"]).all() and (band["fit"] < band["upr"]).all()
    assert_allclose(band["fit"], fit.fitted.to_numpy()[:5], rtol=1e-10)
