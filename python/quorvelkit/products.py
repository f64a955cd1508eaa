"""Products of parts of the data as values keyed by group label: the products of a
batch or a partition (:func:`part_products`), their merge by label so that groups may
span parts (:func:`merge_parts`, the one home of merging), and the reordering and
selection of their groups.

Agreement with the in-memory fit: the per-group products of a sequential read are
bit-identical to those of the whole data (each group's rows are added in row order);
the global sums X'X, X'y, y'y are summed per batch and then added, so they differ from
the in-memory sums in the last bits only, and so do the estimates (to about 1e-12
relative; the fit's optimiser may stop a little differently)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from . import _quorvelkit as _qk
from .checks import check_sums
from .crossed_products import crossed_part, is_crossed, merge_crossed
from .frames import sorted_levels
from .model import ModelRows, ModelSpec

__all__ = [
    "PartProducts",
    "part_products",
    "add_batch",
    "merge_parts",
    "sort_groups",
    "take_groups",
    "core_array",
    "GROUP_ARRAYS",
]

#: The products held per group (the others are sums over all rows).
GROUP_ARRAYS = ("ztz", "ztx", "zty", "counts")


def core_array(a: np.ndarray, dtype: Any = np.float64) -> np.ndarray:
    """``a`` as the core takes arrays: C-contiguous and aligned (buffers unpickled on a
    worker may be neither), copied only when needed."""
    return np.require(a, dtype=dtype, requirements=["C", "A"])


@dataclass
class PartProducts:
    """The products of one part of the data (a batch, a partition, or merged parts),
    its groups identified by label, and the rows dropped for missing values and left
    out for a weight of zero. Parts merge by label (:func:`merge_parts`)."""

    products: dict
    labels: pd.Index
    n_dropped: int = 0
    n_zero_weight: int = 0
    #: Every grouping factor's labels, for a model with several (``labels`` is the first's).
    factor_labels: tuple[pd.Index, ...] = ()


def part_products(spec: ModelSpec, frame: Any, where: str) -> PartProducts:
    """The products of one part's rows, its groups coded in order of appearance (each
    factor's, for a model with several: :mod:`quorvelkit.crossed_products`)."""
    rows = spec.rows(frame, where)
    if len(spec.factors) > 1:
        prod, labels = crossed_part(spec, rows)
        check_sums(prod["yty"], prod["xtx"], spec.parsed.response, spec.fe_all, where)
        return PartProducts(prod, labels[0], rows.n_dropped, rows.n_zero_weight, labels)
    if len(rows.y) == 0:
        return PartProducts(_empty_products(spec), pd.Index([]), rows.n_dropped, rows.n_zero_weight)
    codes, uniques = pd.factorize(rows.labels, sort=False)
    w = None if rows.weights is None else core_array(rows.weights)
    prod = _qk.reduce_rows(
        core_array(rows.core_y),
        core_array(rows.x),
        core_array(rows.z),
        core_array(codes, np.int64),
        max(1, len(uniques)),
        spec.shift,
        weights=w,
    )
    check_sums(prod["yty"], prod["xtx"], spec.parsed.response, spec.fe_all, where)
    return PartProducts(prod, pd.Index(uniques), rows.n_dropped, rows.n_zero_weight)


def _empty_products(spec: ModelSpec) -> dict:
    p, q = spec.p, spec.q
    shift = spec.shift or {"shift_column": -1, "shift_value": 0.0, "shift_y": 0.0, "shift_x": np.zeros(p)}
    return {
        "n": 0,
        "p": p,
        "q": q,
        "m": 0,
        "counts": np.zeros(0, np.int64),
        "xtx": np.zeros((p, p)),
        "xty": np.zeros(p),
        "yty": 0.0,
        "ztz": np.zeros((0, q, q)),
        "ztx": np.zeros((0, q, p)),
        "zty": np.zeros((0, q)),
        "weighted": spec.weighted,
        "log_weights": 0.0,
        **shift,
    }


def _same_shift(a: dict, b: dict) -> bool:
    return (
        int(a["shift_column"]) == int(b["shift_column"])
        and np.float64(a["shift_value"]).tobytes() == np.float64(b["shift_value"]).tobytes()
        and np.float64(a["shift_y"]).tobytes() == np.float64(b["shift_y"]).tobytes()
        and np.asarray(a["shift_x"], float).tobytes() == np.asarray(b["shift_x"], float).tobytes()
    )


def merge_parts(a: PartProducts, b: PartProducts) -> PartProducts:
    """The products of a's rows and b's together, groups matched by label: a's groups
    first, then b's new ones. Every sum is a's + b's in that order, so a fixed tree of
    merges gives fixed bits whatever order the parts were computed in. Parts of a
    model with several grouping factors merge factor by factor, and their cross blocks
    by pair of labels."""
    pa, pb = a.products, b.products
    if pa["p"] != pb["p"] or not np.array_equal(pa["q"], pb["q"]):
        raise ValueError("the parts have different model dimensions")
    if not _same_shift(pa, pb):
        raise ValueError("the parts were reduced with different shifts; every part of a model must use the same one")
    if bool(pa.get("weighted", False)) != bool(pb.get("weighted", False)):
        raise ValueError("weighted and unweighted parts cannot be merged")
    dropped, zero = a.n_dropped + b.n_dropped, a.n_zero_weight + b.n_zero_weight
    if is_crossed(pa) != is_crossed(pb):
        raise ValueError("the parts have different grouping factors")
    if is_crossed(pa):
        merged, factor_labels = merge_crossed(pa, a.factor_labels, pb, b.factor_labels)
        return PartProducts(merged, factor_labels[0], dropped, zero, factor_labels)
    if pb["m"] == 0:
        return PartProducts(pa, a.labels, dropped, zero)
    if pa["m"] == 0:
        return PartProducts(pb, b.labels, dropped, zero)
    pos = np.asarray(a.labels.get_indexer(b.labels), dtype=np.int64)
    new = pos < 0
    ma, k = int(pa["m"]), int(new.sum())
    pos[new] = ma + np.arange(k)
    labels = a.labels.append(b.labels[new]) if k else a.labels
    out = dict(pa)
    for key in GROUP_ARRAYS:
        va, vb = np.asarray(pa[key]), np.asarray(pb[key])
        arr = np.zeros((ma + k,) + va.shape[1:], dtype=va.dtype)
        arr[:ma] = va
        arr[pos] += vb
        out[key] = arr
    out["xtx"] = np.asarray(pa["xtx"]) + np.asarray(pb["xtx"])
    out["xty"] = np.asarray(pa["xty"]) + np.asarray(pb["xty"])
    out["yty"] = float(pa["yty"]) + float(pb["yty"])
    out["n"] = int(pa["n"]) + int(pb["n"])
    out["m"] = ma + k
    out["log_weights"] = float(pa.get("log_weights", 0.0)) + float(pb.get("log_weights", 0.0))
    return PartProducts(out, labels, dropped, zero)


def sort_groups(products: dict, labels: pd.Index) -> tuple[dict, pd.Index]:
    """The products with their groups in the order of the sorted labels (as
    :func:`quorvelkit.lmm` orders levels); a permutation, exact."""
    codes, levels = sorted_levels(labels)
    order = np.empty(len(codes), dtype=np.int64)
    order[codes] = np.arange(len(codes))
    return take_groups(dict(products), order), levels


def take_groups(products: dict, which: np.ndarray) -> dict:
    """``products`` (changed in place, and returned) holding the groups ``which`` only,
    in that order."""
    for key in GROUP_ARRAYS:
        products[key] = np.ascontiguousarray(np.asarray(products[key])[which])
    products["m"] = len(which)
    return products


def add_batch(acc: Any, spec: ModelSpec, rows: Any, codes: np.ndarray, where: str) -> tuple[int, int]:
    """Adds one batch to the accumulator ``acc`` (a ``ProductsAccumulator`` holding its
    groups' codes): ``rows`` are the batch's model rows, or the Arrow columns of a plain
    model (:meth:`ModelSpec.columns`); ``codes`` its groups' codes. Returns the rows
    dropped for a missing value and those left out for a weight of zero; a value the
    core refuses is a :class:`SourceError` naming ``where``."""
    n_dropped = n_zero = 0
    if isinstance(rows, ModelRows):
        if len(rows.y):
            w = None if rows.weights is None else core_array(rows.weights)
            acc.add_rows(
                core_array(rows.core_y), core_array(rows.x), core_array(rows.z), core_array(codes, np.int64), w
            )
        n_dropped, n_zero = rows.n_dropped, rows.n_zero_weight
    elif len(rows[0]):
        n_dropped, fault = acc.add_columns(rows[0], rows[1], rows[2], codes)
        if fault is not None:
            raise spec.fault(fault, where)
    check_sums(acc.yty, acc.xtx, spec.parsed.response, spec.fe_all, where)
    return n_dropped, n_zero
