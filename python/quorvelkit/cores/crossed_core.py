"""The crossed core of a design (:func:`crossed_core`), and the random-effects terms of
a model with several grouping factors in lme4's order.

lme4 lays theta out term by term in its order of terms (decreasing number of levels;
:func:`quorvelkit.formula.grouping.lme4_term_order`); the core keeps the factors in that order
with all of a factor's terms together. The two differ only where terms of one factor are
interleaved with another's of as many levels. The core takes lme4's order of its terms
(``term_order``) and maps theta itself: every theta the package hands it or reads from
it (starts, bounds, gradients, Satterthwaite's differences, refits) is in lme4's layout.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from .._quorvelkit import CrossedCore, LmmCore
from ..formula.checks import overflow_refusal
from ..formula.grouping import ThetaLayout
from ..model.design import Design, core_factors, theta_layout_of

__all__ = ["crossed_core", "design_core", "lme4_terms", "block_lambda", "CrossedTerm", "terms_in_lme4_order"]


def crossed_core(design: Design) -> CrossedCore:
    """The core of a design with several grouping factors, theta in lme4's layout."""
    rows = design.need_rows("the fit")
    order = lme4_terms(design, theta_layout_of(design))
    return CrossedCore(design.core_y, rows.x, core_factors(design), weights=rows.weights, term_order=order)


def design_core(design: Design, evaluator: str) -> Any:
    """The core of a design whose rows are at hand: the crossed core for several
    grouping factors, else the one-factor core (its ``evaluator``); a core's refusal of
    rows whose squares overflow names the columns as the model names them."""
    rows = design.need_rows("the fit")
    try:
        if len(design.spec.factors) > 1:
            return crossed_core(design)
        return LmmCore(
            design.core_y, rows.x, rows.z, rows.codes, design.m, evaluator, blocks=design.blocks, weights=rows.weights
        )
    except ValueError as exc:
        raise overflow_refusal(exc, design.parsed.response, design.fe_names, design.re_names, design.levels) from None


def block_lambda(theta: Any, sizes: Sequence[int]) -> np.ndarray:
    """Lambda's template from theta in lme4's layout: block diagonal, one lower-triangular
    block per term (``sizes`` columns each), filled column by column."""
    lam = np.zeros((sum(sizes), sum(sizes)))
    k = off = 0
    for s in sizes:
        for j in range(s):
            for i in range(j, s):
                lam[off + i, off + j] = theta[k]
                k += 1
        off += s
    return lam


@dataclass(frozen=True)
class CrossedTerm:
    """One random-effects term as lme4 lists it: its name (the factor's, made unique as
    R's ``make.unique`` does: "a", "a.1"), the factor's place in the core's order, the
    term's columns and their places among the factor's columns."""

    name: str
    factor: int
    columns: tuple[str, ...]
    at: tuple[int, ...]
    group: str = ""


def _formula_terms(design: Design) -> list[tuple[int, int, int]]:
    """The design's terms in formula order, as (position, factor, term): the factor's
    index in formula order and the term's among the factor's blocks."""
    return sorted(
        (position, i, j)
        for i, f in enumerate(design.spec.factors)
        for j, position in enumerate(f.positions or range(len(f.blocks)))
    )


def lme4_terms(design: Design, layout: ThetaLayout) -> list[tuple[int, int]]:
    """The terms in lme4's order as the crossed core's ``term_order`` takes them:
    (factor in the core's order, term among that factor's blocks)."""
    place = {f: k for k, f in enumerate(layout.factor_order)}
    terms = _formula_terms(design)
    return [(place[terms[t][1]], terms[t][2]) for t in layout.term_order]


def terms_in_lme4_order(design: Design, layout: ThetaLayout) -> list[CrossedTerm]:
    """The design's random-effects terms in lme4's order."""
    spec = design.spec
    names = design.re_names
    spans = spec.factor_columns()
    place = {f: k for k, f in enumerate(layout.factor_order)}
    terms = _formula_terms(design)
    seen: dict[str, int] = {}
    out = []
    for t in layout.term_order:
        _, i, j = terms[t]
        blocks = spec.factors[i].blocks
        at = sum(blocks[:j])
        cols = names[spans[i]][at : at + blocks[j]]
        base = spec.factors[i].name
        k = seen.get(base, 0)
        seen[base] = k + 1
        out.append(
            CrossedTerm(
                base if k == 0 else f"{base}.{k}", place[i], tuple(cols), tuple(range(at, at + blocks[j])), base
            )
        )
    return out
