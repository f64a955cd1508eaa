"""Profile-likelihood intervals and profiles: against lme4's confint(method = "profile")
(tests/data/models/profile.json, written by make_reference.R there), against brute-force
profiles computed here from the core's criterion and from cores built on the changed
rows, against brute-force profiles of lme4's deviance on fits at the boundary
(profile_boundary.json, written by make_profile_boundary.R), and the requests that are
refused. GLMMs' against lme4 (tests/data/glmm/profile.json): the random effects'
standard deviations (scalar, vector-valued and crossed terms, a lower end at zero), the
correlation of a term of two and the fixed effects. lme4 interpolates its profile by
splines through points computed with PIRLS stopped at 1e-7, good to about 1e-4 of an
interval's width (grouseticks, whose criterion glmer evaluates 2.6e-8 off); ours
solves zeta = -+1.96 to 1e-5 in zeta at exact constrained optima."""

import json
import math
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from scipy import optimize, stats
from test_glmm_fit import GLMM, glmm_call, load

import quorvelkit as qk
from quorvelkit.results.glmm_profile import profiler_of
from quorvelkit.results.profile import _Search, prepare

MODELS = Path(__file__).parent.parent / "data" / "models"
REF = json.loads((MODELS / "profile.json").read_text())
BOUNDARY = json.loads((MODELS / "profile_boundary.json").read_text())
Z95 = float(stats.norm.ppf(0.975))


@pytest.fixture(scope="module")
def fit_case(model_data):
    def fit(case: str, reml: bool | None = None) -> qk.LmmFit:
        r = REF[case]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", qk.SingularFitWarning)
            return qk.lmm(r["formula"], model_data(r["data"]), reml=r["reml"] if reml is None else reml)

    return fit


# Which of lme4's bounds each case checks (by parameter), and how closely: q = 1 ML fits
# in full; Orthodont's variance components sit near the boundary, where lme4's own
# spline interpolation of its profile decides the digits, so sigma and the fixed
# effects only there, and the bounds on the boundary exactly. REML fits: lme4 profiles
# the ML deviance, which ml=True reproduces.
ORTHO = ["sigma", "(Intercept)", "age", "Sex[T.Male]", "age:Sex[T.Male]"]
CASES = [("ergo_ml", False, None), ("machines_ml", False, None), ("ortho_ml", False, ORTHO),
         ("ortho_reml", True, ORTHO), ("sleep_reml", True, None)]  # fmt: skip


@pytest.mark.parametrize("case,ml,parm", CASES, ids=[c[0] for c in CASES])
def test_profile_intervals_agree_with_lme4(fit_case, case, ml, parm):
    ref = REF[case]
    fit = fit_case(case)
    ci = fit.confint(method="profile", ml=ml)
    assert len(ci) == len(ref["parm"])  # lme4's parameters, in lme4's order
    assert [n for n in ci.index if not n.startswith(("sd_", "cor_", "sigma"))] == fit.fe_names
    assert list(ci.index[: ci.index.get_loc("sigma") + 1]) == ref["parm"][: ref["parm"].index("sigma") + 1]
    want = pd.DataFrame({"lo": ref["lower"], "hi": ref["upper"]}, index=list(ci.index))
    rows = parm or list(ci.index)
    np.testing.assert_allclose(ci.loc[rows].to_numpy(), want.loc[rows].to_numpy(), rtol=1e-3)
    assert ci.attrs["scale"] == "ML"
    assert ci.attrs["evaluations"] > 0


def _profile(core, reml, s, sd):
    """min over theta of D(theta, sigma) for a scalar theta, by a bounded scalar search,
    with sigma held at s, or with the sd sigma theta held at s (sd=True)."""

    def crit(t):
        pt, sig = core.criterion_parts([t], reml), s / t if sd else s
        return pt["logdet"] + pt["pwrss"] / sig**2 + pt["nu"] * math.log(2 * math.pi * sig**2)

    bounds = (1e-6 if sd else 0.0, 20.0)
    return optimize.minimize_scalar(crit, bounds=bounds, method="bounded", options={"xatol": 1e-10}).fun


@pytest.mark.parametrize("reml", [True, False])
def test_variance_bounds_solve_the_brute_force_profile(fit_case, reml):
    # ergoStool by REML and ML: the interval's ends are where the brute-force profile of
    # sigma and of the sd climbs z^2 above the optimum.
    fit = fit_case("ergo_ml", reml=reml)
    ci = fit.confint(method="profile")
    for name, sd in [("sigma", False), ("sd_(Intercept)|Subject", True)]:
        for bound in ci.loc[name]:
            rise = _profile(fit.core, reml, bound, sd) - fit.criterion
            assert rise == pytest.approx(Z95**2, abs=2e-5), (name, bound)


def test_fixed_at_without_columns_left_matches_a_dense_computation(data):
    # Dyestuff's only fixed effect held at b: no fixed effects left; the ML deviance of
    # y - b with V = Z Lambda Lambda' Z' + I, computed densely.
    fit = qk.lmm("Yield ~ 1 + (1 | Batch)", data("dyestuff"), reml=False)
    d = fit._design
    z = np.zeros((d.n, d.m))
    z[np.arange(d.n), d.codes] = 1.0
    for b, theta in [(1500.0, 0.8), (1527.5, 1.3)]:
        core = fit.core.fixed_at(0, b)
        assert core.p == 0
        r = d.y - b
        v = theta**2 * z @ z.T + np.eye(d.n)
        dense = np.linalg.slogdet(v)[1] + d.n * (1 + math.log(2 * math.pi * (r @ np.linalg.solve(v, r)) / d.n))
        for reml in (False, True):  # with no fixed effects the two criteria coincide
            assert core.deviance([theta], reml) == pytest.approx(dense, rel=1e-12)
    ci = fit.confint(method="profile", parm="(Intercept)")
    assert ci.iloc[0, 0] < fit.fixef.iloc[0] < ci.iloc[0, 1]


@pytest.mark.parametrize("model", ["fm1", "cbpp_laplace"])
def test_traces_pass_through_the_estimate(request, model):
    # an LMM's profiles and a GLMM's, by the one search: each trace monotone through the
    # estimate out to the 99% point, and its intervals those confint solves
    if model == "fm1":
        fit = request.getfixturevalue("fm1")
    else:
        meta, frame = load("cbpp")
        fit = glmm_call(meta["models"][model], frame)
    prof = fit.profile()
    exact = fit.confint(method="profile")
    pd.testing.assert_frame_equal(prof.confint(), exact)
    assert list(prof.traces) == list(exact.index)
    for name, tr in prof.traces.items():
        zeta, value = tr["zeta"].to_numpy(), tr["value"].to_numpy()
        assert np.all(np.diff(value) > 0) and np.all(np.diff(zeta) > 0), name  # monotone
        assert zeta.min() <= -2.5758 and zeta.max() >= 2.5758, name  # out to the 99% point
        assert prof.estimates[name] == pytest.approx(float(np.interp(0.0, zeta, value)), rel=1e-9, abs=1e-12)
    assert prof.evaluations > exact.attrs["evaluations"] / 4 and exact.attrs["criterion"] in repr(prof)


def test_a_correlation_with_a_zero_sd_is_flat_and_one_at_its_bound_is_one_sided():
    rng, g, x = np.random.default_rng(1), np.repeat(np.arange(30), 8), np.tile(np.arange(8.0), 30)
    data = pd.DataFrame({"y": 1.0 + 0.5 * x + rng.normal(size=30)[g] + rng.normal(size=g.size), "x": x, "g": g})
    with pytest.warns(qk.SingularFitWarning):
        fit = qk.lmm("y ~ x + (x | g)", data)
    assert fit.corr_re.iloc[1, 0] == -1.0  # Lambda has rank one: the correlation is at -1
    ci = fit.confint(method="profile", parm=["cor_x.(Intercept)|g", "sd_x|g"])
    assert ci.loc["cor_x.(Intercept)|g"].iloc[0] == -1.0
    assert ci.loc["sd_x|g"].iloc[0] == 0.0 and ci.loc["sd_x|g"].iloc[1] > fit.sd_re["x"]
    # With the intercept's sd at zero, every correlation fits equally: (-1, 1), noted,
    # and no trace.
    flat = qk.lmm("y ~ x + (x | g)", data, theta=[0.0, 0.05, 0.02])
    ci = flat.confint(method="profile", parm="cor_x.(Intercept)|g")
    assert list(ci.iloc[0]) == [-1.0, 1.0] and "cor_x.(Intercept)|g" in ci.attrs["notes"][0]
    prof = flat.profile(which="cor_x.(Intercept)|g")
    assert not prof.traces and prof.notes


def test_reml_profile_of_a_fixed_effect_on_unbalanced_data_solves_a_brute_force_profile(data):
    # sleepstudy with a third of its rows dropped at random (2 to 10 per subject) and a
    # random slope: the restricted criterion with the slope known, min over theta of the
    # deviance of a core on the rows y - x_j b (Nelder-Mead, no gradient), and its
    # minimum over b by a scalar search. The interval's ends are where it climbs z^2
    # above that minimum, and the traced zeta is its signed square root.
    sleep = data("sleepstudy")
    keep = np.random.default_rng(7).random(len(sleep)) < 0.67
    fit = qk.lmm("Reaction ~ Days + (Days | Subject)", sleep[keep], reml=True)
    counts = np.bincount(fit._design.codes)
    assert counts.min() < counts.max()  # unbalanced
    d, j = fit._design, fit.fe_names.index("Days")
    rest = np.ascontiguousarray(np.delete(d.x, j, axis=1))

    def g(b):
        core = qk.LmmCore(np.ascontiguousarray(d.y - b * d.x[:, j]), rest, d.z, d.codes, d.m)
        best = math.inf
        for start in (fit.theta, [1.0, 0.0, 1.0]):
            r = optimize.minimize(
                lambda t: core.deviance(list(t), True), np.asarray(start, float), method="Nelder-Mead",
                options={"xatol": 1e-9, "fatol": 1e-11, "maxiter": 20000, "maxfev": 20000},
            )  # fmt: skip
            best = min(best, r.fun)
        return best

    est, se = fit.fixef.iloc[j], fit.se.iloc[j]
    low = optimize.minimize_scalar(g, bracket=(est - se, est + se), options={"xtol": 1e-10})
    assert abs(low.x - est) > 1e-4 * se  # the centre is the restricted criterion's own, not the estimate
    ci = fit.confint(method="profile", parm="Days")
    for bound in ci.iloc[0]:
        assert g(bound) - low.fun == pytest.approx(Z95**2, abs=1e-4), bound
    trace = fit.profile(which="Days").traces["Days"]
    for value, zeta in trace.iloc[:: max(1, len(trace) // 5)].itertuples(index=False):
        want = math.copysign(math.sqrt(max(g(value) - low.fun, 0.0)), value - low.x)
        assert zeta == pytest.approx(want, abs=2e-5), value
    # the restricted likelihood's n - p + 1 degrees of freedom make it wider than ML's
    ml = fit.confint(method="profile", parm="Days", ml=True).iloc[0]
    assert ci.iloc[0, 0] < ml.iloc[0] and ci.iloc[0, 1] > ml.iloc[1]


# Fits at the boundary, all by ML: Wafer and PBG (nlme), whose Lambda has rank one (a
# correlation estimated at -1); a simulated y ~ x + (x | g) with the correlation at +1;
# a simulated (1 | g) whose sd is estimated at zero.
BOUNDARY_CASES = [
    ("wafer", "current ~ voltage + I(voltage^2) + (voltage | Wafer)"),
    ("pbg", "deltaBP ~ log(dose) * Treatment + (log(dose) | Rabbit)"),
    ("rankone", "y ~ x + (x | g)"),
    ("zerosd", "y ~ 1 + (1 | g)"),
]


@pytest.mark.filterwarnings("ignore::quorvelkit.SingularFitWarning")
@pytest.mark.parametrize("case,formula", BOUNDARY_CASES, ids=[c[0] for c in BOUNDARY_CASES])
def test_boundary_intervals_solve_the_brute_force_profile(model_data, case, formula):
    # Every bound is a number: the variance parameters' and sigma's are the brute-force
    # profile's end points (to 2e-5 relative: both solve zeta = -+z to about 1e-6), or
    # the parameter's own limit, 0 or -+1, with a note naming the parameter; the fixed
    # effects' are lme4's (to 2e-4: lme4 interpolates its profile by splines).
    ref = BOUNDARY[case]
    assert ref["formula"] == formula
    fit = qk.lmm(formula, model_data(ref["data"]), reml=False)
    np.testing.assert_allclose(fit.criterion, ref["deviance"], rtol=1e-7)
    ci = fit.confint(method="profile")
    assert not ci.isna().to_numpy().any()
    brute, k = ref["brute"], len(ref["brute"]["lower"])
    assert len(ci) == len(ref["parm"]) and list(ci.index[:k]) == ref["parm"][:k]
    notes = ci.attrs["notes"]
    for i, name in enumerate(ci.index[:k]):
        for col, side in ((0, "lower"), (1, "upper")):
            got, want = ci.iloc[i, col], brute[side][i]
            if brute[f"{side}_limit"][i]:
                assert got == want, (name, side)
                assert any(n.startswith(f"{name}: ") and side in n for n in notes), (name, side, notes)
            else:
                assert got == pytest.approx(want, rel=2e-5, abs=1e-9), (name, side)
                assert not any(n.startswith(f"{name}: ") and side in n for n in notes), (name, side, notes)
    fixed = ci.iloc[k:].to_numpy()
    np.testing.assert_allclose(fixed, np.column_stack([ref["lme4_lower"][k:], ref["lme4_upper"][k:]]), rtol=2e-4)


@pytest.mark.filterwarnings("ignore::quorvelkit.SingularFitWarning")
@pytest.mark.parametrize("ml,scale,words", [(False, "REML", "REML criterion"), (True, "ML", "ML deviance")])
def test_profile_and_confint_are_one_computation_on_the_scale_they_say(model_data, ml, scale, words):
    # PBG by REML, profiled on either scale both ways: the same numbers and notes, and
    # the result says which criterion it profiled
    ref = BOUNDARY["pbg"]
    fit = qk.lmm(ref["formula"], model_data(ref["data"]), reml=True)
    direct = fit.confint(method="profile", ml=ml, level=0.9)
    prof = fit.profile(ml=ml)
    via = prof.confint(level=0.9)
    pd.testing.assert_frame_equal(via, direct)
    assert via.attrs["notes"] == direct.attrs["notes"] and not direct.isna().to_numpy().any()
    assert via.attrs["scale"] == direct.attrs["scale"] == prof.scale == scale and words in direct.attrs["criterion"]
    assert words in direct.to_string().splitlines()[0] and words in repr(prof)


def test_a_correlation_held_at_rho_is_rho_at_every_point_of_its_search(model_data):
    # The search over (m_00, t) for cor_x.(Intercept)|g held at rho: whatever the signs
    # of its coordinates, the criterion is the core's at the factor with sd's |m_00| and
    # |t| and correlation rho, and the gradient is that criterion's (central differences).
    with pytest.warns(qk.SingularFitWarning):
        fit = qk.lmm("y ~ x + (x | g)", model_data("rankone"), reml=False)
    (prob,) = [p for p in fit._profiler(False).problems() if p.kind == "cor"]
    for rho in (-0.6, 0.3, 0.95):
        fun = prob.objective(rho)
        for phi in ([0.4, 0.6], [-0.4, 0.6], [0.4, -0.6], [-0.35, -0.7]):
            a, t = abs(phi[0]), abs(phi[1])
            f, grad = fun(np.array(phi))
            assert f == pytest.approx(fit.core.deviance([a, rho * t, math.sqrt(1 - rho**2) * t], False), rel=1e-12)
            for i in range(2):
                h = np.zeros(2)
                h[i] = 1e-6
                numeric = (fun(np.array(phi) + h)[0] - fun(np.array(phi) - h)[0]) / 2e-6
                assert grad[i] == pytest.approx(numeric, rel=1e-5, abs=1e-6), (rho, phi, i)


def test_a_correlation_at_its_far_limit_is_no_higher_than_a_zero_sd(model_data):
    # Rank-one intercepts and slopes (the correlation estimated at 1): with the slope's
    # sd at zero the correlation is not identified, so the profile of the correlation is
    # nowhere above the profile of that sd at zero, -1 included.
    with pytest.warns(qk.SingularFitWarning):
        fit = qk.lmm("y ~ x + (x | g)", model_data("singular"))
    prof = fit.profile(which=["cor_x.(Intercept)|g", "sd_x|g"])
    cor, sd = prof.traces["cor_x.(Intercept)|g"], prof.traces["sd_x|g"]
    assert fit.corr_re.iloc[1, 0] == pytest.approx(1.0) and sd["value"].iloc[0] == 0.0
    ceiling = abs(sd["zeta"].iloc[0])
    assert cor["value"].iloc[0] == -1.0 and np.all(np.abs(cor["zeta"]) <= ceiling + 1e-6)
    assert abs(cor["zeta"].iloc[0]) == pytest.approx(ceiling, abs=1e-5)


PROFILES = json.loads((GLMM / "profile.json").read_text())
GLMM_CASES = [("cbpp", "cbpp_laplace"), ("sim_bernoulli_vector", "bernoulli_vector_laplace"),
              ("grouseticks", "grouseticks_cheight_laplace")]  # fmt: skip
# End points on a stretch where the profile is nearly flat (the slope's standard
# deviation near zero: zeta is -2.05 at 0 and -1.97 at lme4's end point; the correlation
# near its upper end), where lme4's spline is off in zeta by about 0.02 and so in the
# end point by up to 8e-3 of the interval: there our zeta at lme4's end point is
# compared with -+1.96 instead.
FLAT = {("bernoulli_vector_laplace", "sd_x|g", 0), ("bernoulli_vector_laplace", "cor_x.(Intercept)|g", 1)}
# The correlation's lower end: below -0.74 the constrained optimum drops the slope's
# random effect altogether (its sd at 0, where the correlation is void and zeta is
# -2.05 whatever it is; multi-start minimisations at -0.7 and -0.8 confirm it), so the
# profile crosses -1.96 at -0.657 and then stays at -2.05. lme4's spline through that
# flat stretch puts the end at -0.858, inside it: there ours must lie above lme4's, and
# our zeta at lme4's end point must be the flat stretch's.
BEYOND = {("bernoulli_vector_laplace", "cor_x.(Intercept)|g", 0)}


@pytest.mark.parametrize("data,name", GLMM_CASES)
def test_glmm_profile_intervals_match_lme4(data, name):
    meta, frame = load(data)
    fit = glmm_call(meta["models"][name], frame)
    ours = fit.confint(method="profile")
    ref = PROFILES[name]
    assert "error" not in ref, ref.get("error")
    # Ours names the fixed effects as lmm() does (period[T.2] for R's period2): the
    # random effects' parameters by name and in lme4's order, the fixed effects in order.
    sds = [i for i, n in enumerate(ref["names"]) if n.startswith(("sd_", "cor_"))]
    fixed = [i for i, n in enumerate(ref["names"]) if not n.startswith(("sd_", "cor_"))]
    assert [ref["names"][i] for i in sds] == list(ours.index[: len(sds)])
    want = np.array([[ref["lower"][i], ref["upper"][i]] for i in sds + fixed])
    got = ours.loc[[ref["names"][i] for i in sds] + fit.fe_names].to_numpy()
    width = (want[:, 1] - want[:, 0])[:, None]
    names = [ref["names"][i] for i in sds + fixed]
    close = np.abs(got - want) <= 5e-4 * width
    for k, side in np.argwhere(~close):
        key = (name, names[k], side)
        assert key in FLAT | BEYOND, (names[k], got[k], want[k])
        profiler = profiler_of(fit)
        (prob,) = [p for p in profiler.problems() if p.name == names[k]]
        prepare(profiler, prob)
        zeta = _Search(profiler, prob).at(want[k, side]).zeta
        if key in FLAT:
            assert zeta == pytest.approx(1.959964 * (2 * side - 1), abs=0.03)
        else:
            assert got[k, side] > want[k, side] and zeta == pytest.approx(-2.0503, abs=1e-3)
    assert ours.attrs["criterion"] == "-2 log-likelihood"
