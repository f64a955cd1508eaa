"""The model of a fit, :class:`Design` (its spec, groups and columns, and its rows when
kept), and the model of data in memory: :func:`build_design` turns a formula and a data
frame into a :class:`Design` with its rows, the data being one batch, learnt from and
read at once; :func:`core_factors` and :func:`theta_layout_of` give a
design's grouping factors as the crossed core takes them and the layouts of its theta."""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, NoReturn, Protocol

import numpy as np
import pandas as pd

from ..formula.checks import require_columns, row_values, warn_dropped
from ..formula.expression_values import EvaluatedPart, evaluate_parts
from ..formula.grouping import ThetaLayout, theta_layout
from ..formula.parsing import ParsedFormula, parse_formula
from ..support.errors import RowsUnavailable
from ..support.frames import sorted_levels, to_frame
from ..support.labels import label_text, split_labels
from .description import GroupingFactor, ModelSpec, select_rows
from .model_checks import check_group_counts, check_response_variation, drop_aliased
from .model_learning import learn_spec

__all__ = [
    "Design",
    "FitRows",
    "ResponseReading",
    "build_design",
    "referenced_columns",
    "core_factors",
    "theta_layout_of",
    "check_partitions",
    "same_grouping",
]


def referenced_columns(parsed: ParsedFormula, columns: pd.Index, response: bool = True) -> list[str]:
    """Data columns the formula refers to, in data order (without the response's
    columns when ``response`` is false). Nothing is evaluated: the columns come from
    the checked parse of every expression."""
    names = {c for c, role in parsed.uses if response or role != "response"}
    return [c for c in columns if isinstance(c, str) and c in names]


@dataclass
class FitRows:
    """The rows of a fitted model: the response as given (the core fits it less the
    offset), the kept fixed-effects columns, Z, the group codes (of the first grouping
    factor; ``factor_codes`` holds every factor's, in the order of
    :attr:`ModelSpec.factors`), the data's labels of the rows, and their prior weights
    and offset (``None`` without)."""

    y: np.ndarray
    x: np.ndarray
    z: np.ndarray
    codes: np.ndarray
    row_index: pd.Index
    weights: np.ndarray | None = None
    offset: np.ndarray | None = None
    factor_codes: tuple[np.ndarray, ...] = ()
    #: The columns a residual structure reads (its times, subjects, strata), of the
    #: rows kept; None without a structure.
    residual_frame: pd.DataFrame | None = None


@dataclass
class Design:
    """A fitted model's spec, its groups and columns, and its rows when kept
    (``rows`` is ``None`` for a model fitted from products: then :attr:`source` says
    where its rows were read, and what needs them raises :class:`RowsUnavailable`).
    ``levels`` are the first grouping factor's, ``factor_levels`` every factor's (in
    the order of :attr:`ModelSpec.factors`; data in memory only). ``response`` is the
    reading of a response its family reads apart, of the rows kept (e.g. a GLMM's, with
    its trials and prior weights); ``None`` for a response the model matrices hold."""

    spec: ModelSpec
    levels: pd.Index
    n: int
    kept_columns: list[int]
    n_dropped: int = 0
    n_zero_weight: int = 0
    rows: FitRows | None = None
    source: str = ""
    factor_levels: tuple[pd.Index, ...] = ()
    response: Any = None

    # ------------------------------------------------------------- of its spec
    @property
    def parsed(self) -> ParsedFormula:
        return self.spec.parsed

    @property
    def fe_names(self) -> list[str]:
        return [self.spec.fe_all[j] for j in self.kept_columns]

    @property
    def dropped_columns(self) -> list[str]:
        kept = set(self.kept_columns)
        return [name for j, name in enumerate(self.spec.fe_all) if j not in kept]

    @property
    def re_names(self) -> list[str]:
        return self.spec.re_names

    @property
    def blocks(self) -> list[int]:
        return self.spec.blocks

    @property
    def m(self) -> int:
        """Number of levels of the grouping factor."""
        return int(len(self.levels))

    @property
    def weighted(self) -> bool:
        return self.spec.weighted

    # ------------------------------------------------------------- of the rows
    def need_rows(self, what: str) -> FitRows:
        """The rows, or :class:`RowsUnavailable` saying that ``what`` needs them."""
        if self.rows is None:
            self.no_rows(what)
        return self.rows

    def no_rows(self, what: str) -> NoReturn:
        raise RowsUnavailable(
            f"{what} needs the rows, and this model was fitted from products of rows read in batches "
            f"({self.source or 'a batched source'}), which keep none: compute fitted values batch by batch "
            f"with fit.predict(batch)"
        )

    # The rows' arrays (not dataclass fields), each refused with RowsUnavailable by a
    # model without its rows.
    y = property(lambda self: self.need_rows("the response").y)
    x = property(lambda self: self.need_rows("the fixed-effects model matrix").x)
    z = property(lambda self: self.need_rows("the random-effects model matrix").z)
    codes = property(lambda self: self.need_rows("the group of each row").codes)
    row_index = property(lambda self: self.need_rows("the labels of the rows").row_index)

    @property
    def weights(self) -> np.ndarray | None:
        """The prior weights of the rows (``None`` for an unweighted model)."""
        return self.need_rows("the weights of the rows").weights if self.weighted else None

    @property
    def offset(self) -> np.ndarray | None:
        return None if self.rows is None else self.rows.offset

    @property
    def core_y(self) -> np.ndarray:
        """The response the core fits: ``y`` less the offset."""
        rows = self.need_rows("the response")
        return rows.y if rows.offset is None else np.ascontiguousarray(rows.y - rows.offset)

    def with_response(self, y: np.ndarray) -> Design:
        """The same model with the response ``y`` (of the rows used, in order)."""
        rows = self.need_rows("a new response")
        return Design(
            self.spec,
            self.levels,
            self.n,
            self.kept_columns,
            self.n_dropped,
            self.n_zero_weight,
            FitRows(y, rows.x, rows.z, rows.codes, rows.row_index, rows.weights, rows.offset, rows.factor_codes),
            factor_levels=self.factor_levels,
        )

    def random_part(self, b: np.ndarray) -> np.ndarray:
        """Z b of every row, b the random effects by group (shape (m, q))."""
        rows = self.need_rows("the random part of the rows")
        zb: np.ndarray = np.einsum("ij,ij->i", rows.z, b[rows.codes])
        return zb


class ResponseReading(Protocol):
    """A family's reading of its response (e.g. :func:`quorvelkit.families.response.read_evaluated`
    with the family and weights bound): from the response's parts evaluated on the
    rows of ``frame`` to the response, whose ``y`` holds a value for each row it keeps
    (``keep``, one flag per row of the frame: False where a value it needs is missing)
    and whose ``restricted(keep)`` is the reading of fewer rows."""

    def __call__(self, lhs: str, parts: Sequence[EvaluatedPart], frame: pd.DataFrame, *, stacklevel: int) -> Any: ...


def build_design(
    parsed: ParsedFormula,
    data: Any,
    weights: Any = None,
    offset: Any = None,
    *,
    read: ResponseReading | None = None,
    stacklevel: int = 3,
) -> Design:
    """The model of ``parsed`` on the rows of ``data`` (one batch, learnt from and read
    at once: :func:`~quorvelkit.model.model_learning.learn_spec`).

    ``weights`` and ``offset`` are column names of ``data`` or arrays of one number per
    row of it (see :func:`quorvelkit.lmm`). Rows with a missing value in any column
    the formula uses (response, fixed part, offsets, random part, grouping factor) or
    in the offset given are dropped and counted; so are rows of weight zero, which
    carry no information (their residual variance is infinite). Weights that are
    negative or not finite and values that are not finite are refused naming the
    row. Aliased fixed-effects columns are dropped with a
    :class:`RankDeficiencyWarning` naming them. Warnings point at the frame
    ``stacklevel`` levels up, this function's being 1 (3: its caller's caller).

    ``read``: the response is its family's (``parsed`` read with ``family_response``):
    its parts are evaluated by the formula's evaluator
    (:func:`~quorvelkit.formula.expression_values.evaluate_parts`) and ``read`` gives the
    response from them (the weights are the reading's: ``weights`` is not taken). A row
    the reading does not keep is dropped and counted with the others, once; the
    design's ``y`` is the reading's of the rows kept, and :attr:`Design.response` the
    reading of those rows. Such a model has no residual variance: no refusal of a
    constant response, and glmer's checks of levels and random effects, which allow
    one of each per observation.
    """
    frame = to_frame(data)
    if not parsed.model_fixed:  # not made by parse_formula: check it now
        parsed = parse_formula(parsed.text)
    response: Any = None
    if read is not None:
        if len(frame) == 0:
            raise ValueError("the data has no rows")
        response = read(parsed.response, evaluate_parts(parsed.response_parts, frame), frame, stacklevel=stacklevel + 1)
        # X, Z and the offset are the right-hand side's: the response's columns are
        # the family's to read (labels among them), not the model matrices'.
        parsed = dataclasses.replace(parsed, uses=tuple(u for u in parsed.uses if u[1] != "response"))
    require_columns(parsed.columns, frame.columns, "the data")
    used = referenced_columns(parsed, frame.columns)
    if len(frame) == 0:
        raise ValueError("the data has no rows")
    place = lambda k: f"row {label_text(frame.index[k])}"  # noqa: E731
    prior = row_values(weights, frame, "weights", place)
    given = row_values(offset, frame, "offset", place)
    sub = frame[used]
    keep, n_dropped, n_zero = select_rows(sub, prior, given, place)
    apart = None if response is None else ~response.keep
    if apart is not None:  # a row the reading drops is dropped once, with the others
        n_dropped += int(np.count_nonzero(keep & apart))
        keep &= response.keep
    if n_dropped == len(frame):
        named = ", ".join(used + ([] if apart is None else [repr(parsed.response)]))
        raise ValueError(f"every row has a missing value in the columns the model uses ({named})")
    if not keep.any():
        raise ValueError("the weights are zero in every row the model could use")
    if n_dropped:
        missing = sub.isna().any(axis=1).to_numpy() | (np.isnan(given.values) if given is not None else False)
        if apart is not None:
            missing |= apart
        warn_dropped(sub, missing, len(frame), stacklevel=stacklevel, apart=apart)
    subset = not keep.all()
    work = sub.loc[keep] if subset else sub
    if given is not None:
        given.values = given.values[keep] if subset else given.values
    learnt = learn_spec(
        parsed,
        work,
        whole=True,
        weights_column=None if prior is None else prior.label,
        weighted=prior is not None,
        offset=given,
    )
    spec, rows = learnt.spec, learnt.rows
    assert rows is not None
    # The rule is scale-free per column: columns scaled to a largest |value| of 1 keep
    # the Gram matrix finite where X'X itself would overflow (values near 1e154).
    # Column by column: numpy's reduction along the long axis of a narrow C-ordered
    # array steps through it a row at a time, some 25 times slower.
    scale = np.array([np.abs(c).max() for c in rows.x.T]) if len(rows.x) else np.ones(rows.x.shape[1])
    xs = rows.x / np.where(scale > 0, scale, 1.0)
    kept = drop_aliased(xs.T @ xs, spec.fe_all, stacklevel=stacklevel)
    x = rows.x if len(kept) == spec.p else np.ascontiguousarray(rows.x[:, kept])
    if response is None and rows.offset is None:
        check_response_variation(rows.y, f"response '{parsed.response}'")
    elif response is None:
        check_response_variation(rows.y - rows.offset, f"response '{parsed.response}' less its offset")
    coded = [sorted_levels(labels) for labels in rows.factor_labels]
    for f, (_, f_levels) in zip(spec.factors, coded, strict=True):
        # One label in two types (17 and '17' in a column of objects) would be two
        # groups; the batched routes refuse it too, so a label means one group everywhere.
        found = split_labels(f_levels) if f_levels.dtype == object else None
        if found is not None:
            raise ValueError(
                f"the grouping factor {f.name!r} holds {label_text(found[0])} as a number and "
                f"{label_text(found[1])} as text: one label in two types would be two groups; give the column "
                "one type (e.g. .astype(str))"
            )
    # lme4's checks (check.nlev.gtr.1, check.nobs.vs.nlev, check.nobs.vs.nRE), factor by factor.
    for f, (_, f_levels) in zip(spec.factors, coded, strict=True):
        check_group_counts(f.name, len(rows.x), len(f_levels), f.blocks, allow_n=response is not None)
    factor_codes = tuple(np.ascontiguousarray(c, dtype=np.int64) for c, _ in coded)
    check_partitions(spec.factors, factor_codes, [len(lv) for _, lv in coded])
    offset_values = None if rows.offset is None else np.ascontiguousarray(rows.offset, dtype=float)
    y = rows.y
    if response is not None:
        response = response.restricted(keep)
        y = response.y
    fit_rows = FitRows(
        y=y,
        x=x,
        z=rows.z,
        codes=factor_codes[0] if factor_codes else np.zeros(len(y), np.int64),
        row_index=frame.index[keep] if subset else frame.index,
        weights=None if prior is None else np.ascontiguousarray(prior.values[keep]),
        offset=offset_values,
        factor_codes=factor_codes,
        residual_frame=None if parsed.residual is None else work[list(parsed.residual.columns)],
    )
    levels = tuple(lv for _, lv in coded)
    first = levels[0] if levels else pd.Index([])  # no random effects: no grouping factor
    return Design(spec, first, len(y), kept, n_dropped, n_zero, fit_rows, factor_levels=levels, response=response)


def check_partitions(factors: Sequence[GroupingFactor], codes: Sequence[np.ndarray], n_levels: Sequence[int]) -> None:
    """``ValueError`` naming two grouping factors that group the rows the same way
    under different names (``codes``: each factor's level of every row, the levels
    0..n_levels-1 all present): their random effects could not be told apart. Two
    factors of as many levels are the same partition when every level of one meets a
    single level of the other."""
    for i in range(len(factors)):
        for j in range(i + 1, len(factors)):
            if n_levels[i] != n_levels[j]:
                continue
            image = np.empty(n_levels[i], dtype=np.int64)
            image[codes[i]] = codes[j]
            if np.array_equal(image[codes[i]], codes[j]):
                raise same_grouping(factors[i].name, factors[j].name, n_levels[i])


def same_grouping(a: str, b: str, m: int) -> ValueError:
    """The error of grouping factors ``a`` and ``b`` that group the rows the same way,
    in ``m`` groups."""
    return ValueError(
        f"the grouping factors '{a}' and '{b}' group the rows the same way ({m} groups, each a level of both): "
        f"their random effects cannot be told apart; keep one of the two"
    )


def theta_layout_of(design: Design) -> ThetaLayout:
    """The layouts of the design's theta, lme4's and the crossed core's, and lme4's
    names of its entries (:func:`quorvelkit.formula.grouping.theta_layout`)."""
    factors = design.spec.factors
    levels = design.factor_levels or (design.levels,)
    names = design.re_names
    terms: list[tuple[int, int, list[str]]] = []  # (position, factor, columns) of each term
    at = 0
    for i, f in enumerate(factors):
        for position, b in zip(f.positions or range(len(f.blocks)), f.blocks, strict=True):
            terms.append((position, i, names[at : at + b]))
            at += b
    terms.sort()
    n_levels = [len(lv) for lv in levels]
    return theta_layout([t[1] for t in terms], [t[2] for t in terms], [f.name for f in factors], n_levels)


def core_factors(design: Design) -> list[tuple[np.ndarray, int, np.ndarray, list[int]]]:
    """The grouping factors as the crossed core takes them, in its order (that of
    :attr:`ThetaLayout.factor_order`: decreasing levels, as lme4 orders its terms):
    (codes, number of levels, Z's columns of the factor, its terms' blocks) each."""
    rows = design.need_rows("the grouping factors of the rows")
    spec = design.spec
    codes = rows.factor_codes or (rows.codes,)
    levels = design.factor_levels or (design.levels,)
    spans = spec.factor_columns()
    return [
        (codes[i], len(levels[i]), np.ascontiguousarray(rows.z[:, spans[i]]), list(spec.factors[i].blocks))
        for i in theta_layout_of(design).factor_order
    ]
