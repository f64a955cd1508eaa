"""The response of a binomial or Poisson mixed model, read from a formula's left-hand side
and the data with R's meaning (that of ``glm`` and lme4's ``glmer``, whose families read
a model frame's response in their ``initialize`` code).

Binomial responses:

- 0/1 numbers or booleans: Bernoulli trials (one trial per row);
- a factor: a categorical column (its categories in order, those unused dropped as R's
  model frame drops them) or a text column (its labels sorted, the order ``factor()``
  gives them in R under the C locale). The FIRST level is a failure (0), every other
  level a success (1): a third level is a success too, as in R, with a
  :class:`~quorvelkit.support.errors.ResponseLevelsWarning` (R says nothing);
- ``cbind(successes, failures)``: each argument a column or an expression of columns
  (``cbind(incidence, size - incidence)``); the proportion ``s / (s + f)`` of
  ``s + f`` trials. A row of no trials is kept with weight zero, as R keeps it;
- proportions in [0, 1] with ``weights=`` giving the trials (``incidence/size`` with
  ``weights = size``). A row of weight zero is kept, its proportion set to 0, as R does.

Poisson responses are non-negative counts, as are negative binomial ones (``nbinom2``,
``nbinom1``); a zero-truncated Poisson response is a count of at least 1. A
``betabinomial`` response is read as a binomial one. The continuous families take
numbers: ``Gamma`` and ``inverse.gaussian`` positive ones, ``beta`` proportions strictly
inside (0, 1), ``gaussian`` any.

As in R, rows whose response (or weight) is missing are dropped; values outside the
family's support are refused (a :class:`ValueError` naming the response, the first bad
value and its row); counts that are not integers are kept with a
:class:`NonIntegerResponseWarning`, under R's tolerances (binomial successes 1e-3, as
``binomial()$initialize``; Poisson counts 1e-7 relative, as ``dpois``).

The left-hand side is read as every other part of a formula is: the parse splits it
into its parts (:func:`~quorvelkit.formula.parsing.response_parts`: cbind()'s two, else
itself), the design evaluates them with the formula's evaluator
(:mod:`quorvelkit.formula.expression_values`), and :func:`read_evaluated` is the family's
reading of the values (:func:`read_response` does all three, for a formula and data).
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ..formula.checks import check_weights, row_values
from ..formula.expression_values import EvaluatedPart, evaluate_parts
from ..formula.formula_text import split_top
from ..formula.parsing import response_parts
from ..support.errors import FormulaError, NonIntegerResponseWarning, ResponseLevelsWarning
from ..support.frames import r_sorted, sorted_levels, to_frame
from ..support.labels import label_text
from .family import FAMILY_LINKS, parse_family

__all__ = [
    "FAMILIES",
    "GlmmResponse",
    "NonIntegerResponseWarning",
    "read_evaluated",
    "read_response",
    "split_response",
]

#: The families whose response is read as binomial's, and those of counts.
TRIALS_FAMILIES = frozenset({"binomial", "betabinomial"})
COUNT_FAMILIES = frozenset({"poisson", "nbinom2", "nbinom1", "truncated_poisson", "truncated_nbinom2"})
#: The continuous families: the support's condition on y and its wording.
CONTINUOUS_FAMILIES = frozenset({"Gamma", "inverse.gaussian", "beta", "gaussian", "tweedie"})
_CONTINUOUS = {
    "Gamma": (lambda y: y > 0, "positive values"),
    "inverse.gaussian": (lambda y: y > 0, "positive values"),
    "beta": (lambda y: (y > 0) & (y < 1), "proportions strictly between 0 and 1"),
    "gaussian": (lambda y: np.isfinite(y), "finite values"),
    "tweedie": (lambda y: y >= 0, "values of at least 0"),
}

#: The families a response is read for.
FAMILIES = tuple(FAMILY_LINKS)

#: R's tolerance for the successes of a binomial response (``binomial()$initialize``
#: warns when ``|m - round(m)| > 1e-3``, m being successes).
SUCCESS_TOL = 1e-3
#: R's tolerance for a count of the Poisson density (``dpois``: relative to max(1, |x|)).
COUNT_TOL = 1e-7


@dataclass(frozen=True)
class GlmmResponse:
    """The response of a binomial or Poisson GLMM, for the rows kept.

    Attributes:
        y: float64: the proportion of successes (binomial) or the count (Poisson).
        trials: the trials of each row (binomial: 1 for Bernoulli rows, ``s + f`` for
            ``cbind``, the weights for proportions); ``None`` for Poisson.
        prior_weights: the prior weights of the likelihood, as R's ``weights(fit,
            "prior")``: for ``cbind`` the trials times any weights given; else the weights
            given (the trials of a proportion), or ones.
        kind: "bernoulli" (0/1, booleans or a factor, no weights), "proportion" (a
            single column with weights), "cbind" or "count".
        keep: one flag per row of the data: False for a row dropped for a missing value.
        levels: for a factor response its levels (the first is the failure), else None.
    """

    y: np.ndarray
    trials: np.ndarray | None
    prior_weights: np.ndarray
    kind: str
    keep: np.ndarray
    levels: tuple[Any, ...] | None = None
    #: The zero-inflation's design (rows as the response's, a column per coefficient)
    #: and its columns' names, for a zero-inflation formula of covariates; else None.
    zi_design: np.ndarray | None = None
    zi_names: tuple[str, ...] = ()
    #: formulaic's spec of that design, which builds the same columns for new rows.
    zi_spec: Any = None

    @property
    def n_dropped(self) -> int:
        """Rows of the data dropped for a missing value in the response or the weights."""
        return int(len(self.keep) - np.count_nonzero(self.keep))

    def restricted(self, keep: np.ndarray) -> GlmmResponse:
        """The response of the rows ``keep`` (one flag per row of the data, a subset of
        :attr:`keep`): those a design keeps, its other columns complete there too."""
        at = (np.cumsum(self.keep) - 1)[keep]
        trials = None if self.trials is None else self.trials[at]
        zi = None if self.zi_design is None else np.ascontiguousarray(self.zi_design[at])
        return GlmmResponse(
            np.ascontiguousarray(self.y[at]),
            trials,
            np.ascontiguousarray(self.prior_weights[at]),
            self.kind,
            keep,
            self.levels,
            zi,
            self.zi_names,
            self.zi_spec,
        )


def zero_inflation_design(formula: str, frame: pd.DataFrame, keep: np.ndarray) -> dict[str, Any]:
    """The zero-inflation's design of the one-sided ``formula`` (glmmTMB's ``ziformula``)
    on the rows ``keep`` of ``frame`` (the response's rows), treatment contrasts as the
    fixed effects': ``zi_design``, ``zi_names`` and ``zi_spec`` of :class:`GlmmResponse`. Refuses a
    missing value in its columns, naming the row."""
    from formulaic import model_matrix

    try:
        matrix = model_matrix(formula, frame, na_action="ignore")
    except Exception as exc:
        raise FormulaError(f"cannot build the zero-inflation formula {formula!r}: {exc}") from exc
    values = np.asarray(matrix, dtype=float)[keep]
    bad = ~np.isfinite(values).all(axis=1)
    if bad.any():
        row = frame.index[np.flatnonzero(keep)[int(np.argmax(bad))]]
        raise ValueError(f"the zero-inflation formula {formula!r} has a missing value in row {label_text(row)}")
    names = tuple("(Intercept)" if c == "Intercept" else str(c) for c in matrix.columns)  # R's name
    return {"zi_design": np.ascontiguousarray(values), "zi_names": names, "zi_spec": matrix.model_spec}


def _title(family: str) -> str:
    """The family as a message names it."""
    names = {"poisson": "Poisson", "nbinom2": "negative binomial", "nbinom1": "negative binomial"}
    return names.get(family.removeprefix("truncated_"), family)


def split_response(formula: str) -> tuple[str, str]:
    """The left- and right-hand sides of a formula, split at its one top-level ``~``."""
    if not isinstance(formula, str):
        raise FormulaError(f"the formula must be a string, got {type(formula).__name__}")
    pieces = split_top(formula, "~")
    if len(pieces) != 2 or not pieces[0][1].strip() or not pieces[1][1].strip():
        raise FormulaError(f"write the formula as 'response ~ terms', e.g. 'y ~ x + (1 | g)'; got {formula!r}")
    return pieces[0][1].strip(), pieces[1][1].strip()


def _numbers(values: pd.Series, missing: np.ndarray, shown: str, place: Any) -> np.ndarray:
    """A numeric or boolean column as float64 (NaN where missing); refuses labels and
    values that are not finite."""
    if pd.api.types.is_bool_dtype(values.dtype) or pd.api.types.is_numeric_dtype(values.dtype):
        out = np.where(missing, np.nan, values.to_numpy(dtype=float, na_value=np.nan))
    else:
        out = pd.to_numeric(values.astype(object), errors="coerce").to_numpy(dtype=float)
        bad = np.flatnonzero(np.isnan(out) & ~missing)
        if len(bad):
            k = int(bad[0])
            raise ValueError(
                f"the response {shown} must hold numbers, but it holds {label_text(values.iloc[k])} in {place(k)}"
            )
    inf = np.flatnonzero(np.isinf(out))
    if len(inf):
        raise ValueError(f"the response {shown} is not finite ({_shown(out[inf[0]])}) in {place(int(inf[0]))}")
    return out


def _is_labels(values: pd.Series, missing: np.ndarray) -> bool:
    """Whether a column is a factor: categorical, or text (objects that are not all
    numbers or booleans)."""
    if isinstance(values.dtype, pd.CategoricalDtype):
        return True
    if pd.api.types.is_bool_dtype(values.dtype) or pd.api.types.is_numeric_dtype(values.dtype):
        return False
    present = values.to_numpy(dtype=object)[~missing]
    return any(isinstance(v, str) for v in present)


def _factor(values: pd.Series, missing: np.ndarray, shown: str, place: Any) -> tuple[np.ndarray, tuple[Any, ...]]:
    """A factor response as 0 (its first level) or 1 (any other level), and its levels:
    a categorical column's used categories in order, a text column's labels sorted."""
    present = values[~missing]
    y = np.full(len(values), np.nan)
    if isinstance(values.dtype, pd.CategoricalDtype):
        codes, levels = sorted_levels(present)  # a categorical's unused categories dropped, as R drops them
        y[~missing] = (codes != 0).astype(float)
        return y, tuple(levels)
    # The distinct values in order of first appearance: the first that is not text
    # first appears before any later one, so its first row is the first bad row. (Text
    # never hashes equal to a number, so factorize keeps the two kinds apart.)
    seen, uniques = pd.factorize(present.to_numpy(dtype=object))
    text = np.fromiter((isinstance(v, str) for v in uniques), dtype=bool, count=len(uniques))
    if not text.all():
        k = int(np.flatnonzero(~missing)[int(np.argmax(seen == int(np.argmin(text))))])
        raise ValueError(
            f"the response {shown} mixes labels and numbers ({label_text(values.iloc[k])} in {place(k)}); "
            f"give a factor response as labels only"
        )
    # Text labels in R's order ('no' before 'Yes'), as glmer's factor of them: by
    # character code the first level, the failure, would be 'Yes'.
    labels = r_sorted(uniques.tolist())
    first = np.asarray([v == labels[0] for v in uniques], dtype=bool)
    y[~missing] = (~first[seen]).astype(float)
    return y, tuple(labels)


def _shown(value: float) -> str:
    """A number as short as it reads back exactly (2.000001, -1, 0.3)."""
    return np.format_float_positional(float(value), trim="-")


def _refuse(bad: np.ndarray, values: np.ndarray, what: str, place: Any) -> None:
    if bad.any():
        k = int(np.argmax(bad))
        raise ValueError(f"{what}: it is {_shown(values[k])} in {place(k)}")


def _warn_fraction(off: np.ndarray, values: np.ndarray, what: str, place: Any, stacklevel: int) -> None:
    if off.any():
        k = int(np.argmax(off))
        warnings.warn(
            f"{what} are not whole numbers ({_shown(values[k])} in {place(k)}); R's glm and glmer fit such data "
            f"with the same warning",
            NonIntegerResponseWarning,
            stacklevel=stacklevel + 1,
        )


def read_response(formula: str, data: Any, family: str, weights: Any = None, *, stacklevel: int = 2) -> GlmmResponse:
    """The response of ``formula`` (its left-hand side) on ``data`` for a GLMM of
    ``family`` ("binomial" or "poisson"), with ``weights`` (a column name or one number
    per row, as :func:`quorvelkit.lmm` takes them; for a single-column binomial
    response they are its trials): the left-hand side's parts
    (:func:`~quorvelkit.formula.parsing.response_parts`) evaluated and read
    (:func:`read_evaluated`), as a GLMM's design reads them.

    Raises :class:`ValueError` (:class:`~quorvelkit.support.errors.FormulaError` for a
    left-hand side that cannot be read, :class:`~quorvelkit.support.errors.SourceError` for a
    missing column or bad weights) naming the response, the first bad value and its
    row; warns :class:`NonIntegerResponseWarning` (``stacklevel`` above the caller)
    where R warns.
    """
    family = parse_family(family)[0]
    lhs, _ = split_response(formula)
    parts = response_parts(lhs)
    frame = to_frame(data)
    if len(frame) == 0:
        raise ValueError("the data has no rows")
    return read_evaluated(lhs, evaluate_parts(parts, frame), frame, family, weights, stacklevel=stacklevel + 1)


def read_evaluated(
    lhs: str,
    parts: Sequence[EvaluatedPart],
    frame: pd.DataFrame,
    family: str,
    weights: Any,
    *,
    stacklevel: int,
    hurdle: bool = False,
) -> GlmmResponse:
    """The family's reading of the response ``lhs``, its parts evaluated on ``frame``
    (two for ``cbind(successes, failures)``, else one), with ``weights`` (a column name
    or one number per row of ``frame``).

    Rows with a missing value in the response's columns or in the weights are dropped
    (``keep``). Refuses values outside the family's support and bad weights, naming the
    first and its row; warns where R warns, ``stacklevel`` frames up from here (2: the
    caller).
    """

    def place(k: int) -> str:
        return f"row {label_text(frame.index[k])}"

    given = row_values(weights, frame, "weights", place)
    w = np.ones(len(frame)) if given is None else given.values
    missing = np.isnan(w)
    levels: tuple[Any, ...] | None = None
    if len(parts) == 2:
        if family not in TRIALS_FAMILIES:
            raise FormulaError(f"cbind(successes, failures) is a binomial response, not a {family} one")
        (succ_shown, succ_values, succ_missing), (fail_shown, fail_values, fail_missing) = parts
        s = _numbers(succ_values, succ_missing, succ_shown, place)
        f = _numbers(fail_values, fail_missing, fail_shown, place)
        missing |= np.isnan(s) | np.isnan(f)
        y = s
    else:
        ((_, values, value_missing),) = parts
        missing |= value_missing
        if family in TRIALS_FAMILIES and _is_labels(values, missing):
            y, levels = _factor(values, missing, repr(lhs), place)
            if len(levels) > 2:
                shown = ", ".join(repr(v) for v in levels[:5]) + (", ..." if len(levels) > 5 else "")
                warnings.warn(
                    f"the binomial response {lhs!r} has {len(levels)} levels ({shown}): the first, "
                    f"{levels[0]!r}, is read as a failure and every other level as a success, as R reads it",
                    ResponseLevelsWarning,
                    stacklevel=stacklevel,
                )
        elif _is_labels(values, missing):
            kind = "counts" if family in COUNT_FAMILIES else "numbers"
            raise ValueError(f"a {_title(family)} response must be {kind}, but {lhs!r} holds labels")
        else:
            y = _numbers(values, value_missing, repr(lhs), place)
            missing |= np.isnan(y)
    keep = ~missing
    if not keep.any():
        raise ValueError(f"every row has a missing value in the response {lhs!r} or the weights")
    rows = np.flatnonzero(keep)

    def at(k: int) -> str:
        return place(int(rows[k]))

    w = w[keep]
    if given is not None:
        check_weights(w, at, given.label)
    y = y[keep]
    if len(parts) == 2:
        s, f = s[keep], f[keep]
        _refuse(s < 0, s, f"the {succ_shown} of the binomial response {lhs!r} must not be negative", at)
        if (f < 0).any():
            k = int(np.argmax(f < 0))
            raise ValueError(
                f"the {succ_shown} of the binomial response {lhs!r} are above the trials: "
                f"{_shown(s[k])} of {_shown(s[k] + f[k])} in {at(k)} (the {fail_shown} are negative)"
            )
        s_off = np.abs(s - np.round(s)) > SUCCESS_TOL
        off = s_off | (np.abs(f - np.round(f)) > SUCCESS_TOL)
        _warn_fraction(off, np.where(s_off, s, f), f"the counts of {lhs!r}", at, stacklevel)
        n = s + f
        with np.errstate(invalid="ignore", divide="ignore"):
            y = np.where(n > 0, s / n, 0.0)
        return GlmmResponse(y, n, w * n, "cbind", keep)
    if family in _CONTINUOUS:
        inside, wording = _CONTINUOUS[family]
        _refuse(~inside(y), y, f"the {family} response {lhs!r} must hold {wording}", at)
        return GlmmResponse(y, None, w, "value", keep)
    if family.startswith("truncated") and not hurdle:  # a hurdle model's zeros are its own
        _refuse(y < 1, y, f"the zero-truncated {_title(family)} response {lhs!r} must hold counts of at least 1", at)
    if family in COUNT_FAMILIES:
        _refuse(y < 0, y, f"the {_title(family)} response {lhs!r} must hold counts, not negative values", at)
        off = np.abs(y - np.round(y)) > COUNT_TOL * np.maximum(1.0, np.abs(y))
        _warn_fraction(off, y, f"the counts {lhs!r}", at, stacklevel)
        return GlmmResponse(y, None, w, "count", keep)
    y = np.where(w == 0, 0.0, y)
    what = "0/1 values (or proportions, weights= giving the trials)" if given is None else "proportions in [0, 1]"
    _refuse((y < 0) | (y > 1), y, f"the binomial response {lhs!r} must hold {what}", at)
    m = w * y
    _warn_fraction(
        np.abs(m - np.round(m)) > SUCCESS_TOL, m, f"the successes (response times weights) of {lhs!r}", at, stacklevel
    )
    kind = "bernoulli" if given is None else "proportion"
    return GlmmResponse(y, w.copy(), w.copy(), kind, keep, levels)
