"""Out-of-core fits from a Parquet file: the batched read, Dask on a local cluster (the
DataFrame of ``dd.read_parquet``, whose fragments the workers read with pyarrow, and the
same partitions as pandas frames), Spark on local[2], and reading the same columns with
pyarrow alone.

    python benchmarks/out_of_core.py                      # 100M rows, 1M groups (writes ~6 GB once)
    python benchmarks/out_of_core.py --rows 2000000 --groups 20000 --output /tmp/ooc.md

The data: y = X beta + Z_i b_i + e with p = 6 (an intercept, x1..x5) and q = 2 (an
intercept and x1), rows in random group order, written once as one Parquet file of
row groups of 1M rows under the cache directory (``QK_BENCH_DATA``, default
/tmp/quorvelkit-bench-data; never in the repository). Each measurement runs in a fresh
process and reports its wall time and its peak resident memory (the Dask routes add
the peaks of each worker process; Spark's is the largest sum, sampled every 0.1 s, of
the resident memory of the process and every process it starts: the JVM and Python
workers). Writes a markdown report and its .json beside it.
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

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import scenarios  # noqa: E402

FORMULA = "y ~ x1 + x2 + x3 + x4 + x5 + (x1 | g)"
COLUMNS = ["y", "x1", "x2", "x3", "x4", "x5", "g"]


def data_path(rows: int, groups: int) -> Path:
    return scenarios.DEFAULT_CACHE / f"ooc-n{rows}-m{groups}-v1" / "data.parquet"


def written(path: Path) -> bool:
    """Whether the data file at ``path`` is whole (its ".done" marker, written last, is
    there); if not, its folder is made ready for it."""
    if path.with_suffix(".done").exists():
        return True
    path.parent.mkdir(parents=True, exist_ok=True)
    return False


def generate(rows: int, groups: int, seed: int = 18) -> Path:
    """Writes the file once (a partial file from an interrupted run is rewritten)."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq

    path = data_path(rows, groups)
    done = path.with_suffix(".done")
    if written(path):
        return path
    rng = np.random.default_rng(seed)
    b = rng.normal(size=(groups, 2)) * np.array([0.8, 0.3])
    beta = np.array([50.0, 1.0, -0.5, 0.25, 2.0, 0.0])
    step = 1_000_000
    schema = pa.schema([(c, pa.int64() if c == "g" else pa.float64()) for c in COLUMNS])
    with pq.ParquetWriter(path, schema) as w:
        for start in range(0, rows, step):
            k = min(step, rows - start)
            g = rng.integers(0, groups, k)
            x = rng.normal(size=(k, 5))
            y = beta[0] + x @ beta[1:] + b[g, 0] + b[g, 1] * x[:, 0] + rng.normal(size=k)
            cols = {"y": y, **{f"x{j + 1}": x[:, j] for j in range(5)}, "g": g}
            w.write_table(pa.table(cols, schema=schema), row_group_size=step)
    done.write_text("ok")
    return path


def peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def child_read(path: str, batch_rows: int) -> dict:
    import pyarrow.parquet as pq

    # pyarrow's streaming Parquet reader, row group after row group, without buffering
    # ahead (the fastest way to stream the file found, and the one the batched route
    # uses; the dataset scanner takes 3-4 times as long and holds ~6 GB).
    t0 = time.perf_counter()
    rows = 0
    for batch in pq.ParquetFile(path, pre_buffer=False).iter_batches(batch_size=batch_rows, columns=COLUMNS):
        rows += batch.num_rows
    return {"seconds": time.perf_counter() - t0, "peak_mb": peak_mb(), "rows": rows}


def result_of(fit) -> dict:
    return {
        "criterion": fit.criterion,
        "theta": [float(v) for v in fit.theta],
        "beta": [float(v) for v in fit.fixef],
        "sigma": fit.sigma,
        "nobs": fit.nobs,
        "ngroups": fit.ngroups,
        "converged": bool(fit.converged),
        "fit_seconds": fit.optimizer["seconds"],
    }


def child_batches(path: str, batch_rows: int) -> dict:
    import quorvelkit as qk

    t0 = time.perf_counter()
    fit = qk.lmm(FORMULA, path, batch_rows=batch_rows, progress=False)
    return {"seconds": time.perf_counter() - t0, "peak_mb": peak_mb(), **result_of(fit)}


def child_dask(path: str, batch_rows: int, workers: int, frames: bool = False) -> dict:
    """``frames``: the partitions reduced as the pandas frames Dask makes of them (the
    route of any Dask DataFrame), else the DataFrame as ``dd.read_parquet`` gives it,
    its fragments read with pyarrow on the workers."""
    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    import quorvelkit.sources.dask as qdask

    with (
        LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None, memory_limit="4GB"
        ) as cluster,
        Client(cluster) as client,
    ):
        t0 = time.perf_counter()
        ddf = dd.read_parquet(path, columns=COLUMNS, split_row_groups=True)
        if frames:
            ddf = ddf.map_partitions(lambda f: f)
        fit = qdask.lmm(FORMULA, ddf)
        seconds = time.perf_counter() - t0
        per_worker = sorted(client.run(peak_mb).values())
    return {
        "seconds": seconds,
        "peak_mb": peak_mb(),
        "workers_peak_mb": sum(per_worker),
        "worker_peaks_mb": per_worker,
        "partitions": ddf.npartitions,
        **result_of(fit),
    }


class TreePeak:
    """The largest resident memory of this process and all its descendants together,
    sampled every 0.1 s by a thread of its own."""

    def __init__(self) -> None:
        import threading

        self.peak = 0.0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self) -> None:
        import psutil

        me = psutil.Process()
        while not self.stop.wait(0.1):
            total = 0
            for p in [me, *me.children(recursive=True)]:
                try:
                    total += p.memory_info().rss
                except psutil.Error:
                    pass
            self.peak = max(self.peak, total / 2**20)

    def close(self) -> float:
        self.stop.set()
        self.thread.join()
        return self.peak


def child_spark(path: str, batch_rows: int) -> dict:
    from pyspark.sql import SparkSession

    import quorvelkit.sources.spark as qspark

    os.environ["PYSPARK_PYTHON"] = os.environ["PYSPARK_DRIVER_PYTHON"] = sys.executable
    conf = {
        "spark.ui.enabled": "false",
        # Each partition's products (about 150 MB at a million groups) reach the driver:
        # Spark's default input partitions of 128 MB would send 43 of them, more than
        # its default 1 GB limit of results; partitions of 1 GB send six.
        "spark.driver.memory": "6g",
        "spark.driver.maxResultSize": "4g",
        "spark.sql.files.maxPartitionBytes": str(1 << 30),
        "spark.sql.execution.arrow.pyspark.enabled": "true",
        "spark.sql.execution.arrow.maxRecordsPerBatch": str(batch_rows),
    }
    tree = TreePeak()
    spark = SparkSession.builder.master("local[2]").appName("out-of-core").config(map=conf).getOrCreate()
    spark.sparkContext.setLogLevel("ERROR")
    try:
        t0 = time.perf_counter()
        sdf = spark.read.parquet(path).select(*COLUMNS)
        fit = qspark.lmm(FORMULA, sdf)
        seconds = time.perf_counter() - t0
        partitions = sdf.rdd.getNumPartitions()
    finally:
        spark.stop()
    return {
        "seconds": seconds,
        "peak_mb": peak_mb(),
        "tree_peak_mb": tree.close(),
        "partitions": partitions,
        **result_of(fit),
    }


def run_child(kind: str, path: Path, args) -> dict:
    cmd = [
        sys.executable,
        __file__,
        "--child",
        kind,
        "--data",
        str(path),
        "--batch-rows",
        str(args.batch_rows),
        "--workers",
        str(args.workers),
    ]
    out = subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ, RAYON_NUM_THREADS="2"))
    if out.returncode != 0:
        raise RuntimeError(f"{kind} failed:\n{out.stderr[-4000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def relative(a: dict, b: dict) -> dict:
    import numpy as np

    out = {}
    for k in ("criterion", "theta", "beta", "sigma"):
        x, y = np.atleast_1d(a[k]), np.atleast_1d(b[k])
        out[k] = float(np.max(np.abs(x - y) / np.maximum(np.abs(x), 1e-300)))
    return out


def _times(run: dict) -> str:
    return ", ".join(f"{t:.1f}" for t in run.get("times", [run["seconds"]]))


def report(res: dict) -> str:
    r, b = res["read"], res["batches"]
    L = [
        "# Out-of-core fits",
        "",
        f"`{FORMULA}` from one Parquet file of {res['rows']:,} rows and {res['groups']:,} groups "
        f"({res['file_gb']:.2f} GB, row groups of 1M rows), p = 6, q = 2, rows in random group order, "
        f"on {res['machine']}. Wall time and peak resident memory of a fresh process; 2 threads; "
        f"the median of {res.get('repeats', 1)} runs (Spark: {res.get('spark_repeats', 1)}; every run's time in the "
        f"runs column; the read, the batched route and the Dask route from Arrow taken in turns, the Dask route of "
        f"pandas frames and Spark after them; the file read once before, so that every run finds it in the page "
        f"cache). The machine was shared with other work while it ran: times vary from run to run. "
        + (
            f"The runs of {', '.join(res['kept'])} are from an earlier run of the script on the same file and machine. "
            if res.get("kept")
            else ""
        )
        + "Written by `benchmarks/out_of_core.py`.",
        "",
        "| route | time (median) | runs | × pyarrow read | peak memory | criterion | converged |",
        "|---|---:|---|---:|---:|---:|---|",
        f"| pyarrow alone: read the 7 columns in batches of {res['batch_rows']:,} | {r['seconds']:.1f} s | "
        f"{_times(r)} | 1.0× | {r['peak_mb']:,.0f} MB | | |",
        f"| `qk.lmm(formula, path)` (batches of {res['batch_rows']:,}) | {b['seconds']:.1f} s | {_times(b)} | "
        f"{b['seconds'] / r['seconds']:.2f}× | {b['peak_mb']:,.0f} MB | {b['criterion']:.6f} | {b['converged']} |",
    ]
    for key, what in [
        (
            "dask",
            "`quorvelkit.sources.dask.lmm` of `dd.read_parquet(path)`: fragments read with pyarrow on the workers",
        ),
        ("dask_frames", "`quorvelkit.sources.dask.lmm` of the same partitions as pandas frames (`map_partitions`)"),
    ]:
        d = res.get(key)
        if d:
            workers = " + ".join(f"{w:,.0f}" for w in d.get("worker_peaks_mb", [d["workers_peak_mb"]]))
            L.append(
                f"| {what}, LocalCluster of {res['workers']} worker processes ({d['partitions']} partitions) | "
                f"{d['seconds']:.1f} s | {_times(d)} | {d['seconds'] / r['seconds']:.2f}× | "
                f"client {d['peak_mb']:,.0f} MB, workers {workers} MB | {d['criterion']:.6f} | {d['converged']} |"
            )
    sp = res.get("spark")
    if sp:
        L.append(
            f"| `quorvelkit.sources.spark.lmm` of `spark.read.parquet(path)` on local[2] "
            f"({sp['partitions']} partitions) | "
            f"{sp['seconds']:.1f} s | {_times(sp)} | {sp['seconds'] / r['seconds']:.2f}× | "
            f"client, JVM and Python workers together {sp['tree_peak_mb']:,.0f} MB | {sp['criterion']:.6f} | "
            f"{sp['converged']} |"
        )
    L += [
        "",
        f"The fit itself (the optimiser on the products, {res['groups']:,} groups): "
        f"{b['fit_seconds']:.2f} s of the batched route's time.",
    ]
    if sp:
        L += [
            "",
            "Spark reads input partitions of 1 GB (`spark.sql.files.maxPartitionBytes`): every partition's products "
            "(about 150 MB at a million groups) go to the driver, and its default partitions of 128 MB would send "
            "43 of them, more than `spark.driver.maxResultSize` allows by default.",
        ]
    others = [(k, res[k]) for k in ("dask", "dask_frames", "spark") if res.get(k)]
    if others:
        L += ["", "Agreement with the batched route (largest relative difference):", ""]
        for k, o in others:
            rel = relative(b, o)
            L.append(f"- {k}: " + ", ".join(f"{name} {v:.1e}" for name, v in rel.items()))
    d = res.get("dask")
    if d:
        L += [
            "",
            f"The Dask route from Arrow against the batched route in one process: "
            f"{d['seconds'] / b['seconds']:.2f}× its time on the same {res['machine'].split(', ')[-1]}.",
        ]
    L.append("")
    return "\n".join(L)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=100_000_000)
    ap.add_argument("--groups", type=int, default=1_000_000)
    ap.add_argument("--batch-rows", type=int, default=1 << 20)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--no-dask", action="store_true")
    ap.add_argument("--no-spark", action="store_true")
    ap.add_argument("--spark-repeats", type=int, default=1)
    ap.add_argument(
        "--keep",
        default="",
        help="routes (comma-separated: dask_frames,spark) not run now, their runs taken from the report's .json",
    )
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--output", default=str(HERE / "out_of_core.md"))
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--data", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        fn = {
            "read": lambda: child_read(args.data, args.batch_rows),
            "batches": lambda: child_batches(args.data, args.batch_rows),
            "dask": lambda: child_dask(args.data, args.batch_rows, args.workers),
            "dask_frames": lambda: child_dask(args.data, args.batch_rows, args.workers, frames=True),
            "spark": lambda: child_spark(args.data, args.batch_rows),
        }[args.child]
        print(json.dumps(fn()))
        return
    t0 = time.perf_counter()
    path = generate(args.rows, args.groups)
    print(f"data: {path} ({path.stat().st_size / 1e9:.2f} GB, {time.perf_counter() - t0:.0f} s)", flush=True)
    import environment

    res = {
        "rows": args.rows,
        "groups": args.groups,
        "batch_rows": args.batch_rows,
        "workers": args.workers,
        "file_gb": path.stat().st_size / 1e9,
        "machine": environment.machine_line(),
    }
    # The read, the batched route and the Dask route from Arrow take turns, `repeats`
    # rounds, each run in a fresh process; the Dask route of pandas frames and Spark come
    # after them (their 4-5 GB would otherwise press on the page cache that holds the
    # file). The report gives each route's median run (this machine's timings vary by 30%
    # from run to run) and every run's time.
    turn = ("read", "batches") + (() if args.no_dask else ("dask",))
    rounds = [turn] * args.repeats
    kept = [k for k in args.keep.split(",") if k]
    if not args.no_dask and "dask_frames" not in kept:
        rounds += [("dask_frames",)] * args.repeats
    if not args.no_spark and "spark" not in kept:
        rounds += [("spark",)] * args.spark_repeats
    kinds = tuple(dict.fromkeys(k for t in rounds for k in t))
    runs: dict[str, list[dict]] = {k: [] for k in kinds}
    run_child("read", path, args)  # untimed: every timed run then finds the file in the page cache
    for turn in rounds:
        for kind in turn:
            runs[kind].append(run_child(kind, path, args))
            print(kind, json.dumps(runs[kind][-1]), flush=True)
    for kind in kinds:
        ordered = sorted(runs[kind], key=lambda r: r["seconds"])
        res[kind] = dict(ordered[len(ordered) // 2], times=[r["seconds"] for r in runs[kind]])
    res["repeats"] = args.repeats
    res["spark_repeats"] = args.spark_repeats
    if kept:
        earlier = json.loads(Path(args.output).with_suffix(".json").read_text())
        res.update({k: earlier[k] for k in kept})
        res["spark_repeats"] = earlier.get("spark_repeats", args.spark_repeats)
        res["kept"] = kept
    environment.write_results(args.output, res, report(res))


if __name__ == "__main__":
    main()
