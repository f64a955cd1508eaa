"""Seeded data for the benchmark scenarios, written once to disk and shared by every contender.

Every scenario is one linear mixed model with a single grouping factor,

    y = X beta + Z_i b_i + e,   b_i ~ N(0, Sigma),   e ~ N(0, sigma^2 I),

handed to each contender as the same four arrays: ``y`` (n,), ``x`` (n, p) and
``z`` (n, q), both C-contiguous float64, and int64 group ``codes`` in 0..m-1.
The fixed and random designs are given column by column, so lme4 and
statsmodels see exactly the model matrices we do (no formula expansion, no
implicit intercept).

Data are cached under a directory keyed by scenario, size and generator
version; ``meta.json`` is written last, so a directory without it is an
interrupted write and is regenerated.
"""

from __future__ import annotations

import dataclasses
import json
import os
import shutil
from pathlib import Path

import numpy as np

# Bump when any generator changes, so stale caches are never reused.
GENERATOR_VERSION = 1

REPO = Path(__file__).resolve().parent.parent
SLEEPSTUDY_CSV = REPO / "python" / "quorvelkit" / "data" / "sleepstudy_data.csv"
DEFAULT_CACHE = Path(os.environ.get("QK_BENCH_DATA", "/tmp/quorvelkit-bench-data"))


@dataclasses.dataclass(frozen=True)
class Scenario:
    key: int
    title: str
    n: int
    m: int
    p: int
    q: int
    layout: str  # how rows are ordered and groups sized, for the report
    seed: int

    @property
    def tag(self) -> str:
        return f"s{self.key}-n{self.n}-m{self.m}-v{GENERATOR_VERSION}"


def _full() -> dict[int, Scenario]:
    return {
        1: Scenario(1, "sleepstudy (real data)", 180, 18, 2, 2, "real, sorted by subject", 0),
        2: Scenario(2, "course evaluations", 73_421, 1_128, 10, 1, "unbalanced, shuffled rows", 2),
        3: Scenario(3, "2M rows, 100k groups", 2_000_000, 100_000, 6, 2, "unbalanced, shuffled rows", 3),
        4: Scenario(4, "10M rows, 100k groups", 10_000_000, 100_000, 6, 2, "uniform codes, shuffled rows", 4),
        5: Scenario(5, "balanced, 1M groups of 10", 10_000_000, 1_000_000, 3, 1, "balanced, sorted by group", 5),
        6: Scenario(6, "q = 4 random slopes", 1_000_000, 20_000, 5, 4, "unbalanced, shuffled rows", 6),
    }


def _quick() -> dict[int, Scenario]:
    # Same generators and shapes of model, sizes cut so the whole quick run takes
    # a few minutes; scenarios 1 and 2 are small already and keep their size.
    full = _full()
    cut = {3: (200_000, 10_000), 4: (1_000_000, 10_000), 5: (1_000_000, 100_000), 6: (100_000, 2_000)}
    out = dict(full)
    for k, (n, m) in cut.items():
        out[k] = dataclasses.replace(full[k], n=n, m=m, title=full[k].title + f" (quick: n={n:,}, m={m:,})")
    return out


def scenarios(quick: bool) -> dict[int, Scenario]:
    return _quick() if quick else _full()


def balanced_reference(groups: int = 1_000) -> Scenario:
    """Scenario 5's design with few groups: the yardstick for its per-evaluation cost."""
    return Scenario(
        50, f"balanced, {groups:,} groups of 10", 10 * groups, groups, 3, 1, "balanced, sorted by group", 50
    )


# --------------------------------------------------------------------------- generators


def _unbalanced_sizes(rng: np.random.Generator, n: int, m: int, spread: float) -> np.ndarray:
    """Group sizes summing to n, every group non-empty, skewed by log-normal weights.

    ``spread`` is the log-scale standard deviation of the weights: 0 gives
    multinomial (near-Poisson) sizes, 1 gives a long right tail like ratings per
    lecturer in a course evaluation.
    """
    w = rng.lognormal(0.0, spread, m) if spread > 0 else np.ones(m)
    return 1 + rng.multinomial(n - m, w / w.sum())


def _random_effects(rng: np.random.Generator, m: int, q: int) -> np.ndarray:
    # Standard deviations shrinking with the column index and a mild positive
    # correlation: a covariance well inside the parameter space, so every
    # contender's optimum is interior and the criteria are comparable.
    sd = 0.6 / (1.0 + np.arange(q))
    corr = np.full((q, q), 0.3) + 0.7 * np.eye(q)
    cov = corr * np.outer(sd, sd)
    return rng.standard_normal((m, q)) @ np.linalg.cholesky(cov).T


def _synthetic(s: Scenario) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(20_240_000 + s.seed)
    n, m, p, q = s.n, s.m, s.p, s.q
    if s.layout.startswith("balanced"):
        if n % m:
            raise ValueError("a balanced scenario needs n to be a multiple of m")
        per = n // m
        codes = np.repeat(np.arange(m, dtype=np.int64), per)
        time = np.tile(np.arange(per, dtype=np.float64), m)
    else:
        spread = 0.0 if s.layout.startswith("uniform") else 1.0
        codes = np.repeat(np.arange(m, dtype=np.int64), _unbalanced_sizes(rng, n, m, spread))
        rng.shuffle(codes)
        time = rng.uniform(0.0, 10.0, n)

    x = np.empty((n, p))
    x[:, 0] = 1.0
    if p > 1:
        x[:, 1] = time - time.mean()
    for j in range(2, p):
        if j % 3 == 2:
            x[:, j] = rng.random(n) < 0.4  # a binary covariate
        else:
            x[:, j] = rng.standard_normal(n)
    # Random effects on the intercept and the first q-1 covariates: the
    # classic random-slopes layout, Z a column subset of X.
    z = np.ascontiguousarray(x[:, :q])

    beta = np.linspace(1.0, -0.5, p)
    b = _random_effects(rng, m, q)
    y = x @ beta
    for j in range(q):
        y += z[:, j] * b[codes, j]
    y += rng.standard_normal(n)
    return {"y": y, "x": x, "z": z, "codes": codes}


def _sleepstudy() -> dict[str, np.ndarray]:
    import csv

    with open(SLEEPSTUDY_CSV, newline="") as fh:
        rows = list(csv.DictReader(fh))
    reaction = np.array([float(r["Reaction"]) for r in rows])
    days = np.array([float(r["Days"]) for r in rows])
    subjects = [r["Subject"] for r in rows]
    levels = {s: i for i, s in enumerate(dict.fromkeys(subjects))}
    codes = np.array([levels[s] for s in subjects], dtype=np.int64)
    x = np.column_stack([np.ones_like(days), days])
    return {"y": reaction, "x": x, "z": x.copy(), "codes": codes}


def generate(s: Scenario) -> dict[str, np.ndarray]:
    return _sleepstudy() if s.key == 1 else _synthetic(s)


# --------------------------------------------------------------------------- storage


def input_bytes(meta: dict) -> int:
    """Bytes of the four input arrays: float64 y, x, z and int64 codes."""
    n, p, q = meta["n"], meta["p"], meta["q"]
    return 8 * n * (1 + p + q + 1)


def cached(root: Path, tag: str, write) -> Path:
    """The data directory root/tag, filled by ``write(directory) -> meta`` on first use.

    meta.json is written last, after ``write`` returns, so a directory without
    it is an interrupted write: it is removed and written again.
    """
    d = root / tag
    if (d / "meta.json").exists():
        return d
    if d.exists():
        shutil.rmtree(d)
    d.mkdir(parents=True)
    meta = write(d)
    (d / "meta.json").write_text(json.dumps(meta, indent=1))
    return d


def ensure(s: Scenario, root: Path = DEFAULT_CACHE) -> Path:
    """The scenario's data directory, generated on first use."""

    def write(d: Path) -> dict:
        arrays = generate(s)
        for name, a in arrays.items():
            np.save(d / f"{name}.npy", a)
        meta = {
            "key": s.key,
            "title": s.title,
            "n": int(arrays["y"].shape[0]),
            "m": int(arrays["codes"].max()) + 1,
            "p": arrays["x"].shape[1],
            "q": arrays["z"].shape[1],
            "layout": s.layout,
            "seed": s.seed,
            "generator_version": GENERATOR_VERSION,
        }
        if (meta["n"], meta["m"], meta["p"], meta["q"]) != (s.n, s.m, s.p, s.q):
            raise AssertionError(f"generator produced {meta} for {s}")
        return meta

    return cached(root, s.tag, write)


def load(d: Path) -> tuple[dict, dict[str, np.ndarray]]:
    """Meta and arrays of a data directory, read straight into fresh arrays."""
    meta = json.loads((Path(d) / "meta.json").read_text())
    arrays = {k: np.load(Path(d) / f"{k}.npy") for k in ("y", "x", "z", "codes")}
    return meta, arrays


def ensure_r_files(d: Path) -> None:
    """Raw little-endian column-major copies for R's readBin: no parser in the way.

    y.f64, x.f64 (n*p, column-major), z.f64 (n*q, column-major) and g.i32
    (1-based group codes, as R factors count).
    """
    d = Path(d)
    if (d / "r.done").exists():
        return
    meta, a = load(d)
    a["y"].astype("<f8").tofile(d / "y.f64")
    np.asfortranarray(a["x"]).T.astype("<f8").tofile(d / "x.f64")
    np.asfortranarray(a["z"]).T.astype("<f8").tofile(d / "z.f64")
    (a["codes"] + 1).astype("<i4").tofile(d / "g.i32")
    (d / "r.done").write_text("ok\n")
