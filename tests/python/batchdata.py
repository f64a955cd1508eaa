"""Data and comparisons shared by the tests of the batched routes (Parquet, iterators,
Polars, Dask, Spark): sleepstudy; a simulated design with 100,000 groups whose rows are
shuffled, so every partition holds rows of most groups; the crossed and nested R data
sets of tests/data/crossed (labels read as text, as a source holds them); and a
simulated users x items design of skewed popularity."""

from __future__ import annotations

import importlib
import os
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

import quorvelkit as qk

SLEEP = "Reaction ~ Days + (Days | Subject)"
SIM = "y ~ x1 + x2 + site + (x1 | g)"
USERS_ITEMS = "y ~ x + (1 | user) + (1 | item)"
CROSSED = Path(__file__).resolve().parent.parent / "data" / "crossed"
sleepstudy = qk.load_sleepstudy

#: name: (data set, formula, weights column, columns read as text, the last a grouping column).
CASES = {
    "penicillin": ("penicillin", "diameter ~ 1 + (1 | plate) + (1 | sample)", None, ["plate", "sample"]),
    "pastes": ("pastes", "strength ~ 1 + (1 | batch/cask)", None, ["batch", "cask"]),
    "machines": ("machines", "score ~ Machine + (1 | Worker) + (1 | Worker:Machine)", None, ["Machine", "Worker"]),
    "nested3": ("nested3", "y ~ x + (1 | a/b/c)", None, ["a", "b", "c"]),
    "vector2": ("vector2", "y ~ x + (x | s) + (x | i)", None, ["s", "i"]),
    "weighted": ("crossed_unbalanced", "y ~ x + offset(o) + (1 | s) + (1 | i)", "w", ["s", "i"]),
}


def require(name: str):
    """The optional module ``name``: skipped where it is not installed, except in CI,
    which installs every extra, so that there a missing one fails instead."""
    import pytest  # not at the top: the hardening tests' child scripts import this module

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


def dataset(name: str) -> pd.DataFrame:
    """A crossed or nested data set of :data:`CASES`, its label columns as text."""
    return pd.read_csv(CROSSED / f"{CASES[name][0]}.csv", dtype={c: str for c in CASES[name][3]})


def users_items(n: int = 300_000, users: int = 20_000, items: int = 2_000, seed: int = 5) -> pd.DataFrame:
    """Ratings of users x items: items drawn with Zipf-like popularity, users about
    uniformly, so that most (user, item) pairs occur once; a response far from zero."""
    rng = np.random.default_rng(seed)
    popularity = 1.0 / np.arange(1, items + 1) ** 0.9
    item = rng.choice(items, size=n, p=popularity / popularity.sum())
    user = rng.integers(0, users, n)
    x = rng.normal(size=n)
    u, v = 0.7 * rng.normal(size=users), 0.4 * rng.normal(size=items)
    y = 500.0 + 0.3 * x + u[user] + v[item] + rng.normal(size=n)
    return pd.DataFrame({"y": y, "x": x, "user": user.astype(np.int64), "item": np.char.add("i", item.astype(str))})


def case(name: str, rows: int | None = None) -> tuple[pd.DataFrame, str, str | None]:
    """(frame, formula, weights column) of a named case: "sleepstudy", "simulated"
    (``rows``: its groups), "users_items" (``rows``: its ratings) or one of :data:`CASES`."""
    if name == "sleepstudy":
        return sleepstudy(), SLEEP, None
    if name == "simulated":
        return simulated(rows or 100_000), SIM, None
    if name == "users_items":
        return users_items(rows or 300_000), USERS_ITEMS, None
    return dataset(name), CASES[name][1], CASES[name][2]


def in_memory(formula: str, frame: pd.DataFrame, weights: str | None = None, **kw) -> qk.LmmFit:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qk.SingularFitWarning)
        return qk.lmm(formula, frame, weights=weights, **kw)


def rel(a, b, floor=0.0) -> float:
    a, b = np.asarray(a, float), np.asarray(b, float)
    scale = np.maximum(np.abs(a), floor)
    return float(np.max(np.abs(a - b) / np.maximum(scale, 1e-300))) if a.size else 0.0


def assert_agree(a, b) -> None:
    """A fit from batches ``b`` against the fit ``a`` of the same rows: criterion, sigma
    and theta to 1e-12, fixed effects to 1e-11 (a batched read sums in other chunks, and
    a coefficient's rounding error grows with the conditioning of X'V^-1 X: about
    1.5e-12 of a standard error on the simulated design), conditional modes to 1e-9 of
    their largest; crossed and nested models, whose modes solve one sparse system, to
    1e-10 and modes to 1e-8. The same factors, levels and counts. Theta is relative to
    its largest entry, a fixed effect to itself or its standard error, whichever is
    larger: an entry near zero has no relative precision of its own."""
    tol, beta_tol, ranef_tol = (1e-10, 1e-10, 1e-8) if len(a.ranef) > 1 else (1e-12, 1e-11, 1e-9)
    worst = {
        "criterion": rel(a.criterion, b.criterion),
        "sigma": rel(a.sigma, b.sigma),
        "theta": rel(a.theta, b.theta, float(np.max(np.abs(a.theta)))),
        "beta": rel(a.fixef, b.fixef.reindex(a.fixef.index), a.se.to_numpy(float)),
    }
    assert all(v <= (beta_tol if k == "beta" else tol) for k, v in worst.items()), worst
    assert list(a.fixef.index) == list(b.fixef.index) and not b.rows_kept
    assert a.nobs == b.nobs and a.ngroups == b.ngroups and a.n_dropped == b.n_dropped
    assert {k: list(v) for k, v in a.levels.items()} == {k: list(v) for k, v in b.levels.items()}
    # The random effects by label: groups met in another order must be matched.
    for name, modes in a.ranef.items():
        other = b.ranef[name].reindex(modes.index)
        scale = max(float(np.max(np.abs(modes.to_numpy()))), 1e-300)
        assert float(np.max(np.abs(modes.to_numpy() - other.to_numpy()))) <= ranef_tol * scale, name


def bits(fit) -> list[str]:
    values = [fit.criterion, fit.sigma, *np.asarray(fit.theta, float), *fit.fixef.to_numpy(float)]
    return [float(v).hex() for v in values]


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


def on(cluster, fn):
    """fn() run with a client of the Dask ``cluster`` (all its workers up), singular
    fits not warned of."""
    import distributed

    with distributed.Client(cluster) as client:
        assert len(client.scheduler_info()["workers"]) == len(cluster.workers)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", qk.SingularFitWarning)
            return fn()
