"""From a formula and a data frame to a fitted model: :func:`lmm` parses the formula,
builds the design and the core, and optimises theta from lme4's start (or the caller's
starts), or evaluates the model at a theta the caller gives."""

from __future__ import annotations

import time
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from ._quorvelkit import LmmCore
from .design import build_design
from .errors import check_flag, core_refusals
from .fit import LmmFit, warn_if_singular
from .parsing import parse_formula

__all__ = ["lmm"]


def lmm(
    formula: str,
    data: Any,
    reml: bool = True,
    evaluator: str = "auto",
    starts: Any = None,
    *,
    theta: Sequence[float] | None = None,
    max_iter: int = 300,
    weights: Any = None,
    offset: Any = None,
) -> LmmFit:
    """Fit a linear mixed model written in lme4's notation.

    Args:
        formula: e.g. ``"Reaction ~ Days + (Days | Subject)"``, ``"y ~ x1 * x2 + C(site)
            + (1 | g)"`` or ``"y ~ 1 + (0 + x | g)"``. One or more random-effects terms
            ``(terms | group)`` on one grouping factor, a column (or ``a:b``, the
            interaction of two columns): terms in different bars are uncorrelated, and
            ``(x || g)`` is lme4's shorthand for ``(1 | g) + (0 + x | g)``.
            ``offset(expr)`` terms add a known ``expr`` to the linear predictor. The
            response, the fixed part and the left sides of the bars are built by
            formulaic, with R's meanings: ``I(x^2)`` is a square, ``factor(x)`` is
            ``C(x)``, ``Solar.R`` is a column name. Every expression is checked before
            anything evaluates it: only column names, numbers, arithmetic, comparisons
            and the functions of :data:`quorvelkit.expressions.ALLOWED_FUNCTIONS` are
            allowed.
        data: a pandas DataFrame, or anything pandas can turn into one (a dict of
            columns, a list of records, an object with ``to_pandas()``).
        reml: fit by REML (``True``, the default) or by maximum likelihood (``False``);
            a boolean (a NumPy boolean is fine), anything else is a ``TypeError``.
        evaluator: the core's kernel: ``"auto"``, ``"blocks"``, ``"aggregated"`` or
            ``"streaming"``; all give the same fit.
        starts: starting values for theta, one vector or several (a 2-D array or a flat
            concatenation); with several, the lowest optimum wins. By default the
            identity factor alone (lme4's start): the optimiser reaches the optimum
            from it, so further starts only cost time.
        theta: evaluate the model at this theta without optimising (like lme4's
            ``optimizer = NULL``); useful for comparisons and profiles.
        max_iter: iteration limit of the optimiser, per start.
        weights: prior weights, a column name or one number per row of ``data``: the
            residual variance of row i is sigma^2 / weights[i], as lme4's ``weights``
            (the criterion, log-likelihood, AIC and BIC are lme4's). Rows of weight
            zero carry no information and are left out (``fit.n_zero_weight`` counts
            them); a negative or non-finite weight is a ``ValueError`` naming its row.
        offset: a known part of the linear predictor, a column name or one number per
            row of ``data``, added to the formula's ``offset()`` terms (lme4's
            ``offset``). A missing value drops the row.

    Returns:
        The fitted model, :class:`LmmFit`.

    Raises:
        ValueError: a formula that cannot be read or uses unsupported notation
            (bar terms on different grouping factors, nested groups) or anything but column names,
            numbers, arithmetic and the allowed transforms; a column that is not in the
            data, a non-numeric response, infinite values, too few groups or
            observations; bad weights or offsets (see above); a degenerate response: a
            constant one, or one the fixed effects fit exactly (its residuals are zero to rounding error), which
            leaves no residual variation to estimate the variance components from.
        TypeError: ``reml`` that is not a boolean.
        RuntimeError: no start gives a feasible theta.

    Rows with a missing value in any column the model uses are dropped and counted
    (``fit.n_dropped``). Aliased fixed-effects columns are dropped with a
    :class:`~quorvelkit.formula.RankDeficiencyWarning` naming them. An optimised fit
    on the boundary (:attr:`LmmFit.is_singular`) gives a :class:`SingularFitWarning`.
    A response that the fixed and random effects fit exactly together (but the fixed
    effects alone do not), e.g. one that is constant within every group in a random-
    intercept model, has no finite optimum either; it is not detected before the fit,
    which ends at a very large theta with a sigma many orders of magnitude below the
    response's spread.
    """
    check_flag("reml", reml)
    t0 = time.perf_counter()
    parsed = parse_formula(formula)
    design = build_design(parsed, data, weights=weights, offset=offset)
    t1 = time.perf_counter()
    core = LmmCore(
        design.core_y,
        design.x,
        design.z,
        design.codes,
        design.m,
        evaluator,
        blocks=design.blocks,
        weights=design.weights,
    )
    response = f"response '{parsed.response}'"
    if theta is not None:
        with core_refusals(response, design.fe_names):
            result: Mapping[str, Any] = _evaluate_at(core, theta, reml)
        n_starts = 0
    else:
        if starts is None:
            flat = list(core.default_theta())
        else:
            flat = _flatten_starts(starts, core.n_theta)
        n_starts = len(flat) // core.n_theta
        with core_refusals(response, design.fe_names):
            result = core.fit(flat, reml=bool(reml), max_iter=int(max_iter))
    t2 = time.perf_counter()
    fit = LmmFit(
        design,
        core,
        result,
        n_starts=n_starts,
        fit_seconds=t2 - t1,
        total_seconds=t2 - t0,
        evaluator_requested=evaluator,
    )
    if theta is None:
        warn_if_singular(fit, stacklevel=2)
    return fit


def _flatten_starts(starts: Any, n_theta: int) -> list[float]:
    arr = np.asarray(starts, dtype=float)
    if arr.ndim == 0:
        arr = arr.reshape(1)
    flat = [float(v) for v in arr.ravel()]
    if not flat or len(flat) % n_theta:
        raise ValueError(f"starts must be one or more theta vectors of length {n_theta}, got {len(flat)} values")
    return flat


def _evaluate_at(core: LmmCore, theta: Sequence[float], reml: bool) -> dict[str, Any]:
    """The core's solution at ``theta``, with the optimiser's report of a fit that did
    not move: one evaluation, and the largest |gradient entry| there."""
    theta_l = [float(v) for v in np.asarray(theta, dtype=float).ravel()]
    result: dict[str, Any] = dict(core.solution(theta_l, reml=bool(reml)))
    result.update(
        converged=False,
        iterations=0,
        fev=1,
        grad_inf_norm=float(np.max(np.abs(result["grad"]))),
        message="theta given by the caller (not optimised)",
    )
    return result
