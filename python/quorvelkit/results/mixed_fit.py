"""What every fitted mixed model has, written once for :class:`~quorvelkit.LmmFit` and
:class:`~quorvelkit.GlmmFit`: its random effects (:class:`~quorvelkit.results.mixed_effects.MixedEffects`),
the rows used, the fixed effects with their standard errors and Wald intervals, and the
optimiser's verdict. A model class supplies where the core keeps Cov(beta)."""

from __future__ import annotations

import numpy as np
import pandas as pd

from ..formula.checks import interval_names
from .mixed_effects import MixedEffects
from .pvalues import normal_quantile

__all__ = ["MixedFit"]


class MixedFit(MixedEffects):
    """The base of every fit class (see :class:`~quorvelkit.LmmFit` and :class:`~quorvelkit.GlmmFit`)."""

    #: The key of the core's solution that holds the fixed effects' covariance.
    _cov_beta_key = "cov_beta"

    @property
    def nobs(self) -> int:
        """Number of observations used (after dropping rows with missing values; a
        linear model also leaves out rows of weight zero, a GLMM keeps rows of no
        trials, as glmer counts them)."""
        return self._design.n

    @property
    def n_dropped(self) -> int:
        """Number of rows dropped because of missing values in the columns used."""
        return self._design.n_dropped

    @property
    def dropped_columns(self) -> list[str]:
        """Fixed-effects columns dropped as aliased (rank deficiency)."""
        return list(self._design.dropped_columns)

    @property
    def fe_names(self) -> list[str]:
        """Names of the fixed-effects columns kept in the model."""
        return list(self._design.fe_names)

    @property
    def solution(self) -> dict:
        """The raw dictionary the core returned at the optimum (a copy)."""
        return dict(self._res)

    @property
    def fixef(self) -> pd.Series:
        """Fixed-effects estimates, by column name."""
        return pd.Series(np.asarray(self._res["beta"], dtype=float), index=self.fe_names, name="Estimate")

    params = fixef
    fe_params = fixef

    @property
    def se(self) -> pd.Series:
        """Standard errors of the fixed effects."""
        v = np.diag(np.asarray(self._res[self._cov_beta_key], dtype=float))
        return pd.Series(np.sqrt(v), index=self.fe_names, name="Std. Error")

    bse = se

    def _wald_intervals(self, level: float) -> pd.DataFrame:
        """Wald intervals of the fixed effects, estimate -+ z_(1+level)/2 x standard
        error, columns named as R's ("2.5 %", "97.5 %")."""
        zq = normal_quantile(0.5 + level / 2)
        lo, hi = interval_names(level)
        est, se = self.fixef.to_numpy(), self.se.to_numpy()
        return pd.DataFrame({lo: est - zq * se, hi: est + zq * se}, index=self.fe_names)

    @property
    def converged(self) -> bool:
        """Whether the optimiser reported convergence."""
        return bool(self._res["converged"])
