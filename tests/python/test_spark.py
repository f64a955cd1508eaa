"""The Spark route on local[2] (one session for the module: its start dominates):
agreement with the in-memory fit (one factor, crossed and nested), the same bits for a
given partitioning, and bad partitions refused before any fit, named."""

import os
import warnings

import numpy as np
import pandas as pd
import pytest
from batchdata import SLEEP, assert_agree, bits, case, in_memory, require, sleepstudy

import quorvelkit as qk
from quorvelkit.sources.batch_loop import SourceError

if os.environ.get("QK_SANITIZED"):
    # The sanitizer pass preloads the AddressSanitizer runtime into every process,
    # the JVM included, which it cannot run under; the normal pass runs these tests.
    pytest.skip("Spark's JVM cannot run with the AddressSanitizer runtime preloaded", allow_module_level=True)
pyspark = require("pyspark")
import quorvelkit.sources.spark as qspark  # noqa: E402

SPARK_CASES = [("sleepstudy", 3), ("simulated", 4), ("penicillin", 3), ("pastes", 3), ("machines", 3), ("weighted", 3)]
REPEATED = {"sleepstudy", "penicillin", "weighted"}


@pytest.mark.parametrize("name, parts", [*SPARK_CASES, pytest.param("users_items", 6, marks=pytest.mark.slow)])
def test_spark_agrees_with_the_in_memory_fit(name, parts, spark):
    frame, formula, weights = case(name)
    ref = in_memory(formula, frame, weights)
    sdf = spark.createDataFrame(frame).repartition(parts).cache()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qk.SingularFitWarning)
        fit = qspark.lmm(formula, sdf, weights=weights, split_every=2)  # a tree of two levels on the executors
        # The same partitioning again (tasks finishing in another order): the same bits,
        # of one factor, crossed and weighted products; qk.lmm hands a Spark DataFrame
        # to this route.
        again = qk.lmm(formula, sdf, weights=weights, split_every=2) if name in REPEATED else fit
    assert_agree(ref, fit)
    assert bits(again) == bits(fit)
    sdf.unpersist()


def _sleep(**columns):
    s = sleepstudy()
    return s.assign(**{k: v(s) for k, v in columns.items()})


OVERFLOWS = "the response column 'Reaction' has a value whose square, or the sum of squares so far, overflows in "
# (case, the rows, their partitions, the refusal or None: the in-memory fit of the rows)
SPARK_REFUSALS = [
    ("a row without a group label: dropped", _sleep(Subject=lambda s: s.Subject.astype(object).where(s.index != 130)),
     1, None),
    ("a square that overflows", _sleep(Reaction=lambda s: s.Reaction.where(s.index != 130, 1e200)), 1,
     OVERFLOWS + "partition 0 of the Spark DataFrame"),
    ("a column missing", sleepstudy().drop(columns="Days"), 2, "column 'Days' not found in the Spark DataFrame"),
    # the first 1,080 rows without a value of Days: the model is learnt from the first complete rows
    ("complete rows late", pd.concat([_sleep(Days=lambda s: np.nan)] * 6 + [sleepstudy()], ignore_index=True), 2, None),
]  # fmt: skip


@pytest.mark.parametrize("case, frame, parts, refusal", SPARK_REFUSALS, ids=[c[0] for c in SPARK_REFUSALS])
def test_spark_partitions_fit_as_their_rows_or_are_refused_by_name(case, frame, parts, refusal, spark):
    sdf = spark.createDataFrame(frame).coalesce(parts)  # partitions of rows in order
    if refusal is not None:
        with pytest.raises(SourceError, match=refusal):
            qspark.lmm(SLEEP, sdf)
        return
    ref, fit = qk.lmm(SLEEP, frame), qspark.lmm(SLEEP, sdf)
    assert_agree(ref, fit)
