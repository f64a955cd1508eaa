"""What prior weights cost: construction and one evaluation of the criterion and its
gradient, without weights, with weights of exactly 1.0 and with weights drawn from
[0.5, 2), on the benchmark scenarios' arrays.

    python benchmarks/weights.py [--scenarios 2,3,5] [--quick] [--repeats K]

Run it with RAYON_NUM_THREADS set as for the other benchmarks. The evaluations use
the "blocks" evaluator (with weights every group's Z_i'W_iZ_i is its own, so "auto"
forms no classes of groups), and "auto" as a user gets it. Timings are the best of K
repeats; the bits of the criterion without weights and with weights of 1.0 are
compared (they must be the same).
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import scenarios
from worker import best_of, per_call


def measure(d: Path, repeats: int) -> list[str]:
    import quorvelkit as qk

    meta, a = scenarios.load(d)
    y, x, z, codes, m = a["y"], a["x"], a["z"], a["codes"], meta["m"]
    drawn = np.random.default_rng(1).uniform(0.5, 2.0, len(y))
    variants = [
        (label, w, evaluator)
        for evaluator in ("blocks", "auto")
        for label, w in (("none", None), ("all 1.0", np.ones(len(y))), ("drawn", drawn))
    ]
    # The variants take turns, so that load from other processes, which comes and
    # goes on a shared machine, falls on all of them alike; the least time is kept.
    build_s = {v[0] + v[2]: float("inf") for v in variants}
    eval_s = dict(build_s)
    kernel, bits = {}, {}
    for _ in range(repeats):
        for label, w, evaluator in variants:
            key = label + evaluator
            t, core = best_of(1, lambda w=w, e=evaluator: qk.LmmCore(y, x, z, codes, m, e, weights=w))
            build_s[key] = min(build_s[key], t)
            theta = core.default_theta()
            eval_s[key] = min(eval_s[key], per_call(1, lambda c=core, t=theta: c.deviance_grad(t)))
            dev, grad = core.deviance_grad(theta)
            bits[key] = (float(dev).hex(), [float(g).hex() for g in grad])
            kernel[key] = core.evaluator
            del core
            gc.collect()
    rows = []
    for label, _, evaluator in variants:
        key = label + evaluator
        rows.append(
            f"| {meta['title']} | {label} | {evaluator}: {kernel[key]} | {build_s[key] * 1e3:.2f} ms | "
            f"{eval_s[key] * 1e3:.3f} ms |"
        )
    for evaluator in ("blocks", "auto"):
        same = bits["none" + evaluator] == bits["all 1.0" + evaluator]
        rows.append(f"| {meta['title']} | 1.0 vs none, {evaluator}: same bits: {same} | | | |")
    return rows


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--scenarios", default="2,3,5")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--repeats", type=int, default=5)
    args = ap.parse_args()
    table = scenarios.scenarios(args.quick)
    print(f"threads: {os.environ.get('RAYON_NUM_THREADS', 'all')}")
    print("| scenario | weights | evaluator | construction | deviance_grad |")
    print("|---|---|---|---:|---:|")
    for key in (int(k) for k in args.scenarios.split(",")):
        for row in measure(scenarios.ensure(table[key]), args.repeats):
            print(row, flush=True)


if __name__ == "__main__":
    main()
