"""Profile-likelihood intervals of GLMMs against lme4's ``confint(fit, method =
"profile")`` (tests/data/glmm/profile.json, made by make_reference.R's "profile"
piece): the random effects' standard deviations (scalar, vector-valued and crossed
terms, a lower end at zero), the correlation of a term of two and the fixed effects. lme4 interpolates its profile by
splines through points computed with PIRLS stopped at 1e-7, good to about 1e-4 of an
interval's width (grouseticks, whose criterion glmer evaluates 2.6e-8 off); ours
solves zeta = -+1.96 to 1e-5 in zeta at exact constrained optima."""

import json

import numpy as np
import pytest
from test_glmm_fit import GLMM, glmm_call, load

from quorvelkit.results.glmm_profile import profiler_of
from quorvelkit.results.profile import _Search, prepare

PROFILES = json.loads((GLMM / "profile.json").read_text())
CASES = [
    ("cbpp", "cbpp_laplace"),
    ("sim_bernoulli_vector", "bernoulli_vector_laplace"),
    ("grouseticks", "grouseticks_cheight_laplace"),
]
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


@pytest.mark.parametrize("data,name", CASES)
def test_profile_intervals_match_lme4(data, name):
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
