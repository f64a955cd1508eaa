"""Models whose random-effects terms sit on several grouping factors, crossed or nested:
the fit's estimates factor by factor (:class:`CrossedFit`) and its simulations, on the
crossed core, which takes and returns theta in lme4's layout (:mod:`quorvelkit.cores.crossed_core`).
"""

from __future__ import annotations

import functools
import warnings
from typing import Any

import numpy as np
import pandas as pd

from .._quorvelkit import CrossedCore
from ..cores.crossed_core import CrossedTerm, block_lambda, terms_in_lme4_order
from ..formula.checks import check_flag, check_level
from ..formula.grouping import ThetaLayout
from ..model.design import Design, theta_layout_of
from ..results import bootstrap as _bootstrap
from ..results import profile as _profile
from ..support.errors import SingularFitWarning
from ..support.frames import to_frame
from ..support.labels import levels_by_value
from .lmm_fit import LmmFit
from .predict import add_group_draw, group_index, interval_bounds, model_rows
from .pvalues import normal_quantile

__all__ = ["CrossedFit", "CrossedSimulator"]


class CrossedSimulator:
    """Draws responses from a crossed fit: y* = X beta + o + sum_j Z_j b*_j + e, with
    b*_j = sigma Lambda_j u for standard normal u, level by level of each factor in the
    core's order, then e_r = sigma e0_r / sqrt(w_r) (the one-factor simulator's stream:
    the random effects' normals first, then the residuals')."""

    def __init__(self, design: Design, beta: np.ndarray, sigma: float, factors: list[Any]) -> None:
        self.mean = design.x @ beta
        if design.offset is not None:
            self.mean = self.mean + design.offset
        self.scale = sigma if design.weights is None else sigma / np.sqrt(design.weights)
        self.factors = [(z, codes, m, (sigma * lam).T) for z, codes, m, lam in factors]
        self.n = design.n
        self.width = sum(m * z.shape[1] for z, _, m, _ in factors) + self.n

    def draw_many(self, rng: np.random.Generator, k: int) -> np.ndarray:
        """``k`` simulated responses, shape (k, n)."""
        normals = rng.standard_normal((k, self.width))
        y = self.mean + self.scale * normals[:, self.width - self.n :]
        at = 0
        for z, codes, m, lam_t in self.factors:
            q = z.shape[1]
            b = normals[:, at : at + m * q].reshape(k, m, q) @ lam_t
            y = y + np.einsum("ij,kij->ki", z, b[:, codes, :])
            at += m * q
        return np.ascontiguousarray(y)


class CrossedFit(LmmFit):
    """A fitted linear mixed model whose random-effects terms sit on several grouping
    factors (returned by :func:`lmm`). It has the attributes of :class:`LmmFit`; those of
    the random effects are per factor, as lme4 gives them:

    - :attr:`ranef`, :attr:`cond_cov`, :attr:`cond_var`, :attr:`coef`, :attr:`levels`
      and :attr:`ngroups` map each grouping factor's name to its own (lme4's lists);
    - :attr:`theta`, :attr:`re_terms`, :attr:`varcorr` follow lme4's order of terms, and
      :attr:`cov_re`, :attr:`sd_re`, :attr:`corr_re` are indexed by (term, column).
    """

    _core: CrossedCore  # type: ignore[assignment]

    # ------------------------------------------------------------- structure
    @functools.cached_property
    def _layout(self) -> ThetaLayout:
        return theta_layout_of(self._design)

    @functools.cached_property
    def _terms(self) -> list[CrossedTerm]:
        """The terms in lme4's order (computed once)."""
        return terms_in_lme4_order(self._design, self._layout)

    @property
    def factor_names(self) -> list[str]:
        """The grouping factors' names, in lme4's order (that of ``ranef``)."""
        return [self._design.spec.factors[i].name for i in self._layout.factor_order]

    @property
    def group_name(self) -> str:
        """The grouping factors' names, joined by ", "."""
        return ", ".join(self.factor_names)

    @property
    def ngroups(self) -> dict[str, int]:  # type: ignore[override]
        """The number of levels of each grouping factor (lme4's ``ngrps``)."""
        return {name: int(m) for name, m in zip(self.factor_names, self._core.m, strict=True)}

    @property
    def levels(self) -> dict[str, pd.Index]:  # type: ignore[override]
        """The levels of each grouping factor."""
        lv = self._design.factor_levels
        return {self._design.spec.factors[i].name: lv[i] for i in self._layout.factor_order}

    @property
    def re_terms(self) -> list[tuple[str, list[str]]]:
        """The random-effects terms in lme4's order, as (name, columns): a factor's
        name for its first term, with ".1", ".2", ... for its others."""
        return [(t.name, list(t.columns)) for t in self._terms]

    @property
    def re_names(self) -> list[str]:
        """The random-effects columns, term by term in lme4's order (names repeat
        across terms: see :attr:`cov_re`'s index)."""
        return [c for t in self._terms for c in t.columns]

    def _re_index(self) -> pd.MultiIndex:
        return pd.MultiIndex.from_tuples([(t.name, c) for t in self._terms for c in t.columns], names=["grp", "name"])

    # ------------------------------------------------------------- variance components
    @property
    def lambda_matrix(self) -> np.ndarray:
        """The relative covariance factor's template: block diagonal, one lower-triangular
        block per term in lme4's order (each block repeats for every level of its factor)."""
        return block_lambda(self.theta, self._core.term_sizes)

    @property
    def cov_re(self) -> pd.DataFrame:
        """Covariances of the random effects, sigma^2 Lambda Lambda', term by term
        (zero between terms), indexed by (term, column)."""
        lam = self.lambda_matrix
        idx = self._re_index()
        return pd.DataFrame(self.sigma2 * (lam @ lam.T), index=idx, columns=idx)

    # ------------------------------------------------------------- random effects
    def _factor_columns(self, k: int) -> tuple[list[str], list[int]]:
        """The columns of the k-th factor (core order) as lme4's ranef lists them (its
        terms in lme4's order) and their places among the core's columns."""
        names: list[str] = []
        at: list[int] = []
        for t in self._terms:
            if t.factor == k:
                names += t.columns
                at += t.at
        return names, at

    def _per_factor(self, key: str) -> dict[str, tuple[np.ndarray, list[str], list[int]]]:
        if self._res.get(key, 0) is None:  # the conditional variances, computed when first asked for
            self._res[key] = dict(self._core.solution(self.theta, self.reml))[key]
        out = {}
        for k, name in enumerate(self.factor_names):
            cols, at = self._factor_columns(k)
            out[name] = (np.asarray(self._res[key][k], dtype=float), cols, at)
        return out

    @property
    def ranef(self) -> dict[str, pd.DataFrame]:  # type: ignore[override]
        """Conditional modes of the random effects: per grouping factor (in lme4's
        order), a DataFrame with a row per level and a column per random effect."""
        levels = self.levels
        return {
            name: pd.DataFrame(values[:, at], index=levels[name], columns=cols)
            for name, (values, cols, at) in self._per_factor("random_effects").items()
        }

    random_effects = ranef  # type: ignore[assignment]

    @property
    def cond_cov(self) -> dict[str, np.ndarray]:  # type: ignore[override]
        """Conditional covariances Var(b | y) per grouping factor, arrays of shape
        (levels, q, q) (lme4's ``postVar``; a factor's terms together, covariances
        between its terms included)."""
        return {
            name: np.ascontiguousarray(values[:, at][:, :, at])
            for name, (values, cols, at) in self._per_factor("cond_var").items()
        }

    @property
    def cond_var(self) -> dict[str, pd.DataFrame]:  # type: ignore[override]
        """Conditional variances (the diagonals of :attr:`cond_cov`), per factor."""
        levels = self.levels
        out = {}
        for name, cc in self.cond_cov.items():
            cols, _ = self._factor_columns(self.factor_names.index(name))
            out[name] = pd.DataFrame(np.diagonal(cc, axis1=1, axis2=2).copy(), index=levels[name], columns=cols)
        return out

    @property
    def coef(self) -> dict[str, pd.DataFrame]:  # type: ignore[override]
        """Coefficients per level of each factor (lme4's ``coef``): every fixed effect,
        plus the factor's random effect where it has one of that name."""
        fe = self.fixef
        out = {}
        for name, re in self.ranef.items():
            frame = pd.DataFrame(index=re.index)
            for col in self.fe_names:
                frame[col] = fe[col] + (re[col] if col in re.columns else 0.0)
            for col in re.columns:
                if col not in frame.columns:
                    frame[col] = re[col]
            out[name] = frame
        return out

    @property
    def needs_rows(self) -> tuple[str, ...]:
        """What raises :class:`RowsUnavailable` on this fit: that of :class:`LmmFit`,
        except prediction intervals for new data, which need the factorisation only."""
        return tuple(what for what in super().needs_rows if what != "prediction intervals")

    # ------------------------------------------------------------- fitted values
    @property
    def fitted(self) -> pd.Series:
        """Fitted values X beta + sum over factors of Z_j b_j (plus the offset)."""
        d = self._design
        rows = d.need_rows("fitted")
        vals = rows.x @ np.asarray(self._res["beta"], dtype=float)
        spans = d.spec.factor_columns()
        for k, i in enumerate(self._layout.factor_order):
            b = np.asarray(self._res["random_effects"][k], dtype=float)
            vals = vals + np.einsum("ij,ij->i", rows.z[:, spans[i]], b[rows.factor_codes[i]])
        if d.offset is not None:
            vals = vals + d.offset
        return pd.Series(vals, index=d.row_index, name="fitted")

    fittedvalues = fitted

    # ------------------------------------------------------------- prediction
    def predict(
        self,
        newdata: Any = None,
        re: bool = True,
        allow_new_levels: bool = False,
        interval: str | None = None,
        level: float = 0.95,
    ) -> pd.Series | pd.DataFrame:
        """Predictions for ``newdata`` (the data of the fit when None): X beta plus, with
        ``re``, each factor's Z_j b_j for the row's level of that factor, plus the
        offset. A label a factor has not seen (or a missing one) raises ``ValueError``
        naming it, as lme4 does; with ``allow_new_levels=True`` that factor adds nothing
        to the row (its population level), each factor on its own. Rows with a missing
        predictor get NaN.

        ``interval`` and ``level`` are those of :meth:`LmmFit.predict`, with the same
        columns "fit", "lwr" and "upr": ``"confidence"`` covers the row's conditional
        mean, v = Var(x0'(beta^ - beta) + sum_j z0_j'(b^_j - b_j)) over the factors
        whose level the fit has, from the joint covariance of the estimates and the
        conditional modes (Henderson's mixed-model equations: sigma^2 v0'A^-1 v0 with
        A the system the fit factors and v0 = [Lambda_j'z0_j at each such level; x0]);
        a factor whose level is new adds its fresh draw z0_j'Sigma_j z0_j.
        ``"prediction"`` adds a new observation's sigma^2 / w. With ``re=False`` every
        level counts as new: the confidence interval is that of X beta, and the
        prediction interval adds every factor's draw and sigma^2 / w."""
        check_flag("allow_new_levels", allow_new_levels)
        d = self._design
        if newdata is None:
            d.need_rows("predict() without newdata")
        if interval is not None:
            if interval not in ("confidence", "prediction"):
                raise ValueError(f"interval must be 'confidence', 'prediction' or None, got {interval!r}")
            check_level(level)
        beta = np.asarray(self._res["beta"], dtype=float)
        if newdata is None:
            if re:
                fit = self.fitted.rename("predicted")
            else:
                off = d.offset if d.offset is not None else 0.0
                fit = pd.Series(d.x @ beta + off, index=d.row_index, name="predicted")
            if interval is None:
                return fit
            rows = d.need_rows("a prediction interval")
            idx = [rows.factor_codes[i] if re else np.full(d.n, -1, np.int64) for i in self._layout.factor_order]
            everything = np.ones(d.n, bool)
            return self._intervals(fit.to_numpy(), d.x, d.z, idx, everything, fit.index, interval, level, None, re)
        index, x_new, z_new, _, ok, off = model_rows(d, newdata, re=False, allow_new_levels=True, by_value=dict)
        vals = x_new @ beta + off
        spans = d.spec.factor_columns()
        idx = [np.full(len(x_new), -1, np.int64) for _ in spans]
        if re:
            idx = self._new_levels(to_frame(newdata).loc[ok], allow_new_levels)
            for k, i in enumerate(self._layout.factor_order):
                b = np.asarray(self._res["random_effects"][k], dtype=float)
                known = idx[k] >= 0
                vals[known] += np.einsum("ij,ij->i", z_new[known][:, spans[i]], b[idx[k][known]])
        if interval is not None:
            return self._intervals(vals, x_new, z_new, idx, ok, index, interval, level, newdata, re)
        out = np.full(len(index), np.nan)
        out[ok] = vals
        return pd.Series(out, index=index, name="predicted")

    def _new_levels(self, frame: pd.DataFrame, allow_new_levels: bool) -> list[np.ndarray]:
        """Each row's level of every factor (the core's order), -1 for a new or missing
        label; unseen labels are refused unless ``allow_new_levels``."""
        d = self._design
        out = []
        for i in self._layout.factor_order:
            factor = d.spec.factors[i]
            missing = [c for c in factor.columns if c not in frame.columns]
            if missing:
                raise ValueError(f"newdata lacks the column(s) {', '.join(missing)}")
            levels = d.factor_levels[i]
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

    def _intervals(
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
        var = self.sigma2 * self._core.prediction_variance(self.theta, x0, levels, zs, reml=self.reml)
        if re or prediction:
            for zk, lam, v in zip(zs, self._core.factor_lambdas(self.theta), idx, strict=True):
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

    def bootstrap(
        self, n: int, seed: int | None = None, progress: bool | None = None, level: float = 0.95
    ) -> _bootstrap.BootstrapResult:
        """Parametric bootstrap (see :meth:`LmmFit.bootstrap`); the parameters are named
        as lme4's ``confint(..., oldNames = FALSE)`` names them, term by term in lme4's
        order (``sd_(Intercept)|s``)."""
        self._design.need_rows("bootstrap")
        names = []
        for t in self._terms:
            for c, col in enumerate(t.columns):
                names.append(f"sd_{col}|{t.group}")
                names += [f"cor_{t.columns[r]}.{col}|{t.group}" for r in range(c + 1, len(t.columns))]
        sizes = self._core.term_sizes
        return _bootstrap.bootstrap(
            self._core,  # type: ignore[arg-type]
            self._design,
            self._simulator(),  # type: ignore[arg-type]
            reml=self.reml,
            starts=self._starts(),
            names=[*names, "sigma", *self.fe_names],
            estimate=_bootstrap.param_vector(self._res, sizes),
            n=n,
            seed=seed,
            progress=progress,
            level=level,
            blocks=sizes,
        )

    def _simulator(self) -> CrossedSimulator:  # type: ignore[override]
        d = self._design
        spans = d.spec.factor_columns()
        lams = self._core.factor_lambdas(self.theta)
        factors = []
        for k, i in enumerate(self._layout.factor_order):
            factors.append((d.z[:, spans[i]], d.need_rows("simulate").factor_codes[i], int(self._core.m[k]), lams[k]))
        return CrossedSimulator(d, np.asarray(self._res["beta"], dtype=float), self.sigma, factors)

    def _profiler(self, ml: bool) -> _profile.Profiler:
        check_flag("ml", ml)
        groups = [t.group for t in self._terms for _ in t.columns]
        names = _profile.parameter_names(groups, self.re_names, self.fe_names, self._core.theta_index())
        if ml and self.reml:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", SingularFitWarning)
                fit = self.refit_ml()
            return _profile.Profiler(self._core, False, fit.theta, names, base_evaluations=fit.optimizer["fev"])
        return _profile.Profiler(self._core, self.reml, self.theta, names)
