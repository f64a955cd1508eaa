"""GLMMs with several grouping factors (crossed or nested) fitted from data read in
batches (quorvelkit.sources.glmm_batches_crossed) against the in-memory crossed fit of
the same rows, which tests/python/test_glmm_fit.py holds to glmer's: log-likelihood,
theta, beta, standard errors, every factor's variance components, modes and their
conditional variances, and predictions, to 1e-8, for several splits into batches and
the routes (lists, callables read again at every pass, Parquet, Dask partitions); the
same bits for any split; the refusals."""

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose
from test_glmm_batches import assert_same_fit, split

import quorvelkit as qk
import quorvelkit._quorvelkit as _qk


def ratings(n: int = 3000, users: int = 120, items: int = 35, seed: int = 5) -> pd.DataFrame:
    """A binary response of users rating items (crossed), users labelled by text and
    items by integers, rows of both scattered over the batches."""
    rng = np.random.default_rng(seed)
    u, i = rng.integers(0, users, n), rng.integers(0, items, n)
    x = rng.normal(size=n)
    eta = -0.3 + 0.5 * x + rng.normal(0, 0.8, users)[u] + rng.normal(0, 0.5, items)[i]
    y = (rng.random(n) < 1 / (1 + np.exp(-eta))).astype(float)
    return pd.DataFrame({"y": y, "x": x, "user": [f"u{k:03d}" for k in u], "item": i})


def counts(n: int = 2400, seed: int = 6) -> pd.DataFrame:
    """Counts (and the same with a fifth of structural zeros), positive values and trials
    over users x items, and classes nested in schools; an exposure."""
    rng = np.random.default_rng(seed)
    u, i = rng.integers(0, 80, n), rng.integers(0, 25, n)
    x, t = rng.normal(size=n), rng.uniform(0.5, 2.0, n)
    eta = 0.1 + 0.3 * x + np.log(t) + rng.normal(0, 0.5, 80)[u] + rng.normal(0, 0.4, 25)[i]
    size = rng.integers(1, 6, n)
    frame = pd.DataFrame(
        {
            "c": rng.poisson(np.exp(eta)),
            "pos": rng.gamma(3.0, np.exp(eta) / 3.0),
            "hits": rng.binomial(size, 1 / (1 + np.exp(-eta + 0.5))),
            "size": size,
            "x": x,
            "t": t,
            "user": u,
            "item": [f"i{k}" for k in i],
            "school": u // 8,
            "klass": u,
            "shop": rng.integers(0, 6, n),
        }
    )
    frame["cz"] = np.where(rng.random(n) < 0.2, 0, frame["c"])
    return frame


CASES = {
    # name: formula, data, family, extra
    "bernoulli_crossed": ("y ~ x + (1 | user) + (1 | item)", ratings, "binomial", {}),
    # fewer levels first in the formula: the core's order of factors is not the formula's
    "poisson_crossed_offset": ("c ~ x + offset(log(t)) + (1 | item) + (1 | user)", counts, "poisson", {}),
    "binomial_trials": ("cbind(hits, size - hits) ~ x + (1 | user) + (1 | item)", counts, "binomial", {}),
    "poisson_nested": ("c ~ x + (1 | school/klass)", counts, "poisson", {}),
    "poisson_three_factors": ("c ~ x + (1 | shop) + (1 | user) + (1 | item)", counts, "poisson", {}),
    "probit_crossed": ("y ~ x + (1 | user) + (1 | item)", ratings, "binomial", {"link": "probit"}),
    "gamma_crossed": ("pos ~ x + (1 | user) + (1 | item)", counts, "Gamma", {"link": "log"}),
    "nbinom2_crossed": ("c ~ x + (1 | user) + (1 | item)", counts, "nbinom2", {}),
    "zip_crossed": ("cz ~ x + (1 | user) + (1 | item)", counts, "poisson", {"zi": "~1"}),
}


@pytest.fixture(scope="module", params=list(CASES))
def case(request):
    formula, data, family, extra = CASES[request.param]
    frame = data()
    return formula, frame, family, extra, qk.glmm(formula, frame, family=family, **extra)


def assert_same_crossed(batched, fit, tol: float = 1e-8) -> None:
    assert_same_fit(batched, fit, tol)  # and every factor's modes
    assert list(batched.ranef) == list(fit.ranef) and len(fit.ranef) >= 2
    assert_allclose(batched.varcorr["vcov"], fit.varcorr["vcov"], rtol=tol, atol=tol)
    for got, want in zip(batched._res["cond_var"], fit._res["cond_var"], strict=True):
        assert_allclose(got, want, rtol=tol, atol=tol)


@pytest.mark.parametrize("size", [7, 500, 10**6])
def test_batched_fit_is_the_in_memory_fit(case, size):
    formula, frame, family, extra, fit = case
    batched = qk.glmm(formula, split(frame, size), family=family, **extra)
    assert_same_crossed(batched, fit)
    assert batched.passes == batched.optimizer["passes"] > batched.optimizer["fev"]
    new = frame.sample(frac=0.2, random_state=3)
    for scale in ("link", "response"):
        assert_allclose(batched.predict(new, type=scale), fit.predict(new, type=scale), rtol=1e-8, atol=1e-10)


@pytest.mark.parametrize(
    "name", ["bernoulli_crossed", "probit_crossed", "poisson_nested", "gamma_crossed", "nbinom2_crossed", "zip_crossed"]
)
def test_nagq0_from_batches_is_the_in_memory_nagq0_fit(name):
    """nAGQ = 0 from passes: the joint PIRLS a pass per step, its exact gradient over
    theta and the family's parameters from two more (t's system, then the row sums),
    so the in-memory nAGQ = 0 fit's estimates, modes and covariance; the canonical
    links reuse the joint PIRLS's beta covariance, the others solve the observed
    curvature's system, Gamma and nbinom2 move log(phi) beside theta, and a zero-inflated
    Poisson its probability's logit."""
    formula, data, family, extra = CASES[name]
    frame = data()
    fit = qk.glmm(formula, frame, family=family, nagq=0, **extra)
    assert fit.optimizer["converged"] and fit.optimizer["fev_stage1"] == fit.optimizer["fev"] > 0
    batched = qk.glmm(formula, split(frame, 450), family=family, nagq=0, **extra)
    assert_same_crossed(batched, fit)
    assert batched.sigma == pytest.approx(fit.sigma, rel=1e-8)
    assert batched.passes > 4 * batched.optimizer["fev"]
    laplace = qk.glmm(formula, split(frame, 450), family=family, **extra)
    assert laplace.m2loglik < batched.m2loglik < laplace.m2loglik + 0.5
    if name == "bernoulli_crossed":  # a profile's passes as the in-memory fit's
        which = "sd_(Intercept)|item"
        points, at = batched.profile(which=which), fit.profile(which=which)
        assert_allclose(points.traces[which].to_numpy(), at.traces[which].to_numpy(), rtol=1e-6, atol=1e-6)


def test_any_split_of_the_rows_gives_the_same_bits():
    frame = ratings(1500, 60, 20, seed=9)
    formula = "y ~ x + (1 | user) + (1 | item)"
    fits = [qk.glmm(formula, split(frame, size), family="binomial") for size in (1, 64, 999, len(frame))]
    for other in fits[1:]:
        assert other.m2loglik == fits[0].m2loglik
        assert np.array_equal(other.theta, fits[0].theta)
        assert np.array_equal(other.fixef.to_numpy(), fits[0].fixef.to_numpy())
        assert np.array_equal(other.se.to_numpy(), fits[0].se.to_numpy())
        for k in fits[0].ranef:
            assert np.array_equal(other.ranef[k].to_numpy(), fits[0].ranef[k].to_numpy())
        assert other.passes == fits[0].passes


def test_sources_read_again_at_every_pass(tmp_path):
    """Without the first pass's cache or a spill the core reads the source at every
    pass (a callable's fresh iterators); a Parquet directory beyond the cache is spilled,
    and so is what the profiles' passes read of it again."""
    frame = ratings(2000, 80, 25, seed=11)
    formula = "y ~ x + (1 | item) + (1 | user)"
    fit = qk.glmm(formula, frame, family="binomial")
    calls = []

    def batches():
        calls.append(1)
        return iter(split(frame, 300))

    by_callable = qk.glmm(formula, batches, family="binomial", cache_bytes=0, spill=False)
    assert_same_crossed(by_callable, fit)
    # and two calls that read the first batch only (the model's columns, its text levels)
    assert by_callable.passes <= len(calls) <= by_callable.passes + 2
    for k, part in enumerate(split(frame, 700)):
        part.to_parquet(tmp_path / f"part{k}.parquet", index=False)
    by_parquet = qk.glmm(formula, str(tmp_path), family="binomial", cache_bytes=0, batch_rows=256)
    assert_same_crossed(by_parquet, fit)
    assert by_parquet._design.source == str(tmp_path) and by_parquet.optimizer["kept"] == "spill"
    which = "sd_(Intercept)|item"
    points, at = by_parquet.profile(which=which), fit.profile(which=which)
    assert by_parquet._core.passes > 20
    assert_allclose(points.traces[which].to_numpy(), at.traces[which].to_numpy(), rtol=1e-6, atol=1e-6)
    assert_allclose(points.confint().to_numpy(), at.confint().to_numpy(), rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize("name", ["bernoulli_crossed", "nbinom2_crossed", "poisson_nested"])
def test_profiles_of_a_crossed_fit_from_batches_are_the_in_memory_fits(name):
    """Every factor's variance and every fixed effect profiled (phi a nuisance parameter)
    from passes over the batches: the profile's points and intervals are the in-memory
    crossed fit's."""
    formula, data, family, extra = CASES[name]
    frame = data()
    fit = qk.glmm(formula, frame, family=family, **extra)
    batched = qk.glmm(formula, split(frame, 500), family=family, **extra)
    points, at = batched.profile(), fit.profile()
    assert points.traces.keys() == at.traces.keys()
    for which, trace in at.traces.items():
        assert_allclose(points.traces[which].to_numpy(), trace.to_numpy(), rtol=1e-6, atol=1e-6, err_msg=which)
    want, got = at.confint(), points.confint()
    assert list(got.index) == list(want.index)
    assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize("nagq", [1, 0])
def test_dask_partitions(nagq):
    dd = pytest.importorskip("dask.dataframe")
    dask = pytest.importorskip("dask")
    formula, data, family, extra = CASES["poisson_crossed_offset"]
    frame = data()
    fit = qk.glmm(formula, frame, family=family, nagq=nagq, **extra)
    with dask.config.set(scheduler="synchronous"):
        batched = qk.glmm(formula, dd.from_pandas(frame, npartitions=4), family=family, nagq=nagq, **extra)
    assert_same_crossed(batched, fit)


@pytest.mark.parametrize(
    "formula, options, text",
    [
        ("y ~ x + (1 + x | user) + (1 | item)", {}, "one scalar term per factor.*'user' has more"),
        ("y ~ x + (1 | user) + (x || item)", {}, "'item' has more"),
        ("y ~ x + (1 | user) + (1 | item)", {"nagq": 2}, "nagq = 2"),
    ],
)
def test_refusals(formula, options, text):
    with pytest.raises(ValueError, match=text):
        qk.glmm(formula, split(ratings(400, 20, 10), 100), family="binomial", **options)


def test_the_core_names_a_bad_batch():
    """A code outside a factor's levels, or a response outside the family's support, is
    named by its batch and row."""
    n = 40
    codes = np.concatenate([np.arange(n) % 8, np.arange(n) % 5]).astype(np.int64)

    def batch(y, c):
        return (y, np.ones((n, 1)), np.ones(2 * n), c, np.ones(n), None)

    good = batch(np.arange(n) % 2.0, codes)
    bad_code = codes.copy()
    bad_code[n + 3] = 5
    with pytest.raises(ValueError, match="batch 1, row 3: factor 1's code 5 is outside 0..4"):
        _qk.glmm_batches_crossed_fit(
            lambda: iter([good, batch(good[0], bad_code)]), [8, 5], 1, [1, 1], [[1], [1]], "binomial"
        )
    y = good[0].copy()
    y[6] = 2.0
    with pytest.raises(ValueError, match="batch 2, row 6: response 2"):
        _qk.glmm_batches_crossed_fit(
            lambda: iter([good, good, batch(y, codes)]), [8, 5], 1, [1, 1], [[1], [1]], "binomial"
        )
    with pytest.raises(ValueError, match="z of 2 n values"):
        _qk.glmm_batches_crossed_fit(
            lambda: iter([good[:2] + (np.ones(n),) + good[3:]]), [8, 5], 1, [1, 1], [[1], [1]], "binomial"
        )
