"""GLMMs fitted from Dask DataFrames (a LocalCluster of worker processes) and Spark
DataFrames (local[2]) with every pass reduced where the partitions are
(quorvelkit.sources.glmm_cluster), against the in-memory fit of the same rows:
log-likelihood, theta, beta, standard errors and modes to 1e-8 for a binomial, a
Poisson and a dispersion family; the same bits for 1 and 2 workers, with the
partitions kept or computed again, and for Dask and Spark on the same partitions;
bad partitions refused by name before any fit."""

import os
import time
import warnings

import numpy as np
import pandas as pd
import pytest
from batchdata import on, require
from numpy.testing import assert_allclose
from test_glmm_batches import assert_same_fit, data_of

import quorvelkit as qk
from quorvelkit.sources.glmm_cluster import Model, merge_sums, partition_sums
from quorvelkit.support.errors import SourceError

dd = require("dask.dataframe")
dask = require("dask")
require("distributed")


def frames_of(frame: pd.DataFrame, sizes) -> list[pd.DataFrame]:
    """``frame``'s rows in order, cut into partitions of ``sizes`` rows."""
    edges = np.cumsum([0, *sizes])
    return [frame.iloc[a:b] for a, b in zip(edges[:-1], edges[1:], strict=True)]


def dask_of(frames: list[pd.DataFrame]):
    """A Dask DataFrame whose partitions are ``frames`` as they are (types included)."""
    return dd.from_delayed([dask.delayed(f) for f in frames], meta=frames[0].iloc[:0], verify_meta=False)


def even(n: int, parts: int) -> list[int]:
    return [(k + 1) * n // parts - k * n // parts for k in range(parts)]


def bits(fit) -> list[str]:
    values = [fit.m2loglik, *fit.theta, *fit.fixef.to_numpy(float), *fit.se.to_numpy(float)]
    return [float(v).hex() for v in [*values, *np.ravel(next(iter(fit.ranef.values())).to_numpy(float))]]


def as_text(frame: pd.DataFrame) -> pd.DataFrame:
    """Categorical columns as text labels (Spark has no categoricals; text that reads as
    numbers is refused as a factor's)."""
    cats = [c for c in frame.columns if isinstance(frame[c].dtype, pd.CategoricalDtype)]
    return frame.assign(**{c: "L" + frame[c].astype(str) for c in cats})


# (case, partitions, also fitted on 1 worker and with the partitions computed at every pass);
# zinb: a dispersion family with a zero-inflation, both parameters beside beta in the sums
DASK_CASES = [("bernoulli", 5, True), ("grouseticks", 4, False), ("zinb", 4, False)]


@pytest.mark.parametrize("name, parts, both", DASK_CASES)
def test_dask_fit_on_the_workers_is_the_in_memory_fit(name, parts, both, clusters, monkeypatch):
    from quorvelkit.sources import glmm_dask

    formula, frame, family, extra = data_of(name)
    ref = qk.glmm(formula, frame, family=family, **extra)
    ddf = dask_of(frames_of(frame, even(len(frame), parts)))
    together: list[int] = []  # the passes made in each job
    sums = glmm_dask.DaskPasses.sums

    def spy(self, model, requests):
        together.append(len(requests))
        return sums(self, model, requests)

    monkeypatch.setattr(glmm_dask.DaskPasses, "sums", spy)

    def fit(n: int, **options):
        return on(clusters[n], lambda: qk.glmm(formula, ddf, family=family, split_every=2, **extra, **options))

    on_two = fit(2)
    assert_same_fit(on_two, ref)
    assert on_two.passes > on_two.optimizer["fev"]
    # The Hessian's points share their jobs (a pass of each in one), as a read here does.
    assert max(together) > 1 and len(together) < sum(together)
    if both:
        # The same partitioning, the same tree of merges: the same bits on one worker,
        # and with each pass computing the partitions again from the DataFrame.
        assert bits(fit(1)) == bits(on_two)
        with dask.config.set(scheduler="synchronous"):
            assert bits(qk.glmm(formula, ddf, family=family, split_every=2, persist=False, **extra)) == bits(on_two)
        # Jobs of one pass each (a node's bytes too few for two): the same bits.
        from quorvelkit.sources import glmm_cluster

        together.clear()
        monkeypatch.setattr(glmm_cluster, "NODE_BYTES", 1)
        assert bits(fit(2)) == bits(on_two)
        assert max(together) == 1


def test_passes_made_together_are_sent_in_jobs_within_a_nodes_bytes(monkeypatch):
    """A job holds as many passes as keep split_every children's sums within
    NODE_BYTES, by the largest sums of one pass seen so far (the first pass alone
    before any), and the sums come back in the order of the passes."""
    from quorvelkit.sources import glmm_cluster

    class Recorded(glmm_cluster.Passes):
        split_every = 4

        def __init__(self) -> None:
            self.jobs: list[list[int]] = []

        def sums(self, model, requests):
            self.jobs.append([inputs["k"] for _, inputs in requests])
            return [{"s": np.full(inputs["n"], float(inputs["k"])), "rows": 1} for _, inputs in requests]

    passes = Recorded()
    # Two passes of 100 doubles (and a count) a job: 4 children x 2 x 808 bytes.
    monkeypatch.setattr(glmm_cluster, "NODE_BYTES", 4 * 2 * 808)
    out = glmm_cluster._aligned_sums(passes, None, [("kModes", {"k": k, "n": 100}) for k in range(7)])
    assert [o["s"][0] for o in out] == list(range(7)) and all(o["s"].size == 100 for o in out)
    assert passes.jobs == [[0], [1, 2], [3, 4], [5, 6]]
    # Larger sums seen shrink the jobs after them.
    passes.jobs.clear()
    glmm_cluster._aligned_sums(passes, None, [("kModes", {"k": k, "n": 200}) for k in range(3)])
    assert passes.jobs == [[0, 1], [2]]


def test_profiles_of_a_fit_on_the_workers_are_the_in_memory_fits(clusters):
    """A profile's passes run on the workers as the fit's did: the partitions kept again
    for it, its points and interval the in-memory fit's, and the partitions let go on
    the workers when it ends."""
    import distributed

    formula, frame, family, extra = data_of("cbpp")
    ref = qk.glmm(formula, frame, family=family, **extra)
    ddf = dask_of(frames_of(frame, even(len(frame), 3)))
    which = "sd_(Intercept)|herd"

    def held() -> int:
        # What the workers hold, once the scheduler has seen the client's releases
        # (they reach it asynchronously).
        client = distributed.get_client()
        for _ in range(50):
            count = sum(client.run(lambda dask_worker: len(dask_worker.data)).values())
            if count == 0:
                break
            time.sleep(0.1)
        return count

    def profiled():
        fit = qk.glmm(formula, ddf, family=family, **extra)
        assert held() == 0
        return fit, fit.profile(which=which), held()

    fit, points, after = on(clusters[2], profiled)
    at = ref.profile(which=which)
    assert fit._core.passes > 20 and after == 0
    assert_allclose(points.traces[which].to_numpy(), at.traces[which].to_numpy(), rtol=1e-6, atol=1e-6)
    assert_allclose(points.confint().to_numpy(), at.confint().to_numpy(), rtol=1e-6, atol=1e-7)


def test_the_kept_partitions_are_dealt_to_the_workers_in_turn(clusters, monkeypatch):
    """Partition k is kept on the k-th worker (mod their number, in the order of their
    addresses) whichever worker the scheduler would pick, and on that worker alone (its
    pass's task runs there, not copying it to an idle worker), so that each holds its
    share."""
    import distributed

    from quorvelkit.sources import glmm_dask

    formula, frame, family, extra = data_of("cbpp")
    placed: list[list[str]] = []
    sums = glmm_dask.DaskPasses.sums

    def spy(self, *args):
        out = sums(self, *args)
        if not placed:  # after a pass, every kept partition is in a worker's memory
            holders: dict = {}
            for worker, keys in distributed.get_client().has_what().items():
                for key in keys:
                    holders.setdefault(key, []).append(worker)
            placed.extend(sorted(holders[b.key]) for b in self.batches)
        return out

    monkeypatch.setattr(glmm_dask.DaskPasses, "sums", spy)
    ddf = dask_of(frames_of(frame, even(len(frame), 6)))
    fit = on(clusters[2], lambda: qk.glmm(formula, ddf, family=family, split_every=2, **extra))
    workers = sorted(on(clusters[2], lambda: distributed.get_client().scheduler_info()["workers"]))
    assert placed == [[workers[k % 2]] for k in range(6)]
    assert_same_fit(fit, qk.glmm(formula, frame, family=family, **extra))


def _typo(frames, k, column, value):
    out = [f.copy() for f in frames]
    out[k] = out[k].astype({column: object})
    out[k].iloc[3, out[k].columns.get_loc(column)] = value
    return out


GROUSE = data_of("grouseticks")
GROUSE_PARTS = frames_of(GROUSE[1], even(len(GROUSE[1]), 6))
# (case, the partitions, the refusal, or None: the in-memory fit of their rows)
DASK_REFUSALS = [
    ("text among numbers, partition 5", _typo(GROUSE_PARTS, 5, "cHEIGHT", "1O0"), "'1O0'.*partition 5 of the Dask"),
    ("a count below zero", _typo(GROUSE_PARTS, 2, "TICKS", -1),
     "must hold counts, not negative values.*partition 2 of the Dask DataFrame"),
    ("an infinite covariate", _typo(GROUSE_PARTS, 3, "cHEIGHT", np.inf),
     "'cHEIGHT' has a value that is not finite in partition 3 of the Dask DataFrame"),
    ("a factor categorical here and text there",
     [f.astype({"YEAR": str}) if k == 4 else f for k, f in enumerate(GROUSE_PARTS)],
     "column 'YEAR' of the Dask DataFrame is categorical in some partitions and text in others \\(partition 4\\)"),
    ("empty partitions: fitted as their rows", [GROUSE_PARTS[0].iloc[:0]] * 2 + GROUSE_PARTS[:3]
     + [GROUSE_PARTS[0].iloc[:0]] + GROUSE_PARTS[3:], None),
]  # fmt: skip


@pytest.mark.parametrize("case, frames, refusal", DASK_REFUSALS, ids=[c[0] for c in DASK_REFUSALS])
def test_dask_partitions_fit_as_their_rows_or_are_refused_by_name(case, frames, refusal):
    formula, _, family, extra = GROUSE
    with dask.config.set(scheduler="synchronous"):
        if refusal is not None:
            with pytest.raises((SourceError, ValueError), match=refusal):
                qk.glmm(formula, dask_of(frames), family=family, **extra)
            return
        fit = qk.glmm(formula, dask_of(frames), family=family, progress=False, **extra)
    assert_same_fit(fit, qk.glmm(formula, pd.concat(frames), family=family, **extra))


def test_dask_options_and_progress(capsys):
    formula, frame, family, extra = data_of("cbpp")
    ddf = dask_of(frames_of(frame, even(len(frame), 2)))
    with dask.config.set(scheduler="synchronous"):
        fit = qk.glmm(formula, ddf, family=family, progress=True, **extra)
    assert_same_fit(fit, qk.glmm(formula, frame, family=family, **extra))
    assert "passes over the partitions" in capsys.readouterr().err
    with pytest.raises(TypeError, match="cache= is for a Spark DataFrame"):
        qk.glmm(formula, ddf, family=family, cache=False)
    with pytest.raises(TypeError, match="persist= and cache= are for Dask and Spark"):
        qk.glmm(formula, [frame], family=family, persist=True)
    with pytest.raises(TypeError, match="weights= of the Dask DataFrame is a column name"):
        qk.glmm(formula, ddf, family=family, weights=np.ones(len(frame)))


def test_partition_sums_merge_to_the_sums_of_all_rows_and_name_a_refused_partition():
    rng = np.random.default_rng(2)
    n, m = 90, 7
    rows = (rng.poisson(2.0, n).astype(float), np.column_stack([np.ones(n), rng.normal(size=n)]), np.ones((n, 1)),
            rng.integers(0, m, n), np.ones(n), None)  # fmt: skip
    halves = [
        tuple(None if a is None else np.ascontiguousarray(a[s]) for a in rows) for s in (slice(0, 40), slice(40, n))
    ]
    model = Model(m, 2, 1, (1,), "poisson", "log", None)
    # Groups marked 2 are at their modes: their spread's and their gradient's moments
    # ("tm", "gmom") are added too, and a pass with no such group neither holds nor
    # sends them.
    at_mode = np.array([2, 1, 2, 2, 1, 2, 1], dtype=np.uint8)
    inputs = {"lambda": np.array([0.7]), "beta": np.array([0.5, 0.1]), "u": rng.normal(size=m), "active": at_mode}
    whole = partition_sums(model, [rows], "modes", inputs, "all")
    merged = merge_sums(partition_sums(model, [h], "modes", inputs, f"half {k}") for k, h in enumerate(halves))
    assert merged.keys() == whole.keys() == {"ll", "d1", "mo", "mf", "ms", "tm", "gmom", "constant", "rows", "batches"}
    for k in ("ll", "d1", "mo", "mf", "ms", "tm", "gmom"):
        np.testing.assert_allclose(merged[k], whole[k], rtol=1e-13)
        assert np.any(merged[k] != 0)
    assert np.all((whole["tm"] != 0) == (at_mode == 2))
    assert np.array_equal(np.any(whole["gmom"].reshape(m, -1) != 0, axis=1), at_mode == 2)
    none_at_mode = partition_sums(model, [rows], "modes", {**inputs, "active": np.ones(m, np.uint8)}, "all")
    assert none_at_mode.keys() == whole.keys() - {"tm", "gmom"}
    assert (merged["rows"], merged["batches"], whole["batches"]) == (n, 2, 1)
    check = merge_sums(partition_sums(model, [h], "check", {}, "") for h in halves)
    assert np.array_equal(check["count"], np.bincount(rows[3], minlength=m))
    bad = (rows[0], rows[1], rows[2], rows[3] + m, rows[4], None)
    with pytest.raises(SourceError, match=r"batch 0, row 0: group code \d+ is outside 0..6 \(of partition 4 of X\)"):
        partition_sums(model, [bad], "check", {}, "partition 4 of X")


# Spark: one session for the module (its start dominates); a pass costs a Spark job.
SLOW = pytest.mark.slow
# (case, the route's options: a tree of two levels, the partitions computed at every
# pass). A dispersion or zero-inflated family's sums merge as any family's: its cluster
# fit is Dask's zinb case (a Spark pass costs some 0.4 s, and that fit takes 300 of them).
SPARK_CASES = [
    ("cbpp", {"split_every": 2}),
    pytest.param("grouseticks", {"cache": False}, marks=SLOW),
]


@pytest.mark.skipif(bool(os.environ.get("QK_SANITIZED")), reason="Spark's JVM cannot run with AddressSanitizer")
@pytest.mark.parametrize("name, options", SPARK_CASES)
def test_spark_fit_on_the_executors_is_the_in_memory_fit_and_dasks_bits(name, options, spark):
    formula, frame, family, extra = data_of(name)
    frame = as_text(frame)
    sdf = spark.createDataFrame(frame).repartition(3).cache()  # each group's rows in several partitions
    parts = [pd.DataFrame([r.asDict() for r in rows], columns=frame.columns) for rows in sdf.rdd.glom().collect()]
    assert len(parts) == 3 and sum(map(len, parts)) == len(frame)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qk.SingularFitWarning)
        fit = qk.glmm(formula, sdf, family=family, **extra, **options)
    assert_same_fit(fit, qk.glmm(formula, frame, family=family, **extra))
    # The same partitions, the same kernel and tree: Dask's bits.
    with dask.config.set(scheduler="synchronous"):
        split = {k: v for k, v in options.items() if k == "split_every"}
        by_dask = qk.glmm(formula, dask_of(parts), family=family, **extra, **split)
    assert bits(by_dask) == bits(fit)
    sdf.unpersist()


@pytest.mark.skipif(bool(os.environ.get("QK_SANITIZED")), reason="Spark's JVM cannot run with AddressSanitizer")
def test_spark_profile_near_the_estimate_is_the_in_memory_fits(spark):
    # A profile's passes on the executors (the partitions cached again for it and let go
    # when it ends), near the estimate only: a Spark pass costs some 0.4 s here.
    _, frame, family, extra = data_of("cbpp")
    formula = "cbind(incidence, size - incidence) ~ 1 + (1 | herd)"
    sdf = spark.createDataFrame(as_text(frame)).repartition(2)
    fit = qk.glmm(formula, sdf, family=family, **extra)
    which = "sd_(Intercept)|herd"
    points = fit.profile(zmax=0.3, which=which)
    at = qk.glmm(formula, as_text(frame), family=family, **extra).profile(zmax=0.3, which=which)
    assert_allclose(points.traces[which].to_numpy(), at.traces[which].to_numpy(), rtol=1e-6, atol=1e-6)
    assert fit._core.passes > 5 and spark.sparkContext._jsc.getPersistentRDDs().isEmpty()


def test_spark_refuses_a_bad_partition_by_name(spark):
    formula, frame, family, extra = GROUSE
    frame = as_text(frame).assign(TICKS=lambda f: f.TICKS.where(f.index != 300, -1))
    sdf = spark.createDataFrame(frame).coalesce(2)
    with pytest.raises(ValueError, match="must hold counts, not negative values.*partition 1 of the Spark DataFrame"):
        qk.glmm(formula, sdf, family=family, **extra)
    with pytest.raises(TypeError, match="persist= is for a Dask DataFrame"):
        qk.glmm(formula, sdf, family=family, persist=True)


@pytest.mark.parametrize("factors, nagq", [(("BROOD", "LOCATION"), 1), (("BROOD",), 0)])
def test_spark_partitions_of_other_models_are_read_here_as_their_rows(factors, nagq, spark):
    # Crossed factors and nAGQ = 0 are not reduced on the executors: their passes read
    # every partition here, empty ones (the union's) included, and fit as the rows do.
    formula, frame, family, extra = GROUSE
    formula = formula.replace("(1 | BROOD)", " + ".join(f"(1 | {f})" for f in factors))
    frame = as_text(frame)
    sdf = spark.createDataFrame(frame).repartition(3)
    sdf = sdf.union(spark.createDataFrame([], sdf.schema))
    assert sdf.rdd.getNumPartitions() > 3
    fit = qk.glmm(formula, sdf, family=family, nagq=nagq, **extra)
    assert_same_fit(fit, qk.glmm(formula, frame, family=family, nagq=nagq, **extra))
    assert fit.passes > fit.optimizer["fev"]
