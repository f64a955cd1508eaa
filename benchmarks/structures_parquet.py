"""A residual structure fitted from a Parquet file read in batches: subjects of two arms
over 10 visits with dropout, sorted by subject, fitted by ``qk.lmm(formula, path)``
(the pattern route of :mod:`quorvelkit.sources.structure_batches`) against reading the
same columns with pyarrow alone.

    python benchmarks/structures_parquet.py                         # 10M rows, unstructured
    python benchmarks/structures_parquet.py --rows 1000000 --structure ar1 --output /tmp/s.md

The file is written once under the cache directory (``QK_BENCH_DATA``, default
/tmp/quorvelkit-bench-data; never in the repository), in row groups of 1M rows. Each
measurement runs in a fresh process and reports its wall time and its peak resident
memory (``resource.getrusage``). Writes a markdown report.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

from out_of_core import written as file_written

CACHE = Path(os.environ.get("QK_BENCH_DATA", "/tmp/quorvelkit-bench-data"))
VISITS = 10
FORMULAS = {"us": "y ~ arm * visit + us(visit | id)", "ar1": "y ~ arm * visit + ar1(visit | id)"}
COLUMNS = ["id", "arm", "visit", "y"]


def data_path(rows: int, structure: str) -> Path:
    return CACHE / f"structures-n{rows}-{structure}-v1" / "data.parquet"


def generate(rows: int, structure: str, seed: int = 7) -> Path:
    """Subjects until ``rows`` rows: each stays to a last visit drawn so that about one
    in five drops out early; within-subject errors unstructured (a correlation of
    0.6^|i-j|^0.5 and standard deviations rising with the visit) or AR(1) with 0.6."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq

    path = data_path(rows, structure)
    done = path.with_suffix(".done")
    if file_written(path):
        return path
    rng = np.random.default_rng(seed)
    lags = np.abs(np.subtract.outer(np.arange(VISITS), np.arange(VISITS)))
    corr = 0.6**lags if structure == "ar1" else 0.6 ** np.sqrt(lags)
    sd = np.ones(VISITS) if structure == "ar1" else 1.0 + 0.1 * np.arange(VISITS)
    chol = np.linalg.cholesky(corr * np.outer(sd, sd))
    writer = None
    written, subject = 0, 0
    while written < rows:
        m = 200_000
        last = np.where(rng.random(m) < 0.8, VISITS, rng.integers(2, VISITS, m))
        keep = np.arange(VISITS)[None, :] < last[:, None]
        arm = np.where(np.arange(subject, subject + m) % 2 == 0, "a", "b")
        e = rng.standard_normal((m, VISITS)) @ chol.T
        visit = np.broadcast_to(np.arange(1, VISITS + 1), (m, VISITS))
        y = 10 + (arm == "b")[:, None] * (1 + 0.1 * visit) + 0.3 * visit + e
        ids = np.repeat(np.arange(subject, subject + m), last)
        table = pa.table(
            {
                "id": ids,
                "arm": np.repeat(arm, last),
                "visit": visit[keep].astype(np.int64),
                "y": y[keep],
            }
        )
        table = table.slice(0, min(len(table), rows - written))
        if writer is None:
            writer = pq.ParquetWriter(path, table.schema)
        writer.write_table(table, row_group_size=1 << 20)
        written += len(table)
        subject += m
    assert writer is not None
    writer.close()
    done.touch()
    return path


CHILD = r"""
import json, resource, sys, time
path, what, formula = sys.argv[1], sys.argv[2], sys.argv[3]
t0 = time.perf_counter()
out = {}
if what == "read":
    import pyarrow.dataset as ds
    n = 0
    for b in ds.dataset(path).to_batches(columns=json.loads(sys.argv[4]), batch_size=1 << 20):
        n += b.num_rows
    out["rows"] = n
else:
    import quorvelkit as qk
    fit = qk.lmm(formula, path)
    out.update(criterion=fit.criterion, converged=bool(fit.optimizer["converged"]), nobs=fit.nobs,
               fit_seconds=fit.optimizer["seconds"], patterns=int(fit._core.n_subjects))
out["seconds"] = time.perf_counter() - t0
out["peak_mb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(json.dumps(out))
"""


def measure(path: Path, what: str, formula: str) -> dict:
    cmd = [sys.executable, "-c", CHILD, str(path), what, formula, json.dumps(COLUMNS)]
    res = subprocess.run(cmd, capture_output=True, text=True, check=True)
    return json.loads(res.stdout.strip().splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=10_000_000)
    ap.add_argument("--structure", choices=sorted(FORMULAS), default="us")
    ap.add_argument("--output", type=Path, default=Path(__file__).with_suffix(".md"))
    args = ap.parse_args()
    t0 = time.perf_counter()
    path = generate(args.rows, args.structure)
    written = time.perf_counter() - t0
    formula = FORMULAS[args.structure]
    read = measure(path, "read", formula)
    fit = measure(path, "fit", formula)
    size = path.stat().st_size / 1e6
    lines = [
        "# Residual structures from Parquet",
        "",
        f"`{formula}` from one Parquet file of {args.rows:,} rows ({size:,.0f} MB, row groups of 1M rows; "
        f"written in {written:.0f} s), subjects of two arms over {VISITS} visits with one in five dropping "
        "out early, sorted by subject. Wall time and peak resident memory of a fresh process each, one run; "
        "2 cores shared with other work. Written by `benchmarks/structures_parquet.py`.",
        "",
        "| route | time | × pyarrow read | peak memory | criterion | converged |",
        "|---|---:|---:|---:|---:|---|",
        f"| pyarrow alone: read the {len(COLUMNS)} columns in batches of 1,048,576 | {read['seconds']:.1f} s | 1.0× "
        f"| {read['peak_mb']:,.0f} MB | | |",
        f"| `qk.lmm(formula, path)` (batches of 1,048,576) | {fit['seconds']:.1f} s | "
        f"{fit['seconds'] / read['seconds']:.2f}× | {fit['peak_mb']:,.0f} MB | {fit['criterion']:.6f} | "
        f"{fit['converged']} |",
        "",
        f"The fit itself (the optimiser on {fit['patterns']} patterns of {fit['nobs']:,} rows): "
        f"{1000 * fit['fit_seconds']:.1f} ms of the route's time. The route reads the file twice: a first pass "
        "finds the levels of the columns the structure and the formula code (`arm`, `visit`), the second reduces "
        "each batch to its subjects' patterns.",
        "",
    ]
    args.output.write_text("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
