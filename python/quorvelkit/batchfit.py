"""Products of parts of the data as values keyed by group label, and the fit from
merged products: the parts a batch, a partition or merged parts give
(:class:`PartProducts`, merged by label so that groups may span parts), the aliased
columns found from X'X, and :class:`BatchFit`, a fit without its rows.

Agreement with the in-memory fit: the per-group products of a sequential read are
bit-identical to those of the whole data (each group's rows are added in row order);
the global sums X'X, X'y, y'y are summed per batch and then added, so they differ from
the in-memory sums in the last bits only, and so do the estimates (to about 1e-12
relative; the fit's optimiser may stop a little differently)."""

from __future__ import annotations

import time
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, NoReturn

import numpy as np
import pandas as pd

from . import _quorvelkit as _qk
from ._quorvelkit import LmmCore
from .batchplan import ModelPlan
from .design import Design, _sorted_levels, check_group_counts
from .errors import RankDeficiencyWarning, RowsUnavailable, SourceError, check_flag
from .fit import LmmFit, warn_if_singular
from .runcore import run_core

__all__ = [
    "PartProducts",
    "part_products",
    "merge_parts",
    "sort_groups",
    "sorted_codes",
    "fit_products",
    "BatchFit",
    "fit_parts",
    "ARRAYS",
]

# --------------------------------------------------------------------------- products


@dataclass
class PartProducts:
    """The products of one part of the data (a batch, a partition, or merged parts),
    its groups identified by label, and the rows dropped for missing values. Parts
    merge by label (:func:`merge_parts`), so groups may span parts."""

    products: dict
    labels: pd.Index
    n_dropped: int = 0
    n_zero_weight: int = 0


def part_products(plan: ModelPlan, frame: pd.DataFrame, where: str) -> PartProducts:
    """The products of one part's rows, its groups coded in order of appearance."""
    mats = plan.matrices(frame, where)
    if len(mats.y) == 0:
        return PartProducts(_empty_products(plan), pd.Index([]), mats.n_dropped, mats.n_zero_weight)
    codes, uniques = pd.factorize(mats.labels, sort=False)
    w = None if mats.weights is None else _c(mats.weights)
    prod = _qk.reduce_rows(
        _c(mats.y), _c(mats.x), _c(mats.z), _c(codes, np.int64), max(1, len(uniques)), plan.shift, weights=w
    )
    return PartProducts(prod, pd.Index(uniques), mats.n_dropped, mats.n_zero_weight)


def _c(a: np.ndarray, dtype: Any = np.float64) -> np.ndarray:
    """``a`` as the core takes arrays: C-contiguous and aligned (buffers unpickled on a
    worker may be neither), copied only when needed."""
    return np.require(a, dtype=dtype, requirements=["C", "A"])


def _empty_products(plan: ModelPlan) -> dict:
    p, q = plan.p, plan.q
    shift = plan.shift or {"shift_column": -1, "shift_value": 0.0, "shift_y": 0.0, "shift_x": np.zeros(p)}
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
        "weighted": plan.weights is not None,
        "log_weights": 0.0,
        **shift,
    }


ARRAYS = ("ztz", "ztx", "zty", "counts")


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
    merges gives fixed bits whatever order the parts were computed in."""
    pa, pb = a.products, b.products
    if pa["p"] != pb["p"] or pa["q"] != pb["q"]:
        raise ValueError("the parts have different model dimensions")
    if not _same_shift(pa, pb):
        raise ValueError("the parts were reduced with different shifts; every part of a model must use the same one")
    if bool(pa.get("weighted", False)) != bool(pb.get("weighted", False)):
        raise ValueError("weighted and unweighted parts cannot be merged")
    dropped, zero = a.n_dropped + b.n_dropped, a.n_zero_weight + b.n_zero_weight
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
    for key in ARRAYS:
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
    codes, levels = sorted_codes(labels)
    order = np.empty(len(codes), dtype=np.int64)
    order[codes] = np.arange(len(codes))
    out = dict(products)
    for key in ARRAYS:
        out[key] = np.ascontiguousarray(np.asarray(products[key])[order])
    return out, levels


def sorted_codes(labels: pd.Index) -> tuple[np.ndarray, pd.Index]:
    """Codes of ``labels`` in the order of the sorted labels, and those labels (the
    levels as :func:`quorvelkit.lmm` orders them)."""
    return _sorted_levels(pd.Series(np.asarray(labels, dtype=object) if labels.dtype == object else labels))


# --------------------------------------------------------------------------- the fit


def aliased_from_gram(xtx: np.ndarray, tol: float = 1e-7) -> list[int]:
    """Columns that are linear combinations of earlier ones, from X'X: as
    :func:`quorvelkit.formula.aliased_columns` decides on X (a column whose distance to
    the span of the kept columns before it is below ``tol`` times its norm), by a
    Cholesky factorisation of the Gram matrix of the unit-scaled columns."""
    p = xtx.shape[0]
    d = np.sqrt(np.maximum(np.diag(xtx), 0.0))
    dropped: list[int] = []
    kept: list[int] = []
    L = np.zeros((p, p))
    for j in range(p):
        if not d[j] > 0:
            dropped.append(j)
            continue
        g = np.array([xtx[j, k] / (d[j] * d[k]) for k in kept])
        row = np.zeros(len(kept))
        for i in range(len(kept)):
            row[i] = (g[i] - row[:i] @ L[i, :i]) / L[i, i]
        r2 = 1.0 - row @ row
        if not r2 > tol * tol:
            dropped.append(j)
            continue
        L[len(kept), : len(kept)] = row
        L[len(kept), len(kept)] = np.sqrt(r2)
        kept.append(j)
    return dropped


def _drop_columns(products: dict, dropped: Sequence[int]) -> dict:
    p = int(products["p"])
    kept = [j for j in range(p) if j not in set(dropped)]
    out = dict(products)
    xtx = np.asarray(products["xtx"])
    out["xtx"] = np.ascontiguousarray(xtx[np.ix_(kept, kept)])
    out["xty"] = np.ascontiguousarray(np.asarray(products["xty"])[kept])
    out["ztx"] = np.ascontiguousarray(np.asarray(products["ztx"])[:, :, kept])
    out["shift_x"] = np.ascontiguousarray(np.asarray(products["shift_x"])[kept])
    col = int(products["shift_column"])
    if col >= 0:
        if col in set(dropped):
            raise ValueError("the intercept is aliased with other fixed-effects columns; drop one of them")
        out["shift_column"] = kept.index(col)
    out["p"] = len(kept)
    return out


@dataclass
class RowlessDesign(Design):
    """A design whose rows were not kept: only the counts of rows and groups."""

    n_rows: int = 0

    @property
    def n(self) -> int:
        return self.n_rows


def fit_products(
    plan: ModelPlan,
    products: dict,
    levels: pd.Index,
    n_dropped: int,
    *,
    reml: bool = True,
    evaluator: str = "auto",
    starts: Any = None,
    theta: Sequence[float] | None = None,
    max_iter: int = 300,
    source: str = "",
    t0: float | None = None,
    n_zero_weight: int = 0,
) -> BatchFit:
    """The fit of merged products whose groups are ``levels`` (in that order)."""
    check_flag("reml", reml)
    t0 = time.perf_counter() if t0 is None else t0
    parsed = plan.parsed
    n, m, q = int(products["n"]), int(products["m"]), int(products["q"])  # q: all terms' columns
    glabel = parsed.group_label
    if n == 0:
        raise SourceError(f"{source or 'the source'} has no complete rows in the columns the model uses")
    check_group_counts(glabel, n, m, plan.blocks)
    dropped_idx = aliased_from_gram(np.asarray(products["xtx"]))
    dropped_cols = [plan.fe_all[j] for j in dropped_idx]
    if dropped_cols:
        k = len(dropped_cols)
        warnings.warn(
            f"fixed-effect model matrix is rank deficient so dropping {k} column{'s' if k > 1 else ''} / "
            f"coefficient{'s' if k > 1 else ''}: {', '.join(dropped_cols)}",
            RankDeficiencyWarning,
            stacklevel=3,
        )
        products = _drop_columns(products, dropped_idx)
    kept = [j for j in range(plan.p) if j not in set(dropped_idx)]
    fe_names = [plan.fe_all[j] for j in kept]
    if float(products["yty"]) == 0.0 and int(products["shift_column"]) >= 0:
        raise ValueError(
            f"the response '{parsed.response}' is constant: there is no variation to estimate the variance "
            f"components from"
        )
    t1 = time.perf_counter()
    core = LmmCore.from_products(products, evaluator, blocks=plan.blocks)
    result, n_starts = run_core(
        core, f"response '{parsed.response}'", fe_names, reml, starts=starts, theta=theta, max_iter=max_iter
    )
    t2 = time.perf_counter()
    p = len(fe_names)
    design = RowlessDesign(
        parsed=parsed,
        y=np.empty(0),
        x=np.empty((0, p)),
        z=np.empty((0, q)),
        codes=np.empty(0, np.int64),
        levels=levels,
        fe_names=fe_names,
        re_names=list(plan.re_names),
        row_index=pd.RangeIndex(0),
        n_dropped=int(n_dropped),
        dropped_columns=dropped_cols,
        kept_columns=kept,
        fixed_spec=plan.fixed_spec.rhs if hasattr(plan.fixed_spec, "rhs") else plan.fixed_spec,
        random_specs=list(plan.random_specs),
        blocks=list(plan.blocks),
        offset_specs=list(plan.offset_specs),
        predictor_columns=[c for c in plan.used if any(u == c and r != "response" for u, r in parsed.uses)],
        n_rows=n,
        weights=None if plan.weights is None else np.empty(0),
        weights_label=plan.weights,
        n_zero_weight=int(n_zero_weight),
    )
    fit = BatchFit(
        design,
        core,
        result,
        n_starts=n_starts,
        fit_seconds=t2 - t1,
        total_seconds=t2 - t0,
        evaluator_requested=evaluator,
    )
    fit.source = source
    if theta is None:
        warn_if_singular(fit, stacklevel=3)
    return fit


def fit_parts(plan: ModelPlan, merged: PartProducts, *, source: str, **fit_args: Any) -> BatchFit:
    """The fit of the merged parts of a source, groups in the order of their sorted
    labels (as :func:`quorvelkit.lmm` orders levels); ``fit_args`` as for
    :func:`fit_products`."""
    products, levels = sort_groups(merged.products, merged.labels)
    return fit_products(
        plan, products, levels, merged.n_dropped, source=source, n_zero_weight=merged.n_zero_weight, **fit_args
    )


class BatchFit(LmmFit):
    """A model fitted from products of rows read in batches (a Parquet source, an
    iterator of DataFrames, Dask or Spark partitions). Everything that follows from
    the products is available as for :class:`~quorvelkit.LmmFit`: estimates,
    standard errors, variance components, random effects and conditional
    covariances, criteria, ``predict(newdata)``, ``refit_ml``/``refit_reml``,
    ``anova``, Satterthwaite tests, Wald and profile intervals, the report and
    pickling. What needs the rows raises :class:`RowsUnavailable` (an
    ``AttributeError``): ``fitted``, ``residuals``, ``response``, ``predict()`` without
    new data, prediction intervals (their Z_i'X_i are of the rows), ``refit(y)``,
    ``simulate`` and ``bootstrap`` (and so ``confint(method="boot")``);
    ``predict(batch)`` gives fitted values batch by batch."""

    #: The rows were not kept: see :attr:`needs_rows`.
    rows_kept = False
    #: What raises :class:`RowsUnavailable` on this fit.
    needs_rows = (
        "weights (of a weighted fit)",
        "fitted",
        "residuals",
        "response",
        "predict() without newdata",
        "prediction intervals",
        "refit",
        "simulate",
        "bootstrap",
    )
    source: str = ""

    def _no_rows(self, what: str) -> NoReturn:
        raise RowsUnavailable(
            f"{what} needs the rows, and this model was fitted from products of rows read in batches "
            f"({self.source or 'a batched source'}), which keep none: compute fitted values batch by batch "
            f"with fit.predict(batch)"
        )

    @property
    def weights(self) -> None:
        """``None`` for an unweighted fit; the weights of a weighted one were not kept
        (:attr:`weights_column` names their column)."""
        if self._design.weights is not None:
            self._no_rows("the weights of the rows")
        return None

    @property
    def weights_column(self) -> str | None:
        """The column the prior weights came from (``None`` for an unweighted fit)."""
        return self._design.weights_label

    @property
    def fitted(self) -> NoReturn:
        self._no_rows("fitted")

    @property
    def residuals(self) -> NoReturn:
        self._no_rows("residuals")

    @property
    def response(self) -> NoReturn:
        self._no_rows("response")

    fittedvalues = fitted
    resid = residuals

    def predict(
        self,
        newdata: Any = None,
        re: bool = True,
        allow_new_levels: bool = False,
        interval: str | None = None,
        level: float = 0.95,
    ) -> pd.Series | pd.DataFrame:
        if newdata is None:
            self._no_rows("predict() without newdata")
        if interval is not None:
            self._no_rows("a prediction interval")
        return super().predict(newdata, re=re, allow_new_levels=allow_new_levels)

    def refit(self, y: Any) -> NoReturn:
        self._no_rows("refit(y)")

    def simulate(self, n: int = 1, seed: Any = None) -> NoReturn:
        self._no_rows("simulate")

    def bootstrap(self, *args: Any, **kwargs: Any) -> NoReturn:
        self._no_rows("bootstrap")
