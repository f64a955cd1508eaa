"""The fill analysis behind the ratings benchmark's sparse-or-dense decision: the
symbolic Cholesky factor and the item graph, against a numeric factorisation and a
dense B'B."""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))
import ratings_fill


def numeric_pattern(adj: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """The below-diagonal column counts of the Cholesky factor of an SPD matrix with
    pattern ``adj`` and random values (no cancellation with probability one)."""
    n = adj.shape[0]
    w = np.triu(rng.uniform(0.1, 1.0, (n, n)), 1)
    a = np.where(adj, w + w.T, 0.0) + np.diag(np.full(n, 2.0 * n))
    low = np.linalg.cholesky(a)
    return (np.abs(np.tril(low, -1)) > 1e-300).sum(axis=0)


def random_pattern(n: int, density: float, rng: np.random.Generator) -> np.ndarray:
    up = np.triu(rng.random((n, n)) < density, 1)
    return up | up.T


ARROW = np.zeros((6, 6), dtype=bool)
ARROW[0, :] = ARROW[:, 0] = True  # a star centred first: eliminating it fills everything
PATH = np.eye(7, k=1, dtype=bool) | np.eye(7, k=-1, dtype=bool)  # a path fills nothing


@pytest.mark.parametrize(("adj", "expected"), [
    (ARROW, [5, 4, 3, 2, 1, 0]), (ARROW[::-1, ::-1], [1, 1, 1, 1, 1, 0]), (PATH, [1, 1, 1, 1, 1, 1, 0]),
    (np.zeros((4, 4), dtype=bool), [0, 0, 0, 0]),
])  # fmt: skip
def test_symbolic_counts_of_known_patterns(adj, expected):
    assert ratings_fill.symbolic_cholesky(adj.copy()).tolist() == expected


@pytest.mark.parametrize(("n", "density", "seed"), [(12, 0.15, 1), (30, 0.08, 2), (40, 0.3, 3), (25, 0.02, 4)])
def test_symbolic_counts_match_a_numeric_factor(n, density, seed):
    rng = np.random.default_rng(seed)
    adj = random_pattern(n, density, rng)
    assert ratings_fill.symbolic_cholesky(adj.copy()).tolist() == numeric_pattern(adj, rng).tolist()


def test_cholesky_flops_of_a_dense_order_is_the_dense_count():
    n = 9
    dense = ratings_fill.cholesky_flops(np.arange(n)[::-1])
    assert dense == sum(c * (c + 1) / 2 for c in range(n))
    full = np.ones((n, n), dtype=bool)
    assert ratings_fill.cholesky_flops(ratings_fill.symbolic_cholesky(full)) == dense


@pytest.mark.parametrize("chunk", [1, 3, 1000])
def test_item_graph_is_the_pattern_of_btb(chunk):
    rng = np.random.default_rng(9)
    users, items, n = 17, 11, 60
    user, item = rng.integers(0, users, n), rng.integers(0, items, n)
    b = np.zeros((users, items))
    np.add.at(b, (user, item), 1.0)
    expected = (b.T @ b) > 0
    np.fill_diagonal(expected, True)
    got = ratings_fill.item_graph(user, item, items, chunk=chunk)
    assert np.array_equal(got, expected)
