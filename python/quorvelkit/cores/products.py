"""Products of parts of the data as values keyed by group label, in the one layout of
:mod:`quorvelkit.cores.product_layout` (one grouping factor is the case k = 1 of
several): the products of a batch or a partition (:func:`part_products`) and their
merge by label so that groups may span parts (:func:`merge_parts`, the one home of
merging).

Agreement with the in-memory fit: the per-group products of a sequential read are
bit-identical to those of the whole data (each group's rows are added in row order);
the global sums X'X, X'y, y'y are summed per batch and then added, so they differ from
the in-memory sums in the last bits only (each within a unit or two in the last place
of the exactly rounded sum, as the in-memory ones are: a compensated sum would gain
nothing). The estimates differ by the fit's sensitivity to such a rounding, which
depends on the model: about 1e-12 of a standard error for most designs, but up to 1e-8
and more for an intercept whose information is the small remainder of large sums (a
random intercept's variance hundreds of times the residual's, few rows a group, a
covariate far from zero), where one unit in the last place of any product moves it as
much on either route.

A group label means one group on every route: a label held as a number in one part
and as text in another (17 and "17") is refused (:func:`check_label_kinds`), never
made two groups."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, replace
from typing import Any

import numpy as np
import pandas as pd

from ..formula.checks import check_sums
from ..model.description import ModelRows, ModelSpec
from ..support.errors import SourceError
from ..support.labels import split_labels
from .product_layout import LEVEL_ARRAYS, core_array, pair_index, reduce_part

__all__ = [
    "PartProducts",
    "label_kinds",
    "check_label_kinds",
    "add_label_kinds",
    "part_products",
    "add_batch",
    "merge_parts",
    "with_ztz",
    "without_ztz",
]


#: The kinds of group labels: numbers (any numeric type, or number objects) and text.
NUMBER, TEXT = "numbers", "text"


def label_kinds(labels: Any) -> set[str]:
    """The kinds of the labels ``labels`` (an Index, Series, NumPy or Arrow array;
    missing ones ignored): numbers, text, both, or neither (booleans, dates). A column
    of objects is looked at value by value (pandas' type inference, in C)."""
    arrow_type = getattr(labels, "type", None)
    if arrow_type is not None and not hasattr(labels, "dtype"):  # a pyarrow array
        import pyarrow as pa

        if pa.types.is_dictionary(arrow_type):
            arrow_type = arrow_type.value_type
        if pa.types.is_integer(arrow_type) or pa.types.is_floating(arrow_type):
            return {NUMBER}
        return {TEXT} if pa.types.is_string(arrow_type) or pa.types.is_large_string(arrow_type) else set()
    if isinstance(getattr(labels, "dtype", None), pd.CategoricalDtype):
        labels = pd.Index(labels.cat.categories if isinstance(labels, pd.Series) else labels.categories)
    dtype = getattr(labels, "dtype", None)
    if dtype is not None and pd.api.types.is_bool_dtype(dtype):
        return set()
    if dtype is not None and pd.api.types.is_numeric_dtype(dtype):
        return {NUMBER}
    if dtype is not None and pd.api.types.is_string_dtype(dtype) and not pd.api.types.is_object_dtype(dtype):
        return {TEXT}
    inferred = pd.api.types.infer_dtype(labels, skipna=True)
    if inferred == "string":
        return {TEXT}
    if inferred in ("integer", "floating", "decimal", "mixed-integer-float"):
        return {NUMBER}
    if inferred in ("mixed-integer", "mixed"):
        return {NUMBER, TEXT}  # looked at label by label where it matters (split_labels)
    return set()


def check_label_kinds(kinds: dict[str, str], labels: pd.Index, column: str) -> None:
    """Refuses (:class:`SourceError`) a grouping factor whose labels ``labels`` hold one
    value as a number and as text, when ``kinds`` (each kind of label met, and the
    first place holding it) holds both: a batch or partition whose group column has
    another type than the others' (text where the others hold integers) would otherwise
    split each of those groups in two."""
    if len(kinds) < 2:
        return
    found = split_labels(labels)
    if found is None:
        return
    number, text = found
    raise SourceError(
        f"the group column {column!r} holds {number!r} as a number ({kinds[NUMBER]} holds numbers) and {text!r} as "
        f"text ({kinds[TEXT]} holds text): one label in two types would be two groups; give the column one type in "
        f"every batch and partition"
    )


def add_label_kinds(kinds: dict[str, str], labels: Any, where: str) -> dict[str, str]:
    """``kinds`` with the kinds of ``labels`` (met at ``where``) added, the first place
    of each kept."""
    out = dict(kinds)
    for kind in sorted(label_kinds(labels)):
        out.setdefault(kind, where)
    return out


@dataclass
class PartProducts:
    """The products of one part of the data (a batch, a partition, or merged parts),
    its groups identified by label, and the rows dropped for missing values and left
    out for a weight of zero. Parts merge by label (:func:`merge_parts`)."""

    #: In the layout of :mod:`quorvelkit.cores.product_layout`.
    products: dict
    #: Every grouping factor's labels, the labels of its levels in the products' order.
    factor_labels: tuple[pd.Index, ...]
    n_dropped: int = 0
    n_zero_weight: int = 0
    #: Per grouping factor, the kinds of labels (numbers, text) its rows held and the
    #: first place holding each (see :func:`check_label_kinds`); empty: not recorded.
    label_kinds: tuple[dict[str, str], ...] = ()
    #: Per grouping factor, its column in messages.
    label_columns: tuple[str, ...] = ()


def part_products(spec: ModelSpec, frame: Any, where: str) -> PartProducts:
    """The products of one part's rows, each factor's levels coded in order of
    appearance."""
    rows = spec.rows(frame, where)
    columns = tuple(f.columns[0] if len(f.columns) == 1 else f.name for f in spec.factors)
    prod, labels = reduce_part(spec, rows)
    check_sums(prod["yty"], prod["xtx"], spec.parsed.response, spec.fe_all, where)
    kinds = tuple(add_label_kinds({}, lab, where) for lab in labels)
    for met, lab, col in zip(kinds, labels, columns, strict=True):
        check_label_kinds(met, lab, col)
    return PartProducts(prod, labels, rows.n_dropped, rows.n_zero_weight, kinds, columns)


def _same_shift(a: dict, b: dict) -> bool:
    return (
        int(a["shift_column"]) == int(b["shift_column"])
        and np.float64(a["shift_value"]).tobytes() == np.float64(b["shift_value"]).tobytes()
        and np.float64(a["shift_y"]).tobytes() == np.float64(b["shift_y"]).tobytes()
        and np.asarray(a["shift_x"], float).tobytes() == np.asarray(b["shift_x"], float).tobytes()
    )


def merge_parts(a: PartProducts, b: PartProducts) -> PartProducts:
    """The products of a's rows and b's together, groups matched by label: a's groups
    first, then b's new ones, per grouping factor; the cross blocks of several factors
    by pair of labels. Parts whose labels differ are aligned on the union of their
    labels, each part's products placed at its own labels; parts that cannot be
    aligned (other model dimensions, shifts, weighting or grouping factors) are
    refused. Every sum is a's + b's in that order, so a fixed tree of merges gives
    fixed bits whatever order the parts were computed in. This is the one merge of
    products: every route merges its batches, partitions and leaves with it."""
    pa, pb = a.products, b.products
    if pa["p"] != pb["p"] or not np.array_equal(pa["q"], pb["q"]):
        raise ValueError("the parts have different model dimensions")
    if not _same_shift(pa, pb):
        raise ValueError("the parts were reduced with different shifts; every part of a model must use the same one")
    if bool(pa.get("weighted", False)) != bool(pb.get("weighted", False)):
        raise ValueError("weighted and unweighted parts cannot be merged")
    if len(a.factor_labels) != len(b.factor_labels) or len(pa["cross_codes"]) != len(pb["cross_codes"]):
        raise ValueError("the parts have different grouping factors")
    compact = pa.get("ztz_in_ztx")
    if compact is None or compact != pb.get("ztz_in_ztx"):  # Z'Z put back where only one holds it within Z'X
        a, b, compact = with_ztz(a), with_ztz(b), None
        pa, pb = a.products, b.products
    dropped, zero = a.n_dropped + b.n_dropped, a.n_zero_weight + b.n_zero_weight
    kinds, columns = _merged_kinds(a, b), a.label_columns or b.label_columns
    la, lb = a.factor_labels, b.factor_labels
    if int(pb["n"]) == 0 and not any(len(v) for v in lb):
        return replace(a, n_dropped=dropped, n_zero_weight=zero, label_kinds=kinds, label_columns=columns)
    if int(pa["n"]) == 0 and not any(len(v) for v in la):
        return replace(b, n_dropped=dropped, n_zero_weight=zero, label_kinds=kinds, label_columns=columns)
    keys = tuple(k for k in LEVEL_ARRAYS if k != "ztz" or compact is None)
    merged, labels = _merge_factors(pa, la, pb, lb, keys)
    for met, lab, col in zip(kinds, labels, columns, strict=False):
        check_label_kinds(met, lab, col)
    return PartProducts(merged, labels, dropped, zero, kinds, columns)


def _merge_levels(va: list, la: pd.Index, vb: list, lb: pd.Index) -> tuple[list[np.ndarray], pd.Index, np.ndarray]:
    """One grouping factor's per-level arrays of a and b merged by label: a's levels
    keep their places and b's new ones follow them; each level's entry is a's + b's.
    Also the merged labels and the place of each of b's levels among them. Where b
    holds the very labels of a in the same order (leaves coded against the same
    levels), the arrays are added as they stand, without a table of labels: the same
    sums, to the bit."""
    if la.equals(lb):
        return [np.asarray(x) + np.asarray(y) for x, y in zip(va, vb, strict=True)], la, np.arange(len(la))
    pos = np.asarray(la.get_indexer(lb), dtype=np.int64)
    new = pos < 0
    ma, extra = len(la), int(new.sum())
    pos[new] = ma + np.arange(extra)
    out = []
    for x, y in zip(va, vb, strict=True):
        x, y = np.asarray(x), np.asarray(y)
        arr = np.zeros((ma + extra,) + x.shape[1:], dtype=x.dtype)
        arr[:ma] = x
        arr[pos] += y
        out.append(arr)
    return out, (la.append(lb[new]) if extra else la), pos


def _merged_sums(pa: dict, pb: dict) -> dict:
    """a's products with the sums over all rows replaced by a's + b's."""
    out = dict(pa)
    out["xtx"] = np.asarray(pa["xtx"]) + np.asarray(pb["xtx"])
    out["xty"] = np.asarray(pa["xty"]) + np.asarray(pb["xty"])
    out["yty"] = float(pa["yty"]) + float(pb["yty"])
    out["n"] = int(pa["n"]) + int(pb["n"])
    out["log_weights"] = float(pa.get("log_weights", 0.0)) + float(pb.get("log_weights", 0.0))
    return out


def _merge_factors(
    pa: dict, la: tuple[pd.Index, ...], pb: dict, lb: tuple[pd.Index, ...], keys: Sequence[str]
) -> tuple[dict, tuple[pd.Index, ...]]:
    """The products of k grouping factors merged: each factor's arrays ``keys`` by label
    (:func:`_merge_levels`), each cross block by pair of labels (:func:`_merge_pairs`)."""
    k = len(la)
    out = _merged_sums(pa, pb)
    positions, labels, sizes = [], [], []
    for key in keys:
        out[key] = list(pa[key])
    for j in range(k):
        arrays, lab, pos = _merge_levels([pa[key][j] for key in keys], la[j], [pb[key][j] for key in keys], lb[j])
        for key, arr in zip(keys, arrays, strict=True):
            out[key][j] = arr
        positions.append(pos)
        labels.append(lab)
        sizes.append(len(lab))
    codes, values = [], []
    for i in range(k):
        for j in range(i + 1, k):
            t = pair_index(i, j, k)
            cb = np.asarray(pb["cross_codes"][t], dtype=np.int64)
            remapped = np.stack([positions[i][cb[:, 0]], positions[j][cb[:, 1]]], axis=1) if len(cb) else cb
            c, v = _merge_pairs(
                np.asarray(pa["cross_codes"][t], dtype=np.int64),
                np.asarray(pa["cross_values"][t]),
                remapped,
                np.asarray(pb["cross_values"][t]),
                sizes[j],
            )
            codes.append(c)
            values.append(v)
    out["cross_codes"], out["cross_values"] = codes, values
    out["m"] = np.asarray(sizes, np.int64)
    return out, tuple(labels)


def _merge_pairs(
    codes_a: np.ndarray, values_a: np.ndarray, codes_b: np.ndarray, values_b: np.ndarray, m_j: int
) -> tuple[np.ndarray, np.ndarray]:
    """One cross block of a and b merged: a's pairs (in increasing order) and b's
    (already in the merged levels' codes, in any order), a's + b's where both have a
    pair, in increasing order."""
    if len(codes_b) == 0:
        return codes_a, values_a
    key_b = codes_b[:, 0] * m_j + codes_b[:, 1]
    order = np.argsort(key_b, kind="stable")
    key_b, codes_b, values_b = key_b[order], codes_b[order], values_b[order]
    if len(codes_a) == 0:
        return np.ascontiguousarray(codes_b), np.ascontiguousarray(values_b)
    key_a = codes_a[:, 0] * m_j + codes_a[:, 1]
    at = np.searchsorted(key_a, key_b)
    found = at < len(key_a)
    found[found] = key_a[at[found]] == key_b[found]
    values = values_a.copy()
    values[at[found]] = values[at[found]] + values_b[found]
    new = ~found
    if not new.any():
        return codes_a, values
    # b's new pairs go in before the first of a's pairs above them, after those of b
    # before them: their places in the merged block.
    place_new = at[new] + np.arange(int(new.sum()))
    size = len(key_a) + len(place_new)
    is_new = np.zeros(size, bool)
    is_new[place_new] = True
    out_codes = np.empty((size, 2), np.int64)
    out_values = np.empty((size,) + values_a.shape[1:])
    out_codes[is_new] = codes_b[new]
    out_values[is_new] = values_b[new]
    out_codes[~is_new] = codes_a
    out_values[~is_new] = values
    return out_codes, out_values


def without_ztz(part: PartProducts, z_in_x: list[int] | None) -> PartProducts:
    """``part`` (of one grouping factor) without Z'Z when every column of Z is one of
    X's: Z'Z is then the columns ``z_in_x`` of Z'X, to the bit (the accumulator forms
    it so), and a fifth less is held and sent between workers. :func:`with_ztz` puts
    it back; :func:`merge_parts` merges two such parts as they are."""
    if z_in_x is not None:
        part.products.pop("ztz")
        part.products["ztz_in_ztx"] = tuple(z_in_x)
    return part


def with_ztz(part: PartProducts) -> PartProducts:
    """``part`` with its Z'Z (see :func:`without_ztz`), as the fit takes products."""
    columns = part.products.get("ztz_in_ztx")
    if columns is None:
        return part
    products = {k: v for k, v in part.products.items() if k != "ztz_in_ztx"}
    products["ztz"] = [np.ascontiguousarray(np.asarray(ztx)[:, :, list(columns)]) for ztx in products["ztx"]]
    return replace(part, products=products)


def _merged_kinds(a: PartProducts, b: PartProducts) -> tuple[dict[str, str], ...]:
    """Per grouping factor, the kinds of label a's rows and b's held, a's places first."""
    if not a.label_kinds or not b.label_kinds:
        return a.label_kinds or b.label_kinds
    out = []
    for ka, kb in zip(a.label_kinds, b.label_kinds, strict=True):
        merged = dict(ka)
        for kind, where in kb.items():
            merged.setdefault(kind, where)
        out.append(merged)
    return tuple(out)


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
