"""Residual structures as a user fits them, against nlme and glmmTMB on the same data.

    python benchmarks/structures.py            # writes benchmarks/structures.md and .json
    Rscript benchmarks/peers_structures.R      # the peers' times (benchmarks/peers_structures.json)

Cases: the simulated trial of 1,000 subjects x 10 visits with dropout (8,637 rows) with
an unstructured covariance, ``y ~ arm * factor(visit) + base + us(visit | id)`` (nlme's
``gls`` with ``corSymm`` + ``varIdent``, glmmTMB's ``us()``); a random intercept with an
AR(1) residual over 3,591 rows, ``y ~ x + (1 | id) + ar1(visit | id)`` (nlme's ``lme``
with ``corAR1``); and the same model on 1,000,000 rows of 100,000 subjects (simulated
here, 10 visits each, 10% of visits missing; no peer); crossed random effects of site
and rater beside an AR(1) residual within a patient, ``y ~ x + visit + (1 | site) +
(1 | rater) + ar1(visit | patient)``, on crossed_ar1 (360 rows; nlme's lme with
pdBlocked over one group of every row) and on 60,000 rows (10,000 patients of 6 visits,
30 sites, 200 raters, simulated here; no peer). Ours is the whole
``quorvelkit.lmm(formula, df)`` call, best of ``--repeats`` after one warm-up; the
peers' times are those of ``peers_structures.R`` run on this machine.
"""

from __future__ import annotations

import argparse
import json
import platform
import time
from pathlib import Path

import numpy as np
import pandas as pd

import quorvelkit as qk

HERE = Path(__file__).resolve().parent
DATA = HERE.parent / "tests" / "data" / "structures"

CASES = {
    "trial1000_us": ("trial1000.csv", "y ~ arm * factor(visit) + base + us(visit | id)", 5),
    "ar1_4000_lme": ("ar1_4000.csv", "y ~ x + (1 | id) + ar1(visit | id)", 10),
    "ar1_1m": (None, "y ~ x + (1 | id) + ar1(visit | id)", 2),
    "crossed_ar1": ("crossed_ar1.csv", "y ~ x + visit + (1 | site) + (1 | rater) + ar1(visit | patient)", 10),
    "crossed_60k": (None, "y ~ x + visit + (1 | site) + (1 | rater) + ar1(visit | patient)", 3),
}


def ar1_errors(rng: np.random.Generator, subjects: int, visits: int, rho: float) -> np.ndarray:
    """Each subject's stationary AR(1) series of unit variance over its visits, in turn."""
    e = np.empty(subjects * visits)
    e[::visits] = rng.normal(size=subjects)
    for t in range(1, visits):
        e[t::visits] = rho * e[t - 1 :: visits] + np.sqrt(1 - rho**2) * rng.normal(size=subjects)
    return e


def simulated(subjects: int = 100_000, visits: int = 10, rho: float = 0.6, seed: int = 5) -> pd.DataFrame:
    """A random intercept and an AR(1) residual per subject, 10% of visits missing."""
    rng = np.random.default_rng(seed)
    ids = np.repeat(np.arange(subjects), visits)
    e = ar1_errors(rng, subjects, visits, rho)
    x = rng.normal(size=subjects * visits)
    y = 1 + 0.5 * x + rng.normal(size=subjects)[ids] + e
    df = pd.DataFrame({"id": ids, "visit": np.tile(np.arange(1, visits + 1), subjects), "x": x, "y": y})
    return df[rng.random(len(df)) > 0.1].reset_index(drop=True)


def crossed(patients: int = 10_000, visits: int = 6, rho: float = 0.6, seed: int = 6) -> pd.DataFrame:
    """Patients at 30 sites, each visit scored by one of 200 raters at random; random
    intercepts of site and rater and an AR(1) residual within a patient."""
    rng = np.random.default_rng(seed)
    ids = np.repeat(np.arange(patients), visits)
    e = ar1_errors(rng, patients, visits, rho)
    site, rater = (ids % 30), rng.integers(0, 200, patients * visits)
    x = rng.normal(size=patients * visits)
    y = 1 + 0.5 * x + rng.normal(size=30)[site] + 0.7 * rng.normal(size=200)[rater] + e
    visit = np.tile(np.arange(1, visits + 1), patients)
    return pd.DataFrame({"patient": ids, "visit": visit, "site": site.astype(str), "rater": rater.astype(str),
                         "x": x, "y": y})  # fmt: skip


def time_ours(name: str, repeats: int) -> dict:
    data, formula, default = CASES[name]
    if data is None:
        df = crossed() if name.startswith("crossed") else simulated()
    else:
        df = pd.read_csv(DATA / data, dtype={"id": str, "patient": str, "site": str, "rater": str})
    fit = qk.lmm(formula, df)
    times = []
    for _ in range(repeats or default):
        t0 = time.perf_counter()
        fit = qk.lmm(formula, df)
        times.append(time.perf_counter() - t0)
    return {
        "rows": len(df),
        "seconds": min(times),
        "loglik": fit.loglik,
        "evaluations": fit.optimizer["fev"],
        "core_seconds": fit.optimizer["seconds"],
    }


#: peers_structures.json's entries: (our case, the peer).
PEER_ENTRIES = {
    "trial1000_us_gls": ("trial1000_us", "nlme"),
    "trial1000_us_glmmtmb": ("trial1000_us", "glmmTMB"),
    "ar1_4000_lme": ("ar1_4000_lme", "nlme"),
    "crossed_ar1_lme": ("crossed_ar1", "nlme"),
}


def peer_times(entries: dict) -> dict:
    """Each case's peers' seconds, from peers_structures.json."""
    out: dict = {}
    for key, (case, peer) in PEER_ENTRIES.items():
        if key in entries:
            out.setdefault(case, {})[peer] = entries[key]["seconds"]
    return out


def render(results: dict) -> str:
    peers = results.get("peers", {})
    lines = [
        "# Residual structures against nlme and glmmTMB",
        "",
        f"Machine: {results['machine']}. Ours: the whole `qk.lmm` call, best of its repeats.",
        "",
        "| case | rows | ours | evaluations | logLik | nlme | ratio | glmmTMB | ratio |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for name, r in results["ours"].items():
        cells = [name, f"{r['rows']:,}", f"{r['seconds']:.3f} s", str(r["evaluations"]), f"{r['loglik']:.4f}"]
        for peer in ("nlme", "glmmTMB"):
            t = peers.get(name, {}).get(peer)
            cells += [f"{t:.2f} s", f"{t / r['seconds']:.0f}x"] if t else ["", ""]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cases", default=",".join(CASES))
    parser.add_argument("--repeats", type=int, default=0)
    args = parser.parse_args()
    out = HERE / "structures.json"
    # Cases named on the command line replace their entries in the existing results.
    ours = json.loads(out.read_text())["ours"] if out.exists() and args.cases != ",".join(CASES) else {}
    ours.update({name: time_ours(name, args.repeats) for name in args.cases.split(",")})
    results = {
        "machine": f"{platform.machine()}, {platform.python_version()}",
        "ours": {name: ours[name] for name in CASES if name in ours},
    }
    peers_file = HERE / "peers_structures.json"
    if peers_file.exists():
        results["peers"] = peer_times(json.loads(peers_file.read_text()))
    out.write_text(json.dumps(results, indent=1) + "\n")
    (HERE / "structures.md").write_text(render(results))
    print(render(results))


if __name__ == "__main__":
    main()
