"""The model matrices of a formula whose every part is plain columns, built directly.

A formula whose response is one numeric column and whose fixed part and random-effects
terms are sums of the intercept (``1``, ``0``, ``-1``), bare column names and products
``a:b`` of two numeric columns needs none of formulaic's parsing and evaluation:
:func:`fast_matrices` codes such a model as formulaic codes it
(:func:`quorvelkit.model.model_learning.learn_spec`'s other path), to the bit, and returns
``None`` for every other formula, which formulaic then builds.

formulaic's rules for such terms (formulaic 1.x, ``ensure_full_rank``):

- the intercept is present unless ``0`` or ``-1`` removes it; the last of ``1``, ``0``
  and ``-1`` decides. Terms are ordered by degree (the intercept first), then as written;
  a term written twice (``a:b`` and ``b:a`` are one) is kept once, where first written
  (any other subtraction, products with a factor or of three columns, and two matrix
  columns of one name are left to formulaic);
- a column of numbers or booleans is a numeric column, named as the data names it; a
  product ``a:b`` is ``numpy.multiply`` of the two columns in their own types (integers
  wrap as numpy's do), named as written;
- a column of objects, of text (pandas' ``str``) or a categorical one is a factor whose
  levels are those of ``Series.astype("category")`` (a categorical's categories in
  their order; other values sorted). A factor is coded by treatment contrasts: one
  indicator per level ``name[level]`` when it is the first factor of a part without an
  intercept (it then spans the intercept), else one per level but the first,
  ``name[T.level]``.

formulaic's own description of the model (what prediction on new data and batches
apply) is learnt on demand from a handful of rows holding every level of every factor
(:class:`FormulaicParts`): the levels, hence the learnt state, are the data's.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ..formula.r_functions import FORMULA_CONTEXT
from ..support.warning_scope import filtered_warnings

__all__ = ["FastMatrices", "FormulaicParts", "fast_matrices"]

_PLAIN = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*")
_QUOTED = re.compile(r"`[^`\\]+`")
#: Names formulaic reads as constants, not columns.
_KEYWORDS = frozenset({"True", "False", "None"})


class FormulaicParts:
    """formulaic's model descriptions of a model's parts: of "response ~ fixed part",
    of each random-effects term and of each ``offset()`` term. Either given as learnt,
    or learnt on first use from ``template``, a frame of the model's columns whose
    factors have the data's levels, with the formulas ``texts`` (the two-sided one,
    the random terms' one-sided ones; such models have no offset terms)."""

    def __init__(
        self,
        learnt: tuple[Any, list[Any], list[Any]] | None = None,
        template: pd.DataFrame | None = None,
        texts: tuple[str, tuple[str, ...]] | None = None,
    ) -> None:
        self._learnt = learnt
        self._template = template
        self._texts = texts

    def get(self) -> tuple[Any, list[Any], list[Any]]:
        """(the two-sided formula's, the random terms', the offsets') descriptions."""
        if self._learnt is None:
            from formulaic import model_matrix

            assert self._template is not None and self._texts is not None
            formula, terms = self._texts
            with filtered_warnings("ignore", DeprecationWarning):

                def learn(text: str) -> Any:
                    return model_matrix(text, self._template, na_action="ignore", context=FORMULA_CONTEXT).model_spec

                self._learnt = (learn(formula), [learn(t) for t in terms], [])
            self._template = None  # the template has done its work
        return self._learnt


@dataclass
class FastMatrices:
    """The model matrices of a formula of plain columns and what the model learns of
    them: ``x_columns`` and ``z_columns`` (one list per random-effects term) are
    formulaic's column names; ``categorical`` maps each factor to its levels (the fixed
    part's first, in order of appearance)."""

    y: np.ndarray
    x: np.ndarray
    z: np.ndarray
    x_columns: list[str]
    z_columns: list[list[str]]
    categorical: dict[str, list]
    formulaic: FormulaicParts


_NAME = r"(?:`[^`\\]+`|[A-Za-z0-9_.]+)"
_TOKEN = re.compile(rf"\s*([+-]?)\s*({_NAME}(?::{_NAME})?)\s*")


def _name(token: str) -> str | None:
    if _QUOTED.fullmatch(token):
        return token[1:-1]
    return token if _PLAIN.fullmatch(token) and token not in _KEYWORDS else None


def _terms(text: str) -> tuple[bool, list[tuple[str, ...]]] | None:
    """Whether a part keeps the intercept, and its terms in formulaic's order (by
    degree, then as written, each once): the column, or the two columns of a product
    ``a:b``; None for a part that is not a sum of the intercept and such terms."""
    intercept = True
    terms: dict[frozenset[str], tuple[str, ...]] = {}
    at = 0
    if not text.strip():
        return None
    while at < len(text):
        m = _TOKEN.match(text, at)
        if m is None or (at > 0 and not m.group(1)):
            return None  # another grammar than a sum of names (brackets, operators)
        sign, token = m.groups()
        at = m.end()
        if token == "1":
            intercept = sign != "-"
        elif token == "0" and sign != "-":
            intercept = False
        elif sign == "-":
            return None
        else:
            names = [_name(piece) for piece in re.findall(_NAME, token)]
            if None in names or len(set(names)) < len(names):
                return None  # formulaic reads a:a as a
            terms.setdefault(frozenset(names), tuple(names))  # type: ignore[arg-type]
    return intercept, sorted(terms.values(), key=len)


def _kind(values: pd.Series) -> str | None:
    """ "number" or "factor" as formulaic's pandas materializer reads a column, or None
    for a type this path leaves to formulaic."""
    dtype = values.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return "factor"
    if isinstance(dtype, np.dtype) and dtype.kind in "iufb":
        return "number"
    if dtype == "object" or dtype == "str":
        return "factor"
    return None


@dataclass
class _Factor:
    codes: np.ndarray
    levels: list


def _factor(values: pd.Series) -> _Factor:
    """The codes and levels formulaic's treatment coding finds: a categorical's own, else
    the sorted distinct values (as ``astype("category")`` makes them, at half its
    price on a column of text)."""
    if not isinstance(values.dtype, pd.CategoricalDtype):
        try:
            codes, uniques = pd.factorize(values, sort=True)
        except TypeError:  # values that do not sort together: the categorical's own order
            pass
        else:
            return _Factor(np.asarray(codes, dtype=np.int64), list(uniques))
    cat = values.astype("category")
    return _Factor(np.asarray(cat.cat.codes.to_numpy(), dtype=np.int64), list(cat.cat.categories))


def _part(
    text: str, factors: dict[str, _Factor], kinds: dict[str, str]
) -> tuple[list[str], list[tuple[str, Any]]] | None:
    """The column names of a part and how each is made: ("one", None), ("number",
    column), ("product", columns) or ("level", (column, level index)); None when the
    part is not simple."""
    read = _terms(text)
    if read is None:
        return None
    intercept, terms = read
    columns: list[str] = []
    makes: list[tuple[str, Any]] = []
    if intercept:
        columns.append("Intercept")
        makes.append(("one", None))
    spanned = intercept
    for term in terms:
        if len(term) > 1:  # a product of numeric columns; formulaic's rank rules for factors are not copied
            if any(kinds[name] != "number" for name in term):
                return None
            columns.append(":".join(term))
            makes.append(("product", term))
            continue
        name = term[0]
        if kinds[name] == "number":
            columns.append(name)
            makes.append(("number", name))
            continue
        f = factors[name]
        first = 1 if spanned else 0
        fmt = "{}[T.{}]" if spanned else "{}[{}]"
        spanned = True
        for k in range(first, len(f.levels)):
            columns.append(fmt.format(name, f.levels[k]))
            makes.append(("level", (name, k)))
    if len(set(columns)) < len(columns):
        return None  # formulaic keeps one of the columns of a name
    return columns, makes


def _fill(out: np.ndarray, makes: Sequence[tuple[str, Any]], frame: pd.DataFrame, factors: dict[str, _Factor]) -> None:
    for j, (how, what) in enumerate(makes):
        if how == "one":
            out[:, j] = 1.0
        elif how == "number":
            out[:, j] = frame[what].to_numpy(dtype=float)
        elif how == "product":  # in the columns' own types, as formulaic multiplies them
            a, b = (frame[name].to_numpy() for name in what)
            out[:, j] = np.multiply(a, b)
        else:
            name, k = what
            out[:, j] = factors[name].codes == k


def fast_matrices(
    response: str, fixed: str, random_texts: Sequence[str], frame: pd.DataFrame, plain: bool
) -> FastMatrices | None:
    """The matrices of a model whose ``response`` (as handed to formulaic) is a bare
    column of numbers (or empty: a response read apart, ``y`` is then empty), whose
    ``fixed`` part and random-effects terms' left sides (``random_texts``) are sums of
    the intercept and bare columns, on ``frame`` (every row complete); ``None`` for any
    other model, or when ``plain`` is false (a formula with offsets, aliases or
    rewritten terms)."""
    if not plain:
        return None
    y_name = _name(response.strip()) if response else None  # "": a response read apart, none here
    if response and (y_name is None or not _single(frame, y_name) or _kind(frame[y_name]) != "number"):
        return None
    parts_text = [fixed, *random_texts]
    reads = [_terms(t) for t in parts_text]
    if any(r is None for r in reads):
        return None
    kinds: dict[str, str] = {}
    factors: dict[str, _Factor] = {}
    categorical: dict[str, list] = {}
    for read in reads:
        assert read is not None
        for name in (name for term in read[1] for name in term):
            if name in kinds:
                continue
            if not _single(frame, name):
                return None
            kind = _kind(frame[name])
            if kind is None:
                return None
            kinds[name] = kind
            if kind == "factor":
                factors[name] = _factor(frame[name])
                categorical[name] = factors[name].levels
    names: list[list[str]] = []
    mats: list[np.ndarray] = []
    for text in parts_text:
        part = _part(text, factors, kinds)
        if part is None:
            return None
        out = np.empty((len(frame), len(part[0])))
        _fill(out, part[1], frame, factors)
        names.append(part[0])
        mats.append(out)
    y = np.empty(0) if y_name is None else np.ascontiguousarray(frame[y_name].to_numpy(dtype=float))
    z = np.ascontiguousarray(np.column_stack(mats[1:])) if len(mats) > 1 else np.empty((len(frame), 0))
    formulaic = FormulaicParts(template=_template(frame, factors), texts=(f"{response} ~ {fixed}", tuple(random_texts)))
    return FastMatrices(y, mats[0], z, names[0], names[1:], categorical, formulaic)


def _single(frame: pd.DataFrame, name: str) -> bool:
    """Whether ``name`` is exactly one column of ``frame``."""
    return name in frame.columns and not isinstance(frame[name], pd.DataFrame)


def _template(frame: pd.DataFrame, factors: dict[str, _Factor]) -> pd.DataFrame:
    """The rows of ``frame`` holding the first occurrence of every level of every
    factor (and the first row): formulaic learns the same levels from them as from
    the whole frame, and nothing else it learns depends on the rows."""
    first = np.zeros(len(frame), dtype=bool)
    first[:1] = True
    for f in factors.values():
        first |= ~pd.Series(f.codes).duplicated().to_numpy()  # a hash pass, no sort
    return frame.iloc[np.flatnonzero(first)]
