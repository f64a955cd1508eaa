"""Kenward-Roger tests of a crossed model at growing n, against pbkrtest in the same run.

    python benchmarks/kenward_roger.py [--sizes 1000,2000,10000,100000,1000000]
                                       [--peer-sizes 1000,2000] [--output benchmarks/kenward_roger.md]

The model is y ~ x + f + (1 | a) + (1 | b): a continuous x, a factor f of 3 levels,
subjects a (one per 20 rows) crossed with 40 items b, unbalanced (rows drawn at random).
"Ours" is ``fit.anova_terms(ddf="kenward-roger")`` on a fresh fit (the adjusted
covariance, then one F test per term), best of a few runs; the fit itself is shown beside
it. Each size runs in a fresh process, whose peak resident memory is reported after the
fit and after the tests. pbkrtest is timed on lmerTest's ``anova(fit, ddf =
"Kenward-Roger")`` of the same data (written as CSV), the fit outside the timing.
"""

from __future__ import annotations

import argparse
import json
import platform
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
FORMULA = "y ~ x + f + (1 | a) + (1 | b)"

R_SCRIPT = r"""
suppressPackageStartupMessages({library(lmerTest); library(pbkrtest)})
d <- read.csv(commandArgs(trailingOnly = TRUE)[1])
d$f <- factor(d$f); d$a <- factor(d$a); d$b <- factor(d$b)
fit <- lmer(y ~ x + f + (1 | a) + (1 | b), d)
t <- system.time(tab <- anova(fit, ddf = "Kenward-Roger"))[["elapsed"]]
cat(sprintf("%.17g %.17g %.17g\n", t, tab["f", "DenDF"], tab["f", "F value"]))
"""


def simulated(n: int, seed: int = 5) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    m = max(n // 20, 5)
    a = rng.integers(0, m, size=n)
    b = rng.integers(0, 40, size=n)
    f = rng.integers(0, 3, size=n)
    x = rng.normal(size=n)
    y = 1.0 + 0.3 * x + 0.2 * f + rng.normal(size=m)[a] * 0.8 + rng.normal(size=40)[b] * 0.5 + rng.normal(size=n)
    return pd.DataFrame(
        {"y": y, "x": x, "f": [f"f{v}" for v in f], "a": [f"a{v}" for v in a], "b": [f"b{v}" for v in b]}
    )


def ours(n: int) -> dict:
    """Run in a fresh process: the fit, then the Kenward-Roger anova."""
    import quorvelkit as qk

    data = simulated(n)
    t0 = time.perf_counter()
    fit = qk.lmm(FORMULA, data)
    t_fit = time.perf_counter() - t0
    rss_fit = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    times = []
    for _ in range(3 if n <= 100_000 else 1):
        fresh = qk.lmm(FORMULA, data, theta=fit.theta)
        t0 = time.perf_counter()
        table = fresh.anova_terms(ddf="kenward-roger")
        times.append(time.perf_counter() - t0)
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return {
        "n": n,
        "fit_s": t_fit,
        "kr_s": min(times),
        "evaluations": fresh.kenward_roger().evaluations,
        "ddf_f": float(table.loc["f", "DenDF"]),
        "F_f": float(table.loc["f", "F value"]),
        "rss_fit_mb": rss_fit,
        "rss_mb": rss,
    }


def peer(n: int, timeout: float) -> dict:
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "d.csv"
        simulated(n).to_csv(path, index=False)
        script = Path(tmp) / "kr.R"
        script.write_text(R_SCRIPT)
        try:
            out = subprocess.run(
                ["Rscript", str(script), str(path)], capture_output=True, text=True, timeout=timeout, check=True
            ).stdout.split()
        except subprocess.TimeoutExpired:
            return {"n": n, "seconds": None, "note": f"not finished in {timeout:.0f} s"}
    return {"n": n, "seconds": float(out[0]), "ddf_f": float(out[1]), "F_f": float(out[2])}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="1000,2000,10000,100000,1000000")
    ap.add_argument("--peer-sizes", default="1000,2000")
    ap.add_argument("--peer-timeout", type=float, default=600.0)
    ap.add_argument("--output", default=str(HERE / "kenward_roger.md"))
    ap.add_argument("--one", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.one:
        print(json.dumps(ours(args.one)))
        return
    rows = []
    for n in [int(v) for v in args.sizes.split(",")]:
        out = subprocess.run([sys.executable, __file__, "--one", str(n)], capture_output=True, text=True, check=True)
        rows.append(json.loads(out.stdout))
        print(rows[-1], flush=True)
    peers = {}
    for n in [int(v) for v in args.peer_sizes.split(",") if v]:
        peers[n] = peer(n, args.peer_timeout)
        print(peers[n], flush=True)
    lines = [
        "# Kenward-Roger on a crossed model",
        "",
        f"`python benchmarks/kenward_roger.py` on {platform.machine()}, Python {platform.python_version()}; "
        f"`{FORMULA}` (3 levels of f, one level of a per 20 rows, 40 levels of b, rows drawn at random). "
        'Ours: `fit.anova_terms(ddf="kenward-roger")` on a fresh fit (best of 3 up to 100,000 rows, else one '
        'run), each size in a fresh process. pbkrtest: lmerTest\'s `anova(fit, ddf = "Kenward-Roger")`, '
        "the fit outside the timing. The DenDF and F of the test of f are shown for both.",
        "",
        "| n | fit | KR anova | evaluations | peak memory after fit | after KR | DenDF (f) | F (f) "
        "| pbkrtest | DenDF (f) | F (f) | × ours |",
        "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in rows:
        p = peers.get(r["n"])
        if p and p.get("seconds") is not None:
            peer_cells = f"{p['seconds']:.2f} s | {p['ddf_f']:.6f} | {p['F_f']:.6f} | {p['seconds'] / r['kr_s']:.0f}"
        elif p:
            peer_cells = f"{p['note']} | | |"
        else:
            peer_cells = "not run | | |"
        lines.append(
            f"| {r['n']:,} | {r['fit_s']:.3f} s | {r['kr_s']:.3f} s | {r['evaluations']} | {r['rss_fit_mb']:.0f} MB "
            f"| {r['rss_mb']:.0f} MB | {r['ddf_f']:.6f} | {r['F_f']:.6f} | {peer_cells} |"
        )
    Path(args.output).write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
