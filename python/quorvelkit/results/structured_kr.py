"""Kenward and Roger's tests of a model with a residual structure and no random effects
(nlme's ``gls``, mmrm's models): the marginal covariance is block diagonal by subject,
V_s = sigma^2 R_s(psi), and pbkrtest's quantities are sums over the subjects' blocks,

    P_i = -sum_s X_s' A_s V_si A_s X_s,        Q_ij = sum_s X_s' A_s V_si A_s V_sj A_s X_s,
    tr(A V_i A V_j) = sum_s tr(A_s V_si A_s V_sj),   A_s = V_s^-1,

with V_si the derivative of V_s in the i-th variance parameter (the structure's
parameters psi, then sigma^2): dV_s/dpsi_i = sigma^2 dR_s/dpsi_i by central differences
of the core's R_s, dV_s/dsigma^2 = R_s.

Where R_s is not linear in psi (AR(1)'s rho^|i-j|, a variance function), the adjustment
takes the first derivatives alone, as pbkrtest does for every model: Kenward and
Roger's second-derivative term R_ij is left out. The result then does not depend on
how the variance parameters are written (P, Q and W change by the same Jacobian), so a
structure that is a linear model in disguise gets that model's Kenward-Roger tests:
compound symmetry those of lmer's random intercept. With R_ij = 0 the adjustment is
SAS's ``DDFM=KR(LINEARITY)``.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .kenward_roger import KRInfo, adjust

__all__ = ["structured_kr_info"]


def _blocks(fit: Any, params: np.ndarray) -> dict[int, list[tuple[np.ndarray, np.ndarray]]]:
    """Each subject's (rows of X, R_s at ``params``), grouped by its number of rows."""
    lay, core = fit._layout_rows, fit._core
    x = fit._design.need_rows("Kenward-Roger's method").x
    out: dict[int, list[tuple[np.ndarray, np.ndarray]]] = {}
    for k in range(len(lay.subject_offsets) - 1):
        rows = lay.order[lay.subject_offsets[k] : lay.subject_offsets[k + 1]]
        r = np.asarray(core.residual_matrix(list(params), k), dtype=float)
        out.setdefault(len(rows), []).append((x[rows], r))
    return out


def structured_kr_info(fit: Any) -> KRInfo:
    """Phi_A, P and W of a REML fit with a residual structure and no random effects."""
    if fit._design.spec.q or fit._layout_rows.crossed:
        raise ValueError("Kenward-Roger's method is available for a residual structure without random effects")
    params = np.asarray(fit._res["params"], dtype=float)
    sigma2 = float(fit.sigma2)
    k = params.size
    h = np.maximum(np.abs(params), 1.0) * 1e-5
    base = _blocks(fit, params)
    ups = [_blocks(fit, params + h[i] * np.eye(k)[i]) for i in range(k)]
    downs = [_blocks(fit, params - h[i] * np.eye(k)[i]) for i in range(k)]
    p = fit._design.need_rows("Kenward-Roger's method").x.shape[1]
    m = k + 1
    fisher, P, Q, trace = np.zeros((p, p)), np.zeros((m, p, p)), np.zeros((m, m, p, p)), np.zeros((m, m))
    for size, subjects in base.items():
        x = np.stack([s[0] for s in subjects])  # (n, T, p)
        r = np.stack([s[1] for s in subjects])  # (n, T, T)
        dv = np.empty((m, *r.shape))
        for i in range(k):
            up = np.stack([s[1] for s in ups[i][size]])
            down = np.stack([s[1] for s in downs[i][size]])
            dv[i] = sigma2 * (up - down) / (2.0 * h[i])
        dv[k] = r
        a = np.linalg.inv(sigma2 * r)
        ax = a @ x
        fisher += np.einsum("ntp,ntq->pq", x, ax)
        d = dv @ ax  # V_i A X: (m, n, T, p)
        e = a @ d  # A V_i A X
        P -= np.einsum("intp,ntq->ipq", d, ax)
        Q += np.einsum("intp,jntq->ijpq", d, e)
        f = a @ dv  # A V_i: (m, n, T, T)
        trace += np.einsum("inab,jnba->ij", f, f)
    phi = np.linalg.inv(fisher)
    # pbkrtest's information tr(P~ V_i P~ V_j), P~ = A - A X Phi X' A
    information = trace - 2.0 * np.einsum("ab,ijba->ij", phi, Q) + np.einsum("ab,ibc,cd,jda->ij", phi, P, phi, P)
    beta = np.asarray(fit._res["beta"], dtype=float)
    return adjust(1 + 2 * k, beta, phi, P, information, lambda W: np.einsum("ij,ijab->ab", W, Q))
