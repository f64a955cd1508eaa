"""The compiled GLMM cores of a design, theta in lme4's layout, and their fit: shared by
:func:`quorvelkit.glmm` and the parametric bootstrap of its fits."""

from __future__ import annotations

from typing import Any

import numpy as np

import quorvelkit._quorvelkit as _quorvelkit

from ..model.design import Design, core_factors, theta_layout_of
from ..model.fit_options import FitOptions
from .crossed_core import lme4_terms

__all__ = ["fit_core", "make_core"]


def fit_core(
    core: Any,
    design: Design,
    nagq: int,
    theta: np.ndarray | None,
    beta: np.ndarray | None,
    max_iter: int | None = None,
) -> dict[str, Any]:
    """The core's fit from a start ``theta`` (lme4's layout, as every core takes it);
    ``max_iter`` None: :class:`~quorvelkit.model.fit_options.FitOptions`'s limit."""
    if max_iter is None:
        max_iter = FitOptions().max_iter
    return dict(core.fit(nagq=nagq, theta=theta, beta=beta, max_iter=max_iter))


def _zi(design: Design) -> Any:
    """The core's zi: the zero-inflation's design for a formula of covariates, else
    whether the family is zero-inflated (a constant probability)."""
    zx = getattr(design.response, "zi_design", None)
    return zx if zx is not None else design.spec.zero_inflated


def make_core(design: Design, prior: np.ndarray, family: str, link: str) -> Any:
    """The compiled core of the design's rows: one grouping factor's, or the crossed
    one's (its factors in lme4's order, theta in lme4's layout)."""
    rows = design.need_rows("the fit")
    offset = None if rows.offset is None else np.ascontiguousarray(rows.offset, dtype=float)
    x = np.ascontiguousarray(rows.x, dtype=float)
    if len(design.spec.factors) == 1:
        z = np.ascontiguousarray(rows.z, dtype=float)
        blocks = list(design.blocks)
        return _quorvelkit.GlmmCore(
            rows.y,
            x,
            z,
            rows.codes,
            design.m,
            blocks,
            prior,
            offset,
            family,
            link,
            design.spec.laplace,
            _zi(design),
        )
    order = lme4_terms(design, theta_layout_of(design))
    return _quorvelkit.CrossedGlmmCore(
        rows.y,
        x,
        core_factors(design),
        prior,
        offset,
        family,
        link,
        term_order=order,
        laplace=design.spec.laplace,
        zi=_zi(design),
    )
