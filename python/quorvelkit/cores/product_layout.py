"""The one layout of the products of parts of the data, for any number k of grouping
factors (one grouping factor is the case k = 1): a part's products
(:func:`reduce_part`), the levels put in order (:func:`sort_levels`), aliased columns
left out (:func:`keep_columns`), the factors put in the crossed core's order
(:func:`core_order`), and the one-factor core's own layout (:func:`lmm_core_products`).
Parts merge by label in :func:`quorvelkit.cores.products.merge_parts`.

A products dict holds, per factor j (in the order of :attr:`ModelSpec.factors`), the
blocks of each of its m_j levels in lists of one entry a factor (``ztz``, ``ztx``,
``zty``, ``counts``): Z_j'WZ_j, Z_j'WX, Z_j'Wy and the row count, 8 (q_j^2 + q_j p +
q_j + 1) bytes per level plus its label; ``m`` and ``q`` as int64 arrays of k entries;
per pair of factors i < j (none for k = 1), the pairs of levels that occur together
with their block Z_i'WZ_j (``cross_codes``, ``cross_values``), 16 + 8 q_i q_j bytes per
distinct pair (24 bytes for two intercepts: a ratings design of 10M distinct user-item
pairs holds 240 MB of them); and X'WX, X'Wy, y'Wy. A merge holds both parts and the
result at once, about twice the merged size. The pairs of a cross block are kept in
increasing order of (level_i, level_j), each level its position in the part's labels.

The compiled kernels of one factor (``reduce_rows``, ``ProductsAccumulator``) and the
one-factor core (``LmmCore.from_products``) keep that factor's arrays bare, ``m`` and
``q`` ints: :func:`factor_layout` and :func:`lmm_core_products` pass between the two,
moving arrays without copying them or touching a bit.

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

__all__ = [
    "LEVEL_ARRAYS",
    "core_array",
    "pair_index",
    "factor_layout",
    "lmm_core_products",
    "reduce_part",
    "sort_levels",
    "core_order",
    "same_partition",
    "keep_columns",
]

#: The products held per level of each factor.
LEVEL_ARRAYS = ("ztz", "ztx", "zty", "counts")


def core_array(a: Any, dtype: Any = np.float64) -> np.ndarray:
    """``a`` as the core takes arrays: C-contiguous and aligned (buffers unpickled on a
    worker may be neither), copied only when needed."""
    return np.require(a, dtype=dtype, requirements=["C", "A"])


def pair_index(i: int, j: int, k: int) -> int:
    """The place of the pair of factors (i, j), i < j, among the k (k - 1) / 2 pairs
    (0,1), (0,2), ..., (1,2), ...."""
    return i * k - i * (i + 1) // 2 + (j - i - 1)


def factor_layout(products: dict) -> dict:
    """The products of a one-factor kernel (``reduce_rows``, ``ProductsAccumulator``)
    in the layout of k factors, k = 1: changed in place and returned, each per-level
    array in a list of one, ``m`` and ``q`` arrays of one, no cross block. A
    re-layout: no array is copied."""
    for key in LEVEL_ARRAYS:
        products[key] = [products[key]]
    products["m"] = np.asarray([products["m"]], np.int64)
    products["q"] = np.asarray([products["q"]], np.int64)
    products["cross_codes"], products["cross_values"] = [], []
    return products


def lmm_core_products(products: dict) -> dict:
    """The products of one grouping factor as ``LmmCore.from_products`` takes them (the
    inverse of :func:`factor_layout`). The per-level arrays are taken out of
    ``products``, so that the returned dict holds the only references to them and a
    core built with ``take=True`` frees each as it copies it."""
    out = {key: v for key, v in products.items() if key not in (*LEVEL_ARRAYS, "cross_codes", "cross_values")}
    for key in LEVEL_ARRAYS:
        (out[key],) = products.pop(key)
    out["m"], out["q"] = int(products["m"][0]), int(products["q"][0])
    return out


def reduce_part(spec: ModelSpec, rows: ModelRows) -> tuple[dict, tuple[pd.Index, ...]]:
    """The products of a part's rows and each factor's labels, coded in order of
    appearance: by the one-factor kernel for one grouping factor, the crossed one for
    several."""
    if len(rows.y) == 0:
        return _empty(spec), tuple(pd.Index([]) for _ in spec.factors)
    w = None if rows.weights is None else core_array(rows.weights)
    coded = [pd.factorize(lab, sort=False) for lab in rows.factor_labels]
    labels = tuple(pd.Index(uniques) for _, uniques in coded)
    if len(spec.factors) == 1:
        ((codes, uniques),) = coded
        prod = _qk.reduce_rows(
            core_array(rows.core_y),
            core_array(rows.x),
            core_array(rows.z),
            core_array(codes, np.int64),
            max(1, len(uniques)),
            spec.shift,
            weights=w,
        )
        return factor_layout(prod), labels
    factors = [
        (core_array(codes, np.int64), max(1, len(uniques)), core_array(rows.z[:, span]), list(f.blocks))
        for f, span, (codes, uniques) in zip(spec.factors, spec.factor_columns(), coded, strict=True)
    ]
    prod = _qk.reduce_crossed_rows(core_array(rows.core_y), core_array(rows.x), factors, spec.shift, weights=w)
    return prod, labels


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


def sort_levels(products: dict, labels: Sequence[pd.Index]) -> tuple[dict, tuple[pd.Index, ...]]:
    """The products with each factor's levels in the order of its sorted labels (as
    :func:`quorvelkit.lmm` orders levels), levels without rows left out; a
    permutation and a selection, exact. A factor whose levels are in that order
    already, each with rows, keeps its arrays (not copied)."""
    out = dict(products)
    for key in LEVEL_ARRAYS:
        out[key] = list(products[key])
    k = len(labels)
    new_codes, levels = [], []
    for j in range(k):
        codes, lv = (np.arange(len(labels[j])), labels[j]) if _in_order(labels[j]) else sorted_levels(labels[j])
        order = np.empty(len(codes), dtype=np.int64)
        order[codes] = np.arange(len(codes))
        present = np.asarray(products["counts"][j])[order] > 0
        kept = order[present]
        place = np.full(len(codes), -1, np.int64)
        place[kept] = np.arange(len(kept))
        moved = len(kept) < len(codes) or bool((kept != np.arange(len(kept))).any())
        for key in LEVEL_ARRAYS:
            a = np.asarray(products[key][j])
            out[key][j] = np.ascontiguousarray(a[kept]) if moved else np.require(a, requirements=["C", "A"])
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


def _in_order(labels: pd.Index) -> bool:
    """Whether ``labels`` are distinct numbers in increasing order (as the accumulator's
    routes give them): :func:`quorvelkit.support.frames.sorted_levels` would give them
    back as they are, codes and all, so they need no sort. (Text is left to it: the
    Index it gives may hold the same labels in another type of array.)"""
    return labels.dtype.kind in "iuf" and bool(labels.is_monotonic_increasing and labels.is_unique)


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
    """``products`` of the fixed-effects columns ``kept`` only."""
    out = dict(products)
    out["xtx"] = np.ascontiguousarray(np.asarray(products["xtx"])[np.ix_(kept, kept)])
    out["xty"] = np.ascontiguousarray(np.asarray(products["xty"])[kept])
    out["ztx"] = [np.ascontiguousarray(np.asarray(v)[:, :, kept]) for v in products["ztx"]]
    out["shift_x"] = np.ascontiguousarray(np.asarray(products["shift_x"])[kept])
    col = int(products["shift_column"])
    if col >= 0:
        if col not in kept:
            raise ValueError("the intercept is aliased with other fixed-effects columns; drop one of them")
        out["shift_column"] = kept.index(col)
    out["p"] = len(kept)
    return out
