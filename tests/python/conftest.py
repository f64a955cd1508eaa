"""Fixtures the Python tests share: the data sets in tests/data (R's data and the coded
designs of the reference cases), lme4's reference numbers, and fits used by several
test modules. Simulated designs come from ``simdesign``."""

import json
from collections.abc import Callable
from functools import cache
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quorvelkit as qk

DATA = Path(__file__).resolve().parent.parent / "data"
FM1 = "Reaction ~ Days + (Days | Subject)"

#: The modules that take longest, collected first: a worker takes tests in collection
#: order, and a long test begun last leaves the other worker idle at the end.
LONGEST_FIRST = ("test_out_of_memory.py", "test_spark.py", "test_dask.py", "test_hardening.py", "test_sources.py")


def pytest_collection_modifyitems(items: list) -> None:
    rank = {name: k for k, name in enumerate(LONGEST_FIRST)}
    items.sort(key=lambda item: rank.get(item.path.name, len(rank)))  # stable: the rest keep their order


@cache
def _frame(name: str) -> pd.DataFrame:
    if name == "dyestuff2":  # only the coded design is stored; give the batches letters
        d = pd.read_csv(DATA / "dyestuff2.csv")
        return pd.DataFrame({"Yield": d["y"], "Batch": np.array(list("ABCDEF"))[d["g"]]})
    return pd.read_csv(DATA / (f"{name}_data.csv" if name in ("sleepstudy", "dyestuff") else f"{name}.csv"))


@pytest.fixture(scope="session")
def data() -> Callable[[str], pd.DataFrame]:
    """A data set of tests/data by name (``"sleepstudy"``, ``"orthodont"``, ...), as a
    fresh copy the test may change."""
    return lambda name: _frame(name).copy()


@pytest.fixture(scope="session")
def model_data(data) -> Callable[[str], pd.DataFrame]:
    """The data set a case of tests/data/models names: its own CSV there, or sleepstudy."""
    return lambda name: data(name if name == "sleepstudy" else f"models/{name}")


@pytest.fixture(scope="session")
def reference() -> Callable[[str], dict]:
    """lme4's numbers for a case: the JSON files of tests/data (``"sleepstudy"``) and
    the entries of formula_reference.json (``"formula/orthodont"``)."""

    def read(case: str) -> dict:
        if case.startswith("formula/"):
            return json.loads((DATA / "formula_reference.json").read_text())[case.removeprefix("formula/")]
        return json.loads((DATA / f"{case}.json").read_text())

    return read


@pytest.fixture(scope="session")
def sleep_args() -> tuple:
    """The sleepstudy design of Reaction ~ Days + (Days | Subject) as LmmCore's arguments
    (y, x, z, codes, m), from the coded design of tests/data."""
    raw = np.genfromtxt(DATA / "sleepstudy.csv", delimiter=",", names=True)
    x, z = (np.ascontiguousarray(np.column_stack([raw[c] for c in raw.dtype.names if c[0] == p])) for p in "xz")
    g = raw["g"].astype(np.int64)
    return np.ascontiguousarray(raw["y"]), x, z, g, int(g.max()) + 1


@pytest.fixture(scope="session")
def sleep(data) -> pd.DataFrame:
    return data("sleepstudy")


@pytest.fixture(scope="session")
def fm1(sleep) -> qk.LmmFit:
    """lme4's fm1: Reaction ~ Days + (Days | Subject) by REML."""
    return qk.lmm(FM1, sleep)


@pytest.fixture(scope="session")
def weighted(model_data) -> qk.LmmFit:
    """An ML fit with prior weights, an offset and uncorrelated terms (x || g)."""
    chick = model_data("chickweight")
    return qk.lmm("weight ~ Time * factor(Diet) + offset(o) + (Time || Chick)", chick, weights="w", reml=False)


@pytest.fixture(scope="module")
def clusters():
    """Dask LocalClusters of 1 and 2 worker processes (one thread each), started once
    per module and stopped after it: their threads in this process would otherwise
    keep allocating during the tests that follow (the leak checks among them)."""
    import os

    from batchdata import require

    if os.environ.get("QK_SANITIZED"):
        # Their workers run the kernels that the in-process Dask tests run under the
        # sanitizer already; under it their tests took some 290 s of the stage's
        # 1,000 s of test time, the largest share.
        pytest.skip("Dask's worker processes are left to the unsanitized run")
    distributed = require("distributed")
    out = {}
    try:
        for n in (1, 2):
            out[n] = distributed.LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None)
        yield out
    finally:
        for c in out.values():
            c.close()


@pytest.fixture(scope="module")
def spark():
    """A Spark session on local[2] for the module (its start dominates the Spark
    tests); its executors run this interpreter, where quorvelkit is installed."""
    import os
    import sys

    from batchdata import require

    if os.environ.get("QK_SANITIZED"):
        pytest.skip("Spark's JVM cannot run with the AddressSanitizer runtime preloaded")
    require("pyspark")
    from pyspark.sql import SparkSession

    os.environ["PYSPARK_PYTHON"] = sys.executable
    os.environ["PYSPARK_DRIVER_PYTHON"] = sys.executable
    conf = {"spark.ui.enabled": "false", "spark.sql.shuffle.partitions": "4"}
    conf["spark.sql.execution.arrow.pyspark.enabled"] = "true"
    conf["spark.sql.execution.arrow.maxRecordsPerBatch"] = "20000"
    session = SparkSession.builder.master("local[2]").appName("quorvelkit-tests").config(map=conf).getOrCreate()
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()
