"""Plots of a fitted model, with matplotlib (the optional extra: ``pip install
quorvelkit[plot]``): the random effects with their conditional intervals (a caterpillar
plot), residuals against fitted values, a normal QQ plot of the random effects, and the
zeta plots of a profile. Each function returns the matplotlib ``Figure`` (built without
pyplot, so no window opens; ``fig.savefig(...)`` writes it, a notebook shows it).

The functions read only the fit's public results (``ranef``, ``cond_var``, ``fitted``,
``residuals``, ``sigma``) and a profile's ``traces``, so this module imports nothing
else from the package.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from .pvalues import normal_quantile

__all__ = ["caterpillar", "residuals_fitted", "qq_ranef", "profile_zeta"]


def _figure(
    n_panels: int, width: float = 4.0, height: float = 3.4, columns: int | None = None
) -> tuple[Any, list[Any]]:
    """A figure with ``n_panels`` axes in a grid (at most ``columns`` per row)."""
    try:
        from matplotlib.figure import Figure
    except ImportError:  # pragma: no cover - exercised only without the extra
        raise ImportError("plots need matplotlib: pip install quorvelkit[plot]") from None
    cols = max(1, min(n_panels, columns or n_panels))
    rows = max(1, math.ceil(n_panels / cols))
    fig = Figure(figsize=(width * cols, height * rows), layout="constrained")
    axes = [fig.add_subplot(rows, cols, i + 1) for i in range(n_panels)]
    return fig, axes


def _z(level: float) -> float:
    if not 0 < level < 1:
        raise ValueError(f"level must be between 0 and 1, got {level}")
    return float(normal_quantile(0.5 + level / 2))


def _factor(fit: Any, factor: str | None) -> str:
    """The grouping factor a plot of random effects draws: ``factor``, or the first."""
    names = [str(name) for name in fit.ranef]
    if factor is None:
        return names[0]
    if factor not in names:
        raise ValueError(f"the model has no grouping factor {factor!r}; it has {', '.join(map(repr, names))}")
    return factor


def caterpillar(fit: Any, level: float = 0.95, max_groups: int | None = 200, factor: str | None = None) -> Any:
    """The conditional modes of the random effects with their intervals, mode +- z
    sqrt(Var(b_i | y)) (lme4's ``dotplot(ranef(fit, condVar = TRUE))``): one panel per
    random effect, groups sorted by their mode. With more than ``max_groups`` groups an
    evenly spaced selection (always with both ends) is drawn, so the plot stays
    legible; ``None`` draws all. ``factor``: the grouping factor drawn (the first
    of :attr:`ranef` by default)."""
    z = _z(level)
    factor = _factor(fit, factor)
    ranef = fit.ranef[factor]
    cond = fit.cond_var[factor]
    fig, axes = _figure(ranef.shape[1], width=3.6, height=max(3.0, min(12.0, 0.12 * len(ranef) + 1.5)))
    for ax, name in zip(axes, ranef.columns, strict=True):
        mode = ranef[name].to_numpy(dtype=float)
        half = z * np.sqrt(np.maximum(cond[name].to_numpy(dtype=float), 0.0))
        order = np.argsort(mode, kind="stable")
        if max_groups is not None and order.size > max_groups:
            order = order[np.unique(np.linspace(0, order.size - 1, max_groups).round().astype(int))]
        pos = np.arange(order.size)
        ax.errorbar(mode[order], pos, xerr=half[order], fmt="o", markersize=3, elinewidth=0.8, color="tab:blue")
        ax.axvline(0.0, color="grey", linewidth=0.8, linestyle="--")
        if order.size <= 60:
            ax.set_yticks(pos, [str(v) for v in ranef.index[order]], fontsize=7)
        else:
            ax.set_yticks([])
        ax.set_title(str(name))
        ax.set_xlabel(f"conditional mode, {level:.0%} interval")
    axes[0].set_ylabel(str(ranef.index.name or "group"))
    return fig


def residuals_fitted(fit: Any) -> Any:
    """Residuals against fitted values (lme4's ``plot(fit)``), with a zero line and a
    band of +- 2 sigma."""
    fig, (ax,) = _figure(1, width=5.0, height=4.0)
    fitted = fit.fitted.to_numpy(dtype=float)
    resid = fit.residuals.to_numpy(dtype=float)
    ax.scatter(fitted, resid, s=8, alpha=0.6, color="tab:blue", edgecolors="none")
    ax.axhline(0.0, color="grey", linewidth=0.8)
    for sign in (-2.0, 2.0):
        ax.axhline(sign * fit.sigma, color="grey", linewidth=0.6, linestyle=":")
    ax.set_xlabel("fitted values")
    ax.set_ylabel("residuals")
    return fig


def qq_ranef(fit: Any, factor: str | None = None) -> Any:
    """A normal QQ plot of the conditional modes of each random effect of ``factor``
    (the first grouping factor by default), with the line through the quartiles
    (lme4's ``qqmath(ranef(fit))``)."""
    ranef = fit.ranef[_factor(fit, factor)]
    fig, axes = _figure(ranef.shape[1], width=3.8, height=3.6)
    for ax, name in zip(axes, ranef.columns, strict=True):
        vals = np.sort(ranef[name].to_numpy(dtype=float))
        m = vals.size
        theo = normal_quantile((np.arange(1, m + 1) - 0.5) / m)
        ax.scatter(theo, vals, s=10, color="tab:blue", edgecolors="none")
        q1, q3 = np.quantile(vals, [0.25, 0.75])
        t1, t3 = normal_quantile(np.array([0.25, 0.75]))
        if q3 > q1:
            slope = (q3 - q1) / (t3 - t1)
            ax.axline((t1, q1), slope=slope, color="grey", linewidth=0.8)
        ax.set_title(str(name))
        ax.set_xlabel("standard normal quantiles")
    axes[0].set_ylabel("conditional modes")
    return fig


def profile_zeta(profile: Any, levels: tuple[float, ...] = (0.5, 0.8, 0.9, 0.95, 0.99), columns: int = 4) -> Any:
    """zeta against each parameter (lme4's ``xyplot(profile(fit))``): one panel per
    traced parameter, the trace through the estimate, and the levels' -+ z as
    horizontal lines with their intervals marked. Straight traces mean the Wald
    approximation is good; bent ones mean it is not."""
    traces = profile.traces
    if not traces:
        raise ValueError("the profile holds no traces to plot")
    zs = [_z(lv) for lv in levels]
    fig, axes = _figure(len(traces), width=3.2, height=2.8, columns=columns)
    for ax, (name, tr) in zip(axes, traces.items(), strict=True):
        val = tr["value"].to_numpy(dtype=float)
        zeta = tr["zeta"].to_numpy(dtype=float)
        ok = np.isfinite(zeta)
        ax.plot(val[ok], zeta[ok], "-o", markersize=2.5, color="tab:blue", linewidth=1.0)
        for z in zs:
            for s in (-z, z):
                ax.axhline(s, color="grey", linewidth=0.5, linestyle=":")
        ax.axhline(0.0, color="grey", linewidth=0.6)
        ax.set_title(str(name), fontsize=9)
        ax.set_ylabel("zeta")
    return fig
