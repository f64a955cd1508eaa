"""The one fit of a model written in lme4's notation on data in memory, behind
:func:`quorvelkit.lmm` and :func:`quorvelkit.glmm`: the data arguments (``weights=``,
``offset=``, ``subset=``), the formula's parse, the design, and the model class's fit
of it (its core, the fit, the result).

A model class says what differs between models, and nothing else does:

- ``reads_response``: whether its family reads the formula's left-hand side apart (a
  GLMM's ``cbind()``, factor or proportion) rather than the model matrices holding it;
- ``reading(weights)``: that reading (:class:`~quorvelkit.model.design.ResponseReading`),
  given the weights as they are read per row, or ``None`` (the weights are then the
  design's prior weights);
- ``fit(design, options, t0, stacklevel)``: the core of the design, its fit under the
  :class:`~quorvelkit.model.fit_options.FitOptions`, and the fitted model.

:class:`LinearModel` is the linear mixed model's (one grouping factor's core or the
crossed core), :class:`~quorvelkit.fitting.glmm_model.GlmmModel` the GLMM's."""

from __future__ import annotations

import time
from typing import Any, Protocol

from ..cores.crossed_core import design_core
from ..formula.parsing import parse_formula
from ..formula.residual_terms import ResidualSpec
from ..model.data_arguments import resolve_rows, take_subset
from ..model.design import Design, ResponseReading, build_design
from ..model.fit_options import FitOptions
from ..results.crossed_fit import CrossedFit
from ..results.lmm_fit import LmmFit, fit_design
from ..results.structured_fit import StructuredFit
from ..support.frames import to_frame
from .structured_model import fit_structured

__all__ = ["ModelClass", "LinearModel", "fit_model"]


class ModelClass(Protocol):
    """What a model class brings to :func:`fit_model` (see the module's notes)."""

    @property
    def reads_response(self) -> bool: ...

    def reading(self, weights: Any) -> ResponseReading | None: ...

    def fit(self, design: Design, options: FitOptions, t0: float, stacklevel: int) -> Any: ...


class LinearModel:
    """The linear mixed model: a numeric response the model matrices hold, prior
    weights as lme4's, the core of one grouping factor or the crossed core of several."""

    reads_response = False

    def reading(self, weights: Any) -> None:
        return None

    def fit(self, design: Design, options: FitOptions, t0: float, stacklevel: int) -> LmmFit | StructuredFit:
        """The fit of ``design`` under ``options`` (with a residual structure, the
        structured core's); a singular fit's warning points
        ``stacklevel`` frames up, this method's being 1."""
        if design.parsed.residual is not None:
            return fit_structured(design, options, t0, stacklevel=stacklevel + 1)
        t1 = time.perf_counter()
        core = design_core(design, options.evaluator)
        kind = CrossedFit if len(design.spec.factors) > 1 else LmmFit
        return fit_design(design, core, options, t0, t1, stacklevel=stacklevel + 1, kind=kind)


def fit_model(
    formula: str,
    data: Any,
    options: FitOptions,
    model: ModelClass,
    *,
    weights: Any = None,
    offset: Any = None,
    subset: Any = None,
    residual: ResidualSpec | None = None,
    stacklevel: int = 3,
) -> Any:
    """The fit of ``formula`` on ``data`` (in memory) as a model of class ``model``
    under ``options``, with R's data arguments: ``weights`` and ``offset`` as column
    names, expressions of the columns or one number per row, ``subset`` an expression
    or one boolean per row (:mod:`quorvelkit.model.data_arguments`); ``residual`` a
    residual structure given besides the formula (nlme's keywords). Warnings point
    ``stacklevel`` frames up, this function's being 1 (3: the caller's caller)."""
    t0 = time.perf_counter()
    if subset is not None or any(isinstance(a, str) for a in (weights, offset)):
        data = to_frame(data)
        weights, offset = resolve_rows(weights, data, "weights"), resolve_rows(offset, data, "offset")
        data, (weights, offset) = take_subset(data, subset, weights, offset)
    parsed = parse_formula(
        formula, getattr(data, "columns", None), family_response=model.reads_response, residual=residual
    )
    read = model.reading(weights)
    weights = weights if read is None else None  # a family's reading takes the weights
    design = build_design(parsed, data, weights, offset, read=read, stacklevel=stacklevel + 1)
    return model.fit(design, options, t0, stacklevel + 1)
