"""Peak memory of a Parquet fit in many groups, against the products' own size.

    python benchmarks/group_memory.py                              # 20M rows, 10M groups
    python benchmarks/group_memory.py --rows 2000000 --groups 1000000 --output /tmp/gm.md

The data: y = 1 + x/2 + b_g + e, ``y ~ x + (1 | g)`` (p = 2, q = 1), rows in random
group order, written once per label kind under the cache directory (``QK_BENCH_DATA``,
default /tmp/quorvelkit-bench-data) as one Parquet file of row groups of 1M rows. The
labels are either dense int64 (0 .. groups-1: coded through a table indexed by value)
or spread beyond the table's range (g * 1,000,003 + 7: coded by hashing).

Each measurement runs in a fresh process: its peak resident memory (VmHWM), its wall
time, and the place of the peak (a thread samples the resident memory and the
interpreter's stack every 2 ms). A process that only imports the package and reads
the same batches gives the floor every fit stands on. The products' own size is the
accumulator's records, 8 (q^2 + pq + q + 1) bytes a group rounded up to whole 64-byte
lines, of the groups met. Writes a markdown report and its .json beside it.
"""

from __future__ import annotations

import argparse
import json
import re
import subprocess
import sys
import threading
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import scenarios  # noqa: E402

FORMULA = "y ~ x + (1 | g)"
KINDS = {"dense": "dense int64 labels (table by value)", "hashed": "int64 labels beyond the table's range (hashed)"}
RECORD_BYTES = 64  # p = 2, q = 1: 8 * (1 + 2 + 1 + 1) = 40 bytes, one 64-byte line


def data_path(rows: int, groups: int, kind: str) -> Path:
    return scenarios.DEFAULT_CACHE / f"groups-n{rows}-m{groups}-{kind}-v1" / "data.parquet"


def generate(rows: int, groups: int, kind: str, seed: int = 23) -> Path:
    """Writes the file once (a partial file from an interrupted run is rewritten)."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq

    path = data_path(rows, groups, kind)
    done = path.with_suffix(".done")
    if done.exists():
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    b = rng.normal(size=groups)
    schema = pa.schema([("y", pa.float64()), ("x", pa.float64()), ("g", pa.int64())])
    step = 1_000_000
    with pq.ParquetWriter(path, schema) as w:
        for start in range(0, rows, step):
            k = min(step, rows - start)
            g = rng.integers(0, groups, k)
            x = rng.normal(size=k)
            y = 1.0 + 0.5 * x + b[g] + rng.normal(size=k)
            labels = g if kind == "dense" else g * 1_000_003 + 7
            w.write_table(pa.table({"y": y, "x": x, "g": labels}, schema=schema), row_group_size=step)
    done.write_text("ok")
    return path


def vm_kb(key: str) -> int:
    with open("/proc/self/status") as f:
        return int(re.search(rf"{key}:\s+(\d+)", f.read()).group(1))  # type: ignore[union-attr]


class PeakPlace:
    """Samples the resident memory and the main thread's stack; keeps the stack seen
    at the highest sample (the package's frames only)."""

    def __init__(self, every: float = 0.002) -> None:
        self.every, self.best, self.place = every, 0, ""
        self.main = threading.get_ident()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self) -> None:
        while not self.stop.is_set():
            rss = vm_kb("VmRSS")
            if rss > self.best:
                frame = sys._current_frames().get(self.main)
                names = [
                    f"{f.f_code.co_name}"
                    for f, _ in traceback.walk_stack(frame)
                    if "quorvelkit" in f.f_code.co_filename and "benchmarks" not in f.f_code.co_filename
                ]
                self.best, self.place = rss, " < ".join(names[:4])
            time.sleep(self.every)

    def __enter__(self) -> PeakPlace:
        self.thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop.set()
        self.thread.join()


def child(kind: str, path: str) -> dict:
    import pyarrow.parquet as pq

    import quorvelkit as qk

    t0 = time.perf_counter()
    if kind == "read":
        rows = sum(b.num_rows for b in pq.ParquetFile(path, pre_buffer=False).iter_batches(batch_size=1 << 20))
        return {"seconds": time.perf_counter() - t0, "peak_mb": vm_kb("VmHWM") / 1024, "rows": rows}
    with PeakPlace() as peak:
        fit = qk.lmm(FORMULA, path, progress=False)
    return {
        "seconds": time.perf_counter() - t0,
        "peak_mb": vm_kb("VmHWM") / 1024,
        "sampled_peak_place": peak.place,
        "ngroups": fit.ngroups,
        "criterion": fit.criterion,
        "converged": bool(fit.converged),
    }


def run_child(kind: str, path: Path) -> dict:
    cmd = [sys.executable, __file__, "--child", kind, "--data", str(path)]
    out = subprocess.run(cmd, capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"{kind} failed:\n{out.stderr[-4000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def report(res: dict) -> str:
    floor = res["read"]["peak_mb"]
    L = [
        "# Peak memory of many groups",
        "",
        f"`{FORMULA}` from one Parquet file of {res['rows']:,} rows in {res['groups']:,} groups (p = 2, q = 1, "
        f"rows in random group order, batches of 2^20 rows), on {res['machine']}. Peak resident memory "
        "(VmHWM) and wall time of a fresh process; the floor is a process that imports the package and reads "
        "the same batches with pyarrow. The products' own size: the accumulator's records, "
        f"{RECORD_BYTES} bytes a group met. Written by `benchmarks/group_memory.py`.",
        "",
        f"Floor (imports and reading): {floor:,.0f} MB.",
        "",
        "| labels | groups met | time | peak | peak above the floor | per group | records | peak sampled in |",
        "|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    for kind, label in KINDS.items():
        r = res[kind]
        above = r["peak_mb"] - floor
        records = r["ngroups"] * RECORD_BYTES / 2**20
        L.append(
            f"| {label} | {r['ngroups']:,} | {r['seconds']:.1f} s | {r['peak_mb']:,.0f} MB | {above:,.0f} MB | "
            f"{above * 2**20 / r['ngroups']:.0f} B | {records:,.0f} MB | `{r['sampled_peak_place']}` |"
        )
    L += [
        "",
        "Where the memory goes, a group at a time (p = 2, q = 1): while the batches are added, the "
        "accumulator's record (64 bytes, on pages that are grown without copying and take memory only "
        "once written) and the label's entry in the table by value (8 bytes a value of the labels' range) or "
        "in the hash table (16 bytes a slot, at most three quarters full); then the order of the sorted "
        "labels (8 bytes; the labels themselves kept as one bit a value of their range, or as 8 bytes when "
        "hashed, until the records are handed back), the tables dropped once they are read; then the "
        "products taken out of the records (Z_i'Z_i, Z_i'X_i, Z_i'y_i and the count: 40 bytes), each "
        "record handed back as it is copied; then the core's copy of the blocks (32 bytes), each array of "
        "the products dropped as it is copied. The peak comes while the order is read, the records full: "
        "about 64 + 8 + 8 bytes a group (dense labels), plus the floor and what the batches' memory pool "
        "keeps.",
        "",
    ]
    return "\n".join(L)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=20_000_000)
    ap.add_argument("--groups", type=int, default=10_000_000)
    ap.add_argument("--output", default=str(HERE / "group_memory.md"))
    ap.add_argument("--render", help="render the report of this .json again (no measuring)")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--data", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        print(json.dumps(child(args.child, args.data)))
        return
    if args.render:
        res = json.loads(Path(args.render).read_text())
        Path(args.render).with_suffix(".md").write_text(report(res))
        return
    import environment

    res: dict = {"rows": args.rows, "groups": args.groups, "machine": environment.machine_line()}
    paths = {kind: generate(args.rows, args.groups, kind) for kind in KINDS}
    res["read"] = run_child("read", paths["dense"])
    print("read", json.dumps(res["read"]), flush=True)
    for kind in KINDS:  # one process at a time: each may take a few GB
        res[kind] = run_child(kind, paths[kind])
        print(kind, json.dumps(res[kind]), flush=True)
    environment.write_results(args.output, res, report(res))


if __name__ == "__main__":
    main()
