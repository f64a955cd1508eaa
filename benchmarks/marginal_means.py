"""Pairwise comparisons of marginal means with Satterthwaite's and Kenward-Roger's df at
sizes where emmeans falls back to z tests, against emmeans in the same run.

    python benchmarks/marginal_means.py [--output benchmarks/marginal_means.md]

Models: InstEval (73,421 rows; lme4's data as kept in tests/data/crossed),
y ~ dept + service + (1 | s) + (1 | d), the pairs of its 14 departments (91 Tukey-adjusted
contrasts); and a simulated one-factor model of 1,000,000 rows, y ~ x + f + (1 | g) with
100,000 groups and a factor f of 5 levels (10 pairs). Ours: ``fit.emmeans(spec,
ddf=...).pairs()`` on a fresh fit each (the df computed in the call), best of 3 (one run
at 1M rows). emmeans 1.8.4: ``pairs(emmeans(fit, spec))`` on lmer's fit, its defaults,
which above 3,000 rows give asymptotic z tests (``pbkrtest.limit``, ``lmerTest.limit``),
the fit outside the timing.
"""

from __future__ import annotations

import argparse
import platform
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

import quorvelkit as qk

HERE = Path(__file__).resolve().parent
INSTEVAL = HERE.parent / "tests" / "data" / "crossed" / "insteval.csv.gz"
R_SCRIPT = r"""
suppressPackageStartupMessages({library(lme4); library(emmeans)})
a <- commandArgs(trailingOnly = TRUE)
d <- read.csv(a[1])
for (v in strsplit(a[3], ",")[[1]]) d[[v]] <- factor(d[[v]])
fit <- lmer(as.formula(a[2]), d)
t <- system.time(p <- summary(pairs(emmeans(fit, a[4]))))[["elapsed"]]
cat(sprintf("%.6f %s %.17g\n", t, if (is.finite(p$df[1])) "t" else "z", p$SE[1]))
"""


def simulated(n: int = 1_000_000, groups: int = 100_000, seed: int = 3) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    g = rng.integers(0, groups, size=n)
    f = rng.integers(0, 5, size=n)
    x = rng.normal(size=n)
    y = 2.0 + 0.5 * x + 0.1 * f + rng.normal(size=groups)[g] + rng.normal(size=n)
    return pd.DataFrame({"y": y, "x": x, "f": [f"f{v}" for v in f], "g": g.astype(str)})


CASES = {
    "InstEval": (
        "y ~ dept + service + (1 | s) + (1 | d)",
        lambda: (
            pd.read_csv(INSTEVAL, dtype=str)
            .astype({"y": float})
            .assign(dept=lambda d: "D" + d["dept"], service=lambda d: "S" + d["service"])
        ),
        "dept",
        "s,d,dept,service",
    ),
    "1M one factor": ("y ~ x + f + (1 | g)", simulated, "f", "g,f"),
}


def ours(formula: str, data: pd.DataFrame, spec: str, ddf: str, repeats: int) -> tuple[float, int, float]:
    fit = qk.lmm(formula, data)
    best = float("inf")
    for _ in range(repeats):
        fresh = qk.lmm(formula, data, theta=fit.theta)
        t0 = time.perf_counter()
        pairs = fresh.emmeans(spec, ddf=ddf).pairs()
        best = min(best, time.perf_counter() - t0)
    table = pairs.table
    return best, len(table), float(table["df"].iloc[0])


def peer(formula: str, data: pd.DataFrame, factors: str, spec: str) -> tuple[float, str]:
    with tempfile.TemporaryDirectory() as tmp:
        path, script = Path(tmp) / "d.csv", Path(tmp) / "emm.R"
        data.to_csv(path, index=False)
        script.write_text(R_SCRIPT)
        out = subprocess.run(
            ["Rscript", str(script), str(path), formula, factors, spec], capture_output=True, text=True, check=True
        ).stdout.split()
    return float(out[0]), out[1]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--output", default=str(HERE / "marginal_means.md"))
    args = ap.parse_args()
    rows = []
    for name, (formula, make, spec, factors) in CASES.items():
        data = make()
        repeats = 3 if len(data) < 500_000 else 1
        for ddf in ("satterthwaite", "kenward-roger"):
            seconds, k, df = ours(formula, data, spec, ddf, repeats)
            rows.append(
                f"| {name} ({len(data):,} rows) | `{formula}` | {k} | ours, {ddf} | {seconds:.3f} s | {df:,.1f} |"
            )
            print(rows[-1], flush=True)
        seconds, kind = peer(formula, data, factors, spec)
        rows.append(
            f"| {name} ({len(data):,} rows) | `{formula}` | {k} | emmeans (lmer), its default | {seconds:.2f} s "
            f"| {'inf (z)' if kind == 'z' else 't'} |"
        )
        print(rows[-1], flush=True)
    lines = [
        "# Marginal means and their pairs at scale",
        "",
        f"`python benchmarks/marginal_means.py` on {platform.machine()}, Python {platform.python_version()}. "
        "Ours: `fit.emmeans(spec, ddf=...).pairs()` on a fresh fit (df computed within the call), best of 3 "
        "(one run at 1M rows); emmeans: `pairs(emmeans(fit, spec))` on lmer's fit, the fit outside the timing "
        "(above 3,000 rows it gives z tests). The df column is the first pair's.",
        "",
        "| data | model | pairs | method | time | df |",
        "|---|---|---:|---|---:|---:|",
        *rows,
    ]
    Path(args.output).write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
