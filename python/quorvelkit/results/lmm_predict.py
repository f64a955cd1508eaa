"""Predictions of a fitted linear mixed model, with confidence and prediction
intervals, for one grouping factor and for several (:class:`LmmPrediction`, a base of
:class:`~quorvelkit.LmmFit`)."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from ..formula.checks import check_flag, check_level, check_weights
from ..support.frames import to_frame
from ..support.labels import label_text, levels_by_value
from .estimates import FitResults
from .predict import add_group_draw, group_cross_products, interval_bounds, interval_table, model_rows, predict
from .pvalues import normal_quantile

__all__ = ["LmmPrediction"]


class LmmPrediction(FitResults):
    """:meth:`predict` of :class:`~quorvelkit.LmmFit` (which documents the fit)."""

    def predict(
        self,
        newdata: Any = None,
        re: bool = True,
        allow_new_levels: bool = False,
        interval: str | None = None,
        level: float = 0.95,
    ) -> pd.Series | pd.DataFrame:
        """Predictions for ``newdata`` (the data used for the fit when ``None``).

        With ``re=True`` a row of a group seen in the fit gets the fixed part plus its
        group's random effects, X beta + Z b. A group label the fit has not seen (a new
        group, a typo, another spelling) or a missing label raises ``ValueError`` naming
        the labels, as lme4 does; with ``allow_new_levels=True`` such rows get the
        population-level prediction X beta. Labels match by value across text and
        numbers where that is unambiguous: "308", 308 and 308.0 are one label unless
        the fit has more than one of them. With ``re=False`` every row gets X beta.
        Rows with missing predictor values get NaN. The result is indexed like
        ``newdata``: a Series, or with ``interval`` a DataFrame with columns "fit",
        "lwr" and "upr" (R's names).

        Intervals, fit -+ z sqrt(v) with z the normal quantile at ``level``, at the
        estimated variance parameters (their own uncertainty is not included).
        ``interval="confidence"`` covers the row's conditional mean mu = x0'beta +
        z0'b_i, v = Var(x0'(beta^ - beta) + z0'(b^_i - b_i)); ``"prediction"`` covers a
        new observation y0 = mu + e, v + sigma^2. For a group of the fit, with
        C = Cov(beta^), K_i = Lambda (Lambda'Z_i'Z_i Lambda + I)^-1 Lambda' (so
        sigma^2 K_i = Var(b_i | y, beta), :attr:`cond_cov`) and u = X_i'Z_i K_i z0
        (Henderson's mixed-model equations, whose inverse holds the prediction errors'
        covariance):

            Var(b^_i - b_i)                = sigma^2 K_i + K_i Z_i'X_i C X_i'Z_i K_i
            Cov(beta^ - beta, b^_i - b_i) = -C X_i'Z_i K_i
            v = x0'C x0 + sigma^2 z0'K_i z0 + u'C u - 2 x0'C u.

        A new group's b is a fresh draw, independent of the data: v = x0'C x0 +
        z0'Sigma z0 with Sigma = :attr:`cov_re` (the population level plus the
        random-effect variance). With ``re=False`` the confidence interval is that of
        the population-level mean, v = x0'C x0, and the prediction interval that of a
        new observation of a new group, x0'C x0 + z0'Sigma z0 + sigma^2.

        Every prediction includes the rows' offset (the formula's ``offset()`` terms
        and an offset column, read from ``newdata``). With prior weights W, Z_i'Z_i and
        X_i'Z_i above are Z_i'W_iZ_i and X_i'W_iZ_i, and a new observation's residual
        variance is sigma^2 / w, w read from the weights column of ``newdata`` (the
        fit's own weights when ``newdata`` is None).

        Several grouping factors: ``re`` adds each factor's Z_j b_j for the row's level
        of that factor; with ``allow_new_levels`` a factor whose level is new adds
        nothing to the row, each factor on its own. ``"confidence"`` then covers
        v = Var(x0'(beta^ - beta) + sum_j z0_j'(b^_j - b_j)) over the factors whose
        level the fit has, from Henderson's mixed-model equations: sigma^2 v0'A^-1 v0
        with A the system the fit factors and v0 = [Lambda_j'z0_j at each such level;
        x0] (so a fit without its rows gives intervals of new data); a factor whose
        level is new adds its fresh draw z0_j'Sigma_j z0_j.
        """
        check_flag("allow_new_levels", allow_new_levels)
        if newdata is None:
            self._design.need_rows("predict() without newdata")
        if self._several:
            if interval is not None:
                if interval not in ("confidence", "prediction"):
                    raise ValueError(f"interval must be 'confidence', 'prediction' or None, got {interval!r}")
                check_level(level)
            return self._predict_by_factor(newdata, bool(re), allow_new_levels, interval, level)
        if interval is not None:
            if interval not in ("confidence", "prediction"):
                raise ValueError(f"interval must be 'confidence', 'prediction' or None, got {interval!r}")
            check_level(level)
            # one factor's intervals take the groups' cross-products Z_i'X_i of the rows
            self._design.need_rows(f"a {interval} interval")
        beta = np.asarray(self._res["beta"], dtype=float)
        b = np.asarray(self._res["random_effects"], dtype=float)
        if interval is None:
            return predict(
                self._design,
                beta,
                b,
                newdata,
                re=re,
                allow_new_levels=allow_new_levels,
                by_value=self._levels_by_value,
            )
        index, x_new, z_new, idx, ok, off = model_rows(
            self._design, newdata, re=bool(re), allow_new_levels=allow_new_levels, by_value=self._levels_by_value
        )
        weights = self._new_weights(newdata, ok) if interval == "prediction" else None
        fit_values = x_new @ beta + off
        known = idx >= 0
        fit_values[known] += np.einsum("ij,ij->i", z_new[known], b[idx[known]])
        if self._ztx is None:
            self._ztx = group_cross_products(self._design)
        lwr, upr = interval_table(
            fit_values,
            x_new,
            z_new,
            idx,
            cov_beta=self.cov_fixef.to_numpy(),
            cond_cov=self._factor_cond_covs()[0],
            ztx=self._ztx,
            cov_re=self.cov_re.to_numpy(),
            sigma2=self.sigma2,
            prediction=interval == "prediction",
            weights=weights,
            z=normal_quantile(0.5 + level / 2),
            group_draw=bool(re) or interval == "prediction",
        )
        out = pd.DataFrame(np.nan, index=index, columns=["fit", "lwr", "upr"])
        out.loc[ok, "fit"] = fit_values
        out.loc[ok, "lwr"] = lwr
        out.loc[ok, "upr"] = upr
        return out

    def _new_weights(self, newdata: Any, ok: np.ndarray) -> np.ndarray | None:
        """The prior weights of the rows a prediction interval is for (``None`` for a fit
        without weights): the fit's own, or those of the weights column in ``newdata``."""
        design = self._design
        if not design.weighted:
            return None
        if newdata is None:
            return design.weights
        if design.spec.weights_column is None:
            raise ValueError(
                "the model's weights were given as an array, which new data cannot supply; fit it with "
                "weights=COLUMN for prediction intervals of new data"
            )
        frame = to_frame(newdata)
        if design.spec.weights_column not in frame.columns:
            raise ValueError(
                f"newdata lacks the weights column {design.spec.weights_column!r}, which prediction intervals need"
            )
        w: np.ndarray = pd.to_numeric(frame[design.spec.weights_column]).to_numpy(dtype=float)[ok]
        check_weights(w, lambda k: f"row {label_text(frame.index[ok][k])}")
        return w

    def _levels_by_value(self) -> dict[Any, int]:
        """The levels by the value of their label (computed once, when first needed)."""
        if self._by_value is None:
            self._by_value = levels_by_value(self._design.levels, len(self._design.parsed.group))
        return self._by_value

    def _predict_by_factor(
        self, newdata: Any, re: bool, allow_new_levels: bool, interval: str | None, level: float
    ) -> pd.Series | pd.DataFrame:
        """:meth:`predict` of a model of several grouping factors (the arguments checked)."""
        d = self._design
        beta = np.asarray(self._res["beta"], dtype=float)
        if newdata is None:
            if re:
                fit = self.fitted.rename("predicted")
            else:
                off = d.offset if d.offset is not None else 0.0
                fit = pd.Series(d.x @ beta + off, index=d.row_index, name="predicted")
            if interval is None:
                return fit
            rows = d.need_rows(f"a {interval} interval")
            idx = [rows.factor_codes[i] if re else np.full(d.n, -1, np.int64) for i in self._layout.factor_order]
            everything = np.ones(d.n, bool)
            return self._intervals_by_factor(
                fit.to_numpy(), d.x, d.z, idx, everything, fit.index, interval, level, None, re
            )
        index, ok, x_new, z_new, idx, vals = self._new_rows(newdata, re, allow_new_levels)
        if interval is not None:
            return self._intervals_by_factor(vals, x_new, z_new, idx, ok, index, interval, level, newdata, re)
        return self._predicted(index, ok, vals)

    def _intervals_by_factor(
        self,
        fit_values: np.ndarray,
        x_new: np.ndarray,
        z_new: np.ndarray,
        idx: list[np.ndarray],
        ok: np.ndarray,
        index: pd.Index,
        interval: str,
        level: float,
        newdata: Any,
        re: bool,
    ) -> pd.DataFrame:
        """The DataFrame of :meth:`predict` with an interval: the rows ``ok`` of ``index``
        have the fitted values ``fit_values``, X ``x_new``, Z ``z_new`` and per factor
        (the core's order) the levels ``idx``. A new level's random effects are a fresh
        draw, in a confidence interval with ``re`` as in every prediction interval."""
        prediction = interval == "prediction"
        weights = self._new_weights(newdata, ok) if prediction else None
        spans = [self._design.spec.factor_columns()[i] for i in self._layout.factor_order]
        zs = [np.ascontiguousarray(z_new[:, s], dtype=float) for s in spans]
        levels = [np.ascontiguousarray(v, dtype=np.int64) for v in idx]
        x0 = np.ascontiguousarray(x_new, dtype=float)
        var = self.sigma2 * self._crossed.prediction_variance(self.theta, x0, levels, zs, reml=self.reml)
        if re or prediction:
            for zk, lam, v in zip(zs, self._crossed.factor_lambdas(self.theta), idx, strict=True):
                add_group_draw(var, zk, v < 0, self.sigma2 * (lam @ lam.T))
        lwr, upr = interval_bounds(
            fit_values,
            var,
            sigma2=self.sigma2,
            prediction=prediction,
            weights=weights,
            z=float(normal_quantile(0.5 + level / 2)),
        )
        out = pd.DataFrame(np.nan, index=index, columns=["fit", "lwr", "upr"])
        out.loc[ok, "fit"] = fit_values
        out.loc[ok, "lwr"] = lwr
        out.loc[ok, "upr"] = upr
        return out
