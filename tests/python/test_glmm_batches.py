"""GLMMs fitted from data read in batches (quorvelkit.sources.glmm_batches) against the
in-memory fit of the same rows, which tests/python/test_glmm_fit.py holds to glmer's (and
test_glmm_dispersion.py to glmmTMB's for the families with a dispersion parameter):
log-likelihood, theta, beta, standard errors, modes and predictions to 1e-8 for
several splits into batches and every route (lists, callables, Parquet, the source
re-read at every pass); the same bits for any split; the refusals."""

import itertools
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose
from test_glmm_fit import load

import quorvelkit as qk
from quorvelkit.support.errors import RowsUnavailable, SourceError

CBPP = "cbind(incidence, size - incidence) ~ period + (1 | herd)"
DATA = Path(__file__).resolve().parents[1] / "data" / "glmm"
GROUSE = "TICKS ~ YEAR + cHEIGHT + (1 | BROOD)"


def bernoulli(n_groups: int = 80, seed: int = 4) -> pd.DataFrame:
    """Bernoulli rows of a random slope model, the groups' rows scattered."""
    rng = np.random.default_rng(seed)
    g = rng.integers(0, n_groups, 12 * n_groups)
    x = rng.normal(size=len(g))
    b0, b1 = rng.normal(0, 0.9, n_groups), rng.normal(0, 0.4, n_groups)
    eta = -0.3 + 0.6 * x + b0[g] + b1[g] * x
    y = (rng.random(len(g)) < 1 / (1 + np.exp(-eta))).astype(float)
    return pd.DataFrame({"y": y, "x": x, "g": [f"s{k:03d}" for k in g]})


def counts(seed: int = 8) -> pd.DataFrame:
    """Poisson counts with an exposure offset and a factor, groups labelled by integers."""
    rng = np.random.default_rng(seed)
    g = rng.integers(0, 40, 400)
    t = rng.uniform(0.5, 3.0, len(g))
    f = rng.choice(["a", "b", "c"], len(g))
    eta = np.log(t) + 0.4 + np.where(f == "b", 0.3, 0.0) + rng.normal(0, 0.5, 40)[g]
    return pd.DataFrame({"n": rng.poisson(np.exp(eta)), "t": t, "logt": np.log(t), "f": f, "g": g})


def gamma(seed: int = 3) -> pd.DataFrame:
    """Gamma responses (shape 4) with a log link and a random intercept."""
    rng = np.random.default_rng(seed)
    g = rng.integers(0, 30, 300)
    x = rng.normal(size=len(g))
    mu = np.exp(0.5 + 0.3 * x + rng.normal(0, 0.4, 30)[g])
    return pd.DataFrame({"y": rng.gamma(4.0, mu / 4.0), "x": x, "g": g})


def overdispersed(seed: int = 5) -> pd.DataFrame:
    """Negative binomial counts (shape 2) with a fifth of structural zeros."""
    rng = np.random.default_rng(seed)
    g = rng.integers(0, 50, 1200)
    x = rng.normal(size=len(g))
    mu = np.exp(0.6 + 0.5 * x + rng.normal(0, 0.6, 50)[g])
    y = rng.poisson(rng.gamma(2.0, mu / 2.0))
    y[rng.random(len(g)) < 0.2] = 0
    return pd.DataFrame({"y": y, "x": x, "g": g})


def data_of(name: str) -> tuple[str, pd.DataFrame, str, dict]:
    if name.startswith("salamanders"):  # glmmTMB's, with a constant zero-inflation (a hurdle's zeros)
        family = "poisson" if name == "salamanders_zip" else "truncated_nbinom2"
        return "count ~ spp + mined + (1 | site)", pd.read_csv(DATA / "salamanders.csv"), family, {"zi": "~1"}
    if name == "zinb":
        return "y ~ x + (1 | g)", overdispersed(), "nbinom2", {"zi": "~1"}
    if name == "grouseticks_nbinom2":
        return GROUSE, load("grouseticks")[1], "nbinom2", {}
    if name == "gamma":
        return "y ~ x + (1 | g)", gamma(), "Gamma", {"link": "log"}
    if name == "gamma_tweedie":  # the same positive values, and Tweedie's power beside phi
        return "y ~ x + (1 | g)", gamma(), "tweedie", {}
    if name == "cbpp":
        return CBPP, load("cbpp")[1], "binomial", {}
    if name == "grouseticks":
        return GROUSE, load("grouseticks")[1], "poisson", {}
    if name == "bernoulli":
        return "y ~ x + (1 + x | g)", bernoulli(), "binomial", {}
    return "n ~ f + offset(log(t)) + (1 | g)", counts(), "poisson", {}


def split(frame: pd.DataFrame, size: int) -> list[pd.DataFrame]:
    return [frame.iloc[s : s + size] for s in range(0, len(frame), size)]


def assert_same_fit(batched, fit, tol: float = 1e-8) -> None:
    """The in-memory fit's estimates, to tol (relative, at least 1 absolute)."""
    assert batched.m2loglik == pytest.approx(fit.m2loglik, rel=tol, abs=tol)
    assert_allclose(batched.theta, fit.theta, rtol=tol, atol=tol)
    assert_allclose(batched.fixef.to_numpy(), fit.fixef.to_numpy(), rtol=tol, atol=tol)
    assert_allclose(batched.se.to_numpy(), fit.se.to_numpy(), rtol=tol, atol=tol)
    assert list(batched.fe_names) == list(fit.fe_names)
    assert batched.vcov_source == fit.vcov_source
    for k, modes in fit.ranef.items():
        pd.testing.assert_frame_equal(batched.ranef[k], modes, rtol=tol, atol=tol)
    assert batched.nobs == fit.nobs and batched.ngroups == fit.ngroups
    assert batched.laplace == fit.laplace
    assert (batched.phi is None) == (fit.phi is None)
    if fit.phi is not None:
        assert batched.phi == pytest.approx(fit.phi, rel=tol)
    assert (batched.power is None) == (fit.power is None)
    if fit.power is not None:
        assert batched.power == pytest.approx(fit.power, rel=tol)
    assert (batched.zi is None) == (fit.zi is None)
    if fit.zi is not None:
        assert batched.zi == pytest.approx(fit.zi, rel=tol)
        want, got = fit.zi_coef_table, batched.zi_coef_table
        assert list(got.index) == list(want.index)
        assert_allclose(got.to_numpy(), want.to_numpy(), rtol=tol, atol=tol)


CASES = [
    "cbpp",
    "grouseticks",
    "bernoulli",
    "offset_counts",
    "grouseticks_nbinom2",
    "gamma",
    "gamma_tweedie",
    "salamanders_zip",
    "salamanders_hurdle",
    "zinb",
]


@pytest.fixture(scope="module", params=CASES)
def case(request):
    formula, frame, family, extra = data_of(request.param)
    return formula, frame, family, extra, qk.glmm(formula, frame, family=family, **extra)


@pytest.mark.parametrize("size", [1, 17, 10**6])
def test_batched_fit_is_the_in_memory_fit(case, size):
    formula, frame, family, extra, fit = case
    if size == 1 and len(frame) > 250:
        size = 3  # one row a batch for cbpp only, to keep the test short
    batched = qk.glmm(formula, split(frame, size), family=family, **extra)
    assert_same_fit(batched, fit)
    assert batched.passes == batched.optimizer["passes"] > batched.optimizer["fev"]
    new = frame.sample(frac=0.3, random_state=2)
    for scale in ("link", "response"):
        assert_allclose(batched.predict(new, type=scale), fit.predict(new, type=scale), rtol=1e-8, atol=1e-10)


def test_any_split_of_the_rows_gives_the_same_bits():
    formula, frame, family, _ = data_of("bernoulli")
    fits = [qk.glmm(formula, split(frame, size), family=family) for size in (1, 50, 333, len(frame))]
    again = qk.glmm(formula, split(frame, 50), family=family)
    for other in [*fits[1:], again]:
        assert other.m2loglik == fits[0].m2loglik
        assert np.array_equal(other.theta, fits[0].theta)
        assert np.array_equal(other.fixef.to_numpy(), fits[0].fixef.to_numpy())
        assert np.array_equal(other.se.to_numpy(), fits[0].se.to_numpy())
        assert other.passes == fits[0].passes


@pytest.mark.parametrize(
    "make",
    [
        lambda rng, n: rng.integers(0, 100_000, n),  # 100,000 levels over a million rows
        lambda rng, n: np.array([f"g{k}" for k in rng.integers(0, 100_000, n)], dtype=object),
        lambda rng, n: np.array([k if k % 2 else str(k) for k in rng.integers(0, 100_000, n)], dtype=object),
    ],
    ids=["integers", "text", "one label in two types"],
)
def test_the_labels_of_the_batches_held_stay_within_about_twice_the_levels(make):
    from quorvelkit.sources.glmm_first_pass import add_labels

    rng = np.random.default_rng(5)
    batches = [make(rng, 50_000) for _ in range(20)]
    found: list = []
    held = 0
    for b in batches:
        add_labels(found, b)
        held = max(held, sum(len(s) for s in found))
    every = pd.Series(np.concatenate(batches)).drop_duplicates(ignore_index=True)
    # The labels in the order first met, each once (a number and its text apart).
    pd.testing.assert_series_equal(pd.concat(found, ignore_index=True).drop_duplicates(ignore_index=True), every)
    assert held <= 2 * len(every) + (1 << 16) + 50_000  # a batch's worth above the bound


def same_bits(a, b) -> bool:
    return (
        a.m2loglik == b.m2loglik
        and np.array_equal(a.theta, b.theta)
        and np.array_equal(a.fixef.to_numpy(), b.fixef.to_numpy())
        and np.array_equal(a.se.to_numpy(), b.se.to_numpy())
    )


def test_a_source_read_again_at_every_pass_or_spilled(tmp_path):
    """Beyond cache_bytes the core's first pass reads the source and spills the batches
    to a temporary file its later passes read back; without a spill every pass reads
    the source (a callable's fresh iterators). All three are the same fit, bit for
    bit; Parquet files spilled likewise."""
    formula, frame, family = "n ~ f + (1 | g)", counts(), "poisson"
    extra = {"offset": "logt"}
    fit = qk.glmm(formula, frame, family=family, **extra)
    calls = itertools.count()

    def batches():
        next(calls)
        return iter(split(frame, 150))

    by_callable = qk.glmm(formula, batches, family=family, cache_bytes=0, spill=False, **extra)
    assert_same_fit(by_callable, fit)
    assert_allclose(by_callable.predict(frame.head(30)), fit.predict(frame.head(30)), rtol=1e-8)
    # One call per pass, and one more that reads the first batch to learn the model from.
    assert next(calls) == by_callable.passes + 1
    assert by_callable.optimizer["kept"] == "source"
    spilled = qk.glmm(formula, batches, family=family, cache_bytes=0, spill=str(tmp_path), **extra)
    # The levels' and labels' passes, the first batch, and the core's first pass only.
    assert next(calls) - (by_callable.passes + 2) == 4 and spilled.optimizer["kept"] == "spill"
    cached = qk.glmm(formula, batches, family=family, **extra)
    assert cached.optimizer["kept"] == "memory"
    assert same_bits(by_callable, cached) and same_bits(spilled, cached)
    directory = tmp_path / "counts"
    directory.mkdir()
    for k, part in enumerate(split(frame, 150)):
        part.to_parquet(directory / f"part{k}.parquet", index=False)
    by_parquet = qk.glmm(formula, str(directory), family=family, batch_rows=100, cache_bytes=0, **extra)
    assert_same_fit(by_parquet, fit)
    assert by_parquet.optimizer["kept"] == "spill"


def test_a_spill_of_more_groups_than_a_span_is_read_span_by_span(tmp_path):
    """With more groups than the core's span, a spill is read back span by span of
    groups (each span's sums in cache): the same fit, bit for bit, as the batches kept
    in memory in the source's order."""
    import quorvelkit._quorvelkit as _qk

    rng = np.random.default_rng(31)
    m = _qk.GROUP_SPAN + 3000
    g = np.concatenate([np.arange(m), rng.integers(0, m, m)])
    x = rng.normal(size=len(g))
    eta = -0.3 + 0.6 * x + rng.normal(0.0, 0.9, m)[g]
    frame = pd.DataFrame({"y": (rng.random(len(g)) < 1 / (1 + np.exp(-eta))).astype(float), "x": x, "g": g})
    frame = frame.sample(frac=1.0, random_state=3).reset_index(drop=True)  # the groups' rows scattered

    def batches():
        return iter(split(frame, 20000))

    spilled = qk.glmm("y ~ x + (1 | g)", batches, family="binomial", cache_bytes=0, spill=str(tmp_path))
    kept = qk.glmm("y ~ x + (1 | g)", batches, family="binomial")
    assert (spilled.optimizer["kept"], kept.optimizer["kept"]) == ("spill", "memory")
    assert same_bits(spilled, kept)
    assert np.array_equal(np.asarray(spilled.ranef["g"]), np.asarray(kept.ranef["g"]))


def test_dask_partitions():
    dd = pytest.importorskip("dask.dataframe")
    dask = pytest.importorskip("dask")
    formula, frame, family, extra = data_of("offset_counts")
    fit = qk.glmm(formula, frame, family=family, **extra)
    with dask.config.set(scheduler="synchronous"):
        for parts in (1, 5):
            assert_same_fit(qk.glmm(formula, dd.from_pandas(frame, npartitions=parts), family=family, **extra), fit)


def test_parquet_file_with_a_binomial_response_of_trials(tmp_path, capsys):
    formula, frame, family, _ = data_of("cbpp")
    path = tmp_path / "cbpp.parquet"
    text = frame.assign(herd="h" + frame["herd"].astype(str), period="p" + frame["period"].astype(str))
    text.to_parquet(path, index=False)
    fit = qk.glmm(formula, text, family=family)
    batched = qk.glmm(formula, str(path), family=family, batch_rows=9, progress=True)
    assert_same_fit(batched, fit)
    assert "passes over the batches" in capsys.readouterr().err
    import pyarrow.dataset as ds

    assert_same_fit(qk.glmm(formula, ds.dataset(path), family=family), fit)
    assert batched.summary_text().count("passes over the batches") == 1


def test_likelihood_ratio_of_fits_from_batches():
    formula, frame, family, _ = data_of("cbpp")
    null = "cbind(incidence, size - incidence) ~ 1 + (1 | herd)"
    in_memory = qk.anova(qk.glmm(null, frame, family=family), qk.glmm(formula, frame, family=family))
    batched = qk.anova(
        qk.glmm(null, split(frame, 11), family=family), qk.glmm(formula, split(frame, 11), family=family)
    )
    assert_allclose(batched["Chisq"].iloc[1], in_memory["Chisq"].iloc[1], rtol=1e-8)
    assert batched["Chi Df"].iloc[1] == in_memory["Chi Df"].iloc[1] == 3


def test_what_needs_the_rows_is_refused():
    formula, frame, family, _ = data_of("cbpp")
    batched = qk.glmm(formula, split(frame, 20), family=family)
    assert not batched.rows_kept
    for what in (
        lambda f: f.residuals(),
        lambda f: f.fitted,
        lambda f: f.simulate(2, seed=1),
        lambda f: f.deviance,
        lambda f: f.predict(),
        lambda f: f.core,
        lambda f: f.drop1(),
    ):
        with pytest.raises(RowsUnavailable, match="needs the rows"):
            what(batched)


@pytest.mark.parametrize(
    "name, cache_bytes, which",
    [
        ("cbpp", 1 << 28, None),
        ("offset_counts", 0, "sd_(Intercept)|g"),
        ("grouseticks_nbinom2", 1 << 28, None),
        ("zinb", 0, "sd_(Intercept)|g"),
    ],
)
def test_profiles_of_a_fit_from_batches_are_the_in_memory_fits(name, cache_bytes, which, tmp_path):
    """Each profile point's criterion and gradient come from passes over the batches:
    the intervals and the profile's points are the in-memory fit's (phi a nuisance
    parameter of every profile); the first profile pass keeps the batches by the fit's
    rule, or with nothing kept reads the Parquet file at every pass (one parameter's
    profile: a pass that reads the file is some thousand times the kept batches')."""
    formula, frame, family, extra = data_of(name)
    fit = qk.glmm(formula, frame, family=family, **extra)
    if cache_bytes:
        source: object = split(frame, 29)
    else:
        source = str(tmp_path / "rows.parquet")
        frame.to_parquet(source, row_group_size=250)
    batched = qk.glmm(formula, source, family=family, cache_bytes=cache_bytes, **extra)
    points, at = batched.profile(which=which), fit.profile(which=which)
    assert batched._core.passes > 100  # every profile point passed over the batches
    assert points.traces.keys() == at.traces.keys()
    for name, trace in at.traces.items():
        assert_allclose(points.traces[name].to_numpy(), trace.to_numpy(), rtol=1e-6, atol=1e-6)
    want, got = at.confint(), points.confint()
    assert list(got.index) == list(want.index)
    assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-6, atol=1e-7)


def test_a_pickled_fit_from_batches_has_no_profiles():
    import pickle

    formula, frame, family, _ = data_of("cbpp")
    again = pickle.loads(pickle.dumps(qk.glmm(formula, split(frame, 20), family=family)))
    with pytest.raises(ValueError, match="refit it"):
        again.profile()


@pytest.mark.parametrize(
    "data, options, error, text",
    [
        (lambda f: iter(split(f, 20)), {}, TypeError, "an iterator can be read only once"),
        (lambda f: split(f, 20), {"family": "nbinom2", "zi": "~ period"}, ValueError, "constant probability"),
        (lambda f: split(f, 20), {"subset": "size > 5"}, ValueError, "subset="),
        (lambda f: lambda: f, {}, TypeError, "must return an iterable of DataFrames, got DataFrame"),
        (lambda f: lambda: iter([f, f.to_dict()]), {}, TypeError, "batch 1 of the callable's iterator is a dict"),
    ],
)
def test_refusals(data, options, error, text):
    formula, frame, family, _ = data_of("cbpp")
    with pytest.raises(error, match=text):
        qk.glmm(formula, data(frame), **{"family": family, **options})


def test_bad_batches_are_named():
    formula, frame, family, _ = data_of("cbpp")
    two_factors = "cbind(incidence, size - incidence) ~ 1 + (1 + size | herd) + (1 | period)"
    with pytest.raises(ValueError, match="one scalar term per factor"):
        qk.glmm(two_factors, split(frame, 20), family=family)
    formula, frame, family, _ = data_of("bernoulli")
    parts = split(frame, 200)
    parts[2] = parts[2].assign(x=parts[2]["x"].astype(str).where(parts[2].index % 7 > 0, "high"))
    with pytest.raises(SourceError, match="'x'.*batch 2"):
        qk.glmm(formula, parts, family=family)
    negative = split(frame, 200)
    negative[1] = negative[1].assign(y=-negative[1]["y"])
    with pytest.raises(ValueError, match="0/1 values.* -1 in row 207 .of batch 1"):
        qk.glmm(formula, negative, family=family)
