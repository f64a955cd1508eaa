"""The fill of a ratings design's trailing block: after the users are eliminated, items i
and j are linked in the Schur complement when some user rated both (George & Liu,
"Computer Solution of Large Sparse Positive Definite Systems", 1981, ch. 5: eliminating
a vertex makes its neighbours a clique).

symbolic_cholesky gives the column counts of the Cholesky factor of a symmetric pattern
in a given order, through the elimination tree (Liu, "The role of elimination trees in
sparse factorization", SIAM J. Matrix Anal. Appl. 11, 1990): column j of L holds A's
entries below the diagonal in column j and the pattern of every child's column below j.
"""

from __future__ import annotations

import time
from collections.abc import Callable

import numpy as np


def symbolic_cholesky(adj: np.ndarray) -> np.ndarray:
    """Below-diagonal counts of each column of L, L L' = A with A's pattern ``adj``
    (n x n bool, symmetric) in its given order. ``adj`` is overwritten."""
    n = adj.shape[0]
    counts = np.zeros(n, dtype=np.int64)
    for j in range(n):
        below = adj[j, j + 1 :]
        c = int(np.count_nonzero(below))
        counts[j] = c
        if c:
            parent = j + 1 + int(np.argmax(below))
            adj[parent, parent + 1 :] |= below[parent - j :]
    return counts


def cholesky_flops(counts: np.ndarray) -> float:
    """Multiply-adds of a column Cholesky with these below-diagonal column counts:
    column j updates the c_j (c_j + 1) / 2 entries of its outer product."""
    c = counts.astype(float)
    return float(np.sum(c * (c + 1.0) / 2.0))


def item_graph(user: np.ndarray, item: np.ndarray, items: int, chunk: int = 1000) -> np.ndarray:
    """The items x items pattern (bool, with the diagonal) of B'B, B the users x items
    incidence of the ratings."""
    import scipy.sparse as sp

    users = int(user.max()) + 1
    b = sp.csr_matrix((np.ones(len(user), dtype=np.float32), (user, item)), shape=(users, items))
    b.sum_duplicates()
    b.data[:] = 1.0
    adj = np.zeros((items, items), dtype=bool)
    for s in range(0, users, chunk):
        bc = b[s : s + chunk]
        g = (bc.T @ bc).tocoo()
        adj[g.row, g.col] = True
    np.fill_diagonal(adj, True)
    return adj


def fill_of(path: str, peak_mb: Callable[[], float]) -> dict:
    import pyarrow.parquet as pq

    t0 = time.perf_counter()
    t = pq.read_table(path, columns=["user", "item"])
    user = t.column("user").to_numpy().astype(np.int64)
    item = t.column("item").to_numpy().astype(np.int64)
    del t
    seen, item = np.unique(item, return_inverse=True)  # levels present, coded 0..k-1
    items = len(seen)
    ratings = np.bincount(item, minlength=items)
    pairs = np.unique(user * items + item)
    pu, pi = pairs // items, pairs % items
    per_user = np.bincount(pu)  # distinct items each user rated
    widest = np.zeros(items, dtype=np.int64)
    np.maximum.at(widest, pi, per_user[pu])
    adj = item_graph(pu, pi, items)
    degree = adj.sum(axis=1) - 1
    off = float(degree.sum())
    # The users' elimination: user u adds k_u (k_u + 1) / 2 updates to the items' block.
    user_updates = float(np.sum(per_user * (per_user + 1.0) / 2.0))
    natural = cholesky_flops(symbolic_cholesky(adj.copy()))
    order = np.argsort(degree, kind="stable")  # fewest neighbours first
    ordered = symbolic_cholesky(adj[np.ix_(order, order)])
    n = float(items)
    return {
        "items_seen": items,
        "distinct_pairs": len(pairs),
        "items_rated_once": int(np.sum(ratings == 1)),
        "items_only_single_item_users": int(np.sum(widest == 1)),
        "isolated_items": int(np.sum(degree == 0)),
        "schur_density": off / (n * (n - 1.0)),
        "items_linked_to_all": int(np.sum(degree == items - 1)),
        "median_degree": float(np.median(degree)),
        "user_elimination_updates": user_updates,
        "dense_flops": cholesky_flops(np.arange(items)[::-1]),
        "sparse_flops_natural": natural,
        "sparse_flops_ordered": cholesky_flops(ordered),
        "factor_nnz_ordered": int(ordered.sum() + items),
        "dense_factor_nnz": int(items * (items + 1) // 2),
        "seconds": time.perf_counter() - t0,
        "peak_mb": peak_mb(),
    }
