"""A crossed Bernoulli GLMM against the crossed LMM on the same design:
300,000 rows, two crossed factors of 3,000 and 800 levels, ``y ~ x + (1 | a) + (1 | b)``.

The binary response comes from a logit model with random intercepts on both factors
(sd 0.7 and 0.5, intercept -0.3, slope 0.6); the Gaussian response of the LMM from the
same linear predictor plus unit noise. Each row's levels are drawn uniformly, so that
most (a, b) pairs occur once, as in a ratings design.

    python benchmarks/crossed_glmm.py [--rows N] [--repeats K] [--no-lmm] [--out MD]

Timings are the whole ``quorvelkit.glmm`` / ``quorvelkit.lmm`` call on a prepared data
frame, best of K; the GLMM line adds the optimiser's evaluations of both stages.
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

import numpy as np
import pandas as pd
from timing import best

HERE = Path(__file__).resolve().parent
ROWS, A_LEVELS, B_LEVELS = 300_000, 3_000, 800


def frame(rows: int = ROWS, seed: int = 20261208) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    a = rng.integers(0, A_LEVELS, rows)
    b = rng.integers(0, B_LEVELS, rows)
    a[:A_LEVELS] = np.arange(A_LEVELS)  # every level has a row
    b[:B_LEVELS] = np.arange(B_LEVELS)
    x = rng.normal(size=rows)
    eta = -0.3 + 0.6 * x + 0.7 * rng.normal(size=A_LEVELS)[a] + 0.5 * rng.normal(size=B_LEVELS)[b]
    y = (rng.random(rows) < 1.0 / (1.0 + np.exp(-eta))).astype(float)
    return pd.DataFrame(
        {
            "y": y,
            "g": eta + rng.normal(size=rows),
            "x": x,
            "a": pd.Categorical([f"a{k:04d}" for k in a]),
            "b": pd.Categorical([f"b{k:03d}" for k in b]),
        }
    )


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=ROWS)
    ap.add_argument("--repeats", type=int, default=1)
    ap.add_argument("--no-lmm", action="store_true", help="leave out the LMM on the same design")
    ap.add_argument("--out", help="also write the lines to this Markdown file")
    args = ap.parse_args()
    import quorvelkit as qk

    d = frame(args.rows)
    lines = []
    t, fit = best(lambda: qk.glmm("y ~ x + (1 | a) + (1 | b)", d, family="binomial"), args.repeats)
    opt = fit.optimizer
    lines.append(
        f"glmm binomial, n={args.rows}, {A_LEVELS} x {B_LEVELS} levels: {t:.2f} s, "
        f"{opt['fev']} + {opt['fev_stage1']} evaluations (final + first stage), "
        f"-2 loglik {fit.m2loglik:.6f}, theta {np.round(fit.theta, 6).tolist()}"
    )
    print(lines[-1], flush=True)
    if not args.no_lmm:
        t, lfit = best(lambda: qk.lmm("g ~ x + (1 | a) + (1 | b)", d, reml=False), args.repeats)
        lines.append(
            f"lmm gaussian (ML), same design: {t:.2f} s, {lfit.optimizer['fev']} evaluations, "
            f"theta {np.round(lfit.theta, 5).tolist()}"
        )
        print(lines[-1], flush=True)
    if args.out:
        sys.path.insert(0, str(HERE))
        import environment

        text = [
            "# A crossed binomial GLMM against the crossed LMM",
            "",
            f"{environment.now()}; {environment.machine_line()}; "
            f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}.",
            f"Command: `python benchmarks/crossed_glmm.py {' '.join(sys.argv[1:])}`.",
            "",
            *[f"- {ln}" for ln in lines],
            "",
        ]
        Path(args.out).write_text("\n".join(text))


if __name__ == "__main__":
    main()
