"""One measurement of quorvelkit in a process of its own; prints one JSON object.

Run by ``run.py`` and ``user_calls.py`` (through ``processes.py``) with
RAYON_NUM_THREADS set: the core reads its worker-pool size once per process,
and ru_maxrss is a per-process high-water mark, so each thread count and each
memory reading needs a fresh process.

    python worker.py timing DATA_DIR [--repeats K] [--fit-repeats K]   # a scenario's arrays
    python worker.py memory DATA_DIR
    python worker.py call DATA_DIR --formula F [--repeats K]          # a user's-call case

Timings are the best of K repeats: the machine is shared, and the minimum is the
estimate least disturbed by other work. Every float that the 1- and 2-thread
runs must agree on is also reported as ``float.hex`` so the runner can compare
bits, not printed decimals.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import resource
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import frames
import scenarios
from timing import best

EVALUATORS = ("blocks", "streaming", "aggregated")


def rss_bytes() -> int:
    """Current resident set size, from /proc (ru_maxrss only knows the peak)."""
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # Linux reports KiB


class OtherLoad:
    """CPU time that other processes used while a section ran, in cores.

    From /proc/stat (busy = every state but idle and iowait; steal counts as
    busy, since a stolen cycle is as lost to us as one given to a neighbour)
    minus this process's own user and system time. On a shared machine it tells
    whether a 2-thread timing had two cores to itself.
    """

    def __init__(self) -> None:
        self.t, self.busy, self.own = self._snap()

    @staticmethod
    def _snap() -> tuple[float, float, float]:
        with open("/proc/stat") as fh:
            vals = [int(v) for v in fh.readline().split()[1:9]]
        busy = (sum(vals) - vals[3] - vals[4]) / os.sysconf("SC_CLK_TCK")
        ru = resource.getrusage(resource.RUSAGE_SELF)
        return time.monotonic(), busy, ru.ru_utime + ru.ru_stime

    def cores(self) -> float:
        t, busy, own = self._snap()
        return max(0.0, ((busy - self.busy) - (own - self.own)) / max(t - self.t, 1e-9))


def best_of(k: int, f):
    """Least wall time over k calls of f, and what that fastest call returned."""
    return best(f, k)


def per_call(k: int, f, batch_s: float = 2e-3):
    """Least mean time per call over k batches; a batch lasts about batch_s.

    Microsecond calls are timed in batches, as timeit does, so the clock's
    resolution and the cost of reading it do not count as work.
    """
    t0 = time.perf_counter()
    f()
    single = time.perf_counter() - t0
    calls = max(1, min(100_000, int(batch_s / max(single, 1e-9))))
    best = float("inf")
    for _ in range(k):
        t0 = time.perf_counter()
        for _ in range(calls):
            f()
        best = min(best, (time.perf_counter() - t0) / calls)
    return best


def hexes(values) -> list[str]:
    return [float(v).hex() for v in np.atleast_1d(values)]


def plain_pass(a: dict) -> float:
    """One read of every input byte, NumPy's reduction being close to memory speed."""
    y, x, z, codes = a["y"], a["x"], a["z"], a["codes"]
    return per_call(5, lambda: (y.sum(), x.sum(), z.sum(), codes.sum()))


def timing(d: Path, repeats: int, fit_repeats: int) -> dict:
    import quorvelkit as qk

    meta, a = scenarios.load(d)
    y, x, z, codes, m = a["y"], a["x"], a["z"], a["codes"], meta["m"]
    out = {"threads": os.environ.get("RAYON_NUM_THREADS"), "plain_pass_s": plain_pass(a)}

    def build(evaluator):
        return qk.LmmCore(y, x, z, codes, m, evaluator=evaluator)

    # Construction with the evaluator "auto" picks: what a user pays.
    core = None

    def construct():
        nonlocal core
        core = None  # free the previous core first, as a fresh process would have
        core = build("auto")
        return core

    out["construct_s"], _ = best_of(max(repeats, 3), construct)
    out["auto_evaluator"] = core.evaluator
    out["n_classes"] = core.n_classes
    theta0 = core.default_theta()
    del core
    gc.collect()

    evals = {}
    load = OtherLoad()
    for ev in EVALUATORS:
        c = build(ev)
        dev, (dg, grad) = c.deviance(theta0), c.deviance_grad(theta0)
        t_dev = per_call(repeats, lambda c=c: c.deviance(theta0))
        t_grad = per_call(repeats, lambda c=c: c.deviance_grad(theta0))
        evals[ev] = {
            "evaluator": c.evaluator,
            "n_classes": c.n_classes,
            "deviance_s": t_dev,
            "deviance_grad_s": t_grad,
            "deviance": dev,
            "bits": hexes([dev, dg, *grad]),
        }
        del c
        gc.collect()
    out["evals"] = evals
    out["evals_other_load"] = load.cores()

    # The whole fit as a user runs it: construction, then fit from the default start.
    fit = {}

    def whole():
        fit.clear()
        t0 = time.perf_counter()
        c = build("auto")
        t1 = time.perf_counter()
        r = c.fit(c.default_theta())
        fit.update(construct_s=t1 - t0, fit_s=time.perf_counter() - t1, result=r)
        return dict(fit)

    load = OtherLoad()
    out["whole_fit_s"], best = best_of(fit_repeats, whole)
    out["fit_other_load"] = load.cores()
    r = best["result"]
    out["fit"] = {
        "construct_s": best["construct_s"],
        "fit_s": best["fit_s"],
        "deviance": r["deviance"],
        "theta": list(map(float, r["theta"])),
        "beta": list(map(float, r["beta"])),
        "converged": bool(r["converged"]),
        "iterations": int(r["iterations"]),
        "fev": int(r["fev"]),
        "message": r["message"],
        "bits": hexes([r["deviance"], *r["theta"], *r["beta"]]),
    }
    del best, r
    fit.clear()
    gc.collect()

    # The same rows sorted by group: how much of construction is the scatter into
    # per-group accumulators when rows arrive in random order.
    order = np.argsort(codes, kind="stable")
    ys, xs, zs, cs = y[order], x[order], z[order], codes[order]
    del order
    t_sorted, _ = best_of(max(repeats, 3), lambda: qk.LmmCore(ys, xs, zs, cs, m, evaluator="auto"))
    out["construct_sorted_s"] = t_sorted
    return out


def memory(d: Path) -> dict:
    """Peak resident memory of construction plus fit against the input arrays.

    Baselines are taken after the interpreter, NumPy and the extension are
    loaded, so the figures are the data and the model alone.
    """
    import quorvelkit as qk

    before_load = rss_bytes()
    meta, a = scenarios.load(d)
    after_load = rss_bytes()
    peak_after_load = peak_rss_bytes()
    c = qk.LmmCore(a["y"], a["x"], a["z"], a["codes"], meta["m"])
    r = c.fit(c.default_theta())
    peak = peak_rss_bytes()
    return {
        "threads": os.environ.get("RAYON_NUM_THREADS"),
        "input_bytes": scenarios.input_bytes(meta),
        "rss_before_load": before_load,
        "rss_after_load": after_load,
        "peak_after_load": peak_after_load,
        "peak": peak,
        "deviance": r["deviance"],
        "evaluator": c.evaluator,
    }


def call(d: Path, formula: str, repeats: int) -> dict:
    """``quorvelkit.lmm(formula, df)`` whole, and beside it the core alone (construction
    plus fit) on the model matrices that call built."""
    import quorvelkit as qk

    df = frames.load_frame(d)
    t_call, fit = best_of(repeats, lambda: qk.lmm(formula, df))
    design = fit._design

    def core():
        if isinstance(fit, qk.CrossedFit):
            from quorvelkit.cores.crossed_core import crossed_core

            c = crossed_core(design)
        else:
            c = qk.LmmCore(design.y, design.x, design.z, design.codes, design.m)
        t0 = time.perf_counter()
        # the start the call uses: for several factors each factor's optimum alone, with
        # the model of the inverse Hessian there
        if isinstance(fit, qk.CrossedFit):
            theta, h0 = c.start()
            r = c.fit(theta, h0=h0)
        else:
            r = c.fit(c.default_theta())
        return time.perf_counter() - t0, r

    t_core, (t_fit, r) = best_of(repeats, core)
    return {
        "call_s": t_call,
        "core_s": t_core,
        "fit_s": t_fit,
        "construct_s": t_core - t_fit,
        "criterion": float(fit.criterion),
        "fev": int(r["fev"]),
        "converged": bool(r["converged"]),
        "p": int(design.x.shape[1]),
        "q": int(design.z.shape[1]),
        "threads": os.environ.get("RAYON_NUM_THREADS"),
    }


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=("timing", "memory", "call"))
    ap.add_argument("data", type=Path)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--fit-repeats", type=int, default=3)
    ap.add_argument("--formula", help="the user's call's formula (mode call)")
    args = ap.parse_args()
    if args.mode == "timing":
        res = timing(args.data, args.repeats, args.fit_repeats)
    elif args.mode == "memory":
        res = memory(args.data)
    else:
        if not args.formula:
            ap.error("mode call needs --formula")
        res = call(args.data, args.formula, args.repeats)
    json.dump(res, sys.stdout)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
