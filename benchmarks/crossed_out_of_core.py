"""Ratings-scale crossed fits: y ~ x + (1 | user) + (1 | item) on 1M, 3M and 10M ratings
read from Parquet, with where the time goes, how time and memory grow, and whether the
trailing item x item block is worth a sparse factorisation.

    python benchmarks/crossed_out_of_core.py                  # 1M, 3M, 10M (writes ~0.4 GB once)
    python benchmarks/crossed_out_of_core.py --sizes 1 3 --output /tmp/ratings.md
    python benchmarks/crossed_out_of_core.py --more-fits      # another fit of each recorded design

The designs scale user_calls case 10 (1M ratings, 6,000 users x 3,700 items, users uniform,
item popularity Zipf 1/k; the same generator and seed): users and items grow as powers of
the number of rows so that 10M ratings have 70,000 users x 10,700 items. Each is written
once as Parquet (row groups of 1M rows) under the cache directory (``QK_BENCH_DATA``,
default /tmp/quorvelkit-bench-data; never in the repository).

Every measurement runs in a fresh process with 2 threads and reports its wall time and its
peak resident memory (ru_maxrss):

- ``fit``: ``qk.lmm(formula, path)``; where that route refuses a crossed model, the file
  read with pyarrow into pandas and ``qk.lmm(formula, frame)`` (the report names the route
  that ran). Then, on the fitted core, one criterion and one criterion with its gradient
  at the optimum (best of 2).
- ``kernel``: the dense trailing factorisation alone at the design's size: a core of the
  same number of items whose every user rates one item, so that reducing the rows and the
  users' elimination cost nothing and the criterion is the dense Cholesky factorisation
  (and, with the gradient, the inverse) of the items' block.
- ``fill``: the pattern of the item x item Schur complement left by eliminating the users
  (items i, j linked when a user rated both), items rated once or only by users who rate
  nothing else, and the symbolic Cholesky factor of that pattern under a static
  fill-reducing order (fewest neighbours first), against the dense factor's n^3/3.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import frames  # noqa: E402
import scenarios  # noqa: E402

FORMULA = "y ~ x + (1 | user) + (1 | item)"
COLUMNS = ["y", "x", "user", "item"]
SEED = 31_010  # user_calls case 10's, so that the 1M design is that case's data
BASE = (1_000_000, *frames.RATINGS)  # rows, users, items
TOP = (10_000_000, 70_000, 10_700)
# The published large ratings fit to compare with on paper.
TARGET = {"rows": 32_000_000, "users": 200_948, "items": 84_432, "gib": 56.0, "seconds": 18_740.0}


def shape(millions: float) -> tuple[int, int, int]:
    """Rows, users and items of a design of ``millions`` million ratings: users and
    items grow as n^a with the exponents that take BASE to TOP."""
    n = int(round(millions * 1_000_000))
    span = math.log(TOP[0] / BASE[0])
    users = BASE[1] * (n / BASE[0]) ** (math.log(TOP[1] / BASE[1]) / span)
    items = BASE[2] * (n / BASE[0]) ** (math.log(TOP[2] / BASE[2]) / span)
    return n, int(round(users, -2)), int(round(items, -2))


def data_path(n: int, users: int, items: int) -> Path:
    return scenarios.DEFAULT_CACHE / f"ratings-n{n}-u{users}-i{items}-v{frames.GENERATOR_VERSION}" / "data.parquet"


def generate(n: int, users: int, items: int) -> Path:
    """Writes the file once (a partial file from an interrupted run is rewritten)."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq

    path = data_path(n, users, items)
    done = path.with_suffix(".done")
    if done.exists():
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    cols = frames.ratings_columns(np.random.default_rng(SEED), n, users, items)
    pq.write_table(pa.table({c: cols[c] for c in COLUMNS}), path, row_group_size=1_000_000)
    done.write_text("ok")
    return path


def peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def cpu_seconds() -> float:
    """User and system time of this process (its threads included)."""
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def load() -> float:
    """The machine's one-minute load average: other work competes for the 2 cores."""
    return float(Path("/proc/loadavg").read_text().split()[0])


def best_of(fn, repeats: int = 2) -> tuple[float, float]:
    """Wall and CPU seconds of the fastest of ``repeats`` calls."""
    runs = []
    for _ in range(repeats):
        t, c = time.perf_counter(), cpu_seconds()
        fn()
        runs.append((time.perf_counter() - t, cpu_seconds() - c))
    return min(runs)


def child_fit(path: str) -> dict:
    import pyarrow.parquet as pq

    import quorvelkit as qk

    load0 = load()
    t0 = time.perf_counter()
    read = 0.0
    try:
        fit = qk.lmm(FORMULA, path, progress=False)
        route = "qk.lmm(formula, path)"
    except qk.FormulaError as e:
        route = f"pyarrow -> pandas -> qk.lmm(formula, frame) (the Parquet route refused: {e})"
        t = time.perf_counter()
        frame = pq.read_table(path, columns=COLUMNS).to_pandas()
        read = time.perf_counter() - t
        fit = qk.lmm(FORMULA, frame)
        del frame
    seconds = time.perf_counter() - t0
    cpu, load1 = cpu_seconds(), load()
    peak = peak_mb()
    opt = fit.optimizer
    core, theta = fit.core, [float(v) for v in fit.theta]
    (dev, dev_cpu), (grad, grad_cpu) = best_of(lambda: core.deviance(theta)), best_of(lambda: core.deviance_grad(theta))
    t = time.perf_counter()
    core.start_theta()
    start = time.perf_counter() - t
    return {
        "route": route,
        "seconds": seconds,
        "cpu_seconds": cpu,
        "load_before": load0,
        "load_after": load1,
        "start_seconds": start,
        "read_seconds": read,
        "optimizer_seconds": opt["seconds"],
        "evaluations": opt["fev"],
        "iterations": opt["iterations"],
        "converged": bool(fit.converged),
        "deviance_seconds": dev,
        "deviance_grad_seconds": grad,
        "deviance_cpu_seconds": dev_cpu,
        "deviance_grad_cpu_seconds": grad_cpu,
        "peak_mb": peak,
        "peak_mb_after_timings": peak_mb(),
        "criterion": fit.criterion,
        "theta": theta,
        "beta": [float(v) for v in fit.fixef],
        "sigma": fit.sigma,
        "ngroups": {k: int(v) for k, v in fit.ngroups.items()},
    }


def child_kernel(items: int) -> dict:
    """The dense factorisation alone at ``items`` levels (see the module's docstring)."""
    import numpy as np

    from quorvelkit._quorvelkit import CrossedCore

    rng = np.random.default_rng(5)
    # user l < items rates item l; the last user rates items 0 and 1, so that the
    # factors are crossed (not nested) and the items' block is dense
    users, n = items + 1, items + 2
    user = np.append(np.arange(users, dtype=np.int64), items)
    item = np.append(np.arange(items, dtype=np.int64), [0, 1])
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    y = rng.normal(size=n)
    one = np.ones((n, 1))
    core = CrossedCore(y, x, [(user, users, one, [1]), (item, items, one, [1])])
    theta = [0.5, 0.5]
    load0 = load()
    (dev, dev_cpu), (grad, grad_cpu) = best_of(lambda: core.deviance(theta)), best_of(lambda: core.deviance_grad(theta))
    return {
        "items": items,
        "blocks": core.block_kinds,
        "deviance_seconds": dev,
        "deviance_grad_seconds": grad,
        "deviance_cpu_seconds": dev_cpu,
        "deviance_grad_cpu_seconds": grad_cpu,
        "load_before": load0,
        "load_after": load(),
        "peak_mb": peak_mb(),
    }


def run_child(kind: str, arg: str) -> dict:
    cmd = [sys.executable, __file__, "--child", kind, "--arg", arg]
    out = subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ, RAYON_NUM_THREADS="2"))
    if out.returncode != 0:
        raise RuntimeError(f"{kind} {arg} failed:\n{out.stderr[-4000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", type=float, nargs="+", default=[1, 3, 10], help="millions of ratings")
    ap.add_argument("--repeats", type=int, default=1, help="fits per size (each a fresh process)")
    ap.add_argument("--output", default=str(HERE / "crossed_out_of_core.md"))
    ap.add_argument("--report-only", action="store_true", help="rewrite the report from the .json")
    ap.add_argument("--more-fits", action="store_true", help="add fits to the designs of the .json, then report")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--arg", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        import ratings_fill

        fn = {
            "fit": lambda: child_fit(args.arg),
            "kernel": lambda: child_kernel(int(args.arg)),
            "fill": lambda: ratings_fill.fill_of(args.arg, peak_mb),
        }[args.child]
        print(json.dumps(fn()))
        return
    import environment
    import ratings_report

    if args.report_only or args.more_fits:
        res = json.loads(Path(args.output).with_suffix(".json").read_text())
        for design in res["designs"] if args.more_fits else []:
            path = generate(design["rows"], design["users"], design["items"])
            for _ in range(args.repeats):
                design["fits"].append(run_child("fit", str(path)))
                print("fit", json.dumps(design["fits"][-1]), flush=True)
            Path(args.output).with_suffix(".json").write_text(json.dumps(res, indent=1) + "\n")
        environment.write_results(args.output, res, ratings_report.report(res))
        return
    res: dict = {
        "date": environment.now(),
        "command": " ".join(sys.argv[1:]),
        "formula": FORMULA,
        "machine": environment.machine_line(),
        "env": environment.capture(),
    }
    res["designs"] = []
    for millions in args.sizes:
        n, users, items = shape(millions)
        t0 = time.perf_counter()
        path = generate(n, users, items)
        print(f"data: {path} ({path.stat().st_size / 1e9:.2f} GB, {time.perf_counter() - t0:.0f} s)", flush=True)
        design = {"rows": n, "users": users, "items": items, "file_gb": path.stat().st_size / 1e9}
        design["fill"] = run_child("fill", str(path))
        print("fill", json.dumps(design["fill"]), flush=True)
        design["kernel"] = run_child("kernel", str(design["fill"]["items_seen"]))
        print("kernel", json.dumps(design["kernel"]), flush=True)
        design["fits"] = []
        for _ in range(args.repeats):
            design["fits"].append(run_child("fit", str(path)))
            print("fit", json.dumps(design["fits"][-1]), flush=True)
        res["designs"].append(design)
        Path(args.output).with_suffix(".json").write_text(json.dumps(res, indent=1) + "\n")
    res["target"] = TARGET
    environment.write_results(args.output, res, ratings_report.report(res))


if __name__ == "__main__":
    main()
