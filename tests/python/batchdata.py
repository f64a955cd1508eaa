"""Data and comparisons shared by the tests of the batched routes (Parquet, iterators,
Dask, Spark): sleepstudy and a simulated design with 100,000 groups whose rows are
shuffled, so every partition holds rows of most groups."""

from __future__ import annotations

import importlib
import os

import numpy as np
import pandas as pd
import pytest

import quorvelkit as qk

SLEEP = "Reaction ~ Days + (Days | Subject)"
SIM = "y ~ x1 + x2 + site + (x1 | g)"
sleepstudy = qk.load_sleepstudy


def require(name: str):
    """The optional module ``name``: skipped where it is not installed, except in CI,
    which installs every extra, so that there a missing one fails instead."""
    return importlib.import_module(name) if os.environ.get("CI") else pytest.importorskip(name)


def simulated(m: int = 100_000, seed: int = 1) -> pd.DataFrame:
    """Groups of 2 to 4 rows (about 3m rows), a random intercept and slope, a text
    factor, a response far from zero; rows shuffled."""
    rng = np.random.default_rng(seed)
    sizes = rng.integers(2, 5, m)
    g = np.repeat(np.arange(m), sizes)
    n = len(g)
    x1, x2 = rng.normal(size=n), rng.normal(size=n)
    site = rng.choice(np.array(["north", "south", "west"]), size=n)
    b0, b1 = 0.8 * rng.normal(size=m), 0.3 * rng.normal(size=m)
    y = 1000 + 2 * x1 - x2 + 0.5 * (site == "south") + b0[g] + b1[g] * x1 + rng.normal(size=n)
    df = pd.DataFrame({"y": y, "x1": x1, "x2": x2, "site": site, "g": g})
    return df.iloc[rng.permutation(n)].reset_index(drop=True)


def estimates(fit) -> dict[str, np.ndarray]:
    theta, beta = np.asarray(fit.theta, float), fit.fixef.to_numpy(float)
    return {"criterion": np.array([fit.criterion]), "theta": theta, "beta": beta, "sigma": np.array([fit.sigma])}


def assert_agree(a, b, tol: float = 1e-12, beta_tol: float = 1e-11) -> None:
    """Criterion, theta and sigma to ``tol``, fixed effects to ``beta_tol``: a batched
    read sums in other chunks, and a coefficient's rounding error grows with the
    conditioning of X'V^-1 X (about 1.5e-12 of a standard error on the simulated design).
    Theta is relative to its largest entry, a fixed effect to itself or its standard
    error, whichever is larger: an entry near zero has no relative precision of its own."""
    ea, eb, worst = estimates(a), estimates(b), {}
    for k in ea:
        floor = {"theta": np.max(np.abs(ea[k])), "beta": a.se.to_numpy(float)}.get(k, 0.0)
        scale = np.maximum(np.abs(ea[k]), floor)
        worst[k] = float(np.max(np.abs(ea[k] - eb[k]) / np.maximum(scale, 1e-300)))
    assert all(v <= (beta_tol if k == "beta" else tol) for k, v in worst.items()), worst
    assert list(a.fixef.index) == list(b.fixef.index)
    # The random effects by group label: groups met in another order must be matched.
    ((g, ra),) = a.ranef.items()
    rb = b.ranef[g].reindex(ra.index)
    scale = float(np.max(np.abs(ra.to_numpy())))
    assert float(np.max(np.abs(ra.to_numpy() - rb.to_numpy()))) <= 1e-9 * scale
    assert a.nobs == b.nobs and a.ngroups == b.ngroups and a.n_dropped == b.n_dropped
    assert list(a.levels[g]) == list(b.levels[g])


def bits(fit) -> list[str]:
    return [float(v).hex() for e in estimates(fit).values() for v in e]


def as_text(frame, typo=None):
    """``frame`` with its group labels as text, the first one replaced by ``typo``."""
    g = frame["g"].map(str)
    if typo is not None:
        g.iloc[0] = typo
    return frame.assign(g=g)


def six_batches(seed=5):
    """300 integer groups of 10 rows, shuffled over six batches (each group in most)."""
    rng = np.random.default_rng(seed)
    g = rng.permutation(np.repeat(np.arange(300), 10))
    x, h = rng.normal(size=len(g)), rng.integers(0, 40, len(g))
    y = 1 + 2 * x + rng.normal(size=300)[g] + 0.5 * rng.normal(size=40)[h] + rng.normal(size=len(g))
    df = pd.DataFrame({"y": y, "x": x, "g": g, "h": h})
    return [df.iloc[k * 500 : (k + 1) * 500] for k in range(6)]
