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


class _Blocks:
    """The blocks of the marginal covariance in the core's row order: a subject's, or
    with random effects a group's (the groups are runs of whole subjects), grouped by
    their number of rows; their rows of X are taken once."""

    def __init__(self, fit: Any) -> None:
        lay, self.fit = fit._layout_rows, fit
        self.rows = fit._design.need_rows("Kenward-Roger's method")
        self.n_theta = len(fit.theta)
        self.subjects = [
            (int(a), int(b)) for a, b in zip(lay.subject_offsets[:-1], lay.subject_offsets[1:], strict=True)
        ]
        self.first = {lo: k for k, (lo, _) in enumerate(self.subjects)}  # a block's first subject
        if self.n_theta:
            codes = np.asarray(self.rows.codes)[lay.order]
            starts = np.flatnonzero(np.r_[True, codes[1:] != codes[:-1], True])
        else:
            starts = np.asarray(lay.subject_offsets)
        self.ranges: dict[int, list[tuple[int, int]]] = {}
        for lo, hi in zip(starts[:-1], starts[1:], strict=True):
            self.ranges.setdefault(int(hi - lo), []).append((int(lo), int(hi)))
        self.x = {t: np.stack([self.rows.x[lay.order[lo:hi]] for lo, hi in r]) for t, r in self.ranges.items()}

    def covariances(self, params: np.ndarray) -> dict[int, np.ndarray]:
        """V / sigma^2 of every block at ``params``, by size (n, T, T): its subjects'
        R_s, plus Z Lambda Lambda' Z' with random effects."""
        fit, order = self.fit, self.fit._layout_rows.order
        residual = [
            np.asarray(fit._core.residual_matrix(list(params), k), dtype=float) for k in range(len(self.subjects))
        ]
        lam = block_lambda(params[: self.n_theta], [len(t.columns) for t in fit._terms]) if self.n_theta else None
        out: dict[int, np.ndarray] = {}
        for t, ranges in self.ranges.items():
            blocks = np.zeros((len(ranges), t, t))
            for g, (lo, hi) in enumerate(ranges):
                k = self.first[lo]
                while k < len(self.subjects) and self.subjects[k][1] <= hi:  # the subjects of the block
                    a, b = self.subjects[k]
                    blocks[g, a - lo : b - lo, a - lo : b - lo] = residual[k]
                    k += 1
                if lam is not None:
                    zl = self.rows.z[order[lo:hi]] @ lam
                    blocks[g] += zl @ zl.T
            out[t] = blocks
        return out


def structured_kr_info(fit: Any) -> KRInfo:
    """Phi_A, P and W of a REML fit with a residual structure (no crossed factors)."""
    if fit._layout_rows.crossed:
        raise ValueError(
            "Kenward-Roger's method is available for a residual structure with the random effects of one factor "
            "that nests the subjects, or none; not with crossed factors"
        )
    beta = np.asarray(fit._res["beta"], dtype=float)
    p = beta.size
    if fit.is_singular:  # a random effect's variance at zero: no neighbourhood in theta
        nan = np.full((p, p), np.nan)
        return KRInfo(1, beta, nan, nan, np.empty(0), np.empty(0))
    params = np.asarray(fit._res["params"], dtype=float)
    sigma2 = float(fit.sigma2)
    k = params.size
    h = np.maximum(np.abs(params), 1.0) * 1e-5
    blocks = _Blocks(fit)
    base = blocks.covariances(params)
    ups = [blocks.covariances(params + h[i] * np.eye(k)[i]) for i in range(k)]
    downs = [blocks.covariances(params - h[i] * np.eye(k)[i]) for i in range(k)]
    m = k + 1
    fisher, P, Q, trace = np.zeros((p, p)), np.zeros((m, p, p)), np.zeros((m, m, p, p)), np.zeros((m, m))
    for size, r in base.items():
        x = blocks.x[size]  # (n, T, p); r: (n, T, T)
        dv = np.empty((m, *r.shape))
        for i in range(k):
            dv[i] = sigma2 * (ups[i][size] - downs[i][size]) / (2.0 * h[i])
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
    return adjust(1 + 2 * k, beta, phi, P, information, lambda W: np.einsum("ij,ijab->ab", W, Q))
