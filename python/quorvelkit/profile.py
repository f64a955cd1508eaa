"""Profile-likelihood intervals and profiles of every parameter of a fit: the standard
deviations and correlations of the random effects, sigma and each fixed effect.

The profile of a parameter psi is the criterion minimised over all the others with psi
held, f(psi), and its signed square root zeta(psi) = sign(psi - psi0) sqrt(f(psi) - f0)
(Bates et al. 2015, "Fitting Linear Mixed-Effects Models Using lme4", J. Stat. Softw.
67(1), section 5.1); the interval at level 1 - a solves zeta = -+ z_{a/2}. The
criterion is the model's own, D(theta, sigma) = logdet + pwrss / sigma^2 +
nu log(2 pi sigma^2) with beta profiled out (REML fits profile REML, ML fits ML), or
the ML deviance on request. Every constrained minimisation runs over theta alone with
the core's analytic gradient:

* sigma held at s: D(theta, s);
* the standard deviation of random effect k held at s, sd_k = sigma |Lambda_k.|:
  D(theta, s / |Lambda_k.|), whose gradient in theta adds dD/dsigma dsigma/dtheta;
  s = 0 sets row k of Lambda to zero and profiles sigma out;
* a correlation held at rho (sigma profiled out): theta is the lower triangle of a
  factor M of the relative covariance with the pair's rows first, M_10 = rho t,
  M_11 = sqrt(1 - rho^2) t, and every other entry free; the gradient in M follows from
  the gradient in theta by the reverse-mode derivative of the Cholesky factor (Murray
  2016, "Differentiation of the Cholesky decomposition", arXiv:1602.07527);
* fixed effect j held at b: the core's ``fixed_at(j, b)`` (the response y - x_j b on
  the other columns) and its profiled criterion. Under ML its minimum over b is the
  fit's; under REML the criterion of the model with beta_j known is the restricted
  likelihood of y - x_j b on p - 1 columns (nu = n - p + 1), which does depend on b,
  and zeta is measured from its own minimum over b (within rounding of the REML
  estimate of a balanced design, close to it otherwise).

The end points are found by Newton's method on zeta, whose derivative comes free from
the envelope theorem: dzeta/dpsi = (df/dpsi at the constrained optimum) / (2 zeta).
Each constrained minimisation is a BFGS run warm-started from the previous point of the
same parameter, with that point's inverse Hessian.
"""

from __future__ import annotations

import math
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from . import plot
from .errors import SINGULAR_TOL
from .report import interval_names
from .satterthwaite import varpar_info

__all__ = ["ProfileResult", "Profiler", "parameter_names", "minimise"]

Objective = Callable[[np.ndarray], tuple[float, np.ndarray]]


def minimise(
    fun: Objective, x0: np.ndarray, h0: np.ndarray, tol: float = 1e-9, max_iter: int = 50
) -> tuple[np.ndarray, float, np.ndarray, np.ndarray, bool]:
    """BFGS from ``x0`` with the initial inverse Hessian ``h0`` and a backtracking
    (Armijo) line search that treats an infeasible point (inf) as too long a step.
    Stops when the decrease the quadratic model predicts, g'Hg / 2, falls below
    ``tol`` (absolute, in criterion units), or when an accepted step changes the
    criterion by less than 1e-12 of itself (a degenerate, flatter than quadratic
    minimum, as on the boundary, where BFGS crawls). Returns x, f, g, the final inverse Hessian
    and whether it converged."""
    x = np.asarray(x0, dtype=float).copy()
    f, g = fun(x)
    if not math.isfinite(f):
        return x, f, g, h0, False
    h = np.array(h0, dtype=float)
    for _ in range(max_iter):
        d = -h @ g
        slope = float(g @ d)
        if slope >= 0:  # not a descent direction: restart from a scaled identity
            h = np.eye(x.size) * (1.0 / max(1.0, float(np.max(np.abs(g)))))
            d = -h @ g
            slope = float(g @ d)
        if -slope / 2 < tol:
            return x, f, g, h, True
        t = 1.0
        while True:
            xn = x + t * d
            fn, gn = fun(xn)
            if math.isfinite(fn) and fn <= f + 1e-4 * t * slope:
                break
            t *= 0.3 if not math.isfinite(fn) else max(0.1, min(0.5, -slope * t / (2 * (fn - f - slope * t))))
            if t < 1e-12:
                return x, f, g, h, -slope / 2 < 1e-6
        s, y = xn - x, gn - g
        sy = float(s @ y)
        if sy > 1e-12 * float(np.linalg.norm(s) * np.linalg.norm(y)):
            rho = 1.0 / sy
            hy = h @ y
            h = h + ((sy + float(y @ hy)) * rho * rho) * np.outer(s, s) - rho * (np.outer(hy, s) + np.outer(s, hy))
        small = f - fn < 1e-12 * max(1.0, abs(f))  # an accepted step that changes nothing
        x, f, g = xn, fn, gn
        if small:
            return x, f, g, h, True
    return x, f, g, h, False


def parameter_names(
    group: str, re_names: Sequence[str], fe_names: Sequence[str], index: Sequence[tuple[int, int]]
) -> list[str]:
    """lme4's names of the parameters (``confint(..., oldNames = FALSE)``): the
    standard deviation of each random effect followed by its correlations with the
    later ones in its block, sigma, then the fixed effects."""
    pairs = {(int(r), int(c)) for r, c in index}
    names = []
    for c, name in enumerate(re_names):
        names.append(f"sd_{name}|{group}")
        for r in range(c + 1, len(re_names)):
            if (r, c) in pairs:
                names.append(f"cor_{re_names[r]}.{name}|{group}")
    return names + ["sigma"] + list(fe_names)


@dataclass
class _Point:
    psi: float
    zeta: float
    slope: float  # dzeta/dpsi
    phi: np.ndarray
    h: np.ndarray
    f: float


@dataclass
class _Problem:
    """One parameter's constrained minimisations: ``objective(psi)`` is f over the free
    vector phi, ``dpsi(psi, phi)`` the partial derivative of f in psi at phi."""

    name: str
    kind: str
    estimate: float
    scale: float  # the Wald standard error on the parameter's scale, for the first step
    lower: float
    upper: float
    phi0: np.ndarray
    h0: np.ndarray
    objective: Callable[[float], Objective]
    dpsi: Callable[[float, np.ndarray], float]
    log_scale: bool = False
    adjust: Callable[[float, np.ndarray], np.ndarray] | None = None  # a start consistent with psi
    reference: float = 0.0  # f0, the minimum over psi
    center: float = 0.0  # psi0, where zeta = 0
    flat: bool = False  # a correlation of a random effect with zero variance: no profile


@dataclass
class ProfileResult:
    """The profiles of a fit (returned by :meth:`LmmFit.profile`).

    Attributes:
        traces: parameter name -> DataFrame with columns "value" and "zeta", sorted by
            value, through the estimate (zeta = 0).
        estimates: the parameters' estimates (zeta = 0).
        scale: "REML" or "ML": the criterion profiled.
        evaluations: criterion evaluations it took (the ML refit's included).
        seconds: wall time.
        notes: what was not profiled and why (a correlation of a random effect whose
            standard deviation is estimated at zero has a flat profile).
    """

    traces: dict[str, pd.DataFrame]
    estimates: pd.Series
    scale: str
    evaluations: int
    seconds: float
    notes: list[str] = field(default_factory=list)

    def confint(self, level: float = 0.95) -> pd.DataFrame:
        """Intervals read off the traces by interpolation of psi in zeta (linear; the
        traces are close to straight). Bounds beyond the traced range are NaN;
        :meth:`LmmFit.confint` with ``method="profile"`` solves for them exactly."""
        check_level(level)
        from scipy.stats import norm  # imported on first use: scipy.stats is slow to import

        z = float(norm.ppf(0.5 + level / 2))
        lo_name, hi_name = interval_names(level)
        rows = {}
        for name, tr in self.traces.items():
            zeta, val = tr["zeta"].to_numpy(), tr["value"].to_numpy()
            ok = np.isfinite(zeta)
            zeta, val = zeta[ok], val[ok]
            lo = float(np.interp(-z, zeta, val)) if zeta.size and zeta.min() <= -z else float("nan")
            hi = float(np.interp(z, zeta, val)) if zeta.size and zeta.max() >= z else float("nan")
            rows[name] = (lo, hi)
        return pd.DataFrame.from_dict(rows, orient="index", columns=[lo_name, hi_name])

    def plot(self, **kwargs: Any) -> Any:
        """The zeta plots (:func:`quorvelkit.plot.profile_zeta`)."""
        return plot.profile_zeta(self, **kwargs)


def check_level(level: Any) -> None:
    """``level`` must be a number strictly between 0 and 1."""
    if isinstance(level, bool) or not isinstance(level, (int, float, np.floating, np.integer)):
        raise TypeError(f"level must be a number between 0 and 1, got {type(level).__name__}")
    if not 0 < float(level) < 1:
        raise ValueError(f"level must be between 0 and 1, got {level}")


def _cholesky_gradient(lam: np.ndarray, lbar: np.ndarray) -> np.ndarray:
    """The gradient in S of f(chol(S)), from the gradient ``lbar`` (lower triangular)
    in the factor L = chol(S): S_bar = sym(L^-T Phi(L' L_bar) L^-1), Phi taking the
    lower triangle with the diagonal halved (Murray 2016). Convention: df = sum of
    S_bar * dS over all entries."""
    c = np.tril(lam.T @ lbar)
    c[np.diag_indices_from(c)] *= 0.5
    linv = np.linalg.inv(lam)
    b = linv.T @ c @ linv
    return np.asarray(0.5 * (b + b.T))


class Profiler:
    """The profiles of one fit on one scale (see the module's description).

    ``core``: the fit's core; ``reml``: the criterion profiled; ``theta``, ``beta``,
    ``sigma``: the optimum of that criterion; ``names``: the parameters' names.
    """

    def __init__(self, core: Any, reml: bool, theta: np.ndarray, names: list[str], base_evaluations: int = 0) -> None:
        self.core = core
        self.reml = bool(reml)
        self.q = int(core.q)
        self.p = int(core.p)
        self.index = [(int(r), int(c)) for r, c in core.theta_index()]
        self.k = len(self.index)
        self.names = names
        self.evaluations = base_evaluations
        self._cache: dict[tuple[int, bytes], tuple[Any, dict[str, Any]]] = {}
        self.theta = np.asarray(theta, dtype=float)
        parts = self._parts(self.core, self.theta)
        self.f0 = float(parts["deviance"])
        self.beta = np.asarray(parts["beta"], dtype=float)
        self.sigma = math.sqrt(float(parts["pwrss"]) / float(parts["nu"]))
        info = varpar_info(core, list(self.theta), self.reml)
        self.evaluations += info.evaluations
        self.cov_beta = info.cov_beta
        hess = info.hessian
        self.hessian = hess
        self.hess_theta = hess[: self.k, : self.k]
        self.hess_sigma = hess[: self.k, self.k]
        self.hess_ss = float(hess[self.k, self.k])
        profiled = self.hess_theta - np.outer(self.hess_sigma, self.hess_sigma) / self.hess_ss
        self.h_profiled = _inverse(profiled)
        self.vcov = info.vcov_varpar

    # ------------------------------------------------------------- evaluations
    def _parts(self, core: Any, theta: np.ndarray) -> dict[str, Any]:
        """The core's criterion_parts at theta, remembered for the last few points (the
        derivative in psi at a constrained optimum reads the minimiser's last point)."""
        key = (id(core), np.asarray(theta, dtype=float).tobytes())
        hit = self._cache.get(key)
        if hit is not None and hit[0] is core:  # the entry holds its core: no id is reused
            return hit[1]
        self.evaluations += 1
        parts = dict(core.criterion_parts(list(theta), self.reml))
        if len(self._cache) >= 16:
            self._cache.pop(next(iter(self._cache)))
        self._cache[key] = (core, parts)
        return parts

    def _profiled(self, core: Any, theta: np.ndarray) -> tuple[float, np.ndarray]:
        """The criterion with sigma profiled out, and its gradient."""
        pt = self._parts(core, theta)
        grad = np.asarray(pt["grad_logdet"]) + float(pt["nu"]) / float(pt["pwrss"]) * np.asarray(pt["grad_pwrss"])
        return float(pt["deviance"]), grad

    def lam(self, theta: np.ndarray) -> np.ndarray:
        out = np.zeros((self.q, self.q))
        for v, (r, c) in zip(theta, self.index, strict=True):
            out[r, c] = v
        return out

    def _row(self, k: int) -> list[int]:
        return [i for i, (r, _) in enumerate(self.index) if r == k]

    # ------------------------------------------------------------- problems
    def problems(self) -> list[_Problem]:
        """One problem per parameter, in the order of :attr:`names`."""
        out: list[_Problem] = []
        lam = self.lam(self.theta)
        pairs = set(self.index)
        for c in range(self.q):
            out.append(self._sd_problem(c))
            for r in range(c + 1, self.q):
                if (r, c) in pairs:
                    out.append(self._cor_problem(r, c, lam))
        out.append(self._sigma_problem())
        out += [self._beta_problem(j) for j in range(self.p)]
        for prob, name in zip(out, self.names, strict=True):
            prob.name = name
        return out

    def _grad_sd(self, theta: np.ndarray, k: int) -> np.ndarray:
        """dsd_k / d(theta, sigma) at the optimum, for the Wald scale."""
        rows = self._row(k)
        r = float(np.linalg.norm(theta[rows]))
        g = np.zeros(self.k + 1)
        if r > 0:
            g[rows] = self.sigma * theta[rows] / r
        g[self.k] = r
        return g

    def _wald(self, grad: np.ndarray, fallback: float) -> float:
        v = float(grad @ self.vcov @ grad) if np.all(np.isfinite(self.vcov)) else float("nan")
        return math.sqrt(v) if v > 0 and math.isfinite(v) else fallback

    def _sigma_problem(self) -> _Problem:
        def objective(s: float) -> Objective:
            def fun(theta: np.ndarray) -> tuple[float, np.ndarray]:
                try:
                    pt = self._parts(self.core, theta)
                except RuntimeError:
                    return math.inf, np.zeros_like(theta)
                pw, nu = float(pt["pwrss"]), float(pt["nu"])
                f = float(pt["logdet"]) + pw / s**2 + nu * math.log(2 * math.pi * s**2)
                return f, np.asarray(pt["grad_logdet"]) + np.asarray(pt["grad_pwrss"]) / s**2

            return fun

        def dpsi(s: float, theta: np.ndarray) -> float:
            pt = self._parts(self.core, theta)
            return -2.0 * float(pt["pwrss"]) / s**3 + 2.0 * float(pt["nu"]) / s

        e = np.zeros(self.k + 1)
        e[self.k] = 1.0
        return _Problem(
            "sigma", "sigma", self.sigma, self._wald(e, 0.1 * self.sigma), 0.0, math.inf,
            self.theta.copy(), _inverse(self.hess_theta), objective, dpsi, log_scale=True,
        )  # fmt: skip

    def _sd_problem(self, k: int) -> _Problem:
        rows = self._row(k)

        def objective(s: float) -> Objective:
            def fun(theta: np.ndarray) -> tuple[float, np.ndarray]:
                th = theta.copy()
                if s == 0.0:  # no random effect k: row k of Lambda is zero, sigma profiled
                    th[rows] = 0.0
                    try:
                        f, g = self._profiled(self.core, th)
                    except RuntimeError:
                        return math.inf, np.zeros_like(theta)
                    g[rows] = 0.0
                    return (f, g) if math.isfinite(f) else (math.inf, np.zeros_like(theta))
                r = float(np.linalg.norm(th[rows]))
                if r == 0.0:
                    return math.inf, np.zeros_like(theta)
                sig = s / r
                try:
                    pt = self._parts(self.core, th)
                except RuntimeError:
                    return math.inf, np.zeros_like(theta)
                pw, nu = float(pt["pwrss"]), float(pt["nu"])
                f = float(pt["logdet"]) + pw / sig**2 + nu * math.log(2 * math.pi * sig**2)
                g = np.asarray(pt["grad_logdet"]) + np.asarray(pt["grad_pwrss"]) / sig**2
                dd_dsig = -2.0 * pw / sig**3 + 2.0 * nu / sig
                g = g.copy()
                g[rows] += dd_dsig * (-sig / r) * th[rows] / r
                return f, g

            return fun

        def dpsi(s: float, theta: np.ndarray) -> float:
            r = float(np.linalg.norm(theta[rows]))
            if s == 0.0 or r == 0.0:
                return math.nan  # the boundary: a one-sided profile
            pt = self._parts(self.core, theta)
            sig = s / r
            return (-2.0 * float(pt["pwrss"]) / sig**3 + 2.0 * float(pt["nu"]) / sig) / r

        est = self.sigma * float(np.linalg.norm(self.theta[rows]))
        jac = np.zeros((self.k + 1, self.k))
        jac[: self.k] = np.eye(self.k)
        r0 = float(np.linalg.norm(self.theta[rows]))
        if r0 > 0:
            jac[self.k, rows] = -self.sigma / r0 * self.theta[rows] / r0
        full = self.hessian
        h0 = _inverse(jac.T @ full @ jac)

        def adjust(s: float, theta: np.ndarray) -> np.ndarray:
            # Row k rescaled so that sigma = s / |Lambda_k.| stays at the fit's: a start
            # far from consistent with s would put sigma orders of magnitude off.
            r = float(np.linalg.norm(theta[rows]))
            out = theta.copy()
            if s > 0 and r > 0:
                out[rows] *= s / (self.sigma * r)
            return out

        return _Problem(
            f"sd{k}", "sd", est, self._wald(self._grad_sd(self.theta, k), 0.2 * est + 1e-3 * self.sigma), 0.0,
            math.inf, self.theta.copy(), h0, objective, dpsi, log_scale=True, adjust=adjust,
        )  # fmt: skip

    def _cor_problem(self, r: int, c: int, lam: np.ndarray) -> _Problem:
        q = self.q
        perm = [c, r] + [i for i in range(q) if i not in (c, r)]
        identity = perm == list(range(q))
        pairs = set(self.index)
        allowed = [
            (i, j)
            for j in range(q)
            for i in range(j, q)
            if (max(perm[i], perm[j]), min(perm[i], perm[j])) in pairs and (i, j) not in ((1, 0), (1, 1))
        ]
        s_hat = lam @ lam.T
        sp = s_hat[np.ix_(perm, perm)]
        try:
            m_hat = np.linalg.cholesky(sp)
        except np.linalg.LinAlgError:
            m_hat = lam.copy() if identity else np.linalg.cholesky(sp + 1e-12 * np.eye(q))
        t_hat = float(np.hypot(m_hat[1, 0], m_hat[1, 1]))
        rho_hat = float(m_hat[1, 0] / t_hat) if t_hat > 0 else float("nan")

        def build(rho: float, phi: np.ndarray) -> np.ndarray:
            m = np.zeros((q, q))
            for v, (i, j) in zip(phi[:-1], allowed, strict=True):
                m[i, j] = v
            t = phi[-1]
            m[1, 0] = rho * t
            m[1, 1] = math.sqrt(max(0.0, 1.0 - rho * rho)) * t
            return m

        def theta_of(m: np.ndarray) -> np.ndarray | None:
            if identity:
                big = m
            else:
                s = (m @ m.T)[np.ix_(np.argsort(perm), np.argsort(perm))]
                try:
                    big = np.linalg.cholesky(s)
                except np.linalg.LinAlgError:
                    return None
            return np.array([big[i, j] for i, j in self.index])

        def mbar(m: np.ndarray, theta: np.ndarray, grad: np.ndarray) -> np.ndarray:
            lbar = self.lam(grad)
            if identity:
                return lbar
            big = self.lam(theta)
            sbar = _cholesky_gradient(big, lbar)
            return np.asarray(np.tril(2.0 * sbar[np.ix_(perm, perm)] @ m))

        def objective(rho: float) -> Objective:
            root = math.sqrt(max(0.0, 1.0 - rho * rho))

            def fun(phi: np.ndarray) -> tuple[float, np.ndarray]:
                m = build(rho, phi)
                theta = theta_of(m)
                if theta is None:
                    return math.inf, np.zeros_like(phi)
                try:
                    f, g = self._profiled(self.core, theta)
                except RuntimeError:
                    return math.inf, np.zeros_like(phi)
                if not math.isfinite(f):
                    return math.inf, np.zeros_like(phi)
                mb = mbar(m, theta, g)
                out = np.array([mb[i, j] for i, j in allowed] + [mb[1, 0] * rho + mb[1, 1] * root])
                return f, out

            return fun

        def dpsi(rho: float, phi: np.ndarray) -> float:
            m = build(rho, phi)
            theta = theta_of(m)
            assert theta is not None
            f, g = self._profiled(self.core, theta)
            mb = mbar(m, theta, g)
            t = phi[-1]
            root = math.sqrt(max(1e-300, 1.0 - rho * rho))
            return float(mb[1, 0] * t - mb[1, 1] * rho * t / root)

        phi0 = np.array([m_hat[i, j] for i, j in allowed] + [t_hat])
        h0 = np.eye(phi0.size) * 0.01
        if identity:
            jac = np.zeros((self.k, phi0.size))
            pos = {ij: n for n, ij in enumerate(self.index)}
            for col, ij in enumerate(allowed):
                jac[pos[ij], col] = 1.0
            jac[pos[(1, 0)], -1] = rho_hat if math.isfinite(rho_hat) else 0.0
            jac[pos[(1, 1)], -1] = math.sqrt(max(0.0, 1.0 - rho_hat**2)) if math.isfinite(rho_hat) else 1.0
            h0 = _inverse(jac.T @ _inverse(self.h_profiled) @ jac)
        grad = _cor_grad(self.theta, self.index, r, c, self.k)
        prob = _Problem(
            f"cor{r}{c}", "cor", rho_hat, self._wald(grad, 0.2), -1.0, 1.0, phi0, h0, objective, dpsi,
        )  # fmt: skip
        # A random effect with zero variance (below lme4's singularity tolerance, relative
        # to the other's scale) leaves the correlation unidentified: every value attains
        # the optimum.
        prob.flat = not (t_hat > SINGULAR_TOL * 1e-2 and abs(m_hat[0, 0]) > SINGULAR_TOL * 1e-2)
        return prob

    def _beta_problem(self, j: int) -> _Problem:
        cores: dict[float, Any] = {}

        def reduced(b: float) -> Any:
            if b not in cores:
                if len(cores) > 4:
                    cores.clear()
                cores[b] = self.core.fixed_at(j, b)
            return cores[b]

        def objective(b: float) -> Objective:
            core = reduced(b)

            def fun(theta: np.ndarray) -> tuple[float, np.ndarray]:
                try:
                    f, g = self._profiled(core, theta)
                except RuntimeError:
                    return math.inf, np.zeros_like(theta)
                return (f, g) if math.isfinite(f) else (math.inf, np.zeros_like(theta))

            return fun

        def dpsi(b: float, theta: np.ndarray) -> float:
            full = self._parts(self.core, theta)
            part = self._parts(reduced(b), theta)
            fjj = float(np.asarray(full["fixed_inverse"])[j, j])
            bj = float(np.asarray(full["beta"])[j])
            return float(part["nu"]) / float(part["pwrss"]) * 2.0 * (b - bj) / fjj

        se = math.sqrt(max(float(self.cov_beta[j, j]), 0.0))
        return _Problem(
            f"beta{j}", "beta", float(self.beta[j]), se if se > 0 else 1.0, -math.inf, math.inf,
            self.theta.copy(), self.h_profiled.copy(), objective, dpsi,
        )  # fmt: skip


def _inverse(h: np.ndarray) -> np.ndarray:
    """The inverse of a Hessian for BFGS's start: eigenvalues floored at a small positive
    value (a Hessian at the boundary may be singular or indefinite)."""
    h = 0.5 * (h + h.T)
    if not np.all(np.isfinite(h)):
        return np.eye(h.shape[0])
    w, v = np.linalg.eigh(h)
    floor = max(1e-8 * float(np.max(np.abs(w))) if w.size else 1.0, 1e-12)
    w = np.maximum(w, floor)
    return np.asarray((v / w) @ v.T)


def _cor_grad(theta: np.ndarray, index: list[tuple[int, int]], r: int, c: int, k: int) -> np.ndarray:
    """d cor_rc / d(theta, sigma) by central differences of the closed form (a function of
    theta alone, no criterion evaluation): for the Wald scale of the first step."""

    def cor(th: np.ndarray) -> float:
        lam = np.zeros((max(max(i, j) for i, j in index) + 1,) * 2)
        for v, (i, j) in zip(th, index, strict=True):
            lam[i, j] = v
        s = lam @ lam.T
        den = math.sqrt(s[r, r] * s[c, c])
        return float(s[r, c] / den) if den > 0 else 0.0

    g = np.zeros(k + 1)
    for i in range(k):
        e = np.zeros(k)
        e[i] = 1e-6 * max(1.0, abs(theta[i]))
        g[i] = (cor(theta + e) - cor(theta - e)) / (2 * e[i])
    return g


# ----------------------------------------------------------------- the searches
def _transform(prob: _Problem) -> tuple[Callable[[float], float], Callable[[float], float], Callable[[float], float]]:
    """The coordinate u(psi) in which zeta is closest to straight, its inverse and du/dpsi:
    log for standard deviations and sigma, atanh for correlations."""
    if prob.kind in ("sd", "sigma") and prob.center > 0:
        return math.log, lambda v: math.exp(min(v, 700.0)), lambda v: 1.0 / v
    if prob.kind == "cor":
        return (
            lambda v: math.atanh(max(-1 + 1e-15, min(1 - 1e-15, v))),
            math.tanh,
            lambda v: 1.0 / max(1e-300, 1.0 - v * v),
        )
    return (lambda v: v), (lambda v: v), (lambda v: 1.0)


class _Search:
    """The points computed for one parameter (both sides share the estimate's)."""

    def __init__(self, profiler: Profiler, prob: _Problem) -> None:
        self.pr = profiler
        self.prob = prob
        self.start = _Point(prob.center, 0.0, math.nan, prob.phi0, prob.h0, prob.reference)
        self.points = [self.start]
        self.u, self.u_inv, self.du = _transform(prob)
        self.lower_found = False

    def _warm(self, psi: float) -> tuple[np.ndarray, np.ndarray]:
        """The start for psi: the nearest point's optimum, moved along the path the last
        two points on that side trace (a linear predictor of the constrained optimum)."""
        side = [p for p in self.points if (p.psi - self.prob.center) * (psi - self.prob.center) >= 0]
        side.sort(key=lambda p: abs(p.psi - psi))
        near = side[0] if side else self.start
        if len(side) >= 2 and side[1].psi != near.psi and math.isfinite(side[1].f):
            a = (psi - near.psi) / (near.psi - side[1].psi)
            if abs(a) <= 2.0:
                return near.phi + a * (near.phi - side[1].phi), near.h
        return near.phi, near.h

    def _minimum(self, psi: float, phi: np.ndarray, h: np.ndarray) -> tuple[np.ndarray, float, np.ndarray]:
        if self.prob.adjust is not None:
            phi = self.prob.adjust(psi, phi)
        x, f, _, hn, _ = minimise(self.prob.objective(psi), phi, h)
        return x, f, hn

    def at(self, psi: float) -> _Point:
        """The constrained optimum at psi. The profile is monotone on each side of the
        estimate, and any run of the minimiser bounds it from above, so a point out of
        order with its neighbours is minimised again from theirs and the lowest wins."""
        phi, h = self._warm(psi)
        x, f, hn = self._minimum(psi, phi, h)
        if not math.isfinite(f) and not np.array_equal(phi, self.start.phi):
            x, f, hn = self._minimum(psi, self.start.phi, self.start.h)
        for other in self._disorder(psi, f):
            x2, f2, h2 = self._minimum(psi, other.phi, other.h)
            if f2 < f:
                x, f, hn = x2, f2, h2
        z2 = f - self.prob.reference
        zeta = math.copysign(math.sqrt(max(z2, 0.0)), psi - self.prob.center) if math.isfinite(f) else math.nan
        slope = math.nan
        if math.isfinite(zeta) and abs(zeta) > 1e-7:
            slope = self.prob.dpsi(psi, x) / (2.0 * zeta)
        pt = _Point(psi, zeta, slope, x, hn, f)
        self.points.append(pt)
        return pt

    def _disorder(self, psi: float, f: float) -> list[_Point]:
        """The neighbours (on the same side) with which f at psi breaks the monotone
        order: a point farther out with a lower criterion."""
        c = self.prob.center
        same = [p for p in self.points if (p.psi - c) * (psi - c) > 0 and math.isfinite(p.f)]
        return [p for p in same if abs(p.psi - c) > abs(psi - c) and p.f < f - 1e-9]

    def bound(self, side: int) -> float:
        return self.prob.upper if side > 0 else self.prob.lower

    def endpoint(self, side: int, z: float, tol: float = 1e-5) -> float:
        """psi where zeta = side * z, or the bound of psi when zeta stays short of it.

        Newton's method on zeta in the coordinate u(psi) (see ``_transform``), kept
        inside the bracket once one end point lies beyond the target (regula falsi
        when a Newton step leaves it)."""
        prob = self.prob
        if not math.isfinite(prob.center):
            return math.nan
        fwd, inv, du = self.u, self.u_inv, self.du
        target = side * z
        inner, outer = self.start, None
        if prob.kind == "sd" and side < 0:
            # Without random effect k at all: if zeta stays short of -z there, the
            # interval reaches zero; otherwise [0, estimate] brackets the end point,
            # over which zeta is close to straight in sd itself (not in its log).
            at_zero = self.at(0.0)
            if not (abs(at_zero.zeta) > z):
                return 0.0
            outer = at_zero
            fwd, inv, du = (lambda v: v), (lambda v: v), (lambda v: 1.0)
        u0 = fwd(prob.center)
        scale_u = max(prob.scale * du(prob.center), 1e-8)
        u = u0 + side * z * scale_u
        step = z * scale_u
        for _ in range(40):
            psi = self._clip(inv(u), side)
            if outer is not None and not (min(inner.psi, outer.psi) < psi < max(inner.psi, outer.psi)):
                w = (target - inner.zeta) / (outer.zeta - inner.zeta)
                psi = inner.psi + min(0.9, max(0.1, w)) * (outer.psi - inner.psi)
            pt = self.at(psi)
            if not math.isfinite(pt.zeta):
                u = fwd(0.5 * (inner.psi + psi))  # infeasible: back towards the estimate
                continue
            if abs(pt.zeta - target) < tol:
                return psi
            if side * pt.zeta < z:
                inner = pt
                if psi == self.bound(side):
                    return psi  # zeta stays short of the target up to the bound
            else:
                outer = pt
            if outer is not None and (
                abs(outer.zeta - inner.zeta) < 1e-3 or abs(outer.psi - inner.psi) < 1e-12 * max(1.0, abs(psi))
            ):
                # A bracket this narrow in zeta: zeta is straight across it to well
                # within the accuracy of the constrained optima (a profile that flattens
                # out just beyond the target, as one approaching its bound).
                w = (target - inner.zeta) / (outer.zeta - inner.zeta)
                return inner.psi + w * (outer.psi - inner.psi)
            slope_u = pt.slope / du(psi) if math.isfinite(pt.slope) and pt.slope > 0 else math.nan
            u_new = fwd(psi) + (target - pt.zeta) / slope_u if math.isfinite(slope_u) else math.nan
            if outer is None:
                if not math.isfinite(u_new) or (u_new - fwd(psi)) * side <= 0:
                    u_new = fwd(psi) + side * 2.0 * step
                u_new = fwd(psi) + side * min(abs(u_new - fwd(psi)), 4.0 * step + abs(fwd(psi) - u0))
                step = abs(u_new - fwd(psi))
            u = u_new if math.isfinite(u_new) else math.nan
        return math.nan

    def _clip(self, psi: float, side: int) -> float:
        prob = self.prob
        if prob.kind == "sd" and side < 0 and (psi < 1e-6 * prob.center or not math.isfinite(psi)):
            return 0.0
        if prob.kind == "cor" and abs(psi) > 1 - 1e-9:
            return math.copysign(1.0, psi)
        return psi

    def trace(self, side: int, zmax: float, dz: float = 0.6, max_points: int = 12) -> None:
        """Points from the estimate outwards until |zeta| reaches zmax or psi its bound,
        about dz apart in zeta."""
        prob = self.prob
        u0 = self.u(prob.center)
        slope_u = 1.0 / max(prob.scale * self.du(prob.center), 1e-8)
        u = u0
        step = dz / slope_u
        for _ in range(max_points):
            u_new = u + side * min(dz / slope_u, 3.0 * step)
            step = abs(u_new - u)
            psi = self._clip(self.u_inv(u_new), side)
            pt = self.at(psi)
            if not math.isfinite(pt.zeta) or abs(pt.zeta) >= zmax or psi == self.bound(side) or psi == 0.0:
                return
            if math.isfinite(pt.slope) and pt.slope > 0:
                slope_u = pt.slope / self.du(psi)
            u = u_new


def prepare(profiler: Profiler, prob: _Problem) -> None:
    """The centre and reference of a problem: the estimate and the optimum, except for a
    fixed effect under REML, whose criterion with beta_j known has its own minimum over
    beta_j (found by Newton's method from the estimate, with the curvature of the
    quadratic pwrss(b) at the constrained optimum)."""
    prob.center = prob.estimate
    prob.reference = profiler.f0
    if prob.kind != "beta" or not profiler.reml:
        return
    b = prob.estimate
    phi, h = prob.phi0, prob.h0
    f = math.inf
    for _ in range(8):
        x, f, _, h, _ = minimise(prob.objective(b), phi, h)
        slope = prob.dpsi(b, x)
        curv = 2.0 / (prob.scale**2) if prob.scale > 0 else 1.0
        step = -slope / curv
        phi = x
        if abs(step) < 1e-9 * max(prob.scale, 1e-300):
            break
        b += step
    prob.center = b
    prob.reference = f
    prob.phi0, prob.h0 = phi, h


def _bar(total: int, progress: bool | None, desc: str) -> Any:
    from tqdm import tqdm  # imported on first use: most sessions never show a progress bar

    if progress is None:
        disable = not (sys.stderr is not None and hasattr(sys.stderr, "isatty") and sys.stderr.isatty())
        return tqdm(total=total, disable=disable, delay=1.0, desc=desc, unit="parameter", leave=False)
    return tqdm(total=total, disable=not progress, desc=desc, unit="parameter", leave=False)


def _selected(problems: list[_Problem], which: Sequence[str] | str | None) -> list[_Problem]:
    if which is None:
        return problems
    wanted = [which] if isinstance(which, str) else list(which)
    names = [p.name for p in problems]
    unknown = [w for w in wanted if w not in names]
    if unknown:
        raise ValueError(f"no parameter(s) {unknown}; the parameters are {names}")
    return [p for p in problems if p.name in wanted]


def intervals(
    profiler: Profiler, level: float, which: Sequence[str] | str | None = None, progress: bool | None = None
) -> pd.DataFrame:
    """Profile-likelihood intervals: the two solutions of zeta = -+ z of each parameter
    (see :meth:`quorvelkit.LmmFit.confint`). ``attrs`` holds "evaluations", "seconds",
    "scale" and "notes"."""
    from scipy.stats import norm  # imported on first use: scipy.stats is slow to import

    check_level(level)
    t0 = time.perf_counter()
    z = float(norm.ppf(0.5 + level / 2))
    probs = _selected(profiler.problems(), which)
    rows: dict[str, tuple[float, float]] = {}
    notes: list[str] = []
    bar = _bar(len(probs), progress, "profile")
    try:
        for prob in probs:
            if prob.flat:
                rows[prob.name] = (-1.0, 1.0)
                notes.append(
                    f"{prob.name}: a standard deviation is estimated at zero, so every correlation fits equally"
                )
            else:
                prepare(profiler, prob)
                search = _Search(profiler, prob)
                rows[prob.name] = (search.endpoint(-1, z), search.endpoint(1, z))
            bar.update(1)
    finally:
        bar.close()
    lo, hi = interval_names(level)
    out = pd.DataFrame.from_dict(rows, orient="index", columns=[lo, hi])
    out.attrs.update(
        evaluations=profiler.evaluations,
        seconds=time.perf_counter() - t0,
        scale="REML" if profiler.reml else "ML",
        notes=notes,
    )
    return out


def traces(
    profiler: Profiler,
    zmax: float,
    which: Sequence[str] | str | None = None,
    progress: bool | None = None,
) -> ProfileResult:
    """The zeta traces of each parameter out to |zeta| = ``zmax`` on both sides."""
    t0 = time.perf_counter()
    probs = _selected(profiler.problems(), which)
    out: dict[str, pd.DataFrame] = {}
    notes: list[str] = []
    estimates = {}
    bar = _bar(len(probs), progress, "profile")
    try:
        for prob in probs:
            estimates[prob.name] = prob.estimate
            if prob.flat:
                notes.append(
                    f"{prob.name}: a standard deviation is estimated at zero, so the profile is flat (not traced)"
                )
            else:
                prepare(profiler, prob)
                search = _Search(profiler, prob)
                search.trace(-1, zmax)
                search.trace(1, zmax)
                pts = sorted(search.points, key=lambda p: p.psi)
                out[prob.name] = pd.DataFrame(
                    {"value": [p.psi for p in pts], "zeta": [p.zeta for p in pts]}
                ).drop_duplicates("value")
            bar.update(1)
    finally:
        bar.close()
    return ProfileResult(
        traces=out,
        estimates=pd.Series(estimates, name="estimate"),
        scale="REML" if profiler.reml else "ML",
        evaluations=profiler.evaluations,
        seconds=time.perf_counter() - t0,
        notes=notes,
    )
