"""Crossed and nested models on Dask (a LocalCluster of 1 and 2 worker processes) and
Spark (local[2]) against the in-memory fit: 1, 3 and 8 partitions, the same bits for
one partitioning whatever the number of workers."""

import warnings

import pytest
from batchdata import require
from crossdata import CASES, USERS_ITEMS, assert_same_fit, bits, dataset, in_memory, users_items

import quorvelkit as qk

dd = require("dask.dataframe")
distributed = require("distributed")
import quorvelkit.sources.dask as qdask  # noqa: E402


def on(cluster, fn):
    with distributed.Client(cluster) as client:
        assert len(client.scheduler_info()["workers"]) == len(cluster.workers)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", qk.SingularFitWarning)
            return fn()


@pytest.mark.parametrize("case", sorted(CASES))
def test_dask_crossed_agrees_with_the_in_memory_fit(case, clusters):
    _, formula, weights, _ = CASES[case]
    frame = dataset(case)
    ref = in_memory(formula, frame, weights)
    for npart in (1, 3, 8):
        ddf = dd.from_pandas(frame, npartitions=npart, sort=False)
        fit = on(clusters[2], lambda ddf=ddf: qdask.lmm(formula, ddf, weights=weights, split_every=2))
        assert type(fit).__name__ == "CrossedFit"
        assert_same_fit(ref, fit)


@pytest.mark.parametrize("case", ["pastes", "users_items"])
def test_dask_crossed_bits_do_not_depend_on_the_workers(case, clusters):
    """The same partitioning on 1 and 2 workers: the same tree of merges, the same bits."""
    frame, formula = (users_items(60_000), USERS_ITEMS) if case == "users_items" else (dataset(case), CASES[case][1])
    ddf = dd.from_pandas(frame, npartitions=7, sort=False)
    fits = {n: on(clusters[n], lambda: qdask.lmm(formula, ddf, split_every=3)) for n in (1, 2)}
    assert bits(fits[1]) == bits(fits[2])
    assert_same_fit(in_memory(formula, frame), fits[2])


@pytest.mark.slow
def test_dask_users_items(clusters):
    """300,000 ratings of 20,000 users x 2,000 items on 8 partitions."""
    frame = users_items()
    fit = on(clusters[2], lambda: qk.lmm(USERS_ITEMS, dd.from_pandas(frame, npartitions=8, sort=False)))
    assert_same_fit(in_memory(USERS_ITEMS, frame), fit)


@pytest.mark.parametrize(
    "case", ["penicillin", "pastes", "machines", "weighted", pytest.param("users_items", marks=pytest.mark.slow)]
)
def test_spark_crossed_agrees_with_the_in_memory_fit(case, spark):
    import quorvelkit.sources.spark as qspark

    if case == "users_items":
        frame, formula, weights, parts = users_items(), USERS_ITEMS, None, 6
    else:
        (_, formula, weights, _), frame, parts = CASES[case], dataset(case), 3
    sdf = spark.createDataFrame(frame).repartition(parts).cache()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qk.SingularFitWarning)
        fit = qspark.lmm(formula, sdf, weights=weights)
        again = qk.lmm(formula, sdf, weights=weights)
    assert_same_fit(in_memory(formula, frame, weights), fit)
    assert bits(again) == bits(fit)
    sdf.unpersist()
