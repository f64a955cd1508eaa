"""The GLMM fit from batches on Bernoulli rows of one grouping factor read from Parquet:
passes per fit, seconds per pass against one pyarrow read of the columns, peak memory,
and the in-memory fit's agreement where the rows fit in memory.

    python benchmarks/glmm_batches.py                        # 1M rows, 10,000 groups
    python benchmarks/glmm_batches.py --rows 200000 --reread # every pass reads the file
    python benchmarks/glmm_batches.py --rows 100000000 --groups 1000000 --reread --no-memory
    python benchmarks/glmm_batches.py --rows 200000 --nagq 0                 # nAGQ 0 (or --nagq 5: quadrature)
    python benchmarks/glmm_batches.py --dask 2               # the passes on a 2-worker LocalCluster
    python benchmarks/glmm_batches.py --zip                  # zero-inflated Poisson counts (zi="~1")

The rows (y ~ x + (1 | g), x standard normal, group effects of sd 0.8, the groups' rows
scattered over the file) are written once as Parquet (row groups of 1M rows) under the
cache directory (``QK_BENCH_DATA``, default /tmp/quorvelkit-bench-data; never in the
repository). The fit runs in a fresh process, whose peak resident memory is reported. ``--reread`` sets
``cache_bytes=0``: every pass reads the file again, as a fit larger than memory does;
without it the first pass keeps the batches as the core reads them (while they fit in
``cache_bytes``) and the core's passes read those. ``--dask N`` fits the same file as
``dd.read_parquet(...)`` cut into 2N partitions (``--partitions K``: K; 0: one per row
group of 1M rows, as ``read_parquet`` reads it) on a LocalCluster of N worker processes
(one thread each), the passes reduced on the workers, and reports each worker's peak
resident memory. ``--zip`` takes counts instead: Poisson of mean exp(0.3 + 0.5 x + b_g)
with a fifth of the rows structural zeros, fitted as a zero-inflated Poisson
(``zi="~1"``).
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

FORMULA = "y ~ x + (1 | g)"
SEED = 40_001
# The model's family options: Bernoulli rows, or zero-inflated Poisson counts (--zip).
MODEL = {"family": "binomial"}
ZIP = {"family": "poisson", "zi": "~1"}


def data_path(rows: int, groups: int, zip_counts: bool = False) -> Path:
    root = Path(os.environ.get("QK_BENCH_DATA", "/tmp/quorvelkit-bench-data"))
    return root / f"glmm_{'zip' if zip_counts else 'bernoulli'}_{rows}_{groups}.parquet"


def write(rows: int, groups: int, path: Path, zip_counts: bool = False) -> None:
    """Bernoulli rows (or zero-inflated counts) written in chunks of 1M (one row group each)."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq

    rng = np.random.default_rng(SEED)
    effects = rng.normal(0.0, 0.8, groups)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    writer = None
    for start in range(0, rows, 1_000_000):
        k = min(1_000_000, rows - start)
        g = rng.integers(0, groups, k)
        x = rng.normal(size=k)
        if zip_counts:
            y = rng.poisson(np.exp(0.3 + 0.5 * x + effects[g])).astype(np.float64)
            y[rng.random(k) < 0.2] = 0.0
        else:
            eta = -0.5 + 0.7 * x + effects[g]
            y = (rng.random(k) < 1.0 / (1.0 + np.exp(-eta))).astype(np.float64)
        table = pa.table({"y": y, "x": x, "g": g.astype(np.int64)})
        writer = writer or pq.ParquetWriter(tmp, table.schema)
        writer.write_table(table)
    assert writer is not None
    writer.close()
    tmp.rename(path)


def measure(path: str, reread: bool, memory: bool, batch_rows: int, nagq: int = 1) -> dict:
    """One fit (in this process), its passes and times, one read of the columns, and the
    in-memory fit's differences when ``memory``."""
    import pyarrow.parquet as pq

    import quorvelkit as qk

    read_seconds = pyarrow_read_seconds(path)
    options = {"cache_bytes": 0} if reread else {}
    t = time.perf_counter()
    fit = qk.glmm(FORMULA, path, nagq=nagq, batch_rows=batch_rows, **MODEL, **options)
    seconds = time.perf_counter() - t
    out = {
        "passes": fit.passes,
        "seconds": seconds,
        "seconds_per_pass": seconds / fit.passes,
        "pyarrow_read_seconds": read_seconds,
        "pass_over_read": seconds / fit.passes / read_seconds,
        "evaluations": fit.optimizer["fev"],
        "kept": fit.optimizer.get("kept"),
        "m2loglik": fit.m2loglik,
        "theta": fit.theta.tolist(),
        "beta": fit.fixef.tolist(),
    }
    if memory:
        frame = pq.read_table(path).to_pandas()
        t = time.perf_counter()
        ref = qk.glmm(FORMULA, frame, nagq=nagq, **MODEL)
        out["in_memory_seconds"] = time.perf_counter() - t
        out["max_abs_difference"] = differences(fit, ref)
    out["peak_rss_mib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return out


def pyarrow_read_seconds(path: str) -> float:
    """One pyarrow read of the three columns, in a process of its own (the fit's peak
    memory is then the fit's: at 100M rows the table alone takes 2.4 GB)."""
    code = "import sys, time, pyarrow.parquet as pq\nt = time.perf_counter()\n"
    code += "pq.read_table(sys.argv[1], columns=['y', 'x', 'g'])\nprint(time.perf_counter() - t)"
    return float(subprocess.run([sys.executable, "-c", code, path], check=True, capture_output=True, text=True).stdout)


def versus_memory(fit, path: str) -> dict:
    """The largest absolute differences of ``fit`` from the in-memory fit of ``path``."""
    import pyarrow.parquet as pq

    import quorvelkit as qk

    return differences(fit, qk.glmm(FORMULA, pq.read_table(path).to_pandas(), **MODEL))


def differences(fit, ref) -> dict:
    """The largest absolute differences of ``fit``'s estimates from ``ref``'s."""
    return {
        "m2loglik": abs(fit.m2loglik - ref.m2loglik),
        "theta": float(abs(fit.theta - ref.theta).max()),
        "beta": float(abs(fit.fixef - ref.fixef).max()),
        "se": float(abs(fit.se - ref.se).max()),
    }


def measure_dask(path: str, workers: int, memory: bool, partitions: int) -> dict:
    """The fit of ``path`` as a Dask DataFrame on a LocalCluster of ``workers`` processes,
    cut into ``partitions`` (0: ``read_parquet``'s own, a row group each)."""
    import dask.dataframe as dd
    import distributed

    import quorvelkit as qk

    with (
        distributed.LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
    ):
        ddf = dd.read_parquet(path, split_row_groups=True)  # else one partition of the whole file
        if partitions:
            ddf = ddf.repartition(npartitions=partitions)
        t = time.perf_counter()
        fit = qk.glmm(FORMULA, ddf, **MODEL)
        seconds = time.perf_counter() - t
        rss = client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)
    out = {
        "workers": workers,
        "partitions": ddf.npartitions,
        "passes": fit.passes,
        "seconds": seconds,
        "seconds_per_pass": seconds / fit.passes,
        "worker_peak_rss_mib": sorted(rss.values()),
        "client_peak_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
        "m2loglik": fit.m2loglik,
    }
    if memory:
        out["max_abs_difference"] = versus_memory(fit, path)
    return out


def measure_spark(path: str, memory: bool) -> dict:
    """The fit of ``path`` as a Spark DataFrame on local[2], with Spark's default input
    partitions (``spark.read.parquet``)."""
    from pyspark.sql import SparkSession

    import quorvelkit as qk

    os.environ["PYSPARK_PYTHON"] = os.environ["PYSPARK_DRIVER_PYTHON"] = sys.executable
    conf = {"spark.ui.enabled": "false", "spark.sql.execution.arrow.pyspark.enabled": "true"}
    spark = SparkSession.builder.master("local[2]").appName("glmm-batches").config(map=conf).getOrCreate()
    spark.sparkContext.setLogLevel("ERROR")
    try:
        sdf = spark.read.parquet(path)
        partitions = sdf.rdd.getNumPartitions()
        t = time.perf_counter()
        fit = qk.glmm(FORMULA, sdf, **MODEL)
        seconds = time.perf_counter() - t
    finally:
        spark.stop()
    out = {
        "partitions": partitions,
        "passes": fit.passes,
        "seconds": seconds,
        "seconds_per_pass": seconds / fit.passes,
        "client_peak_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
        "m2loglik": fit.m2loglik,
    }
    if memory:
        out["max_abs_difference"] = versus_memory(fit, path)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--groups", type=int, default=None, help="default: rows / 100")
    parser.add_argument("--batch-rows", type=int, default=1 << 20)
    parser.add_argument("--reread", action="store_true", help="read the file at every pass (cache_bytes=0)")
    parser.add_argument("--no-memory", action="store_true", help="skip the in-memory fit")
    parser.add_argument("--nagq", type=int, default=1, help="0, 1 (Laplace) or more (adaptive quadrature)")
    parser.add_argument("--dask", type=int, default=0, help="fit on a LocalCluster of this many workers")
    parser.add_argument(
        "--partitions", type=int, default=None, help="--dask: partitions (default 2 per worker; 0: one per row group)"
    )
    parser.add_argument("--spark", action="store_true", help="fit a Spark DataFrame on local[2]")
    parser.add_argument("--zip", action="store_true", help="zero-inflated Poisson counts (zi='~1')")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.zip:
        MODEL.clear()
        MODEL.update(ZIP)
    if args.child:
        if args.dask:
            parts = 2 * args.dask if args.partitions is None else args.partitions
            print(json.dumps(measure_dask(args.child, args.dask, not args.no_memory, parts)))
            return
        if args.spark:
            print(json.dumps(measure_spark(args.child, not args.no_memory)))
            return
        print(json.dumps(measure(args.child, args.reread, not args.no_memory, args.batch_rows, args.nagq)))
        return
    groups = args.groups or max(args.rows // 100, 2)
    path = data_path(args.rows, groups, args.zip)
    if not path.exists():
        t = time.perf_counter()
        write(args.rows, groups, path, args.zip)
        print(f"wrote {path} in {time.perf_counter() - t:.1f} s", file=sys.stderr)
    cmd = [sys.executable, __file__, "--child", str(path), "--batch-rows", str(args.batch_rows)]
    cmd += ["--nagq", str(args.nagq)]
    cmd += ["--reread"] * args.reread + ["--no-memory"] * args.no_memory + ["--dask", str(args.dask)] * bool(args.dask)
    cmd += ["--spark"] * args.spark + ["--partitions", str(args.partitions)] * (args.partitions is not None)
    cmd += ["--zip"] * args.zip
    result = json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)
    result.update(rows=args.rows, groups=groups, reread=args.reread, nagq=args.nagq, model=dict(MODEL))
    print(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
