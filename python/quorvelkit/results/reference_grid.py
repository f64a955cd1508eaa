"""The reference grid of a fitted model's fixed part, as emmeans builds it (Searle,
Speed and Milliken 1980, "Population marginal means in the linear model", Am. Stat.
34(4); Lenth's R package emmeans): every factor of the fixed part at each of its levels,
crossed, every numeric covariate at its mean over the rows used (or at the values
``at`` gives), and the fixed-effects row x' of each cell, so that x'beta is the
model's prediction there.

The rows x' are the model's own matrices of the grid (formulaic's model description of
the fixed part applied to the grid, as :meth:`predict` builds them), so every term,
coding and transform is the fit's. A covariate's mean is the mean of its column of X,
which it has when it enters the model as a term of its own; a covariate used only
inside a transform or an interaction has no such column and needs ``at``. A model's
offset enters every cell at its mean over the rows used, as emmeans takes it.
"""

from __future__ import annotations

import dataclasses
import itertools
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ..model.design import Design
from .inference import _fixed_columns
from .predict import model_rows

__all__ = ["ReferenceGrid", "reference_grid"]


@dataclass
class ReferenceGrid:
    """The cells of a reference grid: ``variables`` in the model's order, the
    ``values`` each takes (a factor's levels, a covariate's values), which of them are
    ``factors``, the cells' codes (one column per variable, the first varying fastest,
    as R's ``expand.grid``), their fixed-effects rows ``x`` (one column per kept
    fixed effect) and offsets. ``counts`` are the rows of the data in each cell (the
    cell's factor levels; prior weights do not count), or None where the fit cannot
    count them (``why_no_counts`` says why)."""

    variables: list[str]
    values: dict[str, list[Any]]
    factors: set[str]
    codes: np.ndarray
    x: np.ndarray
    offset: np.ndarray
    counts: np.ndarray | None = None
    why_no_counts: str = ""


def _fixed_variables(design: Design, at: Mapping[str, Any]) -> list[str]:
    """The data columns the fixed part reads, and those its offset() terms read that
    ``at`` names, in the order of the data read."""
    spec = design.spec
    alias = dict(spec.parsed.aliases)
    used = set(spec.fixed_spec.variables_by_source.get("data", set()))
    for part in spec.offset_specs:
        used |= {v for v in part.variables_by_source.get("data", set()) if v in {alias.get(c, c) for c in at}}
    return [c for c in spec.used if alias.get(c, c) in used]


def _offset(design: Design) -> float:
    """The offset of every cell: the mean of the model's offset over the rows used, as
    emmeans (1.8) takes it whatever the grid's values of the offset's variables."""
    if not (design.spec.offset_array or design.spec.offset_column is not None or design.spec.offset_specs):
        return 0.0
    offset = design.need_rows("the mean of the offset over the rows").offset
    return 0.0 if offset is None else float(np.mean(offset))


def _column_means(design: Design, gram: Any) -> np.ndarray | None:
    """The mean of each kept column of X over the rows used: from the rows, else from
    X'X where the fit gives it (``gram()``, unweighted, with an intercept column:
    X'1 / n is its intercept column over n), else None."""
    if design.rows is not None:
        return np.asarray(design.rows.x.mean(axis=0))
    names = design.fe_names
    if gram is None or design.weighted or "(Intercept)" not in names:
        return None
    xtx = gram()
    return None if xtx is None else np.asarray(xtx)[:, names.index("(Intercept)")] / design.n


def _covariate_value(design: Design, column: str, means: np.ndarray | None) -> float:
    names = design.fe_names
    label = design.spec.parsed.display_names([dict(design.spec.parsed.aliases).get(column, column)])[0]
    if label not in names:
        raise ValueError(
            f"the covariate '{column}' has no column of its own in the fixed effects (it enters through a "
            f"transform or an interaction only), so its mean is not known: give its value with "
            f"at={{'{column}': ...}}"
        )
    if means is None:
        raise ValueError(
            f"the mean of the covariate '{column}' needs the rows or their products, which this fit does not "
            f"keep (a fit from batches that is weighted or has no intercept): give its value with "
            f"at={{'{column}': ...}}"
        )
    return float(means[names.index(label)])


def _row_codes(design: Design, keys: Mapping[str, str], levels: Mapping[str, list[Any]]) -> np.ndarray:
    """Each row's level (index into ``levels``) of each factor, read from the
    treatment-coded indicator columns of its main effect (``keys``: each factor's
    name in the model); ``ValueError`` when a factor has no such columns among the
    kept ones."""
    rows = design.need_rows("the counts of the cells (weights='proportional')")
    columns, _ = _fixed_columns(design.spec.fixed_spec)
    kept = {j: k for k, j in enumerate(design.kept_columns)}
    out = np.zeros((rows.x.shape[0], len(keys)), dtype=np.int64)
    for f, (name, target) in enumerate(keys.items()):
        main = [(fs[0][1], kept.get(j)) for j, (_, fs) in enumerate(columns) if len(fs) == 1 and fs[0][0] == target]
        found = [(lev, k) for lev, k in main if lev is not None and k is not None]
        if len(found) != len(main) or len(found) < len(levels[name]) - 1:
            raise ValueError(f"the counts of the cells need the main effect of '{name}' in the fixed part")
        for lev, k in found:
            out[rows.x[:, k] == 1.0, f] = lev
    return out


def reference_grid(
    design: Design, at: Mapping[str, Any] | None, gram: Any = None, counts: bool = False
) -> ReferenceGrid:
    """The reference grid of ``design``'s fixed part (see the module), the values
    ``at`` names replacing a variable's default (a subset of a factor's levels, or a
    covariate's values). ``gram``: X'X of a fit without its rows, when it has it;
    ``counts``: count the rows of each cell (for proportional weights)."""
    at = dict(at or {})
    variables = _fixed_variables(design, at)
    unknown = [k for k in at if k not in variables]
    if unknown:
        raise ValueError(f"at names {unknown}, which the fixed part does not use; it uses {variables}")
    if design.dropped_columns:
        raise ValueError(
            "marginal means of a model whose fixed-effects matrix is rank deficient (columns "
            f"{design.dropped_columns} dropped) are not offered: some cells are not estimable"
        )
    alias = dict(design.spec.parsed.aliases)
    categorical = design.spec.categorical
    values: dict[str, list[Any]] = {}
    factors: set[str] = set()
    means: np.ndarray | None = None
    keys: dict[str, str] = {}
    for c in variables:
        # a column read as a factor, or made one in the formula (factor(c) is C(c) to formulaic)
        key = next((k for k in (alias.get(c, c), f"C({alias.get(c, c)})") if k in categorical), None)
        levels = None if key is None else categorical[key]
        if levels is not None:
            factors.add(c)
            keys[c] = str(key)
            chosen = list(np.atleast_1d(at[c])) if c in at else list(levels)
            missing = [v for v in chosen if v not in levels]
            if missing or not chosen:
                raise ValueError(f"at gives levels of '{c}' it does not have: {missing}; its levels are {levels}")
            values[c] = chosen
        elif c in at:
            values[c] = [float(v) for v in np.atleast_1d(np.asarray(at[c], dtype=float))]
        else:
            if means is None:
                means = _column_means(design, gram)
            values[c] = [_covariate_value(design, c, means)]
    sizes = [len(values[c]) for c in variables]
    codes = np.array([tuple(reversed(t)) for t in itertools.product(*(range(n) for n in reversed(sizes)))])
    codes = codes.reshape(-1, len(variables)).astype(np.int64)
    frame = pd.DataFrame({c: [values[c][i] for i in codes[:, j]] for j, c in enumerate(variables)})
    for c in factors:
        if keys[c] == alias.get(c, c):
            frame[c] = pd.Categorical(frame[c], categories=categorical[keys[c]])
    # Columns X does not read (a residual structure's, an offset's) take any value.
    for c in design.spec.predictor_columns + [design.spec.offset_column or ""]:
        if c and c not in frame.columns:
            frame[c] = 1.0
    # new rows cannot supply an offset given as an array, and the grid needs none
    plain = dataclasses.replace(design, spec=dataclasses.replace(design.spec, offset_array=False))
    _, x, _, _, _, _ = model_rows(plain, frame, re=False, allow_new_levels=True, by_value=dict)
    grid = ReferenceGrid(variables, values, factors, codes, x, np.full(len(codes), _offset(design)))
    fs = [c for c in variables if c in factors]
    if not counts:
        return grid
    try:
        of = {c: categorical[keys[c]] for c in fs}
        row_codes = _row_codes(design, {c: keys[c] for c in fs}, of)
        grid.counts = _cell_counts(grid, fs, of, row_codes)
    except (ValueError, AttributeError) as exc:  # RowsUnavailable is an AttributeError
        grid.why_no_counts = str(exc)
    return grid


def _cell_counts(
    grid: ReferenceGrid,
    factors: Sequence[str],
    levels: Mapping[str, list[Any]],
    row_codes: np.ndarray,
) -> np.ndarray:
    """The rows at each cell's levels of ``factors`` (every covariate value of the cell
    alike); ``row_codes`` index each factor's full ``levels``. Prior weights do not
    count: emmeans counts an lmer fit's rows, weighted or not."""
    if not factors:
        return np.full(len(grid.codes), float(row_codes.shape[0]))
    found = pd.Series(list(map(tuple, row_codes.tolist()))).value_counts()
    full = [[levels[c].index(v) for v in grid.values[c]] for c in factors]
    cols = [grid.variables.index(c) for c in factors]
    keys = [tuple(full[f][int(cell[j])] for f, j in enumerate(cols)) for cell in grid.codes]
    return np.array([float(found.get(k, 0)) for k in keys])
