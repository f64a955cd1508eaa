"""Fitting a Dask DataFrame: ``quorvelkit.dask.lmm(formula, ddf)``.

Every partition is reduced to its products by the compiled core inside
``map_partitions`` (on the workers, where the partition is); the products are merged
by a tree reduction keyed by group label (a group may span partitions), whose shape
depends only on the number of partitions, and the fit runs on the client. For a given
partitioning the result is therefore bit-identical whatever the number of workers and
the order in which tasks finish. Needs ``pip install 'quorvelkit[dask]'``.
"""

from __future__ import annotations

import warnings
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import pandas as pd

from .batchfit import BatchFit, PartProducts, fit_parts, merge_parts, part_products
from .batchplan import MAX_LEVELS, ModelPlan, plan_model, require_columns
from .parsing import ParsedFormula, parse_formula

__all__ = ["lmm"]


def _partition(frame: pd.DataFrame, plan: ModelPlan, partition_info: dict | None = None) -> pd.Series:
    """One partition's products, in a one-element Series (what map_partitions returns)."""
    number = partition_info["number"] if partition_info else "?"
    part = part_products(plan, frame, f"partition {number} of the Dask DataFrame")
    return pd.Series([part], dtype=object)


def _merge_list(parts: list) -> PartProducts:
    """Merges the parts in order (a left fold): the inner nodes of the tree."""
    out: PartProducts | None = None
    for s in parts:
        p = s.iloc[0] if isinstance(s, pd.Series) else s
        out = p if out is None else merge_parts(out, p)
    assert out is not None, "a merge of no parts"
    return out


def _tree(items: list, split_every: int) -> Any:
    """A tree of delayed merges over items in partition order; its shape depends only
    on len(items) and split_every."""
    import dask

    merge = dask.delayed(_merge_list, pure=True)
    while True:
        items = [merge(items[i : i + split_every]) for i in range(0, len(items), split_every)]
        if len(items) == 1:
            return items[0]


def _distinct(s: pd.Series) -> pd.Series:
    return pd.Series(s.dropna().unique(), dtype=object)


def _levels(ddf: Any, parsed: ParsedFormula, declared: Mapping[str, Sequence] | None) -> dict[str, list]:
    """Distinct values of the columns formulaic may take as categorical (text,
    categorical, boolean, integer) other than the response and the group, in one
    pass over those columns."""
    import dask

    resp = {c for c, r in parsed.uses if r == "response"}
    cands = []
    for c in parsed.columns:
        if c in resp or c in parsed.group or c not in ddf.columns or (declared and c in declared):
            continue
        dt = ddf.dtypes[c]
        if (
            pd.api.types.is_object_dtype(dt)
            or pd.api.types.is_string_dtype(dt)
            or pd.api.types.is_bool_dtype(dt)
            or isinstance(dt, pd.CategoricalDtype)
            or pd.api.types.is_integer_dtype(dt)
        ):
            cands.append(c)
    out = {c: list(v) for c, v in (declared or {}).items()}
    if cands:
        # Distinct values per partition, then on the client: no shuffle of rows.
        found = dask.compute(*[ddf[c].map_partitions(_distinct, meta=pd.Series(dtype=object)) for c in cands])
        for c, vals in zip(cands, found, strict=True):
            vals = pd.unique(np.asarray(vals, dtype=object))
            if len(vals) <= MAX_LEVELS:
                out[c] = sorted(vals.tolist(), key=lambda v: (type(v).__name__, v))
    return out


def lmm(
    formula: str,
    ddf: Any,
    reml: bool = True,
    evaluator: str = "auto",
    starts: Any = None,
    *,
    theta: Sequence[float] | None = None,
    max_iter: int = 300,
    levels: Mapping[str, Sequence] | None = None,
    progress: bool | None = None,
    weights: str | None = None,
    split_every: int = 8,
) -> BatchFit:
    """Fit a linear mixed model to a Dask DataFrame, partition by partition.

    Args:
        formula, reml, evaluator, starts, theta, max_iter: as for :func:`quorvelkit.lmm`.
        ddf: a ``dask.dataframe.DataFrame``; computed on the current scheduler (a
            ``distributed.Client`` when one is active).
        levels: the levels of categorical columns, ``{column: [levels]}``; by default a
            first pass collects the distinct values of the text, categorical, boolean
            and integer columns the formula uses (those columns only).
        progress: show the engine's progress bar (distributed's when a client is
            active, else dask's).
        split_every: partitions merged per node of the reduction tree.
        weights: the column of prior weights, as :func:`quorvelkit.lmm` takes them
            (finite and non-negative; rows of weight zero are left out).

    Returns:
        :class:`quorvelkit.sources.BatchFit`.

    Raises:
        SourceError: a missing column, a partition whose group column has missing
            values, a level outside the model's, a value that is not finite (naming
            the column and the partition), before any fit.
    """

    parsed = parse_formula(formula)
    require_columns(list(parsed.columns) + ([weights] if weights else []), list(ddf.columns), "the Dask DataFrame")
    used = [c for c in ddf.columns if c in set(parsed.columns) or c == weights]
    ddf = ddf[used]
    found = _levels(ddf, parsed, levels)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # fewer rows than asked for: fine
        sample = ddf.head(1000, npartitions=min(ddf.npartitions, 4))
    plan = plan_model(parsed, sample, found, where="the first rows of the Dask DataFrame", weights=weights)
    parts = ddf.map_partitions(_partition, plan, meta=pd.Series(dtype=object), align_dataframes=False)
    tree = _tree(list(parts.to_delayed()), max(2, int(split_every)))
    merged = _compute(tree, progress)
    fit_args = dict(reml=reml, evaluator=evaluator, starts=starts, theta=theta, max_iter=max_iter)
    return fit_parts(plan, merged, source=f"a Dask DataFrame of {ddf.npartitions} partitions", **fit_args)


def _compute(tree: Any, progress: bool | None) -> Any:
    if not progress:
        return tree.compute()
    try:
        from distributed import get_client
        from distributed import progress as dist_progress

        client = get_client()
    except (ImportError, ValueError):
        from dask.diagnostics import ProgressBar

        with ProgressBar():
            return tree.compute()
    future = client.compute(tree)
    dist_progress(future)
    return future.result()
