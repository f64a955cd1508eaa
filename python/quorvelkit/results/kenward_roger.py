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
(n - p) log sigma^2 + the core's REML log-determinant at theta(s), and Phi^-1 is the
core's fixed-effects factor at theta(s) (theta from the Cholesky factor of each term's
covariance over sigma^2). Their derivatives are finite differences of these values in
coordinates scaled to the estimates (the adjustment is invariant under such a
scaling): the second derivatives along e_i and e_i + e_j give every Hessian entry
(polarisation), and the first along e_i gives P_i; 1 + 3 k (k + 1) evaluations of the
core's criterion for k variance parameters.

Those directions never point below a boundary, so a variance estimated at zero (a term
of its own) takes one-sided differences, as pbkrtest's closed forms take the boundary
in their stride. A covariance of several random effects that is singular (a
correlation of +-1) has no neighbourhood on which theta(s) is defined: its adjustment
is not computed (NaN).
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from .pvalues import f_upper, t_two_sided

__all__ = ["KRInfo", "adjust", "kr_info", "t_tests", "f_test"]

#: Steps in the scaled coordinates. Central seven-point differences of values err by
#: O(h^6) + O(eps / h^2) in the second derivative, balanced near eps^(1/8) (Nocedal &
#: Wright, sec. 8.1); forward five-point ones by O(h^3) + O(eps / h^2), with larger
#: third derivatives at a boundary, so a shorter step. Measured against pbkrtest on
#: nine fits: the df agree to 1.3e-7 at these steps (to 1.7e-5 with five central
#: points at 4e-3; to 2e-5 forward at 2e-3).
_H, _H_FORWARD = 5e-3, 2e-4


@dataclass(frozen=True)
class KRInfo:
    """What Kenward and Roger's tests need at one fit.

    Attributes:
        evaluations: criterion evaluations it took.
        beta: the fixed effects (p,).
        cov_beta: their covariance Phi (p, p), as the fit reports it.
        cov_adjusted: Kenward and Roger's adjusted covariance Phi_A (pbkrtest's
            ``vcovAdj``), NaN where it is not computed.
        P: dPhi^-1/ds_i (k, p, p) in the scaled variance parameters (empty where the
            adjustment is not computed).
        W: the covariance of the scaled variance parameters, 2 I^-1 (k, k).
    """

    method = "Kenward-Roger"
    evaluations: int
    beta: np.ndarray
    cov_beta: np.ndarray
    cov_adjusted: np.ndarray
    P: np.ndarray
    W: np.ndarray

    def t_tests(self, L: np.ndarray) -> dict[str, np.ndarray]:
        """:func:`t_tests` of this fit."""
        return t_tests(self, L)

    def f_test(self, L: np.ndarray) -> dict[str, float]:
        """:func:`f_test` of this fit."""
        return f_test(self, L)


class _Parameters:
    """The map between theta (with sigma^2) and the linear variance parameters s of a
    core whose Lambda has the entries ``index`` (lower triangular, block diagonal), in
    coordinates x = s / scale."""

    def __init__(self, index: Sequence[tuple[int, int]], theta: np.ndarray, sigma2: float) -> None:
        self.index = [(int(r), int(c)) for r, c in index]
        q = 1 + max(max(r, c) for r, c in self.index)
        lam = np.zeros((q, q))
        pattern = np.eye(q, dtype=bool)
        for k, (r, c) in enumerate(self.index):
            lam[r, c] = theta[k]
            pattern[r, c] = pattern[c, r] = True
        # A covariance whose entries outside theta's positions are not zero (a Lambda
        # pattern other than full lower-triangular blocks) would need other parameters.
        cov = sigma2 * (lam @ lam.T)
        if np.any(np.abs(cov[~pattern]) > 0.0):
            raise ValueError("Kenward-Roger's method needs each random term's covariance unstructured or diagonal")
        # The blocks of Lambda: the connected sets of its pattern.
        self.blocks: list[list[int]] = []
        for i in range(q):
            if not any(i in b for b in self.blocks):
                self.blocks.append([int(j) for j in np.flatnonzero(pattern[i])])
        self.s = np.array([*cov[tuple(np.array(self.index).T)], sigma2])
        diag = np.diag(cov)
        # A variance of a term of its own at zero is a boundary the parameter may leave
        # upwards only (one-sided differences); any other covariance on the boundary has
        # no neighbourhood at all.
        self.boundary = np.array(
            [r == c and diag[r] == 0 and len(self._block(r)) == 1 for r, c in self.index] + [False]
        )
        # Scales: each variance at its estimate, a covariance at the geometric mean of
        # its two variances, a variance at zero at sigma^2.
        self.scale = np.array([np.sqrt(diag[r] * diag[c]) for r, c in self.index] + [sigma2])
        self.scale[self.boundary] = sigma2
        self.q = q

    def _block(self, i: int) -> list[int]:
        return next(b for b in self.blocks if i in b)

    def theta(self, x: np.ndarray) -> tuple[list[float], float]:
        """theta and sigma^2 at the scaled parameters x; ``ValueError`` where a
        covariance is not positive definite (or a lone variance negative)."""
        s = self.scale * x
        sigma2 = float(s[-1])
        if not sigma2 > 0:
            raise ValueError("sigma^2 is not positive")
        a = np.zeros((self.q, self.q))
        for k, (r, c) in enumerate(self.index):
            a[r, c] = a[c, r] = s[k] / sigma2
        lam = np.zeros_like(a)
        for b in self.blocks:
            sub = a[np.ix_(b, b)]
            if len(b) == 1 and sub[0, 0] >= 0:
                lam[b[0], b[0]] = np.sqrt(sub[0, 0])
                continue
            try:
                lam[np.ix_(b, b)] = np.linalg.cholesky(sub)
            except np.linalg.LinAlgError:
                raise ValueError("a covariance of the random effects is not positive definite") from None
        return [float(lam[r, c]) for r, c in self.index], sigma2


def _weights(offsets: np.ndarray, order: int) -> np.ndarray:
    """Finite-difference weights of the derivative of ``order`` at 0 from values at
    ``offsets`` (in steps): the exact derivative of the interpolating polynomial."""
    n = offsets.size
    rhs = np.zeros(n)
    rhs[order] = float(np.prod(np.arange(1, order + 1)))
    return np.asarray(np.linalg.solve(np.vander(offsets, n, increasing=True).T, rhs))


#: Offsets of the stencils (in steps): central, and forward for a direction that
#: leaves a boundary.
_CENTRAL, _FORWARD = np.arange(-3.0, 4.0), np.arange(5.0)


def kr_info(core: Any, theta: Sequence[float], sigma2: float) -> KRInfo:
    """Phi_A, P and W at a REML fit's ``theta`` and ``sigma2``."""
    fit = core.criterion_parts(list(theta), True)
    beta, nu = np.asarray(fit["beta"], dtype=float), float(fit["nu"])
    p = beta.size
    phi = float(sigma2) * np.asarray(fit["fixed_inverse"], dtype=float)
    nan = KRInfo(1, beta, phi, np.full((p, p), np.nan), np.empty(0), np.empty(0))
    pars = _Parameters(core.theta_index(), np.asarray(theta, dtype=float), float(sigma2))
    k = pars.s.size
    if np.any(pars.scale[~pars.boundary] <= 0):  # a covariance on the boundary
        return nan
    x0 = pars.s / pars.scale
    evaluations = 1

    def at(x: np.ndarray) -> tuple[np.ndarray, float]:
        """Phi^-1 and the core's REML log-determinant at x."""
        nonlocal evaluations
        th, s2 = pars.theta(x)
        parts = core.criterion_parts(th, True)
        evaluations += 1
        return np.linalg.inv(np.asarray(parts["fixed_inverse"], dtype=float)) / s2, float(parts["logdet"])

    center = (np.linalg.inv(phi), float(fit["logdet"]))
    # Second derivatives along e_i and e_i + e_j give every entry of the Hessians
    # (polarisation); those directions never point below a boundary, so one-sided
    # stencils reach the derivatives of a variance estimated at zero.
    hess_phi = np.empty((k, k, p, p))
    hess_f = np.empty((k, k))
    P = np.empty((k, p, p))
    try:
        for i in range(k):
            for j in range(i, k):
                d = np.zeros(k)
                d[[i, j]] = 1.0
                forward = bool(pars.boundary[[i, j]].any())
                offsets, h = (_FORWARD, _H_FORWARD) if forward else (_CENTRAL, _H)
                values = [center if t == 0 else at(x0 + t * h * d) for t in offsets]
                w2 = _weights(offsets, 2) / h**2
                hess_phi[i, j] = sum(w * v[0] for w, v in zip(w2, values, strict=True))
                hess_f[i, j] = sum(w * v[1] for w, v in zip(w2, values, strict=True))
                if i == j:
                    w1 = _weights(offsets, 1) / h
                    P[i] = sum(w * v[0] for w, v in zip(w1, values, strict=True))
    except ValueError:  # a neighbour outside the parameter space
        return nan
    for i in range(k):
        for j in range(i + 1, k):
            hess_phi[i, j] = hess_phi[j, i] = 0.5 * (hess_phi[i, j] - hess_phi[i, i] - hess_phi[j, j])
            hess_f[i, j] = hess_f[j, i] = 0.5 * (hess_f[i, j] - hess_f[i, i] - hess_f[j, j])
    # f = (n - p) log sigma^2 + the log-determinant; sigma^2 = scale x_k.
    hess_f[-1, -1] -= nu / x0[-1] ** 2
    # sum_ij W_ij Q_ij = 1/2 sum_ij W_ij H_ij
    return adjust(evaluations, beta, phi, P, -hess_f, lambda W: 0.5 * np.einsum("ij,ijab->ab", W, hess_phi))


def adjust(
    evaluations: int,
    beta: np.ndarray,
    phi: np.ndarray,
    P: np.ndarray,
    information: np.ndarray,
    weighted_q: Callable[[np.ndarray], np.ndarray],
) -> KRInfo:
    """Kenward and Roger's record from Phi, the P_i, pbkrtest's information
    tr(P~ G_i P~ G_j) and the W-weighted sum of the Q_ij (``weighted_q(W)``)."""
    # pbkrtest's rule: a generalised inverse where the information is singular.
    eig = np.linalg.eigvalsh(information)
    W = 2.0 * (np.linalg.inv(information) if np.min(np.abs(eig)) > 1e-10 else np.linalg.pinv(information))
    W = 0.5 * (W + W.T)
    u = weighted_q(W) - np.einsum("ij,iab,bc,jcd->ad", W, P, phi, P)  # sum_ij W_ij (Q_ij - P_i Phi P_j)
    adjusted = phi + 2.0 * phi @ (0.5 * (u + u.T)) @ phi
    return KRInfo(evaluations, beta, phi, 0.5 * (adjusted + adjusted.T), P, W)


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
    from .satterthwaite import row_basis

    rows, _ = row_basis(L, info.cov_beta)
    rank = rows.shape[0]
    if info.P.size == 0 or rank == 0:
        nan = float("nan")
        return {"F": nan, "num_df": float(rank), "den_df": nan, "p": nan, "scaling": 1.0}
    est = rows @ info.beta
    wald = float(est @ np.linalg.solve(rows @ info.cov_adjusted @ rows.T, est))
    df2, scaling = _ddf(info, rows)
    f = scaling * wald / rank
    return {"F": f, "num_df": float(rank), "den_df": df2, "p": f_upper(f, rank, df2), "scaling": scaling}
