"""Running the core for a model: lme4's start or the caller's starts, the optimiser,
or the model evaluated at a theta the caller gives, with the core's refusals turned
into the package's errors."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from ._quorvelkit import LmmCore
from .errors import core_refusals

__all__ = ["run_core", "flatten_starts", "evaluate_at"]


def run_core(
    core: LmmCore,
    response: str,
    fe_names: Sequence[str],
    reml: bool,
    *,
    starts: Any = None,
    theta: Sequence[float] | None = None,
    max_iter: int = 300,
) -> tuple[Mapping[str, Any], int]:
    """The core's result (its fit, or its solution at ``theta``) and the number of
    starts (0 for a given theta). ``response`` and ``fe_names`` name what the core's
    refusals are about."""
    if theta is not None:
        with core_refusals(response, fe_names):
            return evaluate_at(core, theta, reml), 0
    flat = list(core.default_theta()) if starts is None else flatten_starts(starts, core.n_theta)
    with core_refusals(response, fe_names):
        result = core.fit(flat, reml=bool(reml), max_iter=int(max_iter))
    return result, len(flat) // core.n_theta


def flatten_starts(starts: Any, n_theta: int) -> list[float]:
    arr = np.asarray(starts, dtype=float)
    if arr.ndim == 0:
        arr = arr.reshape(1)
    flat = [float(v) for v in arr.ravel()]
    if not flat or len(flat) % n_theta:
        raise ValueError(f"starts must be one or more theta vectors of length {n_theta}, got {len(flat)} values")
    return flat


def evaluate_at(core: LmmCore, theta: Sequence[float], reml: bool) -> dict[str, Any]:
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
