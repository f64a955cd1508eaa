"""The CrossedCore surface (its refusals are in test_messages): one factor against
LmmCore, theta's layout in term order, the start and large means.
The numbers of several factors are checked against a dense computation in the C++
tests."""

import pickle

import numpy as np
import pytest
from simdesign import random_design

from quorvelkit import LmmCore
from quorvelkit._quorvelkit import CrossedCore, CrossedGlmmCore
from quorvelkit.cores.crossed_core import block_lambda


def crossed_rows(n, levels, q=(1, 1), nest=False, seed=0, sd=None):
    rng = np.random.default_rng(seed)
    codes = [np.arange(n) % levels[0]]
    for m in levels[1:]:
        codes.append(codes[-1] % m if nest else rng.integers(0, m, n))
    x = np.column_stack([np.ones(n), rng.standard_normal(n)])
    factors = []
    for c, m, qj in zip(codes, levels, q, strict=True):
        z = np.column_stack([np.ones(n)] + [rng.standard_normal(n) for _ in range(qj - 1)])
        factors.append((c.astype(np.int64), m, z, [qj]))
    sd = (1.0,) * len(levels) if sd is None else sd
    y = x @ [1.0, 0.5] + sum(s * rng.standard_normal(m)[c] for c, m, s in zip(codes, levels, sd, strict=True))
    return y + rng.standard_normal(n), x, factors


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("reml", [True, False])
def test_one_factor_agrees_with_lmmcore(weighted, reml):
    y, x, z, codes, m = random_design(300, 15, 2, 2, seed=3)
    w = np.random.default_rng(1).uniform(0.5, 2.0, len(y)) if weighted else None
    one = LmmCore(y, x, z, codes, m, "blocks", weights=w)
    crossed = CrossedCore(y, x, [(codes, m, z, [2])], weights=w)
    theta = [0.8, -0.2, 0.5]
    a, b = crossed.solution(theta, reml), one.solution(theta, reml)
    for key in ("deviance", "sigma", "ldl2", "ldrx2"):
        assert a[key] == pytest.approx(b[key], rel=1e-10), key
    for key in ("grad", "beta", "cov_beta"):
        np.testing.assert_allclose(a[key], b[key], rtol=1e-7, atol=1e-9, err_msg=key)
    np.testing.assert_allclose(a["random_effects"][0], b["random_effects"], rtol=1e-7, atol=1e-10)
    np.testing.assert_allclose(a["cov_re"], b["cov_re"], rtol=1e-10)
    np.testing.assert_allclose(a["cond_var"][0], one.conditional_covariances(theta, reml), rtol=1e-7, atol=1e-12)
    pa, pb = crossed.criterion_parts(theta, reml), one.criterion_parts(theta, reml)
    for key in ("logdet", "pwrss", "nu"):
        assert pa[key] == pytest.approx(pb[key], rel=1e-10), key
    fa, fb = crossed.fit(crossed.default_theta(), reml), one.fit(one.default_theta(), reml)
    np.testing.assert_allclose(fa["theta"], fb["theta"], rtol=1e-4, atol=1e-6)
    assert fa["deviance"] == pytest.approx(fb["deviance"], rel=1e-10)


@pytest.mark.parametrize(
    "order,lme4_from_core,index",
    [
        (None, [0, 1, 2, 3, 4], [(0, 0), (1, 0), (1, 1), (2, 2), (3, 3)]),
        # the second factor's term first, then the first factor's two terms
        ([(1, 0), (0, 0), (0, 1)], [4, 0, 1, 2, 3], [(0, 0), (1, 1), (2, 1), (2, 2), (3, 3)]),
    ],
)
def test_every_theta_is_in_the_layout_of_term_order(order, lme4_from_core, index):
    # The core laid out factor by factor (plain) is the reference: with term_order every
    # theta taken or returned (starts, h0, gradients, bounds) is its theta permuted, and
    # nothing else changes, to the bit; cov_re is sigma^2 Lambda Lambda' over the terms.
    y, x, factors = crossed_rows(300, (30, 7), q=(3, 1))
    rows = (y, x, [(*factors[0][:3], [2, 1]), factors[1]])  # the first factor's terms: 2 x 2 and 1 x 1
    plain, core = CrossedCore(*rows), CrossedCore(*rows, term_order=order)
    at = np.asarray(lme4_from_core)
    assert (core.n, core.p, core.q, core.n_theta, core.theta_index()) == (300, 2, 4, 5, index)
    assert core.block_kinds == ["diagonal", "dense"]  # the storage of each factor (C++: every layout)
    for method in ("default_theta", "lower_bounds"):
        assert getattr(core, method)() == [getattr(plain, method)()[i] for i in at], method
    inner = np.array([0.7, 0.1, 0.4, 0.5, 0.9])
    theta = inner[at]
    assert core.deviance(theta) == plain.deviance(inner)
    assert core.deviance_grad(theta)[1] == [plain.deviance_grad(inner)[1][i] for i in at]
    parts, want = core.criterion_parts(theta), plain.criterion_parts(inner)
    for key in ("grad_logdet", "grad_pwrss"):
        np.testing.assert_array_equal(parts[key], want[key][at])
    s, ref = core.solution(theta), plain.solution(inner)
    np.testing.assert_array_equal(s["theta"], theta)
    np.testing.assert_array_equal(s["grad"], ref["grad"][at])
    for key in ("random_effects", "u", "cond_var"):
        assert all(np.array_equal(a, b) for a, b in zip(s[key], ref[key], strict=True)), key
    lam = block_lambda(theta, core.term_sizes)
    np.testing.assert_allclose(s["cov_re"], s["sigma2"] * lam @ lam.T, rtol=1e-14)
    lam0 = np.array([[0.7, 0, 0], [0.1, 0.4, 0], [0, 0, 0.5]])  # b = Lambda u, level by level
    np.testing.assert_allclose(s["random_effects"][0], s["u"][0] @ lam0.T, rtol=1e-12)
    assert all(
        np.array_equal(a, b) for a, b in zip(core.factor_lambdas(theta), plain.factor_lambdas(inner), strict=True)
    )
    start, h0 = core.start()
    inner_start, inner_h0 = plain.start()
    assert start == [inner_start[i] for i in at]
    np.testing.assert_array_equal(np.reshape(h0, (5, 5)), np.reshape(inner_h0, (5, 5))[np.ix_(at, at)])
    fit, inner_fit = core.fit(start, h0=h0), plain.fit(inner_start, h0=inner_h0)
    np.testing.assert_array_equal(fit["theta"], inner_fit["theta"][at])
    assert (fit["deviance"], fit["fev"]) == (inner_fit["deviance"], inner_fit["fev"])
    x0, levels, z = rows[1][:5], [np.arange(5), np.full(5, -1)], [f[2][:5] for f in rows[2]]
    np.testing.assert_array_equal(
        core.prediction_variance(theta, x0, levels, z), plain.prediction_variance(inner, x0, levels, z)
    )
    # what is derived from the core keeps its layout
    y2 = rows[0][::-1].copy()
    derived = [(pickle.loads(pickle.dumps(core)), plain), (core.with_response(y2), plain.with_response(y2)),
               (core.fixed_at(1, 0.3), plain.fixed_at(1, 0.3))]  # fmt: skip
    for a, b in derived:
        dev, grad = b.deviance_grad(inner)
        assert a.deviance_grad(theta) == (dev, [grad[i] for i in at])
    # the crossed GLMM core takes the same layout; its gradient and Hessian are over (theta, beta)
    counts = np.random.default_rng(3).poisson(2.0, 300).astype(float)
    glmm, plain_glmm = (CrossedGlmmCore(counts, rows[1], rows[2], np.ones(300), None, "poisson", term_order=o)
                        for o in (order, None))  # fmt: skip
    beta, full = [0.5, 0.1], np.r_[at, 5, 6]
    assert glmm.criterion(theta, beta) == plain_glmm.criterion(inner, beta)
    np.testing.assert_array_equal(glmm.gradient(theta, beta)[1], plain_glmm.gradient(inner, beta)[1][full])
    fit, inner_fit = glmm.fit(theta=theta), plain_glmm.fit(theta=inner)
    for key, idx in (("theta", at), ("grad", full), ("hessian", np.ix_(full, full))):
        np.testing.assert_array_equal(fit[key], inner_fit[key][idx], err_msg=key)


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize(
    "levels,nest,q,sd",
    [
        ((60, 15), False, (1, 1), (1.0, 1.0)),  # crossed
        ((60, 12), True, (1, 1), (0.3, 1.0)),  # nested, the inner factor small
        ((40, 10), False, (2, 1), (1.0, 0.7)),  # a vector-valued term
        ((60, 15), False, (1, 1), (0.0, 1.0)),  # a factor without variance (a singular fit alone): 0.1
    ],
)
def test_start_is_each_factor_alone_or_the_identity(levels, nest, q, sd, reml):
    # Each factor's theta comes from the one-factor core on that factor alone; the
    # joint start is those, unless a factor is nested in another and the identity's
    # criterion is lower. The model of the inverse Hessian that comes with it is
    # block diagonal by factor and positive definite, and absent with the identity.
    y, x, factors = crossed_rows(600, levels, q, nest, seed=5, sd=sd)
    core = CrossedCore(y, x, factors)
    alone = []
    for codes, m, z, _blocks in factors:
        one = LmmCore(y, x, z, codes, m, "blocks")
        theta = np.asarray(one.fit(one.default_theta(), reml=reml)["theta"], dtype=float)
        diagonal = [r == c for r, c in one.theta_index()]
        theta[diagonal] = np.where(np.abs(theta[diagonal]) < 0.1, 0.1, theta[diagonal])
        alone += list(theta)
    identity = core.default_theta()
    lower = core.deviance(alone, reml) < core.deviance(identity, reml)
    expected = alone if lower or not nest else identity
    np.testing.assert_allclose(core.start_theta(reml=reml), expected, rtol=1e-5, atol=1e-7)
    theta, model = core.start_theta(reml, True)
    assert theta == core.start_theta(reml=reml)
    if expected is identity:
        assert model is None
    else:
        h0 = np.asarray(model).reshape(len(theta), len(theta))
        first = len(theta) - 1  # the second factor's term is scalar
        assert not h0[:first, first:].any() and not h0[first:, :first].any()
        np.testing.assert_array_equal(h0, h0.T)
        assert np.linalg.eigvalsh(h0).min() > 0
    if sd[0] == 0.0:
        assert lower and alone[0] == 0.1


@pytest.mark.parametrize("shift", [1e4, 1e6, 1e8])
def test_large_means_cost_no_digits(shift):
    # x + s and y + 2s is the same model with intercept b0 + 2s - b1 s: theta, the
    # criterion and the slope are unchanged, and Cov(beta) follows the linear map.
    y, x, factors = crossed_rows(5000, (300, 40), seed=5)
    base = CrossedCore(y, x, factors)
    ref = base.fit(base.start_theta())
    xs = x.copy()
    xs[:, 1] += shift
    moved = CrossedCore(y + 2 * shift, xs, factors)
    res = moved.fit(moved.start_theta())
    assert res["converged"]
    np.testing.assert_allclose(res["theta"], ref["theta"], rtol=1e-6)
    assert res["deviance"] == pytest.approx(ref["deviance"], rel=1e-10)
    t = np.array([[1.0, -shift], [0.0, 1.0]])  # beta_moved = t beta + (2s, 0)
    np.testing.assert_allclose(res["beta"], t @ ref["beta"] + [2 * shift, 0.0], rtol=1e-8)
    np.testing.assert_allclose(res["cov_beta"], t @ np.asarray(ref["cov_beta"]) @ t.T, rtol=1e-6)


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("q", [(1, 1), (2, 1)])
def test_fit_reports_the_gradient_at_its_theta(q, reml):
    # The fit's gradient is the one its run evaluated at the returned theta (sign groups
    # normalised): the solution's there, and the report's largest entry.
    y, x, factors = crossed_rows(800, (50, 12), q, seed=2)
    core = CrossedCore(y, x, factors)
    first = core.start_theta(reml)
    # negated: the run ends reflected; two starts: the best may be the first run's
    for start in (first, [-v for v in first], first + [3.0 * v for v in first], [3.0 * v for v in first] + first):
        res = core.fit(start, reml=reml)
        again = core.solution(res["theta"], reml)
        np.testing.assert_allclose(res["grad"], again["grad"], rtol=1e-9, atol=1e-9)
        assert res["grad_inf_norm"] == pytest.approx(np.max(np.abs(res["grad"])), rel=1e-12)
        assert res["deviance"] == again["deviance"]
