"""Cost of the inference on a fit, in criterion evaluations and in multiples of the fit:
Satterthwaite's and Kenward-Roger's tests (the coefficient table), lmerTest's ranova and
drop1's likelihood-ratio tests (refits), the profile-likelihood intervals of every
parameter, the whole profile (zeta traces of every parameter out to the 99% point) and
prediction intervals for every row.

    python benchmarks/inference.py [--models sleepstudy,10k,100k] [--output benchmarks/inference.md]

Models: lme4's sleepstudy fit, Reaction ~ Days + (Days | Subject) by REML, and
simulated fits y ~ x + w + (x | g) with 10,000 and 100,000 groups of 5 to 15 rows
(unbalanced, with a continuous x in every row, so no two groups share Z_i'Z_i and every
evaluation visits every group). "The fit" is the optimisation from lme4's start
(``LmmCore.fit``, without building the model matrices, the smallest denominator); the
whole ``lmm`` call is shown beside it. Each time is the best of a few runs.
"""

from __future__ import annotations

import argparse
import json
import platform
import time
import warnings
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
from timing import best

import quorvelkit as qk

HERE = Path(__file__).resolve().parent


def simulated(m: int, seed: int = 17) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    sizes = rng.integers(5, 16, size=m)
    g = np.repeat(np.arange(m), sizes)
    n = g.size
    x = rng.uniform(0, 10, size=n)
    w = rng.normal(size=n)
    lam = np.array([[1.0, 0.0], [0.1, 0.3]])
    b = rng.standard_normal((m, 2)) @ lam.T * 2.0
    y = 5.0 + 0.8 * x - 0.5 * w + b[g, 0] + b[g, 1] * x + 2.0 * rng.standard_normal(n)
    return pd.DataFrame({"y": y, "x": x, "w": w, "g": g})


MODELS = {
    "sleepstudy": ("Reaction ~ Days + (Days | Subject)", lambda: qk.load_sleepstudy()),
    "10k": ("y ~ x + w + (x | g)", lambda: simulated(10_000)),
    "100k": ("y ~ x + w + (x | g)", lambda: simulated(100_000)),
}


def measure(name: str, repeat: int) -> dict[str, Any]:
    formula, make = MODELS[name]
    data = make()
    t_lmm, fit = best(lambda: qk.lmm(formula, data), repeat)
    core = fit.core
    start = list(core.default_theta())
    t_fit, res = best(lambda: core.fit(start), repeat)
    fev = int(res["fev"])
    n_theta = core.n_theta

    def fresh() -> qk.LmmFit:
        return qk.lmm(formula, data, theta=fit.theta)

    rows: list[dict[str, Any]] = []

    def add(what: str, seconds: float, evaluations: int | None) -> None:
        rows.append(
            dict(
                what=what,
                seconds=seconds,
                evaluations=evaluations,
                eval_multiple=None if evaluations is None else evaluations / fev,
                time_multiple=seconds / t_fit,
            )
        )

    fits = [fresh() for _ in range(repeat)]
    t_sat = min(_timed(lambda f=f: f.coef_table) for f in fits)
    add("Satterthwaite t tests (coef_table)", t_sat, 1 + 2 * n_theta)
    fits = [fresh() for _ in range(repeat)]
    t_kr = min(_timed(lambda f=f: f.coef_tests(ddf="kenward-roger")) for f in fits)
    add("Kenward-Roger t tests (coef_tests)", t_kr, fits[0].kenward_roger().evaluations)
    # One refit per reduced model (lmerTest's rows less "<none>"; drop1's ML refit of a
    # REML fit and one per droppable term).
    t_ranova, table = best(fit.ranova, repeat)
    add(f"ranova ({len(table) - 1} refits)", t_ranova, None)
    t_drop, table = best(lambda: fit.drop1(test="Chisq"), repeat)
    add(f"drop1, likelihood ratios ({len(table) - 1 + int(fit.reml)} refits)", t_drop, None)
    t_ci, ci = best(lambda: fit.confint(method="profile", progress=False), repeat)
    add("profile intervals, all parameters", t_ci, int(ci.attrs["evaluations"]))
    t_prof, prof = best(lambda: fit.profile(progress=False), repeat)
    add("whole profile (traces to |zeta| = 2.576)", t_prof, int(prof.evaluations))
    t_pred, _ = best(lambda: fit.predict(interval="prediction"), repeat)
    add(f"prediction intervals, all {fit.nobs:,} rows", t_pred, None)
    return dict(
        model=name,
        formula=formula,
        n=fit.nobs,
        m=sum(fit.ngroups.values()),
        p=len(fit.fe_names),
        q=len(fit.re_names),
        n_params=len(ci),
        fit_seconds=t_fit,
        fit_evaluations=fev,
        lmm_seconds=t_lmm,
        rows=rows,
    )


def _timed(fn: Any) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def render(results: list[dict[str, Any]]) -> str:
    def ms(s: float) -> str:
        return f"{s * 1e3:.3g} ms" if s < 1 else f"{s:.3g} s"

    lines = [
        "# Cost of inference",
        "",
        f"`python benchmarks/inference.py` on {platform.machine()}, Python {platform.python_version()}, "
        f"quorvelkit {qk.__version__}. Multiples are of the fit: its criterion evaluations, and its time "
        "(the optimisation from lme4's start, `LmmCore.fit`).",
        "",
    ]
    for r in results:
        lines += [
            f"## {r['model']}: `{r['formula']}`",
            "",
            f"n = {r['n']:,}, groups = {r['m']:,}, p = {r['p']}, q = {r['q']}, {r['n_params']} parameters. "
            f"Fit: {r['fit_evaluations']} evaluations, {ms(r['fit_seconds'])} "
            f"(the whole `lmm` call: {ms(r['lmm_seconds'])}).",
            "",
            "| what | evaluations | × fit's | time | × fit's |",
            "|---|---:|---:|---:|---:|",
        ]
        for row in r["rows"]:
            ev = "—" if row["evaluations"] is None else f"{row['evaluations']:,}"
            evm = "—" if row["eval_multiple"] is None else f"{row['eval_multiple']:.1f}"
            lines.append(f"| {row['what']} | {ev} | {evm} | {ms(row['seconds'])} | {row['time_multiple']:.1f} |")
        lines.append("")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--models", default="sleepstudy,10k,100k")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--output", type=Path, default=HERE / "inference.md")
    args = parser.parse_args()
    warnings.simplefilter("ignore", qk.SingularFitWarning)
    results = [measure(name, args.repeat) for name in args.models.split(",")]
    text = render(results)
    args.output.write_text(text + "\n")
    args.output.with_suffix(".json").write_text(json.dumps(results, indent=2) + "\n")
    print(text)


if __name__ == "__main__":
    main()
