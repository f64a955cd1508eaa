"""The fit of merged products of rows read in batches, :func:`fit_parts` (a model without
its rows, whose aliased columns are found from X'X); a model whose rows are at hand is
fitted by :func:`quorvelkit.results.lmm_fit.fit_design`."""

from __future__ import annotations

import time

import numpy as np

from .._quorvelkit import CrossedCore, LmmCore
from ..cores.product_layout import core_order, keep_columns, lmm_core_products, same_partition, sort_levels
from ..cores.products import PartProducts, with_ztz
from ..model.description import ModelSpec
from ..model.design import Design, same_grouping, theta_layout_of
from ..model.fit_options import FitOptions
from ..model.model_checks import check_group_counts, drop_aliased
from ..results.lmm_fit import LmmFit, fit_design
from ..support.errors import SourceError

__all__ = ["fit_parts"]


def _rows_of(products: dict, source: str) -> int:
    """The products' number of rows; a :class:`SourceError` when there is none."""
    n = int(products["n"])
    if n == 0:
        raise SourceError(f"{source or 'the source'} has no complete rows in the columns the model uses")
    return n


def _estimable(spec: ModelSpec, products: dict) -> tuple[dict, list[int]]:
    """The products without aliased fixed-effects columns (a
    :class:`RankDeficiencyWarning` naming them points at the caller of the fit), and
    the columns kept; a ``ValueError`` for a constant response."""
    kept = drop_aliased(np.asarray(products["xtx"]), spec.fe_all, stacklevel=5)
    if len(kept) < spec.p:
        products = keep_columns(products, kept)
    if float(products["yty"]) == 0.0 and int(products["shift_column"]) >= 0:
        raise ValueError(
            f"the response '{spec.parsed.response}' is constant: there is no variation to estimate the variance "
            f"components from"
        )
    return products, kept


def fit_parts(
    spec: ModelSpec, merged: PartProducts, options: FitOptions, *, source: str, t0: float | None = None
) -> LmmFit:
    """The fit of the merged parts of a source (its batches, or Dask or Spark
    partitions): each factor's levels in the order of its sorted labels (as
    :func:`quorvelkit.lmm` orders levels), a model without its rows whose
    :attr:`~quorvelkit.LmmFit.source` says where they were read. One grouping factor is
    fitted by the one-factor core; several by the crossed core, the factors in its
    order (lme4's), a :class:`~quorvelkit.results.crossed_fit.CrossedFit`. The products
    are taken out of ``merged`` as their sorted copy is made, and the core takes the
    per-level arrays out of theirs as it copies them, so that no two copies are held
    through the fit."""
    t0 = time.perf_counter() if t0 is None else t0
    products, levels = sort_levels(with_ztz(merged).products, merged.factor_labels)
    merged.products = {}
    n = _rows_of(products, source)
    for f, lv in zip(spec.factors, levels, strict=True):
        check_group_counts(f.name, n, len(lv), f.blocks)
    same = same_partition(products)
    if same is not None:
        raise same_grouping(spec.factors[same[0]].name, spec.factors[same[1]].name, len(levels[same[0]]))
    products, kept = _estimable(spec, products)
    design = Design(
        spec,
        levels[0],
        n,
        kept,
        merged.n_dropped,
        merged.n_zero_weight,
        rows=None,
        source=source,
        factor_levels=levels,
    )
    if len(levels) == 1:
        t1 = time.perf_counter()
        core = LmmCore.from_products(lmm_core_products(products), options.evaluator, blocks=spec.blocks, take=True)
        return fit_design(design, core, options, t0, t1, stacklevel=4)
    from ..cores.crossed_core import lme4_terms
    from ..results.crossed_fit import CrossedFit

    layout = theta_layout_of(design)
    order = list(layout.factor_order)
    t1 = time.perf_counter()
    crossed = CrossedCore.from_products(
        core_order(products, order), [list(spec.factors[i].blocks) for i in order], lme4_terms(design, layout)
    )
    return fit_design(design, crossed, options, t0, t1, stacklevel=4, kind=CrossedFit)
