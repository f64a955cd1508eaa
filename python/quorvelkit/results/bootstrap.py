"""The parametric bootstrap: responses simulated from a fitted model, refitted through
the prepared design, and the replicates' parameters (lme4's standard deviations,
correlations, sigma and fixed effects) with their percentile intervals."""

from __future__ import annotations

import time
import warnings
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ..formula.checks import interval_names
from ..model.design import Design
from ..support.progress import progress_bar

__all__ = ["BootstrapResult", "Simulator", "bootstrap", "param_names", "param_vector"]


class Simulator:
    """Draws from a fitted model: eta* = X beta + o + sum_j Z_j b*_j with
    b*_j = s Lambda_j u_j for standard normal u_j, level by level of each factor in the
    order given (o the offset, 0 without; s = sigma for a linear model, 1 for a GLMM),
    and for a linear model y* = eta* + e with e_r = sigma e0_r / sqrt(w_r) for standard
    normal e0 (w the prior weights, 1 without). A GLMM's family draws its response
    from linkinv(eta*).

    The stream, k replicates at a time: each replicate's normals of the random effects
    (factor by factor), then its n residual normals (a linear model only).

    ``factors`` lists (z_j, codes_j, m_j, Lambda_j): Z_j's columns (n, q_j), the rows'
    levels in 0..m_j-1 and Lambda_j's (q_j, q_j) block in the columns' order."""

    def __init__(
        self, design: Design, beta: np.ndarray, factors: list[Any], sigma: float, residuals: bool = True
    ) -> None:
        self.mean = design.x @ beta
        if design.offset is not None:
            self.mean = self.mean + design.offset
        # sigma / sqrt(w), the residual standard deviation of each row
        self.scale = sigma if design.weights is None else sigma / np.sqrt(design.weights)
        self.factors = [(z, codes, m, lam.T * sigma) for z, codes, m, lam in factors]
        self.n = design.n if residuals else 0
        self.width = sum(m * z.shape[1] for z, _, m, _ in factors) + self.n

    def draw_many(self, rng: np.random.Generator, k: int) -> np.ndarray:
        """``k`` draws, shape (k, n), C-contiguous rows."""
        normals = rng.standard_normal((k, self.width))
        y = self.mean
        at = 0
        for z, codes, m, lam_t in self.factors:
            q = z.shape[1]
            b = normals[:, at : at + m * q].reshape(k, m, q) @ lam_t  # rows of u @ (s Lambda_j)'
            y = y + (z[:, 0] * b[:, codes, 0] if q == 1 else np.einsum("ij,kij->ki", z, b[:, codes, :]))
            at += m * q
        if self.n:
            y = y + self.scale * normals[:, at:]
        return np.ascontiguousarray(y)


def _correlated(blocks: Sequence[int] | None, q: int) -> list[list[int]]:
    """For each column c, the later columns r of its own term (correlated with c)."""
    sizes = list(blocks) if blocks else [q]
    ends = np.cumsum(sizes)
    return [list(range(c + 1, int(ends[np.searchsorted(ends, c, side="right")]))) for c in range(q)]


def param_names(
    group: str | Sequence[str], re_names: Sequence[str], fe_names: Sequence[str], blocks: Sequence[int] | None = None
) -> list[str]:
    """Bootstrap parameter names, as lme4's ``confint(..., oldNames = FALSE)``: the
    standard deviation of each random effect followed by its correlations with the
    later ones of its term (``blocks``: the terms' sizes; one term without), sigma,
    then the fixed effects. ``group``: the grouping factor's name, or one per random
    effect."""
    groups = [group] * len(re_names) if isinstance(group, str) else list(group)
    names = []
    for c, later in enumerate(_correlated(blocks, len(re_names))):
        names.append(f"sd_{re_names[c]}|{groups[c]}")
        for r in later:
            names.append(f"cor_{re_names[r]}.{re_names[c]}|{groups[c]}")
    names.append("sigma")
    return names + list(fe_names)


def param_vector(res: Mapping[str, Any], blocks: Sequence[int] | None = None) -> np.ndarray:
    """The parameters of :func:`param_names` of one solution of the core."""
    cov = np.asarray(res["cov_re"], dtype=float)
    q = cov.shape[0]
    sd = np.sqrt(np.maximum(np.diag(cov), 0.0))
    out = []
    for c, later in enumerate(_correlated(blocks, q)):
        out.append(sd[c])
        for r in later:
            den = sd[r] * sd[c]
            out.append(cov[r, c] / den if den > 0 else np.nan)
    out.append(float(res["sigma"]))
    out.extend(np.asarray(res["beta"], dtype=float))
    return np.asarray(out, dtype=float)


def bootstrap(
    draw: Callable[[np.random.Generator, int], np.ndarray],
    refit: Callable[[np.ndarray], tuple[np.ndarray, Any, bool]],
    *,
    names: list[str],
    estimate: np.ndarray,
    n_theta: int,
    n: int,
    seed: int | None,
    progress: bool | None,
    level: float,
    width: int,
) -> BootstrapResult:
    """The parametric bootstrap of every model class: ``n`` responses drawn by
    ``draw(rng, k)`` (k at a time from one stream, so that a seed gives the same
    replicates whatever the batches), each refitted by ``refit(y)`` into its parameters
    (named ``names``; ``estimate`` holds the fit's own), its theta and whether it
    converged. ``width`` is the random numbers one replicate takes, which sets the
    batches at about 8 MB of them. See :meth:`quorvelkit.LmmFit.bootstrap`."""
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
        raise ValueError(f"n must be a positive number of replicates, got {n!r}")
    if seed is None:
        seed = int(np.random.SeedSequence().entropy) % (2**63)  # type: ignore[arg-type]
    n = int(n)
    rng = np.random.default_rng(seed)
    rows = np.empty((n, len(names)))
    thetas = np.empty((n, n_theta))
    converged = np.empty(n, dtype=bool)
    bar = progress_bar(progress, n, "bootstrap", "refit")
    batch = max(1, min(n, 64, (1 << 20) // max(1, width)))
    t0 = time.perf_counter()
    try:
        for first in range(0, n, batch):
            k = min(batch, n - first)
            for i, y in enumerate(draw(rng, k)):
                rows[first + i], thetas[first + i], converged[first + i] = refit(y)
            bar.update(k)
    finally:
        bar.close()
    return BootstrapResult(
        replicates=pd.DataFrame(rows, columns=names),
        theta=pd.DataFrame(thetas, columns=[f"theta{k + 1}" for k in range(n_theta)]),
        estimate=pd.Series(estimate, index=names, name="estimate"),
        converged=converged,
        seed=int(seed),
        seconds=time.perf_counter() - t0,
        level=level,
    )


@dataclass(eq=False, repr=False)
class BootstrapResult:
    """Result of :meth:`LmmFit.bootstrap`.

    Attributes:
        replicates: DataFrame, one row per replicate; columns ``sd_<term>|<group>``,
            ``cor_<term2>.<term1>|<group>``, ``sigma`` and the fixed effects (lme4's
            names). A correlation is NaN in a replicate whose standard deviation is 0.
        theta: DataFrame of the replicates' theta.
        estimate: the fitted model's values of the same parameters.
        converged: boolean array, whether each refit converged.
        seed: the seed used (pass it again to repeat the run).
        seconds: wall time of the simulation and refits.
        ci: percentile intervals at the level requested (:meth:`intervals`).
    """

    replicates: pd.DataFrame
    theta: pd.DataFrame
    estimate: pd.Series
    converged: np.ndarray
    seed: int
    seconds: float
    level: float = 0.95

    @property
    def n(self) -> int:
        """Number of replicates."""
        return len(self.replicates)

    @property
    def n_failed(self) -> int:
        """Number of refits whose optimiser did not report convergence."""
        return int((~self.converged).sum())

    @property
    def refits_per_second(self) -> float:
        """Replicates simulated and refitted per second of wall time."""
        return self.n / self.seconds if self.seconds > 0 else float("inf")

    def intervals(self, level: float = 0.95) -> pd.DataFrame:
        """Percentile intervals at ``level`` for every parameter (NaN replicates,
        i.e. undefined correlations, are ignored)."""
        if not 0 < level < 1:
            raise ValueError(f"level must be between 0 and 1, got {level}")
        lo, hi = interval_names(level)
        a = (1 - level) / 2
        vals = self.replicates.to_numpy()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            q = np.nanquantile(vals, [a, 1 - a], axis=0)
        return pd.DataFrame({lo: q[0], hi: q[1]}, index=self.replicates.columns)

    @property
    def ci(self) -> pd.DataFrame:
        """Percentile intervals at :attr:`level`."""
        return self.intervals(self.level)

    @property
    def std_error(self) -> pd.Series:
        """Bootstrap standard deviation of each parameter."""
        return self.replicates.std(ddof=1)

    def __repr__(self) -> str:
        table = self.ci.copy()
        table.insert(0, "estimate", self.estimate)
        lines = [
            f"Parametric bootstrap: {self.n} replicates, seed {self.seed}, "
            f"{self.seconds:.3g} s ({self.refits_per_second:.0f} refits/s)"
            + (f", {self.n_failed} not converged" if self.n_failed else ""),
            table.to_string(float_format=lambda v: f"{v:.6g}"),
        ]
        return "\n".join(lines)
