"""Satterthwaite's degrees of freedom for t and F tests of the fixed effects.

The method is the one lmerTest implements (Kuznetsova, Brockhoff and Christensen 2017,
"lmerTest Package: Tests in Linear Mixed Effects Models", J. Stat. Softw. 82(13)):

* the variance parameters are varpar = (theta, sigma); their asymptotic covariance is
  A = 2 H^-1, H the Hessian of the criterion D(theta, sigma) at the estimates, with
  beta profiled out but sigma not (REML fits use the REML criterion);
* Cov(beta) = sigma^2 F(theta) is a function of varpar, and J_k = dCov(beta)/dvarpar_k;
* a contrast l has variance v = l'Cov(beta)l, gradient g_k = l'J_k l, and
  df = 2 v^2 / (g'Ag) (Satterthwaite 1946);
* an F test of L beta = 0 (rank r) splits L Cov(beta) L' = P diag(d) P' into r
  independent t tests of the rows of P'L, with df nu_m, and takes the denominator
  df 2E / (E - r), E = sum nu_m / (nu_m - 2) (Fai and Cornelius 1996, J. Stat. Comput.
  Simul. 54).

Nothing here refits. H and J come from 2 n_theta evaluations of the core's
``criterion_parts`` at theta +- h e_j: the theta-block of H by central differences of
the analytic gradient of D, the sigma row and column and the sigma-derivative of
Cov(beta) in closed form:

    D(theta, sigma)    = logdet(theta) + pwrss(theta) / sigma^2 + nu log(2 pi sigma^2)
    dD/dtheta          = grad_logdet + grad_pwrss / sigma^2
    d2D/dtheta dsigma  = -2 grad_pwrss / sigma^3
    d2D/dsigma2        = 6 pwrss / sigma^4 - 2 nu / sigma^2
    dCov(beta)/dsigma  = 2 sigma F(theta)
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from .pvalues import f_upper, t_two_sided

__all__ = ["VarparInfo", "varpar_info", "profiled_varpar_info", "t_tests", "f_test"]


@dataclass(frozen=True)
class VarparInfo:
    """What Satterthwaite's approximation needs at one fit.

    Attributes:
        beta: the fixed effects (p,).
        cov_beta: their covariance sigma^2 F (p, p).
        jacobian: dCov(beta)/dvarpar, (n_theta + 1, p, p), sigma last.
        hessian: of D in varpar (n_theta + 1 square).
        vcov_varpar: A = 2 H^-1 (NaN when H is singular).
        evaluations: criterion evaluations it took.
    """

    beta: np.ndarray
    cov_beta: np.ndarray
    jacobian: np.ndarray
    hessian: np.ndarray
    vcov_varpar: np.ndarray
    evaluations: int
    method = "Satterthwaite"

    def t_tests(self, L: np.ndarray) -> dict[str, np.ndarray]:
        return t_tests(self, L)

    def f_test(self, L: np.ndarray) -> dict[str, float]:
        return f_test(self, L)


def _step(theta: np.ndarray) -> np.ndarray:
    # Central differences of an analytic gradient: the error is O(h^2) from the third
    # derivative and O(eps / h) from rounding, balanced near h = eps^(1/3) relative to
    # the entry's size (Nocedal & Wright, sec. 8.1); entries below 1 in size (theta is
    # in units of sigma) step by 6e-6.
    return np.asarray(np.maximum(np.abs(theta), 1.0) * 6e-6, dtype=float)


def varpar_info(core: Any, theta: Sequence[float], reml: bool) -> VarparInfo:
    """A, J and Cov(beta) at ``theta`` for the core's fit by REML (``reml``) or ML."""
    th = np.asarray(theta, dtype=float)
    k = th.size
    at = core.criterion_parts(list(th), reml)
    pwrss, nu = float(at["pwrss"]), float(at["nu"])
    sigma2 = pwrss / nu
    sigma = float(np.sqrt(sigma2))
    fixed = np.asarray(at["fixed_inverse"], dtype=float)
    p = fixed.shape[0]
    h = _step(th)
    hess = np.empty((k + 1, k + 1))
    jac = np.empty((k + 1, p, p))
    for j in range(k):
        e = np.zeros(k)
        e[j] = h[j]
        up = core.criterion_parts(list(th + e), reml)
        down = core.criterion_parts(list(th - e), reml)
        grad_up = np.asarray(up["grad_logdet"]) + np.asarray(up["grad_pwrss"]) / sigma2
        grad_down = np.asarray(down["grad_logdet"]) + np.asarray(down["grad_pwrss"]) / sigma2
        hess[:k, j] = (grad_up - grad_down) / (2.0 * h[j])
        jac[j] = sigma2 * (np.asarray(up["fixed_inverse"]) - np.asarray(down["fixed_inverse"])) / (2.0 * h[j])
    hess[:k, :k] = 0.5 * (hess[:k, :k] + hess[:k, :k].T)
    # The sigma row in NumPy arithmetic and without powers of sigma beyond its square:
    # a degenerate fit's sigma (1e-117, say) makes sigma^3 underflow to zero; its
    # entries then overflow to inf and the degrees of freedom come out NaN, never an
    # exception.
    with np.errstate(all="ignore"):
        s2 = np.float64(sigma2)
        hess[:k, k] = hess[k, :k] = -2.0 * np.asarray(at["grad_pwrss"]) / s2 / np.float64(sigma)
        hess[k, k] = (6.0 * np.float64(pwrss) / s2 - 2.0 * nu) / s2
        jac[k] = 2.0 * sigma * fixed
    return _info(at, sigma2 * fixed, jac, hess, 1 + 2 * k)


def _info(at: Any, cov_beta: np.ndarray, jac: np.ndarray, hess: np.ndarray, evaluations: int) -> VarparInfo:
    """The record of a point ``at`` (a core's solution), with A = 2 H^-1 (NaN where H is
    not finite or singular)."""
    with np.errstate(all="ignore"):
        try:
            vcov = 2.0 * np.linalg.inv(hess) if np.all(np.isfinite(hess)) else np.full_like(hess, np.nan)
        except np.linalg.LinAlgError:
            vcov = np.full_like(hess, np.nan)
    return VarparInfo(np.asarray(at["beta"], dtype=float), cov_beta, jac, hess, vcov, evaluations)


def profiled_varpar_info(core: Any, params: Sequence[float], reml: bool) -> VarparInfo:
    """A, J and Cov(beta) of a core whose criterion is profiled over sigma^2 as well as
    beta (a model with a residual structure): ``core.solution(params, reml)`` gives
    pwrss P, sigma^2 = s = P / nu and F = S^-1, ``core.deviance_grad`` the gradient of
    the profiled criterion D_p(psi) = min_s D(psi, s).

    The variance parameters are varpar = (psi, s). With D(psi, s) = L(psi) + P(psi) / s
    + nu log s + const, the Hessian of D at s = P / nu is
        H_psipsi = Hess D_p + grad P grad P' / (nu s^2),  H_psis = -grad P / s^2,
        H_ss = nu / s^2,
    as the Schur complement of H_ss in H is the Hessian of D_p. Satterthwaite's df
    does not depend on how the variance parameters are written (J and H change by the
    same Jacobian at a stationary point), so a structure that is another model's
    random effects in disguise (compound symmetry, a random intercept) gets that
    model's df. Hess D_p, grad P and dF/dpsi come from central differences at psi +- h."""
    psi = np.asarray(params, dtype=float)
    k = psi.size
    at = core.solution(list(psi), reml)
    pwrss, s = float(at["pwrss"]), float(at["sigma2"])
    nu = pwrss / s
    fixed = np.asarray(at["fixed_inverse"], dtype=float)
    p = fixed.shape[0]
    h = _step(psi)
    hess = np.empty((k + 1, k + 1))
    jac = np.empty((k + 1, p, p))
    grad_p = np.empty(k)
    feasible = True
    for j in range(k):
        e = np.zeros(k)
        e[j] = h[j]
        try:
            up, down = core.solution(list(psi + e), reml), core.solution(list(psi - e), reml)
        except ValueError:  # a neighbour outside the structure's feasible set: no df
            feasible = False
            break
        g_up, g_down = core.deviance_grad(list(psi + e), reml)[1], core.deviance_grad(list(psi - e), reml)[1]
        hess[:k, j] = (np.asarray(g_up) - np.asarray(g_down)) / (2.0 * h[j])
        grad_p[j] = (float(up["pwrss"]) - float(down["pwrss"])) / (2.0 * h[j])
        jac[j] = s * (np.asarray(up["fixed_inverse"]) - np.asarray(down["fixed_inverse"])) / (2.0 * h[j])
    if not feasible:
        hess[:] = np.nan
    with np.errstate(all="ignore"):
        hess[:k, :k] = 0.5 * (hess[:k, :k] + hess[:k, :k].T) + np.outer(grad_p, grad_p) / (nu * s * s)
        hess[:k, k] = hess[k, :k] = -grad_p / (s * s)
        hess[k, k] = nu / (s * s)
    jac[k] = fixed
    return _info(at, s * fixed, jac, hess, 1 + 4 * k)


def _df(info: VarparInfo, row: np.ndarray) -> float:
    """Satterthwaite's df of the contrast row'beta."""
    # A column all but zero makes Cov(beta) overflow: no approximation then either.
    with np.errstate(over="ignore", invalid="ignore"):
        var = float(row @ info.cov_beta @ row)
        grad = np.einsum("i,kij,j->k", row, info.jacobian, row)
        denom = float(grad @ info.vcov_varpar @ grad)
    if not (np.isfinite(denom) and np.isfinite(var)):  # a singular Hessian (vcov_varpar NaN), or overflow
        return float("nan")
    return 2.0 * var * var / denom if denom > 0 else float("inf")


def t_tests(info: VarparInfo, L: np.ndarray) -> dict[str, np.ndarray]:
    """One t test per row l of L (l'beta = 0): estimate, standard error, df, t, p."""
    rows = np.atleast_2d(np.asarray(L, dtype=float))
    est = rows @ info.beta
    se = np.sqrt(np.einsum("ri,ij,rj->r", rows, info.cov_beta, rows))
    df = np.array([_df(info, r) for r in rows])
    t = est / se
    return {"estimate": est, "se": se, "df": df, "t": t, "p": t_two_sided(t, df)}


def _denominator_df(nu: np.ndarray, tol: float = 1e-8) -> float:
    """Fai and Cornelius's denominator df from the df of r independent t tests."""
    if nu.size == 1:
        return float(nu[0])
    if np.all(np.abs(np.diff(nu)) < tol):
        return float(nu.mean())
    if np.any(nu <= 2):
        return 2.0
    e = float(np.sum(nu / (nu - 2.0)))
    return 2.0 * e / (e - nu.size)


#: Eigenvalues of L Cov(beta) L' at or below this fraction of the largest count as zero
#: (lmerTest's ``contestMD``: the square root of the machine epsilon).
RANK_TOL = float(np.sqrt(np.finfo(float).eps))


def row_basis(L: np.ndarray, cov_beta: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """A basis of the rows of L in which L Cov(beta) L' is diagonal, as lmerTest's
    ``contestMD`` takes it: the rows P'L of the eigenvectors P of L Cov(beta) L' whose
    eigenvalues exceed :data:`RANK_TOL` times the largest (their number is the rank of
    the hypothesis), and those eigenvalues, largest first."""
    L = np.atleast_2d(np.asarray(L, dtype=float))
    v = L @ cov_beta @ L.T
    d, P = np.linalg.eigh(0.5 * (v + v.T))
    order = np.argsort(d)[::-1]
    d, P = d[order], P[:, order]
    rank = int(np.sum(d > RANK_TOL * d[0])) if d.size and d[0] > 0 else 0
    return P[:, :rank].T @ L, d[:rank]


def f_test(info: VarparInfo, L: np.ndarray, tol: float = 1e-8) -> dict[str, float]:
    """The F test of L beta = 0 as lmerTest's ``contest(fit, L)`` computes it: F,
    numerator df (the rank of L Cov(beta) L', eigenvalues above :data:`RANK_TOL`
    times the largest), denominator df (``tol``: the df of the eigen-directions count
    as equal within it) and p."""
    rows, d = row_basis(L, info.cov_beta)
    rank = rows.shape[0]
    if rank == 0:
        return {"F": float("nan"), "num_df": 0.0, "den_df": float("nan"), "p": float("nan")}
    t2 = (rows @ info.beta) ** 2 / d
    nu = np.array([_df(info, r) for r in rows])
    den = _denominator_df(nu, tol)
    f = float(t2.sum() / rank)
    return {"F": f, "num_df": float(rank), "den_df": den, "p": f_upper(f, rank, den)}
