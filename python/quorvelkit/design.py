"""From a parsed formula and a data frame to the arrays the core takes: the response,
the fixed- and random-effects model matrices (built by formulaic; one block of columns
per random-effects term), the group codes and levels, the prior weights and the
offset, with rows that miss a value (or have weight zero) dropped and aliased
fixed-effects columns removed."""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from .errors import RankDeficiencyWarning, clean_message
from .parsing import ParsedFormula, parse_formula
from .rowinputs import check_weights, row_values

__all__ = [
    "Design",
    "build_design",
    "to_frame",
    "aliased_columns",
    "check_columns",
    "check_response_variation",
    "join_labels",
    "referenced_columns",
]


def to_frame(data: Any) -> pd.DataFrame:
    """``data`` as a pandas DataFrame (a DataFrame is returned as is)."""
    if isinstance(data, pd.DataFrame):
        return data
    if hasattr(data, "to_pandas") and callable(data.to_pandas):
        frame = data.to_pandas()
        if isinstance(frame, pd.DataFrame):
            return frame
    try:
        return pd.DataFrame(data)
    except Exception as exc:
        raise TypeError(
            f"data must be a pandas DataFrame or something pandas can turn into one, got {type(data).__name__}: {exc}"
        ) from None


def referenced_columns(parsed: ParsedFormula, columns: pd.Index, response: bool = True) -> list[str]:
    """Data columns the formula refers to, in data order (without the response's
    columns when ``response`` is false). Nothing is evaluated: the columns come from
    the checked parse of every expression."""
    names = {c for c, role in parsed.uses if response or role != "response"}
    return [c for c in columns if isinstance(c, str) and c in names]


def _missing_columns(parsed: ParsedFormula, columns: pd.Index) -> list[str]:
    have = {c for c in columns if isinstance(c, str)}
    return [c for c in parsed.columns if c not in have]


def _rename(names: Sequence[str], renames: Sequence[tuple[str, str]] = ()) -> list[str]:
    """lme4's "(Intercept)", and the terms the check rewrote under the names they are
    written with (formulaic's spelling of ``I(Time^2)`` is "I(Time ^ 2)", not the
    "I(Time ** 2)" it evaluates)."""
    order = sorted(renames, key=lambda r: -len(r[0]))
    out = []
    for n in names:
        n = str(n)
        if n == "Intercept":
            n = "(Intercept)"
        for new, old in order:
            n = n.replace(new, old)
        out.append(n)
    return out


def aliased_columns(x: np.ndarray, tol: float = 1e-7) -> list[int]:
    """Indices of columns of ``x`` that are linear combinations of earlier columns.

    Columns are taken in order (as R's ``qr`` with its default tolerance, which lme4
    uses): a column whose distance to the span of the kept columns is below ``tol``
    times its own norm is aliased. A column of zeros is always aliased.
    """
    n, p = x.shape
    if p == 0:
        return []
    gram = x.T @ x
    norms = np.sqrt(np.diag(gram))
    zero = ~(norms > 0)
    unit = np.where(zero, 1.0, norms)
    if n >= p and not zero.any() and np.all(np.isfinite(gram)):
        # Fast path: Cholesky of the Gram matrix of the unit columns; its diagonal is
        # each column's distance to the span of the columns before it. Accept only
        # pivots far above rounding; anything close is settled exactly below.
        try:
            chol = np.linalg.cholesky(gram / np.outer(unit, unit))
            if np.all(np.abs(np.diag(chol)) >= 1e-5):
                return []
        except np.linalg.LinAlgError:
            pass
    scaled = x / unit
    # Exact path: the R of an unpivoted QR has the geometry of the columns (X = QR),
    # so the greedy test runs on p x p numbers.
    cols: np.ndarray = np.asarray(np.linalg.qr(scaled, mode="r")) if n > p else scaled
    basis = np.zeros((cols.shape[0], 0))
    dropped: list[int] = []
    for j in range(p):
        if zero[j]:
            dropped.append(j)
            continue
        resid = cols[:, j].copy()
        for _ in range(2):  # Gram-Schmidt, twice for stability
            if basis.shape[1]:
                resid = resid - basis @ (basis.T @ resid)
        rnorm = float(np.linalg.norm(resid))
        if rnorm < tol:
            dropped.append(j)
        else:
            basis = np.column_stack([basis, resid / rnorm])
    return dropped


@dataclass
class Design:
    """Everything :func:`build_design` derives from a formula and a data frame.

    ``z`` holds the random-effects terms' columns side by side, ``blocks`` the number
    of each term's (the block sizes of Lambda) and ``random_specs`` their formulaic
    specs. ``y`` is the response as given; the core fits :attr:`core_y`, the response
    less the offset. ``weights`` are the prior weights of the rows used (``None``
    without), ``weights_label`` the column they came from (``None`` for an array).
    ``offset`` is the offset of the rows used (``None`` without): the sum of the
    formula's ``offset()`` terms (``offset_specs``) and of an offset given to
    :func:`~quorvelkit.lmm` (``offset_given``, the part new data cannot supply when it
    is an array: ``offset_array``).
    """

    parsed: ParsedFormula
    y: np.ndarray
    x: np.ndarray
    z: np.ndarray
    codes: np.ndarray
    levels: pd.Index
    fe_names: list[str]
    re_names: list[str]
    row_index: pd.Index
    n_dropped: int
    dropped_columns: list[str]
    kept_columns: list[int]
    fixed_spec: Any
    random_specs: list[Any]
    predictor_columns: list[str] = field(default_factory=list)
    blocks: list[int] = field(default_factory=list)
    weights: np.ndarray | None = None
    weights_label: str | None = None
    n_zero_weight: int = 0
    offset: np.ndarray | None = None
    offset_specs: list[Any] = field(default_factory=list)
    offset_column: str | None = None
    offset_array: bool = False

    @property
    def n(self) -> int:
        """Number of observations used."""
        return int(self.y.shape[0])

    @property
    def core_y(self) -> np.ndarray:
        """The response the core fits: ``y`` less the offset."""
        if self.offset is None:
            return self.y
        return np.ascontiguousarray(self.y - self.offset)

    @property
    def m(self) -> int:
        """Number of levels of the grouping factor."""
        return int(len(self.levels))


def join_labels(frame: pd.DataFrame, columns: Sequence[str]) -> pd.Series:
    """Labels of the interaction of several grouping columns, e.g. "a1:b2"."""
    out = frame[columns[0]].astype(str)
    for c in columns[1:]:
        out = out + ":" + frame[c].astype(str)
    return out


def _drop_unused_categories(values: pd.Series) -> pd.Series:
    """``values.cat.remove_unused_categories()``, in one counting pass when every
    category is used (pandas' own call sorts the codes, the costliest step of building
    a design with a million rows)."""
    codes = values.cat.codes.to_numpy()
    present = codes[codes >= 0] if (codes < 0).any() else codes
    if np.bincount(present, minlength=len(values.cat.categories)).all():
        return values
    return values.cat.remove_unused_categories()


def _sorted_levels(values: pd.Series) -> tuple[np.ndarray, pd.Index]:
    """Codes 0..m-1 and the levels, sorted (categoricals keep their category order)."""
    if isinstance(values.dtype, pd.CategoricalDtype):
        cat = _drop_unused_categories(values)
        return cat.cat.codes.to_numpy(dtype=np.int64), pd.Index(cat.cat.categories)
    try:
        codes, uniques = pd.factorize(values, sort=True)
    except TypeError:  # labels of mixed, unorderable types: sort by type, then text
        codes, uniques = pd.factorize(values, sort=False)
        order = sorted(range(len(uniques)), key=lambda i: (type(uniques[i]).__name__, str(uniques[i])))
        remap = np.empty(len(order), dtype=np.int64)
        remap[np.asarray(order, dtype=np.int64)] = np.arange(len(order))
        codes = remap[codes]
        uniques = pd.Index([uniques[i] for i in order], dtype=object)
    return np.asarray(codes, dtype=np.int64), pd.Index(uniques)


def _check_response(frame: pd.DataFrame, columns: Sequence[str], row_index: pd.Index) -> None:
    """Refuse a response column that is not numeric, naming a value that is not a number
    and its row (``row_index`` holds the data's row labels of ``frame``'s rows)."""
    for name in columns:
        col = frame[name]
        if pd.api.types.is_numeric_dtype(col) or pd.api.types.is_bool_dtype(col):
            continue
        values = col.to_numpy(dtype=object)
        as_numbers = pd.to_numeric(pd.Series(values, dtype=object), errors="coerce").to_numpy()
        bad = np.flatnonzero(pd.isna(as_numbers))
        if len(bad):
            k = int(bad[0])
            raise ValueError(
                f"the response column '{name}' must be numeric, but it holds {values[k]!r} "
                f"in row {row_index[k]!r}, which is not a number"
            )
        raise ValueError(
            f"the response column '{name}' holds numbers stored as text (such as "
            f"{values[0]!r} in row {row_index[0]!r}); convert it first, e.g. with pandas.to_numeric"
        )


def _materialize(spec_or_formula: Any, frame: pd.DataFrame, what: str) -> Any:
    from formulaic import model_matrix
    from formulaic.errors import FormulaicError

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            # An empty context: the checked expressions see the data's columns and
            # formulaic's transforms, never the variables of a caller's frame.
            return model_matrix(spec_or_formula, frame, na_action="ignore", context={})
    except FormulaicError as exc:
        raise ValueError(f"cannot build the {what}: {clean_message(exc)}") from None


def _finite_check(matrix: np.ndarray, names: Sequence[str], what: str) -> None:
    bad = ~np.isfinite(matrix)
    if bad.any():
        cols = [names[int(j)] for j in np.flatnonzero(bad.any(axis=0))]
        kinds = "infinite" if not np.isnan(matrix[bad]).any() else "non-finite"
        raise ValueError(f"the {what} has {kinds} values in column(s) {', '.join(cols)}; remove or fix those rows")


def check_response_variation(y: np.ndarray, name: str) -> None:
    """Raise ``ValueError`` for a constant response, which leaves no variation to
    estimate anything from. (A response that the fixed effects fit exactly is refused
    by the core, where the products already hold the residual sum of squares; see
    :func:`quorvelkit.errors.exact_fit_error`.)"""
    if y.shape[0] and float(np.max(y)) == float(np.min(y)):
        raise ValueError(
            f"the {name} is constant (every value is {float(y[0]):.6g}): there is no "
            f"variation to estimate the variance components from"
        )


def check_terms(parsed: ParsedFormula, blocks: Sequence[int]) -> None:
    """``ValueError`` for a random-effects term without columns (``blocks``: the
    columns of each term)."""
    if 0 in blocks:
        empty = parsed.random_terms[list(blocks).index(0)].text
        raise ValueError(
            f"the random-effects term ({empty} | {parsed.group_label}) has no columns; "
            f"use (1 | g) for a random intercept"
        )


def check_group_counts(glabel: str, n: int, m: int, blocks: Sequence[int]) -> None:
    """lme4's checks of the numbers of levels and observations (``ValueError``): more
    than one level, fewer levels than observations, and more observations than random
    effects of the largest term (``blocks``: the columns of each term)."""
    q = max(blocks)
    if m < 2:
        raise ValueError(f"the grouping factor '{glabel}' must have more than one level, it has {m}")
    if m >= n:
        raise ValueError(f"the number of levels of '{glabel}' ({m}) must be less than the number of observations ({n})")
    if m * q >= n:
        raise ValueError(
            f"the number of observations ({n}) must exceed the number of random effects "
            f"({m * q} = {m} levels x {q} terms); the random-effects parameters and the "
            f"residual variance are probably unidentifiable"
        )


def check_columns(parsed: ParsedFormula, columns: pd.Index, source: str = "the data") -> None:
    """Raise ``ValueError`` naming every column the formula needs that ``columns``
    lacks. (Functions were checked when the formula was parsed: an unknown one never
    reaches this point.)"""
    missing = _missing_columns(parsed, columns)
    if missing:
        avail = ", ".join(str(c) for c in columns)
        which = "column" if len(missing) == 1 else "columns"
        raise ValueError(f"{which} {', '.join(repr(c) for c in missing)} not found in {source} (columns: {avail})")


def _offset_terms(parsed: ParsedFormula, named: pd.DataFrame, row_index: pd.Index) -> tuple[np.ndarray | None, list]:
    """The sum of the formula's offset() terms over the rows of ``named`` and their
    formulaic specs (for new data)."""
    total: np.ndarray | None = None
    specs = []
    for text in parsed.offsets:
        mm = _materialize(f"{text} ~ 1", named, "offset").lhs
        shown = text[2:-1] if text.startswith("I(") else text
        values = mm.to_numpy(dtype=float) if mm.shape[1] == 1 else None
        if values is None or len(values) != len(named):
            raise ValueError(f"the offset '{shown}' must be one number per row")
        bad = ~np.isfinite(values[:, 0])
        if bad.any():
            raise ValueError(f"the offset '{shown}' is not finite in row {row_index[int(np.argmax(bad))]!r}")
        total = values[:, 0] if total is None else total + values[:, 0]
        specs.append(mm.model_spec)
    return total, specs


def build_design(parsed: ParsedFormula, data: Any, weights: Any = None, offset: Any = None) -> Design:
    """Build y, X, Z, the group codes, the prior weights and the offset for ``parsed``
    from ``data``.

    ``weights`` and ``offset`` are column names of ``data`` or arrays of one number per
    row of it (see :func:`quorvelkit.lmm`). Rows with a missing value in any column
    the formula uses (response, fixed part, offsets, random part, grouping factor) or
    in the offset given are dropped and counted; so are rows of weight zero, which
    carry no information (their residual variance is infinite). Weights that are
    negative or not finite raise ``ValueError`` naming the row. Aliased
    fixed-effects columns are dropped with a :class:`RankDeficiencyWarning` naming
    them. Infinite values raise ``ValueError``.
    """
    frame = to_frame(data)
    if not parsed.model_fixed:  # not made by parse_formula: check it now
        parsed = parse_formula(parsed.text)
    check_columns(parsed, frame.columns)
    used = referenced_columns(parsed, frame.columns)
    n_all = len(frame)
    if n_all == 0:
        raise ValueError("the data has no rows")
    prior = row_values(weights, frame, "weights")
    given = row_values(offset, frame, "offset")
    sub = frame[used]
    missing = sub.isna().any(axis=1).to_numpy()
    if given is not None:
        missing = missing | np.isnan(given.values)
    complete = ~missing
    n_dropped = int(missing.sum())
    if not complete.any():
        raise ValueError(f"every row has a missing value in the columns the model uses ({', '.join(used)})")
    keep, n_zero = complete, 0
    if prior is not None:
        check_weights(prior.values[complete], frame.index[complete])
        zero = complete & (prior.values == 0)
        n_zero = int(zero.sum())
        if n_zero == int(complete.sum()):
            raise ValueError("the weights are zero in every row the model could use")
        keep = complete & ~zero
    subset = not keep.all()
    work = sub.loc[keep] if subset else sub
    row_index = frame.index[keep] if subset else frame.index
    work = work.reset_index(drop=True)
    for col in work.columns:
        if isinstance(work[col].dtype, pd.CategoricalDtype):
            work[col] = _drop_unused_categories(work[col])
    _check_response(work, [c for c, r in parsed.uses if r == "response"], row_index)

    named = parsed.for_formulaic(work)
    fixed_mm = _materialize(f"{parsed.model_response} ~ {parsed.model_fixed}", named, "fixed-effects model matrix")
    lhs, rhs = fixed_mm.lhs, fixed_mm.rhs
    if lhs.shape[1] != 1:
        raise ValueError(f"the response '{parsed.response}' must be one numeric column")
    random_mms = [_materialize(t.model_text, named, "random-effects model matrix") for t in parsed.random_terms]
    if len(lhs) != len(work) or len(rhs) != len(work) or any(len(r) != len(work) for r in random_mms):
        raise ValueError("the formula dropped rows unexpectedly (missing values after a transform?)")

    y = np.ascontiguousarray(lhs.to_numpy(dtype=float)[:, 0])
    x_all = np.asarray(rhs.to_numpy(dtype=float))
    z = np.ascontiguousarray(np.column_stack([r.to_numpy(dtype=float) for r in random_mms]))
    blocks = [int(r.shape[1]) for r in random_mms]
    fe_all = _rename(rhs.columns, parsed.renames)
    re_names = _rename([c for r in random_mms for c in r.columns], parsed.renames)

    if not np.all(np.isfinite(y)):
        raise ValueError(f"the response '{parsed.response}' has non-finite values (inf or NaN)")
    _finite_check(x_all, fe_all, "fixed-effects model matrix")
    _finite_check(z, re_names, "random-effects model matrix")
    if x_all.shape[1] == 0:
        raise ValueError("the fixed-effects part has no columns; keep the intercept or add a term")
    check_terms(parsed, blocks)

    dropped_idx = aliased_columns(x_all)
    kept = [j for j in range(x_all.shape[1]) if j not in set(dropped_idx)]
    dropped_cols = [fe_all[j] for j in dropped_idx]
    if dropped_cols:
        k = len(dropped_cols)
        warnings.warn(
            f"fixed-effect model matrix is rank deficient so dropping {k} "
            f"column{'s' if k > 1 else ''} / coefficient{'s' if k > 1 else ''}: "
            f"{', '.join(dropped_cols)}",
            RankDeficiencyWarning,
            stacklevel=3,
        )
    x = np.ascontiguousarray(x_all[:, kept])
    fe_names = [fe_all[j] for j in kept]

    off, offset_specs = _offset_terms(parsed, named, row_index)
    if given is not None:
        values = given.values[keep]
        if not np.all(np.isfinite(values)):
            raise ValueError(f"the offset is not finite in row {row_index[int(np.argmax(~np.isfinite(values)))]!r}")
        off = values if off is None else off + values
    if off is None:
        check_response_variation(y, f"response '{parsed.response}'")
    else:
        check_response_variation(y - off, f"response '{parsed.response}' less its offset")

    if len(parsed.group) == 1:
        gvals = work[parsed.group[0]]
    else:
        gvals = join_labels(work, parsed.group)
    codes, levels = _sorted_levels(gvals)
    check_group_counts(parsed.group_label, len(y), len(levels), blocks)
    return Design(
        parsed=parsed,
        y=y,
        x=x,
        z=z,
        codes=np.ascontiguousarray(codes, dtype=np.int64),
        levels=levels,
        fe_names=fe_names,
        re_names=re_names,
        row_index=row_index,
        n_dropped=n_dropped,
        dropped_columns=dropped_cols,
        kept_columns=kept,
        fixed_spec=rhs.model_spec,
        random_specs=[r.model_spec for r in random_mms],
        predictor_columns=referenced_columns(parsed, frame.columns, response=False),
        blocks=blocks,
        weights=None if prior is None else np.ascontiguousarray(prior.values[keep]),
        weights_label=None if prior is None else prior.label,
        n_zero_weight=n_zero,
        offset=None if off is None else np.ascontiguousarray(off, dtype=float),
        offset_specs=offset_specs,
        offset_column=None if given is None else given.label,
        offset_array=given is not None and given.label is None,
    )
