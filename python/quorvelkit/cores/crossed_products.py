"""Products of parts of the data for a model with several grouping factors, keyed by
group label: a part's products (:func:`crossed_part`), the levels put in order
(:func:`sort_crossed`) and the factors put in the core's order (:func:`core_order`).
Parts merge by label in :func:`quorvelkit.cores.products.merge_parts`, as every part does.

A products dict (``_quorvelkit.reduce_crossed_rows``) holds, per factor j (in the
order of :attr:`ModelSpec.factors`), the blocks of each of its m_j levels: Z_j'WZ_j,
Z_j'WX, Z_j'Wy and the row count, 8 (q_j^2 + q_j p + q_j + 1) bytes per level plus
its label; per pair of factors i < j, the pairs of levels that occur together with
their block Z_i'WZ_j, 16 + 8 q_i q_j bytes per distinct pair (24 bytes for two
intercepts: a ratings design of 10M distinct user-item pairs holds 240 MB of them);
and X'WX, X'Wy, y'Wy. A merge holds both parts and the result at once, about twice the
merged size. The pairs of a cross block are kept in increasing order of (level_i,
level_j), each level its position in the part's labels.

Merging by label (:func:`~quorvelkit.cores.products.merge_parts`): a's levels keep their
positions and b's new ones follow them; every sum is a's + b's, so a fixed tree of
merges gives fixed bits whatever order its parts were computed in (and, since each
level's rows are added in row order within a part, a sequential read gives every
level's and pair's blocks the bits of a whole-data pass over the same batches).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

import quorvelkit._quorvelkit as _qk

from ..model.description import ModelRows, ModelSpec
from ..support.frames import sorted_levels

__all__ = ["is_crossed", "crossed_part", "sort_crossed", "core_order", "pair_index", "same_partition"]

#: The products held per level of each factor.
LEVEL_ARRAYS = ("ztz", "ztx", "zty", "counts")


def is_crossed(products: dict) -> bool:
    """Whether ``products`` are of a model with several grouping factors."""
    return "cross_codes" in products


def pair_index(i: int, j: int, k: int) -> int:
    """The place of the pair of factors (i, j), i < j, among the k (k - 1) / 2 pairs
    (0,1), (0,2), ..., (1,2), ...."""
    return i * k - i * (i + 1) // 2 + (j - i - 1)


def crossed_part(spec: ModelSpec, rows: ModelRows) -> tuple[dict, tuple[pd.Index, ...]]:
    """The products of a part's rows and each factor's labels, coded in order of
    appearance."""
    spans = spec.factor_columns()
    if len(rows.y) == 0:
        return _empty(spec), tuple(pd.Index([]) for _ in spec.factors)
    factors = []
    labels = []
    for f, span, lab in zip(spec.factors, spans, rows.factor_labels, strict=True):
        codes, uniques = pd.factorize(lab, sort=False)
        z = _aligned(rows.z[:, span])
        factors.append((_aligned(codes, np.int64), max(1, len(uniques)), z, list(f.blocks)))
        labels.append(pd.Index(uniques))
    w = None if rows.weights is None else _aligned(rows.weights)
    prod = _qk.reduce_crossed_rows(
        _aligned(rows.core_y),
        _aligned(rows.x),
        factors,
        spec.shift,
        weights=w,
    )
    return prod, tuple(labels)


def _aligned(a: Any, dtype: Any = np.float64) -> np.ndarray:
    """``a`` C-contiguous and aligned, as the core takes arrays (buffers unpickled on a
    worker may be neither), copied only when needed."""
    return np.require(a, dtype=dtype, requirements=["C", "A"])


def _empty(spec: ModelSpec) -> dict:
    p = spec.p
    qs = [sum(f.blocks) for f in spec.factors]
    k = len(qs)
    shift = spec.shift or {"shift_column": -1, "shift_value": 0.0, "shift_y": 0.0, "shift_x": np.zeros(p)}
    pairs = [(i, j) for i in range(k) for j in range(i + 1, k)]
    return {
        "n": 0,
        "p": p,
        "m": np.zeros(k, np.int64),
        "q": np.asarray(qs, np.int64),
        "ztz": [np.zeros((0, q, q)) for q in qs],
        "ztx": [np.zeros((0, q, p)) for q in qs],
        "zty": [np.zeros((0, q)) for q in qs],
        "counts": [np.zeros(0, np.int64) for _ in qs],
        "cross_codes": [np.zeros((0, 2), np.int64) for _ in pairs],
        "cross_values": [np.zeros((0, qs[i], qs[j])) for i, j in pairs],
        "xtx": np.zeros((p, p)),
        "xty": np.zeros(p),
        "yty": 0.0,
        "weighted": spec.weighted,
        "log_weights": 0.0,
        **shift,
    }


def _sorted_block(codes: np.ndarray, values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """A cross block's pairs (distinct) put in increasing order of (level_i, level_j)."""
    if len(codes) == 0:
        return np.ascontiguousarray(codes), np.ascontiguousarray(values)
    order = np.argsort(codes[:, 0] * (int(codes[:, 1].max()) + 1) + codes[:, 1])
    return np.ascontiguousarray(codes[order]), np.ascontiguousarray(values[order])


def sort_crossed(products: dict, labels: Sequence[pd.Index]) -> tuple[dict, tuple[pd.Index, ...]]:
    """The products with each factor's levels in the order of its sorted labels (as
    :func:`quorvelkit.lmm` orders levels), levels without rows left out; a
    permutation and a selection, exact."""
    out = dict(products)
    for key in LEVEL_ARRAYS:
        out[key] = list(products[key])
    k = len(labels)
    new_codes, levels = [], []
    for j in range(k):
        codes, lv = sorted_levels(labels[j])
        order = np.empty(len(codes), dtype=np.int64)
        order[codes] = np.arange(len(codes))
        present = np.asarray(products["counts"][j])[order] > 0
        kept = order[present]
        place = np.full(len(codes), -1, np.int64)
        place[kept] = np.arange(len(kept))
        for key in LEVEL_ARRAYS:
            out[key][j] = np.ascontiguousarray(np.asarray(products[key][j])[kept])
        new_codes.append(place)
        levels.append(lv if present.all() else lv[present])
    out["cross_codes"], out["cross_values"] = [], []
    for i in range(k):
        for j in range(i + 1, k):
            t = pair_index(i, j, k)
            c = np.asarray(products["cross_codes"][t], dtype=np.int64)
            c = np.stack([new_codes[i][c[:, 0]], new_codes[j][c[:, 1]]], axis=1) if len(c) else c
            both = (c >= 0).all(axis=1)  # a level without rows meets no other
            c, v = _sorted_block(c[both], np.asarray(products["cross_values"][t])[both])
            out["cross_codes"].append(c)
            out["cross_values"].append(v)
    out["m"] = np.asarray([len(lv) for lv in levels], np.int64)
    return out, tuple(pd.Index(lv) for lv in levels)


def core_order(products: dict, order: Sequence[int]) -> dict:
    """The products with their factors in ``order`` (the core's: ``order[c]`` is the
    factor of the model put c-th), each cross block turned to the new pair's order."""
    k = len(order)
    out = dict(products)
    for key in (*LEVEL_ARRAYS, "m", "q"):
        out[key] = [products[key][i] for i in order]
    out["m"] = np.asarray(out["m"], np.int64)
    out["q"] = np.asarray(out["q"], np.int64)
    out["cross_codes"], out["cross_values"] = [], []
    for a in range(k):
        for b in range(a + 1, k):
            fi, fj = order[a], order[b]
            if fi < fj:
                t = pair_index(fi, fj, k)
                c, v = products["cross_codes"][t], products["cross_values"][t]
            else:
                t = pair_index(fj, fi, k)
                c = np.asarray(products["cross_codes"][t])[:, ::-1]
                v = np.asarray(products["cross_values"][t]).transpose(0, 2, 1)
                c, v = _sorted_block(c, v)
            out["cross_codes"].append(c)
            out["cross_values"].append(v)
    return out


def same_partition(products: dict) -> tuple[int, int] | None:
    """Two factors (i, j) that group the rows the same way, or None: of as many levels,
    with as many pairs that occur as levels (every level present, so each level of one
    meets a single level of the other)."""
    k = len(products["m"])
    m = [int(v) for v in products["m"]]
    for i in range(k):
        for j in range(i + 1, k):
            if m[i] == m[j] and len(products["cross_codes"][pair_index(i, j, k)]) == m[i]:
                return i, j
    return None


def keep_columns(products: dict, kept: list[int]) -> dict:
    """``products`` of the fixed-effects columns ``kept`` only (one factor's ``ztx`` as
    one array, several factors' as a list of arrays)."""
    out = dict(products)
    out["xtx"] = np.ascontiguousarray(np.asarray(products["xtx"])[np.ix_(kept, kept)])
    out["xty"] = np.ascontiguousarray(np.asarray(products["xty"])[kept])
    ztx = products["ztx"]
    if isinstance(ztx, (list, tuple)):
        out["ztx"] = [np.ascontiguousarray(np.asarray(v)[:, :, kept]) for v in ztx]
    else:
        out["ztx"] = np.ascontiguousarray(np.asarray(ztx)[:, :, kept])
    out["shift_x"] = np.ascontiguousarray(np.asarray(products["shift_x"])[kept])
    col = int(products["shift_column"])
    if col >= 0:
        if col not in kept:
            raise ValueError("the intercept is aliased with other fixed-effects columns; drop one of them")
        out["shift_column"] = kept.index(col)
    out["p"] = len(kept)
    return out


def fixed_at(products: dict, j: int, b: float) -> dict:
    """The products of the same rows with fixed effect ``j`` held at ``b``: the response
    y - x_j b on the other columns. With A = [X | y] (as the products hold them,
    shifted) the new columns are A M; when column j is the shift's constant column the
    rows are first taken back as given, A = A~ (I + e_j w'), w = (shift_x, shift_y) / a."""
    p = int(products["p"])
    p1, np_ = p + 1, p  # np_: the new columns, the other p - 1 and the response
    col = int(products["shift_column"])
    sx = np.asarray(products["shift_x"], dtype=float)
    drop_constant = col >= 0 and j == col
    mm = np.zeros((p1, np_))
    others = [i for i in range(p) if i != j]
    for c, i in enumerate(others):
        mm[i, c] = 1.0
    mm[p, np_ - 1] = 1.0
    mm[j, np_ - 1] = -b
    if drop_constant:
        a = float(products["shift_value"])
        w = np.zeros(p1)
        w[others] = sx[others] / a
        w[p] = float(products["shift_y"]) / a
        mm[j] = mm[j] + _sum_over(w[None, :], mm)[0]
    g = np.zeros((p1, p1))
    g[:p, :p] = products["xtx"]
    g[:p, p] = g[p, :p] = products["xty"]
    g[p, p] = float(products["yty"])
    g2 = _sum_over(mm.T, _sum_over(g, mm))
    g2 = np.triu(g2) + np.triu(g2, 1).T
    pn = np_ - 1
    out = dict(products)
    out["p"] = pn
    out["xtx"] = np.ascontiguousarray(g2[:pn, :pn])
    out["xty"] = np.ascontiguousarray(g2[:pn, pn])
    out["yty"] = float(g2[pn, pn])
    ztx, zty = [], []
    for x_part, y_part in zip(products["ztx"], products["zty"], strict=True):
        za = np.concatenate([np.asarray(x_part), np.asarray(y_part)[:, :, None]], axis=2)
        zm = _sum_over(za, mm)
        ztx.append(np.ascontiguousarray(zm[:, :, :pn]))
        zty.append(np.ascontiguousarray(zm[:, :, pn]))
    out["ztx"], out["zty"] = ztx, zty
    if col >= 0 and not drop_constant:
        out["shift_x"] = np.ascontiguousarray(sx[others])
        out["shift_column"] = col - (1 if j < col else 0)
        out["shift_y"] = float(products["shift_y"]) - b * float(sx[j])
    else:
        out.update(shift_column=-1, shift_value=0.0, shift_y=0.0, shift_x=np.zeros(pn))
    return out


def _sum_over(a: Any, m: np.ndarray) -> np.ndarray:
    """a @ m over a's last axis, summed term by term in order (fixed bits, no BLAS)."""
    a = np.asarray(a, dtype=float)
    out = np.zeros(a.shape[:-1] + (m.shape[1],))
    for t in range(m.shape[0]):
        out = out + a[..., t : t + 1] * m[t]
    return out
