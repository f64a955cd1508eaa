"""The random effects of a fitted mixed model, written once for every model class
(:class:`~quorvelkit.LmmFit` of one grouping factor or several, and
:class:`~quorvelkit.GlmmFit`): the grouping factors and their levels, the terms in
lme4's order (:func:`quorvelkit.cores.crossed_core.terms_in_lme4_order`), the variance
components and the conditional modes and covariances.

A model class supplies only what differs: the core's modes and conditional
covariances, one array per factor in the core's order (that of
``ThetaLayout.factor_order``), and the scale of the random effects' covariance (sigma^2
for a linear model, 1 for a GLMM of these families) with the residual's row of
``varcorr``.
"""

from __future__ import annotations

import functools
import math
from typing import Any

import numpy as np
import pandas as pd

from ..cores.crossed_core import CrossedTerm, block_lambda, terms_in_lme4_order
from ..formula.grouping import ThetaLayout
from ..model.design import Design, theta_layout_of
from ..support.errors import SINGULAR_TOL
from ..support.labels import levels_by_value
from .predict import group_index

__all__ = ["MixedEffects"]


def _correlations(cov: np.ndarray) -> np.ndarray:
    """The correlations of a covariance matrix (NaN where a standard deviation is 0;
    1 on the diagonal)."""
    sd = np.sqrt(np.diag(cov))
    with np.errstate(invalid="ignore", divide="ignore"):
        corr: np.ndarray = cov / np.outer(sd, sd)
    np.fill_diagonal(corr, 1.0)
    return corr


class MixedEffects:
    """The random-effects results of a fitted mixed model (a base of every fit class).

    Shape, one for every model class and for one grouping factor as for several (that
    of lme4's ``ranef``, ``coef`` and ``ngrps`` and of MixedModels.jl, which list their
    results by factor even for one): :attr:`ranef`, :attr:`cond_var`, :attr:`coef`,
    :attr:`cond_cov`, :attr:`levels` and :attr:`ngroups` are dicts from each factor's
    name, in lme4's order of factors, to that factor's own: a DataFrame with a row per
    level (indexed by the levels, the index named after the factor) and a column per
    random effect, an array of shape (levels, q, q), an Index, a number. A factor's
    columns are its terms' in lme4's order, and its conditional covariances include
    those between its terms. One factor's results are ``fit.ranef["Subject"]``.
    :attr:`theta`, :attr:`re_terms` and :attr:`varcorr` follow
    lme4's order of terms; :attr:`cov_re`, :attr:`sd_re` and :attr:`corr_re` are
    indexed by the random effects' names for one factor and by (term, column) for
    several, where names repeat across factors.
    """

    _design: Design
    _res: dict[str, Any]

    # ------------------------------------------------------------- what a model class supplies
    def _factor_modes(self) -> list[np.ndarray]:
        """The conditional modes, per factor in the core's order: (levels, columns)."""
        raise NotImplementedError

    def _factor_cond_covs(self) -> list[np.ndarray]:
        """The conditional covariances, per factor in the core's order: (levels, q, q)."""
        raise NotImplementedError

    @property
    def _scale2(self) -> float:
        """The scale of the random effects' covariance, scale2 Lambda Lambda'."""
        return 1.0

    def _cov_re_values(self) -> np.ndarray:
        lam = self.lambda_matrix
        cov: np.ndarray = self._scale2 * (lam @ lam.T)
        return cov

    def _residual_rows(self) -> list[dict[str, Any]]:
        """The rows of :attr:`varcorr` after the terms' (none without a residual scale)."""
        return []

    # ------------------------------------------------------------- structure
    @functools.cached_property
    def _layout(self) -> ThetaLayout:
        return theta_layout_of(self._design)

    @functools.cached_property
    def _terms(self) -> list[CrossedTerm]:
        """The terms in lme4's order (computed once)."""
        return terms_in_lme4_order(self._design, self._layout)

    @property
    def _several(self) -> bool:
        return len(self._design.spec.factors) > 1

    def _by_factor(self, per_factor: list[Any]) -> dict[str, Any]:
        """The one shape of every per-factor result (see the class): a dict by factor."""
        return dict(zip(self.factor_names, per_factor, strict=True))

    @property
    def factor_names(self) -> list[str]:
        """The grouping factors' names, in lme4's order (that of :attr:`ranef`)."""
        return [self._design.spec.factors[i].name for i in self._layout.factor_order]

    @property
    def group_name(self) -> str:
        """The grouping factor's name (several: their names in lme4's order, joined by ", ")."""
        return ", ".join(self.factor_names)

    @property
    def _levels(self) -> list[pd.Index]:
        """Each factor's levels in the core's order, named after the factor."""
        lv = self._design.factor_levels or (self._design.levels,)
        return [lv[i].rename(self._design.spec.factors[i].name) for i in self._layout.factor_order]

    @property
    def levels(self) -> dict[str, pd.Index]:
        """The levels of each grouping factor, in the order of :attr:`ranef`'s rows."""
        return self._by_factor(self._levels)

    @property
    def ngroups(self) -> dict[str, int]:
        """The number of levels of each grouping factor (lme4's ``ngrps``)."""
        return self._by_factor([len(lv) for lv in self._levels])

    @property
    def re_terms(self) -> list[tuple[str, list[str]]]:
        """The random-effects terms in lme4's order, one per block of Lambda, as (name,
        columns) pairs: a factor's name for its first term and, as lme4 names them, the
        name with ".1", ".2", ... for its others (``[("Chick", ["(Intercept)"]),
        ("Chick.1", ["Time"])]`` for ``(Time || Chick)``). Terms are uncorrelated."""
        return [(t.name, list(t.columns)) for t in self._terms]

    @property
    def re_names(self) -> list[str]:
        """The random-effects columns, term by term in lme4's order (e.g.
        ``["(Intercept)", "Days"]``; names may repeat across factors)."""
        return [c for t in self._terms for c in t.columns]

    def _factor_columns(self, k: int) -> tuple[list[str], list[int]]:
        """The k-th factor's columns (core order) as :attr:`ranef` lists them (its terms
        in lme4's order) and their places among that factor's columns in the core."""
        names: list[str] = []
        at: list[int] = []
        for t in self._terms:
            if t.factor == k:
                names += t.columns
                at += t.at
        return names, at

    # ------------------------------------------------------------- variance components
    @property
    def theta(self) -> np.ndarray:
        """The free entries of the relative covariance factor Lambda: its lower
        triangle, column by column, within each term of :attr:`re_terms` in turn
        (lme4's ``getME(fit, "theta")``); entries between terms are zero."""
        return np.array(self._res["theta"], dtype=float)

    @property
    def lambda_matrix(self) -> np.ndarray:
        """Lambda's template: block diagonal, one lower-triangular block per term in
        lme4's order (each block repeats for every level of its factor)."""
        return block_lambda(self.theta, [len(t.columns) for t in self._terms])

    @property
    def is_singular(self) -> bool:
        """True when a diagonal entry of Lambda is at zero (below 1e-4, lme4's
        ``isSingular`` tolerance): a boundary fit."""
        return bool(np.any(np.abs(np.diag(self.lambda_matrix)) < SINGULAR_TOL))

    def _re_index(self) -> pd.Index:
        if not self._several:
            return pd.Index(self.re_names)
        return pd.MultiIndex.from_tuples([(t.name, c) for t in self._terms for c in t.columns], names=["grp", "name"])

    @property
    def cov_re(self) -> pd.DataFrame:
        """Covariances of the random effects, scale^2 Lambda Lambda' (sigma^2 for a
        linear model, 1 for a GLMM), term by term (zero between terms)."""
        idx = self._re_index()
        return pd.DataFrame(self._cov_re_values(), index=idx, columns=idx)

    @property
    def sd_re(self) -> pd.Series:
        """Standard deviations of the random effects."""
        frame = self.cov_re
        return pd.Series(np.sqrt(np.diag(frame.to_numpy())), index=frame.index, name="Std.Dev.")

    @property
    def corr_re(self) -> pd.DataFrame:
        """Correlation matrix of the random effects (NaN where a standard deviation is 0),
        labelled as :attr:`cov_re`."""
        idx = self._re_index()
        return pd.DataFrame(_correlations(self._cov_re_values()), index=idx, columns=idx)

    @property
    def varcorr(self) -> pd.DataFrame:
        """Variance components as a table, like lme4's ``as.data.frame(VarCorr(fit))``.

        Columns: ``grp``, ``var1``, ``var2``, ``vcov`` (variance or covariance) and
        ``sdcor`` (standard deviation, or correlation for a covariance row). Rows, term
        by term (:attr:`re_terms`, whose names are ``grp``): the variance of each of its
        random effects, then each covariance (var1, var2) within it; then the residual
        (a linear model's; a GLMM of these families has none). Terms are uncorrelated
        with each other, so no row pairs effects of two terms.
        """
        names = self.re_names
        cov = self._cov_re_values()
        corr = _correlations(cov)
        rows: list[dict[str, Any]] = []
        start = 0
        for t in self._terms:
            idx = range(start, start + len(t.columns))
            start += len(t.columns)
            for i in idx:
                rows.append(
                    dict(grp=t.name, var1=names[i], var2=None, vcov=cov[i, i], sdcor=math.sqrt(max(cov[i, i], 0.0)))
                )
            for i in idx:
                for j in idx:
                    if j > i:
                        rows.append(dict(grp=t.name, var1=names[i], var2=names[j], vcov=cov[i, j], sdcor=corr[i, j]))
        rows += self._residual_rows()
        return pd.DataFrame(rows, columns=["grp", "var1", "var2", "vcov", "sdcor"])

    # ------------------------------------------------------------- random effects
    @property
    def ranef(self) -> dict[str, pd.DataFrame]:
        """Conditional modes of the random effects (lme4's ``ranef``): per grouping
        factor, a DataFrame with a row per level and a column per random effect."""
        out = []
        for k, b in enumerate(self._factor_modes()):
            cols, at = self._factor_columns(k)
            out.append(pd.DataFrame(b[:, at], index=self._levels[k], columns=cols))
        return self._by_factor(out)

    random_effects = ranef

    @property
    def cond_cov(self) -> dict[str, np.ndarray]:
        """Conditional covariances Var(b | y) per grouping factor, arrays of shape
        (levels, q, q) whose first axis follows :attr:`levels` (lme4's
        ``attr(ranef(fit), "postVar")``; a factor's terms together)."""
        out = []
        for k, c in enumerate(self._factor_cond_covs()):
            _, at = self._factor_columns(k)
            out.append(np.ascontiguousarray(c[:, at][:, :, at]))
        return self._by_factor(out)

    @property
    def cond_var(self) -> dict[str, pd.DataFrame]:
        """Conditional variances (the diagonals of :attr:`cond_cov`), per factor by level and effect."""
        out = []
        for k, c in enumerate(self._factor_cond_covs()):
            cols, at = self._factor_columns(k)
            var = np.diagonal(np.ascontiguousarray(c[:, at][:, :, at]), axis1=1, axis2=2).copy()
            out.append(pd.DataFrame(var, index=self._levels[k], columns=cols))
        return self._by_factor(out)

    @property
    def coef(self) -> dict[str, pd.DataFrame]:
        """Coefficients per level of each factor (lme4's ``coef``): every fixed effect,
        plus the factor's random effect of that name where it has one, then the
        factor's other random effects."""
        fe = self._res["beta"]
        fe_names = list(self._design.fe_names)
        out = []
        for re in self.ranef.values():
            frame = pd.DataFrame(index=re.index)
            for j, col in enumerate(fe_names):
                frame[col] = float(fe[j]) + (re[col] if col in re.columns else 0.0)
            for col in re.columns:
                if col not in frame.columns:
                    frame[col] = re[col]
            out.append(frame)
        return self._by_factor(out)

    # ------------------------------------------------------------- rows of new data
    def _add_random_part(
        self, vals: np.ndarray, z: np.ndarray, codes: list[np.ndarray], modes: list[np.ndarray] | None = None
    ) -> np.ndarray:
        """``vals`` plus, factor by factor in the core's order, Z_j b_j of rows with Z
        ``z`` (every factor's columns) and the factor's level codes ``codes[j]`` (-1:
        a level the fit has not, which adds nothing). ``vals`` is updated in place."""
        spans = self._design.spec.factor_columns()
        for i, b, idx in zip(self._layout.factor_order, modes or self._factor_modes(), codes, strict=True):
            known = idx >= 0
            if known.all():
                vals += np.einsum("ij,ij->i", z[:, spans[i]], b[idx])
            else:
                vals[known] += np.einsum("ij,ij->i", z[known][:, spans[i]], b[idx[known]])
        return vals

    def _new_levels(self, frame: pd.DataFrame, allow_new_levels: bool) -> list[np.ndarray]:
        """Each row's level of every factor (the core's order), -1 for a new or missing
        label; unseen labels are refused unless ``allow_new_levels``."""
        d = self._design
        out = []
        for i, levels in zip(self._layout.factor_order, self._levels, strict=True):
            factor = d.spec.factors[i]
            missing = [c for c in factor.columns if c not in frame.columns]
            if missing:
                raise ValueError(f"newdata lacks the column(s) {', '.join(missing)}")
            table = levels_by_value(levels, len(factor.columns))
            idx = group_index(d, frame, functools.partial(dict, table), factor.columns, levels)
            if not allow_new_levels and (idx < 0).any():
                labels = frame[list(factor.columns)].astype(str).agg(":".join, axis=1).to_numpy()
                unseen = pd.unique(labels[idx < 0])
                shown = ", ".join(repr(v) for v in unseen[:5])
                more = f" and {len(unseen) - 5} more" if len(unseen) > 5 else ""
                raise ValueError(
                    f"newdata has levels of '{factor.name}' not in the fit: {shown}{more}; pass "
                    "allow_new_levels=True for population-level predictions of those rows"
                )
            out.append(idx)
        return out
