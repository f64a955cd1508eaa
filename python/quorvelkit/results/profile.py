"""Profile-likelihood intervals and profiles of every parameter of a fit: the standard
deviations and correlations of the random effects, sigma and each fixed effect.

The profile of a parameter psi is the criterion minimised over all the others with psi
held, f(psi), and its signed square root zeta(psi) = sign(psi - psi0) sqrt(f(psi) - f0)
(Bates et al. 2015, "Fitting Linear Mixed-Effects Models Using lme4", J. Stat. Softw.
67(1), section 5.1); the interval at level 1 - a solves zeta = -+ z_{a/2}. The
criterion is the model's own, D(theta, sigma) = logdet + pwrss / sigma^2 +
nu log(2 pi sigma^2) with beta profiled out (REML fits profile REML, ML fits ML), or
the ML deviance on request. Every constrained minimisation runs over theta alone with
the core's analytic gradient:

* sigma held at s: D(theta, s);
* the standard deviation of random effect k held at s, sd_k = sigma |Lambda_k.|:
  D(theta, s / |Lambda_k.|), whose gradient in theta adds dD/dsigma dsigma/dtheta;
  s = 0 sets row k of Lambda to zero and profiles sigma out;
* a correlation held at rho (sigma profiled out): theta is the lower triangle of a
  factor M of the relative covariance with the pair's rows first, M_10 = rho t,
  M_11 = sqrt(1 - rho^2) t, and every other entry free; the gradient in M follows from
  the gradient in theta by the reverse-mode derivative of the Cholesky factor (Murray
  2016, "Differentiation of the Cholesky decomposition", arXiv:1602.07527);
* fixed effect j held at b: the core's ``fixed_at(j, b)`` (the response y - x_j b on
  the other columns) and its profiled criterion. Under ML its minimum over b is the
  fit's; under REML the criterion of the model with beta_j known is the restricted
  likelihood of y - x_j b on p - 1 columns (nu = n - p + 1), which does depend on b,
  and zeta is measured from its own minimum over b (within rounding of the REML
  estimate of a balanced design, close to it otherwise).

The end points are found by Newton's method on zeta, whose derivative comes free from
the envelope theorem: dzeta/dpsi = (df/dpsi at the constrained optimum) / (2 zeta).
Each constrained minimisation is a run of the core's quasi-Newton minimiser (the fit's),
warm-started from the previous point of the same parameter with that point's inverse
Hessian.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from ..formula.checks import check_level, interval_names
from ..results import plot
from ..support.progress import progress_bar
from .profile_problems import ON_LIMIT, Point, Problem, Profiler, Profiles, minimize
from .pvalues import normal_quantile

__all__ = ["ProfileResult", "Profiler", "parameter_names", "intervals", "traces"]


def parameter_names(
    group: str | Sequence[str], re_names: Sequence[str], fe_names: Sequence[str], index: Sequence[tuple[int, int]]
) -> list[str]:
    """lme4's names of the parameters (``confint(..., oldNames = FALSE)``): the
    standard deviation of each random effect followed by its correlations with the
    later ones in its block, sigma, then the fixed effects. ``group``: the grouping
    factor's name, or one per random effect."""
    pairs = {(int(r), int(c)) for r, c in index}
    groups = [group] * len(re_names) if isinstance(group, str) else list(group)
    names = []
    for c, name in enumerate(re_names):
        group = groups[c]
        names.append(f"sd_{name}|{group}")
        for r in range(c + 1, len(re_names)):
            if (r, c) in pairs:
                names.append(f"cor_{re_names[r]}.{name}|{group}")
    return names + ["sigma"] + list(fe_names)


#: What each scale profiles, as the results print it.


@dataclass
class ProfileResult:
    """The profiles of a fit (returned by a fit's ``profile``).

    Attributes:
        traces: parameter name -> DataFrame with columns "value" and "zeta", sorted by
            value, through the estimate (zeta = 0).
        estimates: the parameters' estimates (zeta = 0).
        scale: "REML" or "ML": the criterion profiled (``ml=True`` profiles ML, as
            lme4 does for every fit).
        evaluations: criterion evaluations it took (the ML refit's included).
        seconds: wall time.
        notes: what was not profiled and why (a correlation of a random effect whose
            standard deviation is estimated at zero has a flat profile).
        profiler: the fit's profiles on this scale, from which :meth:`confint` solves
            (None for a result built without a fit).
        criterion: what was profiled, as the reports name it.
    """

    traces: dict[str, pd.DataFrame]
    estimates: pd.Series
    scale: str
    evaluations: int
    seconds: float
    notes: list[str] = field(default_factory=list)
    profiler: Profiles | None = field(default=None, repr=False, compare=False)
    criterion: str = ""

    def __repr__(self) -> str:
        lines = [
            f"Profiles of {self.criterion or self.scale} ({self.scale}): "
            f"{len(self.estimates)} parameter(s), {len(self.traces)} traced, {self.evaluations} evaluations"
        ]
        lines += [f"  {name}: {len(tr)} points, value {tr['value'].min():.6g} .. {tr['value'].max():.6g}"
                  for name, tr in self.traces.items()]  # fmt: skip
        return "\n".join(lines + [f"  note: {n}" for n in self.notes])

    def confint(self, level: float = 0.95) -> pd.DataFrame:
        """The profile-likelihood intervals of the profiled parameters, solved by the
        search :meth:`LmmFit.confint` with ``method="profile"`` runs, on the same scale:
        the same numbers, notes and ``attrs``, not an interpolation of the traces."""
        check_level(level)
        if self.profiler is None:
            raise ValueError("this profile holds no fit to solve for the intervals (built without one)")
        return intervals(self.profiler, level, which=list(self.estimates.index))

    def plot(self, **kwargs: Any) -> Any:
        """The zeta plots (:func:`quorvelkit.results.plot.profile_zeta`)."""
        return plot.profile_zeta(self, **kwargs)


# ----------------------------------------------------------------- the searches
def _transform(prob: Problem) -> tuple[Callable[[float], float], Callable[[float], float], Callable[[float], float]]:
    """The coordinate u(psi) in which zeta is closest to straight, its inverse and du/dpsi:
    log for standard deviations, sigma and other positive parameters, atanh for correlations (psi itself for an
    estimate on the boundary)."""
    if prob.kind in ("sd", "sigma", "positive") and prob.center > 0:
        return math.log, lambda v: math.exp(min(v, 700.0)), lambda v: 1.0 / v
    if prob.kind == "cor" and abs(prob.center) < ON_LIMIT:  # at -1 or 1 atanh has no finite slope
        return (
            lambda v: math.atanh(max(-1 + 1e-15, min(1 - 1e-15, v))),
            math.tanh,
            lambda v: 1.0 / max(1e-300, 1.0 - v * v),
        )
    return (lambda v: v), (lambda v: v), (lambda v: 1.0)


class _Search:
    """The points computed for one parameter (both sides share the estimate's)."""

    def __init__(self, profiler: Profiles, prob: Problem) -> None:
        self.pr = profiler
        self.prob = prob
        self.start = Point(prob.center, 0.0, math.nan, prob.phi0, prob.h0, prob.reference)
        self.points = [self.start]
        self.u, self.u_inv, self.du = _transform(prob)
        self.lower_found = False

    def _warm(self, psi: float) -> tuple[np.ndarray, np.ndarray]:
        """The start for psi: the nearest point's optimum, moved along the path the last
        two points on that side trace (a linear predictor of the constrained optimum)."""
        side = [p for p in self.points if (p.psi - self.prob.center) * (psi - self.prob.center) >= 0]
        side.sort(key=lambda p: abs(p.psi - psi))
        near = side[0] if side else self.start
        if len(side) >= 2 and side[1].psi != near.psi and math.isfinite(side[1].f):
            a = (psi - near.psi) / (near.psi - side[1].psi)
            if abs(a) <= 2.0:
                return near.phi + a * (near.phi - side[1].phi), near.h
        return near.phi, near.h

    def _minimum(self, psi: float, phi: np.ndarray, h: np.ndarray) -> tuple[np.ndarray, float, np.ndarray]:
        prob = self.prob
        if prob.adjust is not None:
            phi = prob.adjust(psi, phi)
        fixed: list[int] = []
        if psi == 0.0 and prob.at_zero:
            phi = phi.copy()
            phi[prob.at_zero] = 0.0
            fixed = prob.at_zero
        return minimize(prob.objective(psi), phi, h, prob.groups, fixed)

    def at(self, psi: float) -> Point:
        """The constrained optimum at psi. The profile is monotone on each side of the
        estimate, and any run of the minimiser bounds it from above, so a point out of
        order with its neighbours is minimised again from theirs and the lowest wins."""
        phi, h = self._warm(psi)
        x, f, hn = self._minimum(psi, phi, h)
        if not math.isfinite(f) and not np.array_equal(phi, self.start.phi):
            x, f, hn = self._minimum(psi, self.start.phi, self.start.h)
        for other in self._disorder(psi, f):
            x2, f2, h2 = self._minimum(psi, other.phi, other.h)
            if f2 < f:
                x, f, hn = x2, f2, h2
        z2 = f - self.prob.reference
        zeta = math.copysign(math.sqrt(max(z2, 0.0)), psi - self.prob.center) if math.isfinite(f) else math.nan
        slope = math.nan
        if math.isfinite(zeta) and abs(zeta) > 1e-7:
            slope = self.prob.dpsi(psi, x) / (2.0 * zeta)
        pt = Point(psi, zeta, slope, x, hn, f)
        self.points.append(pt)
        return pt

    def _disorder(self, psi: float, f: float) -> list[Point]:
        """The points to minimise again from when f at psi breaks the monotone order,
        i.e. a point farther out on the same side has a lower criterion: those points,
        and the nearest one closer in (the estimate's at least). The constrained minima
        can form separate branches (near a boundary, e.g. a correlation at +-1 against
        one inside), and a warm start stays on the branch it starts from."""
        c = self.prob.center
        same = [p for p in self.points if (p.psi - c) * (psi - c) > 0 and math.isfinite(p.f)]
        outer = [p for p in same if abs(p.psi - c) > abs(psi - c) and p.f < f - 1e-9]
        if not outer:
            return []
        inner = [p for p in same if abs(p.psi - c) < abs(psi - c)]
        return outer + [max(inner, key=lambda p: abs(p.psi - c)) if inner else self.start]

    def bound(self, side: int) -> float:
        return self.prob.upper if side > 0 else self.prob.lower

    def endpoint(self, side: int, z: float, tol: float = 1e-5) -> float:
        """psi where zeta = side * z, or the bound of psi when zeta stays short of it.

        Newton's method on zeta in the coordinate u(psi) (see ``_transform``), kept
        inside the bracket once one end point lies beyond the target (regula falsi
        when a Newton step leaves it)."""
        prob = self.prob
        if not math.isfinite(prob.center):
            return math.nan
        fwd, inv, du = self.u, self.u_inv, self.du
        target = side * z
        inner, outer = self.start, None
        if prob.kind == "sd" and side < 0:
            # Without random effect k at all: if zeta stays short of -z there, the
            # interval reaches zero; otherwise [0, estimate] brackets the end point,
            # over which zeta is close to straight in sd itself (not in its log).
            at_zero = self.at(0.0)
            if not (abs(at_zero.zeta) > z):
                return 0.0
            outer = at_zero
            fwd, inv, du = (lambda v: v), (lambda v: v), (lambda v: 1.0)
        u0 = fwd(prob.center)
        scale_u = max(prob.scale * du(prob.center), 1e-8)
        u = u0 + side * z * scale_u
        step = z * scale_u
        for _ in range(40):
            psi = self._clip(inv(u), side)
            if outer is not None and not (min(inner.psi, outer.psi) < psi < max(inner.psi, outer.psi)):
                w = (target - inner.zeta) / (outer.zeta - inner.zeta)
                psi = inner.psi + min(0.9, max(0.1, w)) * (outer.psi - inner.psi)
            pt = self.at(psi)
            if not math.isfinite(pt.zeta):
                u = fwd(0.5 * (inner.psi + psi))  # infeasible: back towards the estimate
                continue
            if abs(pt.zeta - target) < tol:
                return psi
            if side * pt.zeta < z:
                inner = pt
                if psi == self.bound(side):
                    return psi  # zeta stays short of the target up to the bound
            else:
                outer = pt
            if outer is not None and (
                abs(outer.zeta - inner.zeta) < 1e-3 or abs(outer.psi - inner.psi) < 1e-12 * max(1.0, abs(psi))
            ):
                # A bracket this narrow in zeta: zeta is straight across it to well
                # within the accuracy of the constrained optima (a profile that flattens
                # out just beyond the target, as one approaching its bound).
                w = (target - inner.zeta) / (outer.zeta - inner.zeta)
                return inner.psi + w * (outer.psi - inner.psi)
            slope_u = pt.slope / du(psi) if math.isfinite(pt.slope) and pt.slope > 0 else math.nan
            u_new = fwd(psi) + (target - pt.zeta) / slope_u if math.isfinite(slope_u) else math.nan
            if outer is None:
                if not math.isfinite(u_new) or (u_new - fwd(psi)) * side <= 0:
                    u_new = fwd(psi) + side * 2.0 * step
                u_new = fwd(psi) + side * min(abs(u_new - fwd(psi)), 4.0 * step + abs(fwd(psi) - u0))
                step = abs(u_new - fwd(psi))
            u = u_new if math.isfinite(u_new) else math.nan
        return math.nan

    def _clip(self, psi: float, side: int) -> float:
        prob = self.prob
        if prob.kind == "sd" and side < 0 and (psi < 1e-6 * prob.center or not math.isfinite(psi)):
            return 0.0
        if prob.kind == "cor" and abs(psi) > 1 - 1e-9:
            return math.copysign(1.0, psi)
        return psi

    def trace(self, side: int, zmax: float, dz: float = 0.6, max_points: int = 12) -> None:
        """Points from the estimate outwards until |zeta| reaches zmax or psi its bound,
        about dz apart in zeta."""
        prob = self.prob
        u0 = self.u(prob.center)
        slope_u = 1.0 / max(prob.scale * self.du(prob.center), 1e-8)
        u = u0
        step = dz / slope_u
        for _ in range(max_points):
            u_new = u + side * min(dz / slope_u, 3.0 * step)
            step = abs(u_new - u)
            psi = self._clip(self.u_inv(u_new), side)
            pt = self.at(psi)
            if not math.isfinite(pt.zeta) or abs(pt.zeta) >= zmax or psi == self.bound(side) or psi == 0.0:
                return
            if math.isfinite(pt.slope) and pt.slope > 0:
                slope_u = pt.slope / self.du(psi)
            u = u_new


def prepare(profiler: Profiles, prob: Problem) -> None:
    """The centre and reference of a problem: the estimate and the optimum, except for a
    fixed effect under REML, whose criterion with beta_j known has its own minimum over
    beta_j (found by Newton's method from the estimate, with the curvature of the
    quadratic pwrss(b) at the constrained optimum)."""
    prob.center = prob.estimate
    prob.reference = profiler.f0
    if prob.kind != "beta" or not profiler.reml:
        return
    b = prob.estimate
    phi, h = prob.phi0, prob.h0
    f = math.inf
    for _ in range(8):
        x, f, h = minimize(prob.objective(b), phi, h, prob.groups)
        slope = prob.dpsi(b, x)
        curv = 2.0 / (prob.scale**2) if prob.scale > 0 else 1.0
        step = -slope / curv
        phi = x
        if abs(step) < 1e-9 * max(prob.scale, 1e-300):
            break
        b += step
    prob.center = b
    prob.reference = f
    prob.phi0, prob.h0 = phi, h


def _selected(problems: list[Problem], which: Sequence[str] | str | None) -> list[Problem]:
    if which is None:
        return problems
    wanted = [which] if isinstance(which, str) else list(which)
    names = [p.name for p in problems]
    unknown = [w for w in wanted if w not in names]
    if unknown:
        raise ValueError(f"no parameter(s) {unknown}; the parameters are {names}")
    return [p for p in problems if p.name in wanted]


def intervals(
    profiler: Profiles, level: float, which: Sequence[str] | str | None = None, progress: bool | None = None
) -> pd.DataFrame:
    """Profile-likelihood intervals: the two solutions of zeta = -+ z of each parameter
    (see :meth:`quorvelkit.LmmFit.confint`). ``attrs`` holds "evaluations", "seconds",
    "scale", "criterion" and "notes"; the column index is named for the criterion."""
    check_level(level)
    t0 = time.perf_counter()
    z = normal_quantile(0.5 + level / 2)
    probs = _selected(profiler.problems(), which)
    rows: dict[str, tuple[float, float]] = {}
    notes: list[str] = []
    bar = progress_bar(progress, len(probs), "profile", "parameter")
    try:
        for prob in probs:
            if prob.flat:
                rows[prob.name] = (-1.0, 1.0)
                notes.append(
                    f"{prob.name}: a standard deviation is estimated at zero, so every correlation fits equally"
                )
            else:
                prepare(profiler, prob)
                search = _Search(profiler, prob)
                rows[prob.name] = (search.endpoint(-1, z), search.endpoint(1, z))
                notes += _bound_notes(search, rows[prob.name], z)
            bar.update(1)
    finally:
        bar.close()
    lo, hi = interval_names(level)
    out = pd.DataFrame.from_dict(rows, orient="index", columns=[lo, hi])
    # The printed table says what it profiled: a REML fit's intervals differ from lme4's
    # (ML) ones unless ml=True.
    out.columns.name = f"profile of {profiler.criterion_name}"
    out.attrs.update(
        evaluations=profiler.evaluations,
        seconds=time.perf_counter() - t0,
        scale="REML" if profiler.reml else "ML",
        criterion=profiler.criterion_name,
        notes=notes,
    )
    return out


def _bound_notes(search: _Search, bounds: tuple[float, float], z: float) -> list[str]:
    """Why a bound is a limit of its parameter (0 for a standard deviation, -1 or 1 for
    a correlation) or missing, one note each: the estimate is on the limit, or zeta at
    the limit is still short of -+z (read from the point the search computed there)."""
    prob, out = search.prob, []
    for side, bound, word in ((-1, bounds[0], "lower"), (1, bounds[1], "upper")):
        limit = search.bound(side)
        if math.isnan(bound):
            out.append(f"{prob.name}: the {word} bound was not found (zeta = {side * z:.4g} was not solved)")
        elif bound == limit and math.isfinite(limit):
            at = [p.zeta for p in search.points if p.psi == limit and math.isfinite(p.zeta)]
            if prob.center == limit or (at and abs(at[-1]) < 1e-6):  # on the limit to rounding
                out.append(f"{prob.name}: estimated at its limit {limit:g}, which is the {word} bound")
                continue
            there = f" (zeta = {at[-1]:.3g} there)" if at else ""
            out.append(
                f"{prob.name}: the {word} bound is the limit {limit:g}: zeta stays short of "
                f"{side * z:.4g} up to it{there}"
            )
    return out


def traces(
    profiler: Profiles,
    zmax: float,
    which: Sequence[str] | str | None = None,
    progress: bool | None = None,
) -> ProfileResult:
    """The zeta traces of each parameter out to |zeta| = ``zmax`` on both sides."""
    t0 = time.perf_counter()
    probs = _selected(profiler.problems(), which)
    out: dict[str, pd.DataFrame] = {}
    notes: list[str] = []
    estimates = {}
    bar = progress_bar(progress, len(probs), "profile", "parameter")
    try:
        for prob in probs:
            estimates[prob.name] = prob.estimate
            if prob.flat:
                notes.append(
                    f"{prob.name}: a standard deviation is estimated at zero, so the profile is flat (not traced)"
                )
            else:
                prepare(profiler, prob)
                search = _Search(profiler, prob)
                search.trace(-1, zmax)
                search.trace(1, zmax)
                pts = sorted(search.points, key=lambda p: p.psi)
                out[prob.name] = pd.DataFrame(
                    {"value": [p.psi for p in pts], "zeta": [p.zeta for p in pts]}
                ).drop_duplicates("value")
            bar.update(1)
    finally:
        bar.close()
    return ProfileResult(
        traces=out,
        estimates=pd.Series(estimates, name="estimate"),
        scale="REML" if profiler.reml else "ML",
        evaluations=profiler.evaluations,
        seconds=time.perf_counter() - t0,
        notes=notes,
        profiler=profiler,
        criterion=profiler.criterion_name,
    )
