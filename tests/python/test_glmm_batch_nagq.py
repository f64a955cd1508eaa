"""GLMMs fitted from batches by nAGQ = 0 and by adaptive Gauss-Hermite quadrature
(quorvelkit.sources.glmm_batches, nagq != 1) against the in-memory fits of the same
rows (which tests/python/test_glmm_fit.py holds to glmer's), and the quadrature's
refusals."""

import itertools

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose
from test_glmm_batches import counts, data_of, split

import quorvelkit as qk


def assert_close(batched, fit, tol: float, se_tol: float) -> None:
    """The in-memory fit's estimates and modes to tol (relative, at least tol absolute),
    its standard errors to se_tol."""
    assert batched.nagq == fit.nagq
    assert batched.m2loglik == pytest.approx(fit.m2loglik, rel=tol, abs=tol)
    assert_allclose(batched.theta, fit.theta, rtol=tol, atol=tol)
    assert_allclose(batched.fixef.to_numpy(), fit.fixef.to_numpy(), rtol=tol, atol=tol)
    assert_allclose(batched.se.to_numpy(), fit.se.to_numpy(), rtol=se_tol, atol=se_tol)
    assert batched.vcov_source == fit.vcov_source
    for k, modes in fit.ranef.items():
        pd.testing.assert_frame_equal(batched.ranef[k], modes, rtol=tol, atol=tol)
    if fit.phi is not None:
        assert batched.phi == pytest.approx(fit.phi, rel=tol)
    if fit.power is not None:
        assert batched.power == pytest.approx(fit.power, rel=tol)


@pytest.mark.parametrize(
    "name, tol",
    [
        ("cbpp", 1e-8),
        ("grouseticks", 1e-8),
        ("offset_counts", 1e-8),
        ("bernoulli", 1e-8),
        ("gamma", 1e-8),
        # The joint PIRLS ends where no step lowers h to its rounding: here that leaves
        # beta and the modes some 1e-8 from the joint mode, and the in-memory fit
        # itself moves by up to 4e-9 in -2 log L when its rows are only shuffled.
        ("grouseticks_nbinom2", 5e-8),
        ("gamma_tweedie", 1e-8),
    ],
)
def test_nagq0_from_batches_is_the_in_memory_fit(name, tol):
    # The joint PIRLS's criterion and its exact gradient from passes: the in-memory
    # fit's path, so every estimate to 1e-8 (SEs too: beta's covariance at fixed theta).
    formula, frame, family, extra = data_of(name)
    fit = qk.glmm(formula, frame, family=family, nagq=0, **extra)
    batched = qk.glmm(formula, split(frame, 17), family=family, nagq=0, **extra)
    assert_close(batched, fit, tol, tol)
    assert batched.passes == batched.optimizer["passes"] > batched.optimizer["fev"]
    new = frame.sample(frac=0.3, random_state=2)
    assert_allclose(batched.predict(new, type="response"), fit.predict(new, type="response"), rtol=1e-8)


@pytest.mark.parametrize(
    "name, nagq",
    [("cbpp", 5), ("cbpp", 2), ("grouseticks", 5), ("offset_counts", 9)],
)
def test_quadrature_from_batches_is_the_in_memory_fit(name, nagq):
    # The criterion is the in-memory one to rounding, but its gradient and Hessian are
    # differences of it (first and second), which amplify that rounding: the in-memory
    # fit itself moves by up to 1.2e-8 in beta and 3e-5 in its SEs (grouseticks, nagq =
    # 5) when its rows are only shuffled. Hence beta to 5e-8 and the SEs to 1e-4.
    formula, frame, family, extra = data_of(name)
    fit = qk.glmm(formula, frame, family=family, nagq=nagq, **extra)
    batched = qk.glmm(formula, split(frame, 23), family=family, nagq=nagq, **extra)
    laplace = qk.glmm(formula, split(frame, 23), family=family, **extra)
    assert batched.m2loglik == pytest.approx(fit.m2loglik, rel=1e-8, abs=1e-8)
    assert_allclose(batched.theta, fit.theta, rtol=1e-8, atol=1e-8)
    assert_close(batched, fit, 5e-8, 1e-4)
    assert abs(batched.m2loglik - laplace.m2loglik) > 1e-6  # the quadrature's own criterion


@pytest.mark.parametrize("nagq, tol, se_tol", [(0, 1e-8, 1e-8), (5, 5e-8, 1e-4)])
def test_sources_read_again_at_every_pass(tmp_path, nagq, tol, se_tol):
    # A callable's fresh iterators, every pass reading the source (the passes several
    # points share read it once for all of them), and Parquet files spilled.
    formula, frame, family = "n ~ f + (1 | g)", counts(), "poisson"
    fit = qk.glmm(formula, frame, family=family, offset="logt", nagq=nagq)
    calls = itertools.count()

    def batches():
        next(calls)
        return iter(split(frame, 200))

    by_callable = qk.glmm(formula, batches, family=family, offset="logt", nagq=nagq, cache_bytes=0, spill=False)
    assert_close(by_callable, fit, tol, se_tol)
    assert next(calls) == by_callable.passes + 1  # and the read of the first batch
    directory = tmp_path / "counts"
    directory.mkdir()
    for k, part in enumerate(split(frame, 200)):
        part.to_parquet(directory / f"part{k}.parquet", index=False)
    options = {"batch_rows": 150, "cache_bytes": 0}
    by_parquet = qk.glmm(formula, str(directory), family=family, offset="logt", nagq=nagq, **options)
    assert_close(by_parquet, fit, tol, se_tol)
    assert by_parquet.optimizer["kept"] == "spill"


def test_quadrature_the_same_for_any_split():
    formula, frame, family, _ = data_of("cbpp")
    fits = [qk.glmm(formula, split(frame, size), family=family, nagq=4) for size in (5, 31, len(frame))]
    for other in fits[1:]:
        assert other.m2loglik == fits[0].m2loglik
        assert np.array_equal(other.theta, fits[0].theta)
        assert np.array_equal(other.se.to_numpy(), fits[0].se.to_numpy())


@pytest.mark.parametrize(
    "name, formula, text",
    [
        ("bernoulli", None, "one scalar random effect .this model has 2 per group"),
        ("cbpp", "cbind(incidence, size - incidence) ~ 1 + (1 | herd) + (1 | period)", "one grouping factor"),
    ],
)
def test_quadrature_refusals(name, formula, text):
    given, frame, family, _ = data_of(name)
    with pytest.raises(ValueError, match=text):
        qk.glmm(formula or given, split(frame, 50), family=family, nagq=3)
