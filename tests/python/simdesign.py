"""Simulated designs for the tests: :func:`random_design` for quick arrays of any size,
:func:`glmm_rows` for small GLMMs on one or more factors,
and the optimiser suite :data:`SUITE`, seeded designs reproducible on any platform.

The suite draws from splitmix64 (Steele, Lea & Flood 2014) on a counter, with Box-Muller
normals, not from NumPy's streams: the lme4 references in ``tests/data/optim`` were
computed on exactly these arrays (written out for R by ``make_reference.py`` there), and
``checksum`` detects any drift. Each design is y = X beta + sum_j z_j b_gj + e, e ~ N(0, 1),
b_g = L u_g with u_g ~ N(0, I_q) and L the true relative covariance factor (sigma = 1);
random slopes are on the fixed covariates: z = [1, x_1, ..., x_{q-1}], p >= q.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np


class Stream:
    """Consecutive draws from one seed: each call continues where the last stopped."""

    def __init__(self, seed: int) -> None:
        self._base, self._next = np.uint64(seed) << np.uint64(40), 0

    def uniform(self, k: int) -> np.ndarray:
        z = np.arange(self._next, self._next + k, dtype=np.uint64) + self._base + np.uint64(1)
        self._next += k
        with np.errstate(over="ignore"):  # splitmix64's products wrap modulo 2^64
            z = z * np.uint64(0x9E3779B97F4A7C15)
            for shift, mult in ((30, 0xBF58476D1CE4E5B9), (27, 0x94D049BB133111EB)):
                z = (z ^ (z >> np.uint64(shift))) * np.uint64(mult)
        return (((z ^ (z >> np.uint64(31))) >> np.uint64(11)).astype(np.float64) + 0.5) * 2.0**-53

    def normal(self, k: int) -> np.ndarray:
        half = (k + 1) // 2
        u1, u2 = self.uniform(half), self.uniform(half)
        r = np.sqrt(-2.0 * np.log(u1))
        return np.concatenate([r * np.cos(2 * np.pi * u2), r * np.sin(2 * np.pi * u2)])[:k]


@dataclass(frozen=True)
class SimDesign:
    """One design of the suite. ``lam`` is the true relative covariance factor
    (lower-triangular, q x q); ``sizes`` is "balanced", "uniform" (1 to 2n/m - 1 rows)
    or "geometric" (a long tail of small groups); ``scale`` multiplies covariate
    columns (1-based index into x) to put them in other units."""

    name: str
    m: int
    n: int
    p: int
    lam: np.ndarray
    sizes: str = "uniform"
    seed: int = 1
    scale: dict[int, float] = field(default_factory=dict)
    shuffle: bool = False

    def arrays(self) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, int]:
        """(y, x, z, codes, m), ready for ``LmmCore``."""
        s, m, avg, q = Stream(self.seed), self.m, self.n / self.m, len(self.lam)
        sizes = {
            "balanced": lambda: np.full(m, int(round(avg)), dtype=np.int64),
            "uniform": lambda: 1 + np.floor(s.uniform(m) * (2 * avg - 1)).astype(np.int64),
            "geometric": lambda: 1 + np.floor(np.log(s.uniform(m)) / np.log(1 - 1 / avg)).astype(np.int64),
        }[self.sizes]()
        codes = np.repeat(np.arange(m, dtype=np.int64), sizes)
        n = len(codes)
        if self.shuffle:
            codes = codes[np.argsort(s.uniform(n), kind="stable")]
        x = np.empty((n, self.p))
        x[:, 0] = 1.0
        for j in range(1, self.p):
            x[:, j] = s.normal(n) * self.scale.get(j, 1.0)
        z = np.ascontiguousarray(x[:, :q])
        b = s.normal(m * q).reshape(m, q) @ self.lam.T
        y = x @ np.linspace(1.0, -1.0, self.p) + np.einsum("ij,ij->i", z, b[codes]) + s.normal(n)
        return y, np.ascontiguousarray(x), z, codes, m

    def checksum(self) -> float:
        y, x, *_ = self.arrays()
        return float(y.sum() + x.sum())


def _corr_factor(sd: list[float], rho: float) -> np.ndarray:
    """Cholesky factor of the covariance with these sds and one common correlation."""
    c = np.full((len(sd), len(sd)), rho) + (1 - rho) * np.eye(len(sd))
    return np.linalg.cholesky(c * np.outer(sd, sd))


def _rank_deficient(q: int, rank: int) -> np.ndarray:
    lam = np.zeros((q, q))
    for j in range(rank):
        lam[j:, j] = 0.6 / (j + 1)
    return lam


_diag = np.diag

#: The suite: q from 1 to 4, m from 20 to 100,000, balanced and unbalanced, a true
#: covariance inside the cone, at its boundary, rank-deficient, nearly perfectly
#: correlated and zero, and slopes in units 1,000 times larger than the intercept's.
# fmt: off
SUITE: tuple[SimDesign, ...] = (
    SimDesign("q1_m20_balanced", 20, 100, 2, _diag([0.5]), "balanced", seed=11),
    SimDesign("q1_m20_zero", 20, 100, 2, _diag([0.0]), "uniform", seed=12),
    SimDesign("q1_m1000_balanced", 1000, 10_000, 3, _diag([2.0]), "balanced", seed=13),
    SimDesign("q1_m5000_geometric", 5000, 20_000, 2, _diag([0.3]), "geometric", seed=14, shuffle=True),
    SimDesign("q1_m100k", 100_000, 300_000, 3, _diag([0.5]), "uniform", seed=15),
    SimDesign("q2_m50_balanced", 50, 500, 2, _corr_factor([1.0, 0.5], 0.5), "balanced", seed=21),
    SimDesign("q2_m200_nearly_collinear", 200, 2000, 2, _corr_factor([1.0, 0.7], 0.999), seed=22),
    SimDesign("q2_m100_slope_x1000", 100, 1000, 2, _corr_factor([0.8, 0.5e-3], 0.3), seed=23, scale={1: 1000.0}),
    SimDesign("q2_m30_slope_zero", 30, 240, 3, _diag([0.7, 0.0]), "balanced", seed=24),
    SimDesign("q2_m500_zero", 500, 2500, 2, _diag([0.0, 0.0]), seed=25),
    SimDesign("q2_m20_sparse", 20, 60, 2, _corr_factor([1.2, 0.6], -0.4), "geometric", seed=26),
    SimDesign("q2_m100k", 100_000, 400_000, 3, _corr_factor([0.5, 0.3], 0.2), seed=27, shuffle=True),
    SimDesign("q3_m100", 100, 1500, 3, _corr_factor([1.0, 0.6, 0.4], 0.3), "balanced", seed=31),
    SimDesign("q3_m300_rank2", 300, 3000, 4, _rank_deficient(3, 2), seed=32),
    SimDesign("q3_m2000", 2000, 12_000, 3, _corr_factor([0.5, 0.5, 0.5], -0.2), "geometric", seed=33),
    SimDesign("q4_m200", 200, 3000, 4, _corr_factor([1.0, 0.5, 0.5, 0.3], 0.2), "balanced", seed=41),
    SimDesign("q4_m1000_slope_x1000", 1000, 10_000, 5, _corr_factor([0.6, 0.4e-3, 0.4, 0.3], 0.1), seed=42,
              scale={1: 1000.0}),
    SimDesign("q4_m100_rank2", 100, 1200, 4, _rank_deficient(4, 2), seed=43),
)
# fmt: on


def random_design(
    n: int, m: int, p: int, q: int, seed: int = 0, balanced: bool = False, shuffle: bool = False
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, int]:
    """(y, x, z, codes, m) for ``LmmCore``: random intercepts and slopes on standard
    normal columns (the first of x and z is 1), codes sorted; ``balanced`` gives
    every group n // m rows with one shared Z_i (a single class of groups);
    ``shuffle`` puts the rows in a random order (the groups' rows then interleave)."""
    rng = np.random.default_rng(seed)
    if balanced:
        codes = np.repeat(np.arange(m), n // m)
        z = np.tile(rng.standard_normal((n // m, q)), (m, 1))
        n = len(codes)
    else:
        codes = np.sort(rng.integers(0, m, n))
        z = rng.standard_normal((n, q))
        z[:, 0] = 1.0
    x = rng.standard_normal((n, p))
    x[:, 0] = 1.0
    b = rng.standard_normal((m, q))
    y = x @ rng.standard_normal(p) + (z * b[codes]).sum(1) + rng.standard_normal(n)
    order = np.random.default_rng(0).permutation(n) if shuffle else np.arange(n)
    return y[order], np.ascontiguousarray(x[order]), np.ascontiguousarray(z[order]), codes[order].astype(np.int64), m


def glmm_rows(n: int, levels: tuple[int, ...], family: str, seed: int, slope: bool = True) -> tuple:
    """y, x and one (codes, n_levels, z, blocks) per factor of a small simulated GLMM:
    a random intercept on each factor, with `slope` a random slope too on the first."""
    rng = np.random.default_rng(seed)
    x = np.column_stack([np.ones(n), rng.standard_normal(n)])
    factors, eta = [], x @ [0.2, 0.6]
    for j, m in enumerate(levels):
        codes = (np.arange(n) % m if j == 0 else rng.integers(0, m, n)).astype(np.int64)
        z = x.copy() if j == 0 and slope else np.ones((n, 1))
        eta = eta + (z * 0.7 * rng.standard_normal((m, z.shape[1]))[codes]).sum(axis=1)
        factors.append((codes, m, z, [z.shape[1]]))
    y = rng.binomial(1, 1 / (1 + np.exp(-eta))) if family == "binomial" else rng.poisson(np.exp(eta))
    return y.astype(np.float64), x, factors
