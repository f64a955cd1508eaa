"""The Spark route on local[2] (one session for the module: its start dominates):
agreement with the in-memory fit (one factor, crossed and nested), the same bits for a
given partitioning, and bad partitions refused before any fit, named."""

import os
import warnings

import numpy as np
import pandas as pd
import pytest
from batchdata import SLEEP, assert_agree, assert_same_fit, bits, case, in_memory, require, sleepstudy

import quorvelkit as qk
from quorvelkit.sources.batch_loop import SourceError

if os.environ.get("QK_SANITIZED"):
    # The sanitizer pass preloads the AddressSanitizer runtime into every process,
    # the JVM included, which it cannot run under; the normal pass runs these tests.
    pytest.skip("Spark's JVM cannot run with the AddressSanitizer runtime preloaded", allow_module_level=True)
pyspark = require("pyspark")
import quorvelkit.sources.spark as qspark  # noqa: E402

SPARK_CASES = [("sleepstudy", 3), ("simulated", 4), ("penicillin", 3), ("pastes", 3), ("machines", 3), ("weighted", 3)]


@pytest.mark.parametrize("name, parts", [*SPARK_CASES, pytest.param("users_items", 6, marks=pytest.mark.slow)])
def test_spark_agrees_with_the_in_memory_fit(name, parts, spark):
    frame, formula, weights = case(name)
    ref = in_memory(formula, frame, weights)
    sdf = spark.createDataFrame(frame).repartition(parts).cache()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qk.SingularFitWarning)
        fit = qspark.lmm(formula, sdf, weights=weights, split_every=2)  # a tree of two levels on the executors
        # The same partitioning again (tasks finishing in another order): the same bits;
        # qk.lmm hands a Spark DataFrame to this route.
        again = qk.lmm(formula, sdf, weights=weights, split_every=2)
    (assert_agree if len(ref.ranef) == 1 else assert_same_fit)(ref, fit)
    assert bits(again) == bits(fit)
    sdf.unpersist()


def test_spark_prior_weights(spark):
    """A weights column: the in-memory weighted fit, zero weights left out and counted."""
    d = sleepstudy().assign(w=np.random.default_rng(4).uniform(0.5, 2.0, 180))
    d.loc[[3, 120], "w"] = 0.0
    ref = qk.lmm(SLEEP, d, weights="w")
    fit = qspark.lmm(SLEEP, spark.createDataFrame(d).repartition(3), weights="w")
    assert_agree(ref, fit)
    assert fit.n_zero_weight == ref.n_zero_weight == 2


def test_spark_bad_partitions_are_named(spark):
    # A row without a group label is dropped as missing, as in memory; a value whose
    # square overflows is refused, naming the column and the partition.
    s = sleepstudy()
    d = s.assign(Subject=s["Subject"].astype(object).where(s.index != 130, None))
    fit = qspark.lmm(SLEEP, spark.createDataFrame(d).coalesce(1))
    assert fit.n_dropped == 1
    assert_agree(qk.lmm(SLEEP, d), fit)
    d = s.assign(Reaction=s["Reaction"].where(s.index != 130, 1e200))
    text = "the response column 'Reaction' has a value whose square, or the sum of squares so far, overflows in "
    with pytest.raises(SourceError, match=text + "partition 0 of the Spark DataFrame"):
        qspark.lmm(SLEEP, spark.createDataFrame(d).coalesce(1))
    with pytest.raises(SourceError, match="column 'Days' not found in the Spark DataFrame"):
        qspark.lmm(SLEEP, spark.createDataFrame(s.drop(columns="Days")))


def test_spark_learns_from_the_first_complete_rows_wherever_they_are(spark):
    """The first 1,000 rows without a value of Days: the model is learnt from the first
    complete rows, and the fit is the in-memory fit of the same rows."""
    s = sleepstudy()
    d = pd.concat([s.assign(Days=np.nan)] * 6 + [s], ignore_index=True)
    ref = qk.lmm(SLEEP, d)
    assert ref.n_dropped == 1080
    assert_agree(ref, qspark.lmm(SLEEP, spark.createDataFrame(d).coalesce(2)))
