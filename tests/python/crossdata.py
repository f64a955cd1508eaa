"""Crossed and nested data sets and comparisons shared by the tests of the crossed
batched routes: the R data sets of tests/data/crossed (labels read as text, as a
source holds them) and a simulated users x items design of skewed popularity."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd

import quorvelkit as qk

DATA = Path(__file__).resolve().parent.parent / "data" / "crossed"

#: name: (data set, formula, weights column, columns read as text, the last a grouping column).
CASES = {
    "penicillin": ("penicillin", "diameter ~ 1 + (1 | plate) + (1 | sample)", None, ["plate", "sample"]),
    "pastes": ("pastes", "strength ~ 1 + (1 | batch/cask)", None, ["batch", "cask"]),
    "machines": ("machines", "score ~ Machine + (1 | Worker) + (1 | Worker:Machine)", None, ["Machine", "Worker"]),
    "nested3": ("nested3", "y ~ x + (1 | a/b/c)", None, ["a", "b", "c"]),
    "vector2": ("vector2", "y ~ x + (x | s) + (x | i)", None, ["s", "i"]),
    "weighted": ("crossed_unbalanced", "y ~ x + offset(o) + (1 | s) + (1 | i)", "w", ["s", "i"]),
}
USERS_ITEMS = "y ~ x + (1 | user) + (1 | item)"


def dataset(name: str) -> pd.DataFrame:
    _, _, _, text = CASES[name]
    return pd.read_csv(DATA / f"{CASES[name][0]}.csv", dtype={c: str for c in text})


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


def rel(a, b, floor: float = 0.0) -> float:
    a, b = np.asarray(a, float), np.asarray(b, float)
    scale = np.maximum(np.abs(a), floor)
    return float(np.max(np.abs(a - b) / np.maximum(scale, 1e-300))) if a.size else 0.0


def assert_same_fit(ref, fit, tol: float = 1e-10) -> None:
    """A fit from batches against the in-memory fit of the same rows: criterion, sigma,
    theta (relative to its largest entry) and the fixed effects (relative to themselves
    or their standard errors) to ``tol``; the same factors, levels and counts, and the
    conditional modes level by level."""
    worst = {
        "criterion": rel(ref.criterion, fit.criterion),
        "sigma": rel(ref.sigma, fit.sigma),
        "theta": rel(ref.theta, fit.theta, float(np.max(np.abs(ref.theta)))),
        "beta": rel(ref.fixef, fit.fixef.reindex(ref.fixef.index), ref.se.to_numpy(float)),
    }
    assert max(worst.values()) <= tol, worst
    assert list(ref.fixef.index) == list(fit.fixef.index)
    assert not fit.rows_kept and ref.nobs == fit.nobs and ref.n_dropped == fit.n_dropped
    assert ref.ngroups == fit.ngroups
    assert {k: list(v) for k, v in ref.levels.items()} == {k: list(v) for k, v in fit.levels.items()}
    for name, modes in ref.ranef.items():
        other = fit.ranef[name]
        scale = max(float(np.max(np.abs(modes.to_numpy()))), 1e-300)
        assert float(np.max(np.abs(modes.to_numpy() - other.to_numpy()))) <= 1e-8 * scale, name


def in_memory(formula: str, frame: pd.DataFrame, weights: str | None = None, **kw) -> qk.LmmFit:
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qk.SingularFitWarning)
        return qk.lmm(formula, frame, weights=weights, **kw)


def bits(fit) -> list[str]:
    values = [fit.criterion, fit.sigma, *np.asarray(fit.theta, float), *fit.fixef.to_numpy(float)]
    return [float(v).hex() for v in values]
