"""Kenward and Roger's tests of a model with a residual structure (nlme's ``gls`` and
``lme``, mmrm's models): the marginal covariance is block diagonal, a block per subject
(V_s = sigma^2 R_s(psi)) or, with the random effects of one factor that nests the
subjects, per group (V_g = sigma^2 (Z_g Lambda Lambda' Z_g' + the subjects' R_s)), and
pbkrtest's quantities are sums over the blocks,

    P_i = -sum_g X_g' A_g V_gi A_g X_g,        Q_ij = sum_g X_g' A_g V_gi A_g V_gj A_g X_g,
    tr(A V_i A V_j) = sum_g tr(A_g V_gi A_g V_gj),   A_g = V_g^-1,

with V_gi the derivative of V_g in the i-th variance parameter (theta's entries and the
structure's parameters by central differences of the block, then sigma^2, whose
derivative is V_g / sigma^2). Crossed factors have no such blocks and are refused.

Where V is not linear in the parameters (AR(1)'s rho^|i-j|, a variance function,
theta), the adjustment takes the first derivatives alone, as pbkrtest does for every
model: Kenward and Roger's second-derivative term R_ij is left out. The result then does
not depend on how the variance parameters are written (P, Q and W change by the same
Jacobian), so a structure that is a linear model in disguise gets that model's
Kenward-Roger tests: compound symmetry those of lmer's random intercept. With R_ij = 0
the adjustment is SAS's ``DDFM=KR(LINEARITY)``. A random effect's variance at zero has
no neighbourhood in theta: its tests are NaN.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ..cores.crossed_core import block_lambda
from .kenward_roger import KRInfo, adjust

__all__ = ["structured_kr_info"]


def _blocks(fit: Any, params: np.ndarray) -> dict[int, list[tuple[np.ndarray, np.ndarray]]]:
    """Each block's (rows of X, V / sigma^2 at ``params``), grouped by its number of
    rows: a subject's R_s, or with random effects a group's Z Lambda Lambda' Z' plus its
    subjects' R_s (the groups are runs of whole subjects in the core's order)."""
    lay, core, d = fit._layout_rows, fit._core, fit._design
    rows = d.need_rows("Kenward-Roger's method")
    n_theta = len(fit.theta)
    blocks = []
    for k in range(len(lay.subject_offsets) - 1):
        lo, hi = int(lay.subject_offsets[k]), int(lay.subject_offsets[k + 1])
        blocks.append((lo, hi, np.asarray(core.residual_matrix(list(params), k), dtype=float)))
    if n_theta:
        lam = block_lambda(params[:n_theta], [len(t.columns) for t in fit._terms])
        codes = np.asarray(rows.codes)[lay.order]
        starts = np.flatnonzero(np.r_[True, codes[1:] != codes[:-1], True])
    else:
        starts = np.asarray(lay.subject_offsets)
    out: dict[int, list[tuple[np.ndarray, np.ndarray]]] = {}
    at = 0
    for lo, hi in zip(starts[:-1], starts[1:], strict=True):
        m = np.zeros((hi - lo, hi - lo))
        while at < len(blocks) and blocks[at][1] <= hi:  # the subjects of the group
            a, b, r = blocks[at]
            m[a - lo : b - lo, a - lo : b - lo] = r
            at += 1
        if n_theta:
            zl = rows.z[lay.order[lo:hi]] @ lam
            m = m + zl @ zl.T
        out.setdefault(hi - lo, []).append((rows.x[lay.order[lo:hi]], m))
    return out


def structured_kr_info(fit: Any) -> KRInfo:
    """Phi_A, P and W of a REML fit with a residual structure and no random effects."""
    if fit._layout_rows.crossed:
        raise ValueError(
            "Kenward-Roger's method is available for a residual structure with the random effects of one factor "
            "that nests the subjects, or none; not with crossed factors"
        )
    params = np.asarray(fit._res["params"], dtype=float)
    sigma2 = float(fit.sigma2)
    k = params.size
    h = np.maximum(np.abs(params), 1.0) * 1e-5
    base = _blocks(fit, params)
    ups = [_blocks(fit, params + h[i] * np.eye(k)[i]) for i in range(k)]
    downs = [_blocks(fit, params - h[i] * np.eye(k)[i]) for i in range(k)]
    p = len(fit.fe_names)
    if fit.is_singular:  # a random effect's variance at zero: no neighbourhood in theta
        nan = np.full((p, p), np.nan)
        return KRInfo(1, np.asarray(fit._res["beta"], dtype=float), nan, nan, np.empty(0), np.empty(0))
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
