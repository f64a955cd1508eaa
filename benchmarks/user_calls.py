"""The fit as a user makes it: a formula on a data frame, against lme4's ``lmer`` and
statsmodels' ``mixedlm`` on the same data frame.

    python benchmarks/user_calls.py            # writes benchmarks/user_calls.md and .json
    python benchmarks/user_calls.py --quick    # the 1M-row case cut to 100k rows
    python benchmarks/user_calls.py --cases 1,3 --no-peers

Every contender builds its own model matrices from the formula, so the times include
what each does with a data frame. Ours is ``quorvelkit.lmm(formula, df)`` whole; beside
it, the core alone (construction plus fit on the same model matrices), which the call
should cost little more than. Peers load the data before their clock starts and run in
processes of their own, killed after ``--peer-timeout`` seconds.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime as dt
import json
import os
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import run  # noqa: E402  (subprocess, environment and formatting helpers)
import scenarios  # noqa: E402

GENERATOR_VERSION = 1
# The whole call may cost at most this multiple of the core's construction plus fit.
OVERHEAD_TARGET = 1.5


@dataclasses.dataclass(frozen=True)
class Case:
    key: int
    title: str
    n: int
    m: int
    formula: str        # ours, and statsmodels' fixed part and groups derived from it
    lme4: str           # the same model in R's notation
    mixedlm: tuple[str, str, str]  # fixed formula, groups column, re_formula
    seed: int

    @property
    def tag(self) -> str:
        return f"u{self.key}-n{self.n}-m{self.m}-v{GENERATOR_VERSION}"


def cases(quick: bool) -> dict[int, Case]:
    big = (100_000, 5_000) if quick else (1_000_000, 50_000)
    return {
        1: Case(1, "sleepstudy (real data)", 180, 18, "Reaction ~ Days + (Days | Subject)",
                "Reaction ~ Days + (Days | Subject)", ("Reaction ~ Days", "Subject", "~Days"), 0),
        2: Case(2, "course evaluations: 73k ratings, 14 departments", 73_421, 1_128,
                "y ~ service + C(dept) + studage + (1 | lecturer)",
                "y ~ service + dept + studage + (1 | lecturer)",
                ("y ~ service + C(dept) + studage", "lecturer", "1"), 2),
        3: Case(3, f"{big[0]:,} rows, {big[1]:,} groups, a 20-level factor", big[0], big[1],
                "y ~ x1 + x2 + C(site) + (x1 | g)", "y ~ x1 + x2 + site + (x1 | g)",
                ("y ~ x1 + x2 + C(site)", "g", "~x1"), 3),
    }


# --------------------------------------------------------------------------- data

def _frame(c: Case) -> dict[str, np.ndarray]:
    """Columns of the case's data frame: float64 numbers, int32 factor codes."""
    if c.key == 1:
        import pandas as pd

        d = pd.read_csv(scenarios.SLEEPSTUDY_CSV)
        return {"Reaction": d["Reaction"].to_numpy(float), "Days": d["Days"].to_numpy(float),
                "Subject": d["Subject"].to_numpy(np.int32)}
    rng = np.random.default_rng(31_000 + c.seed)
    n, m = c.n, c.m
    g = rng.integers(0, m, n).astype(np.int32)
    if c.key == 2:
        dept = rng.integers(0, 14, n).astype(np.int32)
        service = (rng.random(n) < 0.4).astype(float)
        studage = rng.integers(1, 5, n).astype(float)
        y = (3.0 + 0.1 * dept - 0.08 * service + 0.05 * studage + 0.5 * rng.standard_normal(m)[g]
             + rng.standard_normal(n))
        return {"y": y, "service": service, "dept": dept, "studage": studage, "lecturer": g}
    site = rng.integers(0, 20, n).astype(np.int32)
    x1, x2 = rng.standard_normal(n), rng.standard_normal(n)
    b0, b1 = 0.5 * rng.standard_normal(m), 0.3 * rng.standard_normal(m)
    y = 1.0 + 0.5 * x1 - 0.2 * x2 + 0.05 * site + b0[g] + b1[g] * x1 + rng.standard_normal(n)
    return {"y": y, "x1": x1, "x2": x2, "site": site, "g": g}


def ensure(c: Case, root: Path) -> Path:
    """The case's data directory: one .npy and one raw little-endian file (for R's
    readBin) per column, meta.json last."""
    d = root / c.tag
    if (d / "meta.json").exists():
        return d
    d.mkdir(parents=True, exist_ok=True)
    cols = _frame(c)
    kinds = {}
    for name, a in cols.items():
        np.save(d / f"{name}.npy", a)
        if a.dtype == np.int32:
            (a + 1).astype("<i4").tofile(d / f"{name}.i32")  # 1-based, as R's factors count
            kinds[name] = "factor"
        else:
            a.astype("<f8").tofile(d / f"{name}.f64")
            kinds[name] = "number"
    meta = {"n": c.n, "m": c.m, "columns": kinds, "lme4": c.lme4, "mixedlm": list(c.mixedlm)}
    (d / "meta.json").write_text(json.dumps(meta, indent=1))
    return d


def load_frame(d: Path):
    """The data frame every Python contender is given: factors as categoricals."""
    import pandas as pd

    meta = json.loads((d / "meta.json").read_text())
    out = {}
    for name, kind in meta["columns"].items():
        a = np.load(d / f"{name}.npy")
        out[name] = pd.Categorical(a) if kind == "factor" else a
    return pd.DataFrame(out)


# --------------------------------------------------------------------------- ours


def measure_ours(d: Path, formula: str, repeats: int) -> dict:
    """Runs in a process of its own (see ``main``'s --worker)."""
    import quorvelkit as qk

    df = load_frame(d)
    t_call, fit = run_worker_best(repeats, lambda: qk.lmm(formula, df))
    design = fit._design

    def core():
        c = qk.LmmCore(design.y, design.x, design.z, design.codes, design.m)
        t0 = time.perf_counter()
        r = c.fit(c.default_theta())
        return time.perf_counter() - t0, r

    t_core, (t_fit, r) = run_worker_best(repeats, core)
    return {"call_s": t_call, "core_s": t_core, "fit_s": t_fit, "construct_s": t_core - t_fit,
            "criterion": float(fit.criterion), "fev": int(r["fev"]), "converged": bool(r["converged"]),
            "p": int(design.x.shape[1]), "q": int(design.z.shape[1]),
            "threads": os.environ.get("RAYON_NUM_THREADS")}


def run_worker_best(k: int, f):
    best, out = float("inf"), None
    for _ in range(k):
        t0 = time.perf_counter()
        r = f()
        t = time.perf_counter() - t0
        if t < best:
            best, out = t, r
    return best, out


# --------------------------------------------------------------------------- report


def render(results: dict) -> str:
    env = results["environment"]
    lines = [
        "# The user's call: a formula on a data frame",
        "",
        f"{results['date']}; {env['cpu']}, {env['cores']} cores; quorvelkit {env['quorvelkit']} "
        f"({env['commit']}), lme4 {env.get('lme4') or '—'}, statsmodels {env.get('statsmodels') or '—'}.",
        f"Command: `{results['command']}`.",
        "",
        "Times are the best of several runs, model matrices included. *core* is our construction "
        f"plus fit on the same model matrices; the call should cost at most {OVERHEAD_TARGET}× it. "
        "Ratio = peer time / our call; Δ = peer criterion − ours.",
        "",
        "| # | case | n | m | p | q | lmm call | core | call / core | evals | lme4 lmer | ratio | Δ lme4 "
        "| MixedLM | ratio | Δ MixedLM |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for key, r in results["cases"].items():
        o = r["ours"]
        row = [key, r["title"], f"{r['n']:,}", f"{r['m']:,}", o["p"], o["q"], run.fmt_s(o["call_s"]),
               run.fmt_s(o["core_s"]), f"{o['call_s'] / o['core_s']:.2f}", o["fev"]]
        for peer in ("lme4", "mixedlm"):
            p = r["peers"].get(peer, {})
            if p.get("status") == "ok":
                row += [run.fmt_s(p["seconds"]), run.fmt_ratio(p["seconds"] / o["call_s"]),
                        f"{p['criterion'] - o['criterion']:+.1e}"]
            else:
                row += [run.peer_cell(p) if p else "—", "—", "—"]
        lines.append("| " + " | ".join(str(v) for v in row) + " |")
    lines += ["", f"Elapsed: {results['elapsed_s'] / 60:.1f} min."]
    return "\n".join(lines) + "\n"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--cases", default="1,2,3")
    ap.add_argument("--no-peers", action="store_true")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--peer-timeout", type=float, default=run.PEER_TIMEOUT_S)
    ap.add_argument("--data-dir", type=Path, default=scenarios.DEFAULT_CACHE)
    ap.add_argument("--worker", nargs=2, metavar=("DATA", "FORMULA"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        print(json.dumps(measure_ours(Path(args.worker[0]), args.worker[1], args.repeats)))
        return

    t_start = time.perf_counter()
    env = run.environment()
    table = cases(args.quick)
    results = {"command": "python benchmarks/user_calls.py" + (" --quick" if args.quick else "")
               + (" --no-peers" if args.no_peers else ""),
               "date": dt.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
               "environment": env, "cases": {}}
    for k in (int(v) for v in args.cases.split(",")):
        c = table[k]
        d = ensure(c, args.data_dir)
        run.log(f"case {k}: {c.title}")
        ours = run.run_json([sys.executable, __file__, "--worker", str(d), c.formula,
                             "--repeats", str(args.repeats)], env={"RAYON_NUM_THREADS": "2"})
        if ours["status"] != "ok":
            raise RuntimeError(f"our call on case {k}: {ours['detail']}")
        run.log(f"  ours: call {ours['call_s']:.3f} s, core {ours['core_s']:.3f} s, {ours['fev']} evaluations")
        peers = {}
        for peer, cmd in (("lme4", ["Rscript", str(HERE / "peers" / "lmer_formula.R"), str(d)]),
                          ("mixedlm", [sys.executable, str(HERE / "peers" / "mixedlm_formula.py"), str(d)])):
            if args.no_peers or not run.peer_installed(peer, env):
                peers[peer] = {"status": "skipped" if args.no_peers else "not installed"}
                continue
            run.log(f"  {peer} ...")
            peers[peer] = run.run_json(cmd, timeout=args.peer_timeout)
            run.log(f"  {peer}: {peers[peer]['status']} {peers[peer].get('seconds', '')}")
        results["cases"][str(k)] = {"title": c.title, "n": c.n, "m": c.m, "formula": c.formula,
                                    "ours": ours, "peers": peers}
    results["elapsed_s"] = time.perf_counter() - t_start
    out = HERE / ("user_calls-quick.md" if args.quick else "user_calls.md")
    text = render(results)
    out.write_text(text)
    out.with_suffix(".json").write_text(json.dumps(results, indent=1, default=str) + "\n")
    print(text)


if __name__ == "__main__":
    main()
