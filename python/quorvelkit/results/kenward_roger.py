"""Kenward and Roger's adjusted covariance of the fixed effects and the degrees of freedom
of their t and F tests (Kenward & Roger 1997, "Small sample inference for fixed effects
from restricted maximum likelihood", Biometrics 53; in the form of pbkrtest: Halekoh &
Hojsgaard 2014, "A Kenward-Roger approximation and parametric bootstrap methods for
tests in linear mixed models", J. Stat. Softw. 59(9)).

The variance parameters are those in which the marginal covariance is linear,
Sigma = sum_i s_i G_i: the entries S[r, c] of the random effects' covariance (one per
entry of theta, at theta's positions in Lambda) and the residual variance sigma^2, last.
Linearity makes the second derivatives of Sigma vanish (KR's R_ij = 0), and with
Phi = (X' Sigma^-1 X)^-1 = Cov(beta):

    P_i   = dPhi^-1/ds_i                     = -X' Sigma^-1 G_i Sigma^-1 X
    Q_ij + Q_ji = d2 Phi^-1/ds_i ds_j,        Q_ij = X' Sigma^-1 G_i Sigma^-1 G_j Sigma^-1 X
    I_ij  = tr(P~ G_i P~ G_j) = -d2 f/ds_i ds_j,   f = log|Sigma| + log|X' Sigma^-1 X|
    W     = 2 I^-1   (the covariance of the REML estimates by the expected information)
    Phi_A = Phi + 2 Phi [sum_ij W_ij (Q_ij - P_i Phi P_j)] Phi

with P~ = Sigma^-1 - Sigma^-1 X Phi X' Sigma^-1. Nothing of size n: f is
(n - p) log sigma^2 + the core's REML log-determinant at theta(s), whose gradient in s
is the core's analytic gradient in theta through the Cholesky factor's derivative
(Murray 2016, "Differentiation of the Cholesky decomposition", arXiv:1602.07527), and
Phi^-1 is the core's fixed-effects factor at theta(s). I is the central difference of
that gradient, P_i the central difference of Phi^-1; the W-weighted sum of the Q_ij
needs only the second derivatives of Phi^-1 along W's eigenvectors v_m,
sum_ij W_ij Q_ij = 1/2 sum_m lambda_m d2/dt2 Phi^-1(s + t v_m), by second differences.
That is 1 + 4 k evaluations of the core's criterion for k variance parameters, in
coordinates scaled to the estimates (the adjustment is invariant under such a scaling).

A boundary fit (a covariance that is not positive definite) has no neighbourhood on
which theta(s) is defined: the adjustment is then not computed (NaN), where pbkrtest's
closed forms still give one.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from .pvalues import f_upper, t_two_sided

__all__ = ["KRInfo", "kr_info", "t_tests", "f_test"]

#: Steps in the scaled coordinates: first differences of analytic values (error
#: O(h^2) + O(eps / h), balanced near eps^(1/3)) and five-point second differences of
#: values (O(h^4) + O(eps / h^2), balanced near eps^(1/6)); Nocedal & Wright, sec. 8.1.
_H1, _H2 = 6e-6, 3e-3


@dataclass(frozen=True)
class KRInfo:
    """What Kenward and Roger's tests need at one fit.

    Attributes:
        beta: the fixed effects (p,).
        cov_beta: their covariance Phi (p, p), as the fit reports it.
        cov_adjusted: Kenward and Roger's adjusted covariance Phi_A (pbkrtest's
            ``vcovAdj``), NaN where it is not computed.
        P: dPhi^-1/ds_i (k, p, p) in the scaled variance parameters.
        W: the covariance of the scaled variance parameters, 2 I^-1 (k, k).
        evaluations: criterion evaluations it took.
    """

    beta: np.ndarray
    cov_beta: np.ndarray
    cov_adjusted: np.ndarray
    P: np.ndarray
    W: np.ndarray
    evaluations: int
    method = "Kenward-Roger"

    def t_tests(self, L: np.ndarray) -> dict[str, np.ndarray]:
        return t_tests(self, L)

    def f_test(self, L: np.ndarray) -> dict[str, float]:
        return f_test(self, L)


class _Parameters:
    """The map between theta (with sigma^2) and the linear variance parameters s of a
    core whose Lambda has the entries ``index`` (lower triangular, block diagonal)."""

    def __init__(self, index: Sequence[tuple[int, int]], theta: np.ndarray, sigma2: float) -> None:
        self.index = [(int(r), int(c)) for r, c in index]
        self.q = 1 + max(max(r, c) for r, c in self.index)
        lam = self.lam(theta)
        pattern = np.zeros((self.q, self.q), dtype=bool)
        for r, c in self.index:
            pattern[r, c] = pattern[c, r] = True
        # A covariance whose entries outside theta's positions are not zero (a Lambda
        # pattern other than full lower-triangular blocks) would need other parameters.
        if np.any(np.abs((lam @ lam.T)[~pattern]) > 0.0):
            raise ValueError("Kenward-Roger's method needs each random term's covariance unstructured or diagonal")
        self.s = np.array([*(sigma2 * (lam @ lam.T))[tuple(np.array(self.index).T)], sigma2])
        # Scales: each variance at its estimate, a covariance at the geometric mean of
        # its two variances; sigma^2 at its own.
        diag = np.diag(sigma2 * lam @ lam.T)
        self.scale = np.array([np.sqrt(diag[r] * diag[c]) for r, c in self.index] + [sigma2])

    def lam(self, theta: np.ndarray) -> np.ndarray:
        out = np.zeros((self.q, self.q))
        for k, (r, c) in enumerate(self.index):
            out[r, c] = theta[k]
        return out

    def theta(self, x: np.ndarray) -> tuple[np.ndarray, float, np.ndarray]:
        """theta, sigma^2 and d(theta, sigma^2)/dx at the scaled parameters x (s = scale x);
        ``ValueError`` where a covariance is not positive definite."""
        s = self.scale * x
        sigma2 = float(s[-1])
        if not sigma2 > 0:
            raise ValueError("sigma^2 is not positive")
        a = np.zeros((self.q, self.q))
        for k, (r, c) in enumerate(self.index):
            a[r, c] = a[c, r] = s[k] / sigma2
        try:
            lam = np.linalg.cholesky(a)
        except np.linalg.LinAlgError:
            raise ValueError("a covariance of the random effects is not positive definite") from None
        rows, cols = np.array(self.index).T
        k = len(self.index)
        jac = np.zeros((k + 1, k + 1))
        inv = np.linalg.inv(lam)
        for j in range(k + 1):
            da = np.zeros((self.q, self.q))
            if j < k:
                r, c = self.index[j]
                da[r, c] = da[c, r] = self.scale[j] / sigma2
            else:
                da = -a * self.scale[j] / sigma2
            m = inv @ da @ inv.T
            phi = np.tril(m) - 0.5 * np.diag(np.diag(m))
            jac[:k, j] = (lam @ phi)[rows, cols]
        jac[k, k] = self.scale[k]
        return lam[rows, cols], sigma2, jac


def kr_info(core: Any, theta: Sequence[float], sigma2: float) -> KRInfo:
    """Phi_A, P and W at a REML fit's ``theta`` and ``sigma2``."""
    pars = _Parameters(core.theta_index(), np.asarray(theta, dtype=float), float(sigma2))
    fit = core.criterion_parts(list(theta), True)
    beta, n_minus_p = np.asarray(fit["beta"], dtype=float), float(fit["nu"])
    k, p = pars.s.size, beta.size
    evaluations = 1

    def at(x: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Phi^-1 and df/dx at x."""
        nonlocal evaluations
        th, s2, jac = pars.theta(x)
        parts = core.criterion_parts(list(th), True)
        evaluations += 1
        grad = np.append(np.asarray(parts["grad_logdet"], dtype=float), n_minus_p / s2)
        return np.linalg.inv(np.asarray(parts["fixed_inverse"], dtype=float)) / s2, jac.T @ grad

    phi = float(sigma2) * np.asarray(fit["fixed_inverse"], dtype=float)
    if not np.all(pars.scale > 0):  # a variance estimated at zero: a boundary fit
        return KRInfo(beta, phi, np.full((p, p), np.nan), np.empty(0), np.empty(0), evaluations)
    x0 = pars.s / pars.scale
    try:
        center = np.linalg.inv(phi)
        P = np.empty((k, p, p))
        hess = np.empty((k, k))
        for j in range(k):
            e = np.zeros(k)
            e[j] = _H1
            (up, g_up), (down, g_down) = at(x0 + e), at(x0 - e)
            P[j] = (up - down) / (2 * _H1)
            hess[:, j] = (g_up - g_down) / (2 * _H1)
        info = -0.5 * (hess + hess.T)
        # pbkrtest's rule: a generalised inverse where the information is singular.
        eig = np.linalg.eigvalsh(info)
        W = 2.0 * (np.linalg.inv(info) if np.min(np.abs(eig)) > 1e-10 else np.linalg.pinv(info))
        W = 0.5 * (W + W.T)
        lam, vecs = np.linalg.eigh(W)
        q_sum = np.zeros((p, p))  # sum_ij W_ij Q_ij
        for m in range(k):
            # The five-point second difference (error O(h^4)): the W-weighted sum is a
            # small difference of large terms, so three points' rounding would show.
            v = vecs[:, m] * _H2
            far = at(x0 + 2.0 * v)[0] + at(x0 - 2.0 * v)[0]
            near = at(x0 + v)[0] + at(x0 - v)[0]
            q_sum += 0.5 * lam[m] * (16.0 * near - far - 30.0 * center) / (12.0 * _H2 * _H2)
    except ValueError:  # a neighbour outside the parameter space: near a boundary
        return KRInfo(beta, phi, np.full((p, p), np.nan), np.empty(0), np.empty(0), evaluations)
    u = q_sum - np.einsum("ij,iab,bc,jcd->ad", W, P, phi, P)
    adjusted = phi + 2.0 * phi @ (0.5 * (u + u.T)) @ phi
    return KRInfo(beta, phi, 0.5 * (adjusted + adjusted.T), P, W, evaluations)


def _a1_a2(info: KRInfo, L: np.ndarray) -> tuple[float, float]:
    """Kenward and Roger's A1 and A2 of the hypothesis L beta = 0 (L of full row rank)."""
    phi = info.cov_beta
    theta = L.T @ np.linalg.solve(L @ phi @ L.T, L)
    u = np.einsum("ab,bc,kcd,de->kae", theta, phi, info.P, phi)
    traces = np.einsum("kaa->k", u)
    a1 = float(traces @ info.W @ traces)
    a2 = float(np.einsum("ij,iab,jba->", info.W, u, u))
    return a1, a2


def _ddf(info: KRInfo, L: np.ndarray) -> tuple[float, float]:
    """The denominator df and the scaling of F for L beta = 0 (rank q = rows of L)."""
    q = L.shape[0]
    a1, a2 = _a1_a2(info, L)
    b = (a1 + 6.0 * a2) / (2.0 * q)
    g = ((q + 1) * a1 - (q + 4) * a2) / ((q + 2) * a2)
    d = 3.0 * q + 2.0 * (1.0 - g)
    c1, c2, c3 = g / d, (q - g) / d, (q + 2.0 - g) / d
    v0, v1, v2 = 1.0 + c1 * b, 1.0 - c2 * b, 1.0 - c3 * b
    v0 = 0.0 if abs(v0) < 1e-10 else v0
    ratio = (1.0 - a2 / q) / v1 if v1 != 0 else 0.0
    rho = ratio * ratio * v0 / (q * v2)
    df2 = 4.0 + (q + 2.0) / (q * rho - 1.0)
    scaling = 1.0 if abs(df2 - 4.0) < 1e-2 else df2 * (1.0 - a2 / q) / (df2 - 2.0)
    return df2, scaling


def t_tests(info: KRInfo, L: np.ndarray) -> dict[str, np.ndarray]:
    """One t test per row l of L (l'beta = 0) as lmerTest's ``ddf = "Kenward-Roger"``:
    the standard error from the adjusted covariance, Kenward and Roger's df."""
    rows = np.atleast_2d(np.asarray(L, dtype=float))
    est = rows @ info.beta
    se = np.sqrt(np.einsum("ri,ij,rj->r", rows, info.cov_adjusted, rows))
    if info.P.size == 0:
        df = np.full(len(rows), np.nan)
    else:
        df = np.array([_ddf(info, r[None, :])[0] if np.any(r != 0) else np.nan for r in rows])
    t = est / se
    return {"estimate": est, "se": se, "df": df, "t": t, "p": t_two_sided(t, df)}


def f_test(info: KRInfo, L: np.ndarray) -> dict[str, float]:
    """pbkrtest's ``KRmodcomp`` of L beta = 0: the Wald statistic on the adjusted
    covariance over q, times Kenward and Roger's scaling, with their denominator df.
    L is first reduced to a basis of its row space (its rank q as lmerTest counts it);
    the test does not depend on the basis."""
    from .satterthwaite import RANK_TOL

    L = np.atleast_2d(np.asarray(L, dtype=float))
    if info.P.size == 0:
        return {"F": float("nan"), "num_df": float("nan"), "den_df": float("nan"), "p": float("nan"), "scaling": 1.0}
    v = L @ info.cov_beta @ L.T
    d, vecs = np.linalg.eigh(0.5 * (v + v.T))
    order = np.argsort(d)[::-1]
    d, vecs = d[order], vecs[:, order]
    rank = int(np.sum(d > RANK_TOL * d[0])) if d.size and d[0] > 0 else 0
    if rank == 0:
        return {"F": float("nan"), "num_df": float(rank), "den_df": float("nan"), "p": float("nan"), "scaling": 1.0}
    rows = vecs[:, :rank].T @ L
    est = rows @ info.beta
    wald = float(est @ np.linalg.solve(rows @ info.cov_adjusted @ rows.T, est))
    df2, scaling = _ddf(info, rows)
    f = scaling * wald / rank
    return {"F": f, "num_df": float(rank), "den_df": df2, "p": f_upper(f, rank, df2), "scaling": scaling}
