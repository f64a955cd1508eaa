"""Intervals of the parameters of a residual structure: nlme's Wald intervals
(``intervals(fit)``) and profile-likelihood intervals of each parameter that one
unconstrained coordinate of the core holds.

Wald. The covariance of the variance parameters (theta, eta, sigma^2) is twice the
inverse Hessian of the criterion (:func:`~quorvelkit.results.satterthwaite.profiled_varpar_info`).
Each natural parameter gets its interval on a scale u where it is unbounded, u(x) +- z
sd(u), mapped back; sd(u) by the delta method through the Jacobian of the natural
parameters in eta. The scales are nlme's (Pinheiro & Bates 2000, sec. 5.2 and 5.3),
where nlme has the structure: log((1 + phi) / (1 - phi)) for corAR1, logit for corCAR1
and the nugget, log((rho + 1 / (T - 1)) / (1 - rho)) for corCompSymm with T the largest
subject, log for a range, a varIdent ratio and sigma, the identity for a power or
exponent; a Wald interval does not depend on the scale of the coordinates beyond u,
so these are nlme's intervals. Correlations that nlme writes otherwise or not at all
(unstructured, Toeplitz, ante-dependence) take Fisher's z, atanh.

Profiles. A parameter that is a monotone function g of one coordinate eta_j (the
correlation of ar1, car1, cs and of consecutive visits under ad, the first lag of
toep, a range or nugget, a varIdent ratio, a power or exponent) is profiled with
eta_j = g^-1(psi) held and every other parameter free, by the searches of
:mod:`quorvelkit.results.profile`. The correlations of us, and toep's beyond the first
lag, are functions of several coordinates: they have Wald intervals only.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from .profile_problems import Problem, held_coordinate, held_inverse
from .pvalues import normal_quantile

__all__ = ["StructureParameter", "structure_parameters", "wald_intervals", "StructuredProfiler"]

_Map = tuple[Callable[[float], float], Callable[[float], float], Callable[[float], float]]


def _logit() -> _Map:
    return (lambda x: math.log(x / (1.0 - x)), lambda u: 1.0 / (1.0 + math.exp(-u)), lambda x: 1.0 / (x * (1.0 - x)))


def _fisher() -> _Map:
    return (math.atanh, math.tanh, lambda x: 1.0 / (1.0 - x * x))


def _log() -> _Map:
    return (math.log, math.exp, lambda x: 1.0 / x)


def _identity() -> _Map:
    return ((lambda x: x), (lambda u: u), (lambda x: 1.0))


def _compound(size: int) -> _Map:
    a = 1.0 / max(size - 1, 1)
    return (
        lambda x: math.log((x + a) / (1.0 - x)),
        lambda u: (math.exp(u) - a) / (1.0 + math.exp(u)),
        lambda x: 1.0 / (x + a) + 1.0 / (1.0 - x),
    )


@dataclass(frozen=True)
class StructureParameter:
    """One natural parameter of the structure: its name, its place in the natural
    vector, the Wald scale (u, its inverse, du/dx), and for a parameter of one
    coordinate, that coordinate (into eta), the kind the profile searches take and its
    bounds."""

    name: str
    at: int
    scale: _Map
    coordinate: int | None = None
    kind: str = "structure"
    lower: float = -math.inf
    upper: float = math.inf


def structure_parameters(fit: Any) -> list[StructureParameter]:
    """The structure's natural parameters of a :class:`~quorvelkit.results.structured_fit.StructuredFit`,
    in the order of its natural vector (each group's correlation's, then the variance
    functions')."""
    spec = fit.structure
    kind = spec.correlation
    names = list(fit.correlation.index)
    groups = max(len(fit._layout_rows.rows.group_labels), 1)
    per = len(names) // groups
    largest = int(np.max(np.diff(fit._layout_rows.subject_offsets))) if per else 0
    out: list[StructureParameter] = []
    for g in range(groups):
        for i in range(per):
            at, name = g * per + i, names[g * per + i]
            if kind in ("ar1", "ad") or (kind == "toep" and i == 0):
                out.append(StructureParameter(name, at, _fisher(), at, "cor", -1.0, 1.0))
            elif kind == "cs":
                out.append(StructureParameter(name, at, _compound(largest), at, "cor", -1.0, 1.0))
            elif kind == "car1" or (kind in ("exp", "gaus") and i == 1):
                out.append(StructureParameter(name, at, _logit(), at, "structure", 0.0, 1.0))
            elif kind in ("exp", "gaus"):
                out.append(StructureParameter(name, at, _log(), at, "positive", 0.0, math.inf))
            else:  # us, and toep beyond the first lag: functions of several coordinates
                out.append(StructureParameter(name, at, _fisher()))
    at = len(names)
    for v, series in zip(spec.variances, fit.variance_function, strict=True):
        labels = list(series.index)
        if v.kind == "ident":
            for label in labels[1:]:
                text = "/".join(map(str, label)) if isinstance(label, tuple) else str(label)
                out.append(StructureParameter(f"{v.text}: {text}", at, _log(), at, "positive", 0.0, math.inf))
                at += 1
        else:
            out.append(StructureParameter(f"{v.text}: {labels[0]}", at, _identity(), at))
            at += 1
    return out


def _natural_jacobian(fit: Any) -> np.ndarray:
    """d natural / d eta by central differences of the core's natural parameters."""
    params = np.asarray(fit._res["params"], dtype=float)
    n_theta = fit._core.n_theta
    k = params.size - n_theta
    natural = np.asarray(fit._res["natural"], dtype=float)
    jac = np.zeros((natural.size, k))
    for j in range(k):
        h = 6e-6 * max(abs(params[n_theta + j]), 1.0)
        e = np.zeros(params.size)
        e[n_theta + j] = h
        up = np.asarray(fit._core.solution(list(params + e), fit.reml)["natural"], dtype=float)
        down = np.asarray(fit._core.solution(list(params - e), fit.reml)["natural"], dtype=float)
        jac[:, j] = (up - down) / (2.0 * h)
    return jac


def wald_intervals(fit: Any, level: float) -> pd.DataFrame:
    """nlme's ``intervals(fit, which = "var-cov")`` of the structure and sigma (see the
    module's description): columns "lower", "est.", "upper", one row per parameter
    and "sigma" last."""
    info = fit.satterthwaite()
    n_theta = fit._core.n_theta
    z = normal_quantile(0.5 + level / 2)
    k = info.vcov_varpar.shape[0] - 1
    cov_eta = info.vcov_varpar[n_theta:k, n_theta:k]
    natural = np.asarray(fit._res["natural"], dtype=float)
    jac = _natural_jacobian(fit)
    rows, index = [], []
    for par in structure_parameters(fit):
        u, u_inv, du = par.scale
        x = float(natural[par.at])
        g = du(x) * jac[par.at]
        sd = math.sqrt(max(float(g @ cov_eta @ g), 0.0))
        rows.append([u_inv(u(x) - z * sd), x, u_inv(u(x) + z * sd)])
        index.append(par.name)
    s = float(fit.sigma2)
    sd_log_sigma = math.sqrt(max(float(info.vcov_varpar[k, k]), 0.0)) / (2.0 * s)
    sigma = math.sqrt(s)
    rows.append([sigma * math.exp(-z * sd_log_sigma), sigma, sigma * math.exp(z * sd_log_sigma)])
    index.append("sigma")
    out = pd.DataFrame(rows, index=index, columns=["lower", "est.", "upper"])
    out.attrs["level"] = level
    return out


class StructuredProfiler:
    """The profiles of the structure's parameters of one coordinate (the interface
    :func:`quorvelkit.results.profile.intervals` and ``traces`` take)."""

    def __init__(self, fit: Any) -> None:
        self.core, self.reml = fit._core, bool(fit.reml)
        self.criterion_name = "REML criterion" if self.reml else "-2 log-likelihood"
        self.x0 = np.asarray(fit._res["params"], dtype=float)
        self.n_theta = int(self.core.n_theta)
        self.f0 = float(fit._res["deviance"])
        self.natural = np.asarray(fit._res["natural"], dtype=float)
        self.parameters = [p for p in structure_parameters(fit) if p.coordinate is not None]
        info = fit.satterthwaite()
        k = self.x0.size
        self.vcov = info.vcov_varpar[:k, :k]
        self.evaluations = info.evaluations

    def _value_grad(self, x: np.ndarray) -> tuple[float, np.ndarray]:
        self.evaluations += 1
        f, g = self.core.deviance_grad(list(x), self.reml)
        return float(f), np.asarray(g, dtype=float)

    def problems(self) -> list[Problem]:
        return [self._problem(p) for p in self.parameters]

    def _problem(self, par: StructureParameter) -> Problem:
        assert par.coordinate is not None
        at = self.n_theta + par.coordinate
        psi0 = float(self.natural[par.at])
        to_eta, deta = _inverse_map(par)
        var = float(self.vcov[at, at])
        scale = math.sqrt(var) / abs(deta(psi0)) if var > 0 and math.isfinite(var) else 0.1
        objective, dpsi = held_coordinate(self._value_grad, at, to_eta, deta)
        h0 = held_inverse(0.5 * self.vcov, at) if np.all(np.isfinite(self.vcov)) else np.eye(self.x0.size - 1)
        return Problem(
            name=par.name,
            kind=par.kind,
            estimate=psi0,
            scale=scale,
            lower=par.lower,
            upper=par.upper,
            phi0=np.delete(self.x0, at),
            h0=h0,
            objective=objective,
            dpsi=dpsi,
        )


def _inverse_map(par: StructureParameter) -> tuple[Callable[[float], float], Callable[[float], float]]:
    """eta = g^-1(psi) and d eta / d psi of the coordinate's map g."""
    if par.kind == "cor":  # tanh
        return (lambda p: math.atanh(max(-1 + 1e-15, min(1 - 1e-15, p)))), (lambda p: 1.0 / max(1e-300, 1.0 - p * p))
    if par.lower == 0.0 and par.upper == 1.0:  # the logistic
        return (lambda p: math.log(p / (1.0 - p))), (lambda p: 1.0 / max(1e-300, p * (1.0 - p)))
    if par.kind == "positive":  # exp
        return (lambda p: math.log(max(p, 1e-300))), (lambda p: 1.0 / max(p, 1e-300))
    return (lambda p: p), (lambda p: 1.0)
