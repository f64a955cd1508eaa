"""The crossed core alone: construction, one evaluation of the criterion, one of the
criterion with its gradient, and a REML fit from the identity start, with the peak
resident memory of the process, on two designs:

- InstEval's shape, y ~ service + (1 | s) + (1 | d) + (1 | dept:service): 73421 rows,
  factors of 2972, 1128 and 28 levels. With ``--insteval CSV`` (columns y, s, d, ds,
  service: 0-based codes and the service indicator, as written by
  ``Rscript -e 'library(lme4); d <- InstEval; write.csv(data.frame(y = d$y,
  s = as.integer(d$s) - 1L, d = as.integer(d$d) - 1L,
  ds = as.integer(interaction(d$dept, d$service, drop = TRUE)) - 1L,
  service = as.integer(d$service == "1")), "insteval.csv", row.names = FALSE)'``) the
  real data, else codes simulated with that shape;
- a ratings design of 1,000,000 rows, 6000 users x 3700 items with Zipf-like item
  popularity, y ~ x + (1 | user) + (1 | item).

    python benchmarks/crossed_core.py [--insteval CSV] [--skip-large] [--repeats K] [--out MD]

Run it with RAYON_NUM_THREADS set as for the other benchmarks; timings are the best of K.
With ``--out`` the lines are also written to a Markdown report with the date, the machine
and the command (benchmarks/crossed_core.md is one).
"""

from __future__ import annotations

import argparse
import os
import resource
import sys
import time
from pathlib import Path

import numpy as np
from timing import best


def insteval(path: str | None) -> tuple:
    if path:
        import pandas as pd

        d = pd.read_csv(path)
        y = d["y"].to_numpy(float)
        service = d["service"].to_numpy(float)
        codes = [d[c].to_numpy(np.int64) for c in ("s", "d", "ds")]
    else:
        rng = np.random.default_rng(7)
        n = 73421
        codes = [rng.integers(0, 2972, n), rng.integers(0, 1128, n), rng.integers(0, 28, n)]
        service = (codes[2] % 2).astype(float)
        y = 3.2 + 0.3 * rng.normal(size=2972)[codes[0]] + 0.5 * rng.normal(size=1128)[codes[1]] + rng.normal(size=n)
    n = len(y)
    x = np.column_stack([np.ones(n), service])
    one = np.ones((n, 1))
    factors = [(c.astype(np.int64), int(c.max()) + 1, one, [1]) for c in codes]
    return y, x, factors


def ratings() -> tuple:
    rng = np.random.default_rng(11)
    n, users, items = 1_000_000, 6000, 3700
    popularity = 1.0 / np.arange(1, items + 1) ** 0.8
    item = rng.choice(items, size=n, p=popularity / popularity.sum()).astype(np.int64)
    user = rng.integers(0, users, n).astype(np.int64)
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    y = x @ [3.0, 0.4] + 0.5 * rng.normal(size=users)[user] + 0.3 * rng.normal(size=items)[item] + rng.normal(size=n)
    one = np.ones((n, 1))
    # Factors in lme4's order: most levels first.
    return y, x, [(user, users, one, [1]), (item, int(item.max()) + 1, one, [1])]


def run(name: str, y, x, factors, repeats: int) -> str:
    from quorvelkit._quorvelkit import CrossedCore

    t = time.perf_counter()
    core = CrossedCore(y, x, factors)
    build = time.perf_counter() - t
    theta = [0.5] * core.n_theta
    dev = best(lambda: core.deviance(theta), repeats)[0]
    grad = best(lambda: core.deviance_grad(theta), repeats)[0]
    t = time.perf_counter()
    start, h0 = core.start_theta(True, True)
    fit = core.fit(start, cond_var=False, h0=h0)
    fit_time = time.perf_counter() - t
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    line = (
        f"{name}: n={core.n} levels={core.m} blocks={core.block_kinds} build {build:.3f} s, "
        f"deviance {dev * 1e3:.1f} ms, deviance+gradient {grad * 1e3:.1f} ms, "
        f"fit {fit_time:.2f} s ({fit['fev']} evaluations, {fit['message']}), "
        f"theta {np.round(fit['theta'], 6).tolist()}, peak RSS {peak:.0f} MB"
    )
    print(line, flush=True)
    return line


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--insteval", help="InstEval as CSV (see above)")
    ap.add_argument("--skip-large", action="store_true", help="leave out the 1,000,000-row design")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--out", help="also write the lines to this Markdown file")
    args = ap.parse_args()
    lines = [run("InstEval" if args.insteval else "InstEval-shaped", *insteval(args.insteval), args.repeats)]
    if not args.skip_large:
        # peak RSS is the process's: the ratings line's includes InstEval's, which is smaller
        lines.append(run("ratings 1M", *ratings(), args.repeats))
    if args.out:
        sys.path.insert(0, str(Path(__file__).resolve().parent))
        import environment

        text = [
            "# The crossed core alone",
            "",
            f"{environment.now()}; {environment.machine_line()}; "
            f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}.",
            f"Command: `python benchmarks/crossed_core.py {' '.join(sys.argv[1:])}`.",
            "",
            "Construction, one criterion, one criterion with its gradient (best of the repeats), and the",
            "REML fit from `start_theta()` and its inverse-Hessian model (conditional variances left out,",
            "as `lmm` leaves them), with the process's peak resident memory.",
            "",
            *[f"- {ln}" for ln in lines],
            "",
        ]
        Path(args.out).write_text("\n".join(text))


if __name__ == "__main__":
    main()
