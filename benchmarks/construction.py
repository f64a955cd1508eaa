"""Construction alone against one plain pass over the input, rows shuffled and sorted.

    python benchmarks/construction.py                       # scenarios 3-6, the installed build
    python benchmarks/construction.py --scenarios 4 --module /tmp/old/_quorvelkit.abi3.so

Each thread count runs in a fresh process (the pool reads its size once). Prints, per
scenario and thread count, the plain pass (``y.sum(); x.sum(); z.sum(); codes.sum()``),
construction from the rows as generated (random group order) and sorted by group,
their ratios to the plain pass, and digests of the criterion and its gradient at the
default theta (shuffled / sorted rows), so two builds (``--module``) and two thread
counts can be compared bit for bit.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import scenarios  # noqa: E402
from profile_step import load_core  # noqa: E402
from worker import best_of, plain_pass  # noqa: E402


def child(args) -> None:
    LmmCore = load_core(args.module)
    meta, a = scenarios.load(Path(args.data))
    y, x, z, codes, m = a["y"], a["x"], a["z"], a["codes"], meta["m"]
    plain = plain_pass(a)
    shuffled, core = best_of(args.repeats, lambda: LmmCore(y, x, z, codes, m, evaluator="blocks"))
    theta = core.default_theta()
    dev, grad = core.deviance_grad(theta)
    digest = hashlib.sha256(np.array([dev, *grad]).tobytes()).hexdigest()[:16]
    del core
    order = np.argsort(codes, kind="stable")
    ys, xs, zs, cs = y[order], x[order], z[order], codes[order]
    del order
    srt, core = best_of(args.repeats, lambda: LmmCore(ys, xs, zs, cs, m, evaluator="blocks"))
    dev2, grad2 = core.deviance_grad(theta)
    digest2 = hashlib.sha256(np.array([dev2, *grad2]).tobytes()).hexdigest()[:16]
    print(
        json.dumps(
            {"plain_s": plain, "shuffled_s": shuffled, "sorted_s": srt, "digest": digest, "digest_sorted": digest2}
        )
    )


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--scenarios", default="3,4,5,6")
    ap.add_argument("--module", default=None, help="an _quorvelkit build to load instead of the installed one")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--output", default=None, help="also write the table to this markdown file")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--data", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args)
        return
    table = scenarios.scenarios(quick=False)
    lines = [
        "| # | threads | plain pass | shuffled | × plain | sorted | × plain | digests |",
        "|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    print("\n".join(lines))
    for k in [int(s) for s in args.scenarios.split(",")]:
        d = scenarios.ensure(table[k])
        for threads in (1, 2):
            env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
            cmd = [sys.executable, __file__, "--child", "--data", str(d), "--repeats", str(args.repeats)]
            if args.module:
                cmd += ["--module", args.module]
            out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True).stdout
            r = json.loads(out.strip().splitlines()[-1])
            p = r["plain_s"]
            lines.append(
                f"| {k} | {threads} | {p * 1e3:.1f} ms | {r['shuffled_s'] * 1e3:.1f} ms | "
                f"{r['shuffled_s'] / p:.1f}× | {r['sorted_s'] * 1e3:.1f} ms | {r['sorted_s'] / p:.1f}× | "
                f"{r['digest']} / {r['digest_sorted']} |"
            )
            print(lines[-1], flush=True)
    if args.output:
        Path(args.output).write_text(header(args) + "\n".join(lines) + "\n")


def header(args) -> str:
    """What the table is, when and where it was made, and of which build."""
    import datetime

    import environment

    try:
        rev = subprocess.run(
            ["git", "rev-parse", "--short", "HEAD"], cwd=HERE, capture_output=True, text=True, check=True
        ).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        rev = "unknown"
    machine = environment.machine_line()
    build = f"the build at {args.module}" if args.module else f"quorvelkit {rev}"
    return (
        "# Construction against one plain pass\n\n"
        f"`python benchmarks/construction.py`, {datetime.date.today()}, {machine}, {build}; best of "
        f"{args.repeats}. Plain pass: `y.sum(); x.sum(); z.sum(); codes.sum()`; shuffled: the scenario's rows as "
        "generated (random group order); sorted: the same rows sorted by group. Digests: criterion and gradient "
        "at the default theta (shuffled / sorted), the same for 1 and 2 threads and for every build that "
        "leaves the bits alone.\n\n"
    )


if __name__ == "__main__":
    main()
