"""Profile-likelihood intervals of a GLMM's parameters: the standard deviation of each
random effect and each fixed effect, on the fit's own criterion (-2 log-likelihood by
Laplace's approximation or adaptive quadrature).

The profile of a parameter psi is the criterion minimised over all the others with psi
held, f(psi), and zeta(psi) = sign(psi - psi0) sqrt(f(psi) - f0) (Bates et al. 2015,
J. Stat. Softw. 67(1), sec. 5.1); the interval at level 1 - a solves zeta = -+ z_{a/2},
by the search the linear model's profiles use (:mod:`quorvelkit.results.profile`). There is no
residual scale: the relative covariance factor Lambda is the random effects' covariance
factor itself, so the standard deviation of random effect k is the norm of row k of
Lambda. Held at s, the row is s times its direction, which stays free: the criterion
over phi (theta with that row rescaled to norm s, and beta) has the gradient s / |r| (I
- r r' / |r|^2) g_r in the row's entries and df/ds = g_r' r / |r|. A fixed effect held
is a coordinate left out of phi. The correlation of a term of two random effects held
at rho fixes the direction of the second row of its block (see
:meth:`GlmmProfiler._cor_problem`); correlations in terms of three or more random
effects are not profiled.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from .profile_problems import Problem, held_coordinate, held_inverse

__all__ = ["GlmmProfiler", "profiler_of"]

Objective = Callable[[np.ndarray], tuple[float, np.ndarray]]


def _column_groups(index: Sequence[tuple[int, int]], keep: Sequence[int]) -> list[tuple[int, list[int]]]:
    """The sign symmetries of theta restricted to the coordinates ``keep`` (their new
    positions): one group per column of Lambda whose diagonal entry is kept."""
    where = {i: k for k, i in enumerate(keep)}
    out = []
    for c in sorted({c for _, c in index}):
        members = [where[i] for i, (_, cc) in enumerate(index) if cc == c and i in where]
        diag = [where[i] for i, (r, cc) in enumerate(index) if r == c and cc == c and i in where]
        if diag:
            out.append((diag[0], members))
    return out


def _inverse(h: np.ndarray | None, n: int) -> np.ndarray:
    if h is not None and h.shape == (n, n) and np.all(np.isfinite(h)):
        try:
            inv = np.linalg.inv(0.5 * (h + h.T))
            if np.all(np.linalg.eigvalsh(inv) > 0):
                return np.asarray(inv)
        except np.linalg.LinAlgError:
            pass
    return np.eye(n) * 0.1


class GlmmProfiler:
    """The profiles of one GLMM fit (the interface :func:`quorvelkit.results.profile.intervals`
    and ``traces`` take).

    ``core``: the fit's core (its ``criterion``, and ``gradient`` for Laplace); ``nagq``;
    ``theta``, ``beta``, ``f0``: the optimum; ``hessian``: the criterion's over (theta,
    beta) at the optimum, or None; ``index``: the (row, column) of the random effects'
    block-diagonal Lambda that each theta entry holds (rows numbered over every term);
    ``sd_names``, ``fe_names``: the parameters' names.
    """

    reml = False
    criterion_name = "-2 log-likelihood"

    def __init__(
        self,
        core: Any,
        nagq: int,
        theta: np.ndarray,
        beta: np.ndarray,
        f0: float,
        hessian: np.ndarray | None,
        index: Sequence[tuple[int, int]],
        sd_names: Sequence[str],
        fe_names: Sequence[str],
        cor_names: dict[tuple[int, int], str] | None = None,
    ) -> None:
        self.core, self.nagq = core, int(nagq)
        self.x0 = np.concatenate([np.asarray(theta, float), np.asarray(beta, float)])
        self.nt, self.p = len(theta), len(beta)
        self.f0 = float(f0)
        self.index = [(int(r), int(c)) for r, c in index]
        self.sd_names, self.fe_names = list(sd_names), list(fe_names)
        self.cor_names = dict(cor_names or {})
        n = self.nt + self.p
        self.hessian = hessian
        self.h_inv = _inverse(hessian, n)
        self.evaluations = 0

    # ------------------------------------------------------------- the criterion
    def _value_grad(self, x: np.ndarray) -> tuple[float, np.ndarray]:
        theta, beta = x[: self.nt], x[self.nt :]
        if self.nagq <= 1:
            self.evaluations += 1
            f, g = self.core.gradient(theta, beta)
            return float(f), np.asarray(g, dtype=float)
        # Quadrature: central differences of the criterion.
        self.evaluations += 1 + 2 * len(x)
        f = float(self.core.criterion(theta, beta, nagq=self.nagq))
        g = np.empty(len(x))
        for j in range(len(x)):
            h = 1e-5 * max(abs(x[j]), 0.1)
            e = np.zeros(len(x))
            e[j] = h
            hi = self.core.criterion((x + e)[: self.nt], (x + e)[self.nt :], nagq=self.nagq)
            lo = self.core.criterion((x - e)[: self.nt], (x - e)[self.nt :], nagq=self.nagq)
            g[j] = (hi - lo) / (2 * h)
        return f, g

    # ------------------------------------------------------------- problems
    def problems(self) -> list[Problem]:
        # lme4's order: each random effect's standard deviation, then its correlations
        # with the later ones of its term; then the fixed effects.
        rows = sorted({r for r, _ in self.index})
        out = []
        for k, name in zip(rows, self.sd_names, strict=True):
            out.append(self._sd_problem(k, name))
            out += [self._cor_problem(r, c, n) for (r, c), n in sorted(self.cor_names.items()) if c == k]
        out += [self._beta_problem(j, name) for j, name in enumerate(self.fe_names)]
        return out

    def _cor_problem(self, r: int, c: int, name: str) -> Problem:
        """The correlation of random effects c < r of a term of two: Lambda's block
        [[a, 0], [b, d]] held at rho as b = rho s t', d = sqrt(1 - rho^2) t' with t' = |t|
        (the second standard deviation) and s the sign of a, over (a, t, the rest)."""
        at = {rc: i for i, rc in enumerate(self.index)}
        ia, ib, id_ = at[(c, c)], at[(r, c)], at[(r, r)]
        a, b, d = self.x0[ia], self.x0[ib], self.x0[id_]
        sd2 = math.hypot(b, d)
        rho0 = math.copysign(1.0, a) * b / sd2 if sd2 > 0 else 0.0
        keep = [i for i in range(len(self.x0)) if i != ib]
        pos_t = keep.index(id_)

        def full(rho: float, phi: np.ndarray) -> np.ndarray:
            x = np.insert(phi, ib, 0.0)
            t = abs(x[id_])
            x[ib] = rho * math.copysign(1.0, x[ia]) * t
            x[id_] = math.sqrt(max(0.0, 1.0 - rho * rho)) * t
            return x

        def objective(rho: float) -> Objective:
            def fun(phi: np.ndarray) -> tuple[float, np.ndarray]:
                x = full(rho, phi)
                f, g = self._value_grad(x)
                out = np.delete(g, ib)
                sign = math.copysign(1.0, phi[pos_t])
                out[pos_t] = sign * (
                    g[ib] * rho * math.copysign(1.0, x[ia]) + g[id_] * math.sqrt(max(0.0, 1 - rho * rho))
                )
                return f, out

            return fun

        def dpsi(rho: float, phi: np.ndarray) -> float:
            x = full(rho, phi)
            _, g = self._value_grad(x)
            t = abs(phi[pos_t])
            root = math.sqrt(max(1e-300, 1.0 - rho * rho))
            return float(t * (g[ib] * math.copysign(1.0, x[ia]) - g[id_] * rho / root))

        def adjust(rho: float, phi: np.ndarray) -> np.ndarray:
            # t = 0 (the second random effect gone) is a stationary point whatever rho:
            # a start at or near it stays there, so it restarts at the estimate's t.
            if abs(phi[pos_t]) < 0.05 * sd2:
                phi = phi.copy()
                phi[pos_t] = sd2
            return phi

        phi0 = np.delete(self.x0, ib)
        phi0[pos_t] = sd2
        groups = [(g0, m) for g0, m in _column_groups(self.index, keep) if g0 != pos_t] + [(pos_t, [pos_t])]
        return Problem(
            name=name,
            kind="cor",
            estimate=rho0,
            scale=0.1 * max(1.0 - abs(rho0), 0.05),
            lower=-1.0,
            upper=1.0,
            phi0=phi0,
            h0=np.eye(len(keep)) * 0.01,
            objective=objective,
            dpsi=dpsi,
            groups=groups,
            adjust=adjust,
        )

    def _sd_problem(self, k: int, name: str) -> Problem:
        row = [i for i, (r, _) in enumerate(self.index) if r == k]
        r0 = self.x0[row]
        sd0 = float(np.linalg.norm(r0))
        # The Wald scale of sd_k = |r| by the delta method from 2 H^-1.
        grad = np.zeros(len(self.x0))
        if sd0 > 0:
            grad[row] = r0 / sd0
        var = float(grad @ (2.0 * self.h_inv) @ grad)
        scale = math.sqrt(var) if var > 0 and math.isfinite(var) else 0.1 * max(sd0, 0.1)

        def rescaled(s: float, phi: np.ndarray) -> tuple[np.ndarray, float]:
            x = phi.copy()
            norm = float(np.linalg.norm(phi[row]))
            x[row] = phi[row] * (s / norm) if norm > 0 and s != 0.0 else 0.0
            return x, norm

        def objective(s: float) -> Objective:
            def fun(phi: np.ndarray) -> tuple[float, np.ndarray]:
                x, norm = rescaled(s, phi)
                f, g = self._value_grad(x)
                out = g.copy()
                if norm > 0 and s != 0.0:
                    d = phi[row] / norm
                    gr = g[row]
                    out[row] = (s / norm) * (gr - d * float(d @ gr))
                else:
                    out[row] = 0.0
                return f, out

            return fun

        def dpsi(s: float, phi: np.ndarray) -> float:
            x, norm = rescaled(s, phi)
            _, g = self._value_grad(x)
            return float(g[row] @ (phi[row] / norm)) if norm > 0 else math.nan

        return Problem(
            name=name,
            kind="sd",
            estimate=sd0,
            scale=scale,
            lower=0.0,
            upper=math.inf,
            phi0=self.x0.copy(),
            h0=self.h_inv.copy(),
            objective=objective,
            dpsi=dpsi,
            groups=_column_groups(self.index, range(self.nt)),
            at_zero=row,
        )

    def _beta_problem(self, j: int, name: str) -> Problem:
        at = self.nt + j
        keep = [i for i in range(len(self.x0)) if i != at]
        h = self.h_inv
        hk = held_inverse(h, at)
        var = float(2.0 * h[at, at])
        scale = math.sqrt(var) if var > 0 and math.isfinite(var) else 0.1 * max(abs(self.x0[at]), 1.0)
        objective, dpsi = held_coordinate(self._value_grad, at)

        return Problem(
            name=name,
            kind="beta",
            estimate=float(self.x0[at]),
            scale=scale,
            lower=-math.inf,
            upper=math.inf,
            phi0=np.delete(self.x0, at),
            h0=_inverse(np.linalg.inv(hk) if np.all(np.isfinite(hk)) else None, len(keep)),
            objective=objective,
            dpsi=dpsi,
            groups=_column_groups(self.index, range(self.nt)),
        )


def profiler_of(fit: Any) -> GlmmProfiler:
    """The profiler of a :class:`~quorvelkit.results.glmm_fit.GlmmFit` with its core: theta in
    lme4's layout (terms in lme4's order, each term's lower triangle by columns), as
    every core takes it, rows of Lambda numbered term by term in that order, and lme4's
    names ("sd_(Intercept)|herd")."""
    if fit._core is None:
        raise ValueError("profiles need the fit's core, which a fit loaded from a pickle does not have; refit it")
    index: list[tuple[int, int]] = []
    names: dict[int, str] = {}
    cors: dict[tuple[int, int], str] = {}
    at = 0
    for t in fit._terms:
        rows = list(range(at, at + len(t.columns)))
        at += len(t.columns)
        for c in range(len(rows)):
            for r in range(c, len(rows)):
                index.append((rows[r], rows[c]))
        for r, col in zip(rows, t.columns, strict=True):
            names[r] = f"sd_{col}|{t.name}"
        if len(rows) == 2:  # correlations are profiled in terms of two random effects
            cors[(rows[1], rows[0])] = f"cor_{t.columns[1]}.{t.columns[0]}|{t.name}"
    res = fit._res
    hess = res.get("hessian")
    return GlmmProfiler(
        fit._core,
        int(res["nagq"]),
        np.asarray(res["theta"], float),
        # The family's parameters beside beta (log(phi), the zero-inflation's) ride along
        # as nuisance parameters of every profile.
        np.asarray(fit._core_beta, float),
        float(res["m2loglik"]),
        None if hess is None else np.asarray(hess, float),
        index,
        [names[r] for r in sorted(names)],
        fit.fe_names,
        cors,
    )
