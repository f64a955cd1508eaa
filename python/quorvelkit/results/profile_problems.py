"""The constrained minimisations behind the profiles (:mod:`quorvelkit.results.profile`): for
each parameter psi of a fit, the criterion over the free vector phi with psi held, its
analytic gradient from the core's, the derivative in psi at the optimum (the envelope
theorem), a start, an initial inverse Hessian and the sign symmetries; and the run of
the core's minimiser on it.
The parameterisations are described in :mod:`quorvelkit.results.profile`.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, Protocol

import numpy as np

import quorvelkit._quorvelkit as _quorvelkit

from ..support.errors import SINGULAR_TOL
from .satterthwaite import varpar_info

__all__ = [
    "ON_LIMIT",
    "Objective",
    "Problem",
    "Point",
    "Profiler",
    "Profiles",
    "held_coordinate",
    "held_inverse",
    "minimize",
]

Objective = Callable[[np.ndarray], tuple[float, np.ndarray]]

#: A correlation estimated beyond this in magnitude is on its limit -1 or 1 (a rank-one
#: Lambda, whose factor of the pair's covariance gives 1 to rounding).
ON_LIMIT = 1.0 - 1e-9


def minimize(
    fun: Objective,
    x0: np.ndarray,
    h0: np.ndarray,
    groups: Sequence[tuple[int, list[int]]] = (),
    fixed: Sequence[int] = (),
) -> tuple[np.ndarray, float, np.ndarray]:
    """The core's quasi-Newton minimiser (the one the fit runs) from ``x0``, its first
    step Newton's with the inverse Hessian ``h0``; a point where ``fun`` is infinite is
    a step too long. ``groups`` are the sign symmetries of ``fun`` and ``fixed`` the
    coordinates held at their values in ``x0``. A step that gains less than 1e-12 of
    the criterion ends the run, and so do 50 passes: a warm start converges in a
    handful, and near a boundary, where the constrained minimum is flatter than
    quadratic and the steps shrink geometrically, the criterion has long stopped
    changing. Returns the point, the value there (inf
    when ``x0`` is infeasible) and the final inverse Hessian (``h0`` when the run ends
    without a model of its own), to warm-start the next point."""
    res = _quorvelkit.minimize(fun, x0, h0=h0, groups=groups, fixed=fixed, stall=1e-12, max_iter=50)
    h = res["h"]
    return np.asarray(res["x"]), float(res["fun"]), (h0 if h is None else np.asarray(h))


@dataclass
class Point:
    psi: float
    zeta: float
    slope: float  # dzeta/dpsi
    phi: np.ndarray
    h: np.ndarray
    f: float


@dataclass
class Problem:
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
    groups: list[tuple[int, list[int]]] = field(default_factory=list)  # sign symmetries of phi
    at_zero: list[int] = field(default_factory=list)  # phi's entries that psi = 0 holds at zero
    adjust: Callable[[float, np.ndarray], np.ndarray] | None = None  # a start consistent with psi
    reference: float = 0.0  # f0, the minimum over psi
    center: float = 0.0  # psi0, where zeta = 0
    flat: bool = False  # a correlation of a random effect with zero variance: no profile


def held_coordinate(
    value_grad: Callable[[np.ndarray], tuple[float, np.ndarray]],
    at: int,
    to_x: Callable[[float], float] = float,
    dx: Callable[[float], float] = lambda psi: 1.0,
) -> tuple[Callable[[float], Objective], Callable[[float, np.ndarray], float]]:
    """The objective and dpsi of a problem that holds coordinate ``at`` of the
    criterion's vector at to_x(psi), every other coordinate free (phi is the vector
    without it; ``dx`` is d to_x / d psi)."""

    def full(psi: float, phi: np.ndarray) -> np.ndarray:
        return np.insert(phi, at, to_x(psi))

    def objective(psi: float) -> Objective:
        def fun(phi: np.ndarray) -> tuple[float, np.ndarray]:
            f, g = value_grad(full(psi, phi))
            return f, np.delete(g, at)

        return fun

    def dpsi(psi: float, phi: np.ndarray) -> float:
        return float(value_grad(full(psi, phi))[1][at]) * dx(psi)

    return objective, dpsi


def held_inverse(h: np.ndarray, at: int) -> np.ndarray:
    """The inverse Hessian of the other coordinates with coordinate ``at`` held, from
    the whole inverse Hessian ``h`` (a Schur complement of it)."""
    keep = [i for i in range(len(h)) if i != at]
    return np.asarray(h[np.ix_(keep, keep)] - np.outer(h[keep, at], h[at, keep]) / h[at, at])


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


class Profiles(Protocol):
    """What the searches of :mod:`quorvelkit.results.profile` take from a model class's
    profiler: the problems (one a parameter), the optimum's criterion ``f0``, whether it
    is the REML criterion, its name in the reports, and a count of its evaluations."""

    reml: bool
    f0: float
    evaluations: int

    @property
    def criterion_name(self) -> str: ...

    def problems(self) -> list[Problem]: ...


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
        # The criterion is even in the sign of each column of Lambda.
        self.groups = _column_groups(self.index, range(self.q))
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

    @property
    def criterion_name(self) -> str:
        return "the REML criterion" if self.reml else "the ML deviance"

    # ------------------------------------------------------------- evaluations
    def _parts(self, core: Any, theta: np.ndarray) -> dict[str, Any]:
        """The core's criterion_parts at theta, remembered for the last few points (the
        derivative in psi at a constrained optimum reads the minimiser's final point, evaluated
        a few calls before it returns)."""
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
    def problems(self) -> list[Problem]:
        """One problem per parameter, in the order of :attr:`names`."""
        out: list[Problem] = []
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

    def _at_sigma(self, theta: np.ndarray, sig: float) -> tuple[float, np.ndarray, float] | None:
        """The deviance at theta with sigma held at ``sig`` (not profiled), its gradient
        in theta and its derivative in sigma; None where theta is infeasible."""
        try:
            pt = self._parts(self.core, theta)
        except RuntimeError:
            return None
        pw, nu = float(pt["pwrss"]), float(pt["nu"])
        f = float(pt["logdet"]) + pw / sig**2 + nu * math.log(2 * math.pi * sig**2)
        g = np.asarray(pt["grad_logdet"]) + np.asarray(pt["grad_pwrss"]) / sig**2
        return f, g, -2.0 * pw / sig**3 + 2.0 * nu / sig

    def _sigma_problem(self) -> Problem:
        def objective(s: float) -> Objective:
            def fun(theta: np.ndarray) -> tuple[float, np.ndarray]:
                at = self._at_sigma(theta, s)
                return (math.inf, np.zeros_like(theta)) if at is None else at[:2]

            return fun

        def dpsi(s: float, theta: np.ndarray) -> float:
            pt = self._parts(self.core, theta)
            return -2.0 * float(pt["pwrss"]) / s**3 + 2.0 * float(pt["nu"]) / s

        e = np.zeros(self.k + 1)
        e[self.k] = 1.0
        return Problem(
            "sigma", "sigma", self.sigma, self._wald(e, 0.1 * self.sigma), 0.0, math.inf,
            self.theta.copy(), _inverse(self.hess_theta), objective, dpsi, groups=self.groups,
        )  # fmt: skip

    def _sd_problem(self, k: int) -> Problem:
        rows = self._row(k)

        def objective(s: float) -> Objective:
            def fun(theta: np.ndarray) -> tuple[float, np.ndarray]:
                th = theta.copy()
                if s == 0.0:  # no random effect k: row k of Lambda held at zero, sigma profiled
                    try:
                        f, g = self._profiled(self.core, th)
                    except RuntimeError:
                        return math.inf, np.zeros_like(theta)
                    return (f, g) if math.isfinite(f) else (math.inf, np.zeros_like(theta))
                r = float(np.linalg.norm(th[rows]))
                if r == 0.0:
                    return math.inf, np.zeros_like(theta)
                sig = s / r
                at = self._at_sigma(th, sig)
                if at is None:
                    return math.inf, np.zeros_like(theta)
                f, g, dd_dsig = at
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
            # A row at zero (the estimate on the boundary) starts from its diagonal entry.
            r = float(np.linalg.norm(theta[rows]))
            out = theta.copy()
            if s > 0 and r > 0:
                out[rows] *= s / (self.sigma * r)
            elif s > 0:
                out[rows[-1]] = s / self.sigma
            return out

        return Problem(
            f"sd{k}", "sd", est, self._wald(self._grad_sd(self.theta, k), 0.2 * est + 1e-3 * self.sigma), 0.0,
            math.inf, self.theta.copy(), h0, objective, dpsi, groups=self.groups, at_zero=rows, adjust=adjust,
        )  # fmt: skip

    def _cor_problem(self, r: int, c: int, lam: np.ndarray) -> Problem:
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

        # The correlation of S = M M' is sign(m_00 t) rho: M is built from |m_00| and |t|,
        # so that every phi has correlation rho (a free sign of either would make the
        # criterion even in rho and the profile symmetric about zero).
        def build(rho: float, phi: np.ndarray) -> np.ndarray:
            m = np.zeros((q, q))
            for v, (i, j) in zip(phi[:-1], allowed, strict=True):
                m[i, j] = v
            m[0, 0] = abs(m[0, 0])
            t = abs(phi[-1])
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
                out[0] *= math.copysign(1.0, phi[0])  # phi[0] is m_00: allowed starts with (0, 0)
                out[-1] *= math.copysign(1.0, phi[-1])
                return f, out

            return fun

        def dpsi(rho: float, phi: np.ndarray) -> float:
            m = build(rho, phi)
            theta = theta_of(m)
            assert theta is not None
            f, g = self._profiled(self.core, theta)
            mb = mbar(m, theta, g)
            t = abs(phi[-1])
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
        # On the limit the Wald scale is no guide (the closed form's slope vanishes there):
        # the first step is a tenth of the range.
        scale = self._wald(grad, 0.2) if abs(rho_hat) < ON_LIMIT else 0.2
        prob = Problem(
            f"cor{r}{c}", "cor", rho_hat, scale, -1.0, 1.0, phi0, h0, objective, dpsi,
            groups=_column_groups(allowed, range(2, q)),
        )  # fmt: skip
        # A random effect with zero variance (below lme4's singularity tolerance, relative
        # to the other's scale) leaves the correlation unidentified: every value attains
        # the optimum.
        prob.flat = not (t_hat > SINGULAR_TOL * 1e-2 and abs(m_hat[0, 0]) > SINGULAR_TOL * 1e-2)
        return prob

    def _beta_problem(self, j: int) -> Problem:
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
        return Problem(
            f"beta{j}", "beta", float(self.beta[j]), se if se > 0 else 1.0, -math.inf, math.inf,
            self.theta.copy(), self.h_profiled.copy(), objective, dpsi, groups=self.groups,
        )  # fmt: skip


def _column_groups(entries: Sequence[tuple[int, int]], columns: Sequence[int]) -> list[tuple[int, list[int]]]:
    """The sign groups of a lower-triangular factor stored as ``entries`` (row, column):
    for each of ``columns`` that has its diagonal entry, (the diagonal's position, the
    positions of the column's entries). Negating a column of L leaves L L' unchanged."""
    pos = {ij: n for n, ij in enumerate(entries)}
    return [(pos[(c, c)], [n for n, (_, j) in enumerate(entries) if j == c]) for c in columns if (c, c) in pos]


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
