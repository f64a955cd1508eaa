"""A GLMM evaluated at a given point instead of fitted: ``glmm(..., theta=, beta=,
max_iter=0)`` keeps every parameter given, as lme4's deviance function of
``c(theta, beta)`` (``mkGlmerDevfun`` then ``updateGlmerDevfun``) is evaluated at a
point.

The core's fit always begins with the joint PIRLS over (u, beta) at the start theta
(lme4's nAGQ = 0 stage), which moves beta off any start; with no iterations left the
rest of its results are those of the moved beta. So the results at the given beta come
from two evaluations of the model instead:

- the criterion, -2 log-likelihood with all constants, and its gradient over (theta,
  beta) are the core's own at (theta, beta) (:meth:`GlmmCore.criterion` and
  :meth:`GlmmCore.gradient`; for nagq > 1 the gradient is by central differences of the
  criterion);
- the conditional modes, their covariances and the linear predictor come from a second
  core of the same rows without fixed-effects columns, whose offset is the model's
  offset plus X beta, summed column by column in the order the core sums X beta (so the
  linear predictor is the core's to the last bit), fitted with no iterations at the
  given theta;
- the covariance of beta is 2 H^-1 (beta's block), H the Hessian of the criterion over
  (theta, beta) by central differences of its gradient, as the core's fit forms it;
  where H is not positive definite it is NaN (there is no estimate to take curvature
  at fixed theta from).
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from typing import Any

import numpy as np

from ..model.design import Design

__all__ = ["fit_at_point", "MESSAGE"]

#: The optimiser's message of a model evaluated at a given point.
MESSAGE = "max_iter = 0: evaluated at the given theta and beta, not optimised"
# Relative steps of the central differences: of the criterion for a gradient, of the
# gradient for the Hessian (the core's steps, relative to max(|x|, 0.1)).
_GRAD_STEP = 1e-5
_HESS_STEP = 1e-4


def _steps(x: np.ndarray, rel: float) -> np.ndarray:
    out: np.ndarray = rel * np.maximum(np.abs(x), 0.1)
    return out


def _central(f: Callable[[np.ndarray], Any], x: np.ndarray, rel: float) -> np.ndarray:
    """Central differences of ``f`` (a number or an array) at ``x``, one column per coordinate."""
    h = _steps(x, rel)
    cols = []
    for j in range(len(x)):
        xp, xm = x.copy(), x.copy()
        xp[j] += h[j]
        xm[j] -= h[j]
        cols.append((np.asarray(f(xp), dtype=float) - np.asarray(f(xm), dtype=float)) / (2.0 * h[j]))
    return np.array(cols).T


def _offset_with(design: Design, beta: np.ndarray) -> np.ndarray:
    """The offset plus X beta, summed as the core sums a row's linear predictor: the
    offset first, then column by column (no fused multiply-add, as the core)."""
    rows = design.need_rows("the fit")
    x = np.asarray(rows.x, dtype=float)
    eta = np.zeros(len(x)) if rows.offset is None else np.array(rows.offset, dtype=float)
    for j in range(x.shape[1]):
        eta = eta + x[:, j] * beta[j]
    return np.ascontiguousarray(eta)


def fit_at_point(
    core: Any,
    design: Design,
    prior: np.ndarray,
    family: str,
    link: str,
    nagq: int,
    theta: np.ndarray | None,
    beta: np.ndarray,
    make_core: Callable[[Design, np.ndarray, str, str], Any],
    fit_core: Callable[..., dict[str, Any]],
) -> dict[str, Any]:
    """The core's result dictionary at (theta, beta) without optimising (theta None:
    the core's default start). ``make_core`` and ``fit_core`` are :mod:`quorvelkit.glmm`'s."""
    base = fit_core(core, design, nagq, theta, beta, 0)
    theta_lme4 = np.asarray(base["theta"], dtype=float) if theta is None else np.asarray(theta, dtype=float)
    theta_core = np.ascontiguousarray(theta_lme4)  # every core takes theta in lme4's layout
    beta = np.ascontiguousarray(beta, dtype=float)
    nt = len(theta_core)

    rows = design.need_rows("the fit")
    shifted = dataclasses.replace(rows, x=np.zeros((len(rows.x), 0)), offset=_offset_with(design, beta))
    modes = fit_core(
        make_core(dataclasses.replace(design, rows=shifted), prior, family, link), design, nagq, theta_lme4, None, 0
    )

    laplace = max(nagq, 1)  # nagq = 0 at a fixed beta is Laplace's criterion there

    def value(x: np.ndarray) -> float:
        return float(core.criterion(np.ascontiguousarray(x[:nt]), np.ascontiguousarray(x[nt:]), laplace))

    def gradient(x: np.ndarray) -> np.ndarray:
        if laplace == 1:
            return np.asarray(core.gradient(np.ascontiguousarray(x[:nt]), np.ascontiguousarray(x[nt:]), 1)[1])
        return _central(value, x, _GRAD_STEP)

    point = np.concatenate([theta_core, beta])
    grad = gradient(point)
    hessian = _central(gradient, point, _HESS_STEP)
    hessian = 0.5 * (hessian + hessian.T)
    p = len(beta)
    vcov = np.full((p, p), np.nan)
    source = "rx"
    if np.all(np.isfinite(hessian)) and np.all(np.linalg.eigvalsh(hessian) > 0):
        vcov = 2.0 * np.linalg.inv(hessian)[nt:, nt:]
        source = "hessian"
    result = dict(base)
    result.update(
        theta=theta_lme4.copy(),
        beta=beta.copy(),
        m2loglik=value(point),
        grad=grad,
        grad_inf_norm=float(np.max(np.abs(grad))) if len(grad) else 0.0,
        hessian=hessian,
        vcov=vcov,
        vcov_rx=np.full((p, p), np.nan),
        vcov_source=source,
        message=MESSAGE,
        converged=False,
        **{k: modes[k] for k in ("eta", "mu", "u", "b", "cond_var")},
    )
    return result
