"""What every fitted mixed model has, written once for :class:`~quorvelkit.LmmFit` and
:class:`~quorvelkit.GlmmFit`: its random effects (:class:`~quorvelkit.results.mixed_effects.MixedEffects`),
the rows used, the fixed effects with their standard errors and Wald intervals, and the
optimiser's verdict. A model class supplies where the core keeps Cov(beta)."""

from __future__ import annotations

import math
import sys
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

from ..formula.checks import check_level, interval_names
from ..support.frames import to_frame
from .bootstrap import BootstrapResult
from .marginal_means import MarginalMeans, marginal_means
from .mixed_effects import MixedEffects
from .predict import model_rows
from .profile import ProfileResult, intervals, traces
from .profile_problems import Profiles
from .pvalues import normal_quantile
from .r2 import r2_nakagawa
from .report import ReportLayout, fit_to_dict, format_html, format_short, format_summary
from .tidy import augment, glance, tidy

__all__ = ["MixedFit", "ResidualScale"]


class MixedFit(MixedEffects):
    """The base of every fit class (see :class:`~quorvelkit.LmmFit` and :class:`~quorvelkit.GlmmFit`)."""

    #: The key of the core's solution that holds the fixed effects' covariance.
    _cov_beta_key = "cov_beta"
    #: What the model class's reports show of their own.
    _report: type[ReportLayout] = ReportLayout
    #: Whether the core goes into the fit's pickle (else a fit loaded from one has none).
    _core_pickles = True

    # ------------------------------------------------------------- pickling
    # A pickle holds the fit's own state, not what is derived from it again on demand,
    # tagged with the version that wrote it: another version's layout of the state (and
    # of the core) is not read.
    def __getstate__(self) -> dict[str, Any]:
        from .._quorvelkit import __version__

        derived = ("_layout", "_terms") if self._core_pickles else ("_layout", "_terms", "_core")
        state = {k: v for k, v in self.__dict__.items() if k not in derived}
        state["_version"] = __version__
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        from .._quorvelkit import __version__

        if state.get("_version") != __version__:
            raise ValueError(
                f"this {type(self).__name__} was pickled by quorvelkit {state.get('_version')}, "
                f"not {__version__}: refit the model"
            )
        self.__dict__.update({k: v for k, v in state.items() if k != "_version"})
        self.__dict__.setdefault("_core", None)

    @property
    def formula(self) -> str:
        """The model formula as given."""
        return self._design.parsed.text

    @property
    def reml(self) -> bool:
        """Whether the model was fitted by REML (else by maximum likelihood, as every
        GLMM is)."""
        return bool(self._res.get("reml", False))

    @property
    def method(self) -> str:
        """``"REML"`` or ``"ML"``."""
        return "REML" if self.reml else "ML"

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
    def cov_fixef(self) -> pd.DataFrame:
        """Covariance matrix of the fixed-effects estimates (lme4's ``vcov``; a GLMM's
        as its class says)."""
        names = self.fe_names
        return pd.DataFrame(np.array(self._res[self._cov_beta_key], dtype=float), index=names, columns=names)

    vcov = cov_fixef

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

    def _new_rows(
        self, newdata: Any, re: bool, allow_new_levels: bool
    ) -> tuple[pd.Index, np.ndarray, np.ndarray, np.ndarray, list[np.ndarray], np.ndarray]:
        """The rows of ``newdata`` a prediction is for: their index, which of them have
        every predictor (``ok``), X and Z of those, each factor's level (the core's
        order; -1 for a new one or with ``re=False``) and X beta + offset, plus each
        known level's Z_j b_j with ``re``."""
        d = self._design
        index, x_new, z_new, _, ok, off = model_rows(d, newdata, re=False, allow_new_levels=True, by_value=dict)
        vals = x_new @ np.asarray(self._res["beta"], dtype=float) + off
        idx = [np.full(len(x_new), -1, np.int64) for _ in self._levels]
        if re:
            idx = self._new_levels(to_frame(newdata).loc[ok], allow_new_levels)
            self._add_random_part(vals, z_new, idx)
        return index, ok, x_new, z_new, idx, vals

    @staticmethod
    def _predicted(index: pd.Index, ok: np.ndarray, vals: np.ndarray) -> pd.Series:
        """Predictions ``vals`` of the rows ``ok`` of ``index``, NaN for the others."""
        out = np.full(len(index), np.nan)
        out[ok] = vals
        return pd.Series(out, index=index, name="predicted")

    # ------------------------------------------------------------- criteria
    @property
    def criterion(self) -> float:
        """-2 log-likelihood at the fit; a REML fit's REML criterion (which lme4's AIC
        and BIC of a REML fit use too). Supplied by the model class."""
        raise NotImplementedError

    @property
    def n_params(self) -> int:
        """Number of estimated parameters. Supplied by the model class."""
        raise NotImplementedError

    @property
    def loglik(self) -> float:
        """Log-likelihood: -criterion / 2 (the REML log-likelihood for REML fits; for a
        GLMM, Laplace's or the quadrature's approximation with all constants)."""
        return -0.5 * self.criterion

    llf = loglik

    @property
    def aic(self) -> float:
        """Akaike's criterion, criterion + 2 k with k = :attr:`n_params`."""
        return self.criterion + 2.0 * self.n_params

    @property
    def bic(self) -> float:
        """Schwarz's criterion, criterion + log(n) k with k = :attr:`n_params`."""
        return self.criterion + math.log(self.nobs) * self.n_params

    # ------------------------------------------------------------- intervals and profiles
    def bootstrap(self, n: int, seed: int | None = None, *args: Any, **kwargs: Any) -> BootstrapResult:
        """The parametric bootstrap. Supplied by the model class."""
        raise NotImplementedError

    def confint(
        self,
        level: float = 0.95,
        method: str = "Wald",
        n: int = 1000,
        seed: int | None = None,
        *,
        ml: bool = False,
        parm: str | list[str] | None = None,
        progress: bool | None = None,
    ) -> pd.DataFrame:
        """Confidence intervals. Columns are named like R's (``"2.5 %"``, ``"97.5 %"``).

        ``method="Wald"`` (default): estimate +/- z * standard error for the fixed
        effects (a GLMM's from its ``vcov``). ``method="boot"``: percentile intervals from :meth:`bootstrap` with
        ``n`` replicates and ``seed``. ``method="profile"``: profile-likelihood
        intervals (lme4's ``confint(fit, method = "profile")``), the two values where
        the signed root of the profiled criterion, zeta, reaches -+ z (see
        :meth:`profile`). Both give every parameter by lme4's names: the standard
        deviation of each random effect ("sd_(Intercept)|Subject"), their correlations
        ("cor_Days.(Intercept)|Subject"), "sigma" (a linear model's) and the fixed
        effects (``parm`` selects some).

        Scale of the profile: the model's own criterion (a GLMM's -2 log-likelihood,
        which ``ml`` leaves as it is), so a REML fit's intervals
        profile the REML criterion; ``ml=True`` profiles the ML deviance at the ML
        estimates (refitting a REML fit by ML first), which is what lme4 does for every
        fit: ``ml=True`` gives lme4's ``confint(fit, method = "profile")`` numbers. The
        table's column header and ``attrs["scale"]`` say which was profiled. A fixed
        effect under REML is profiled by the restricted likelihood of the model with
        that coefficient known (y - x_j b on the other columns), whose degrees of
        freedom n - p + 1 make its intervals a little wider than ML's, like a t
        interval against a z interval. An interval reaches 0 for a standard
        deviation, or -1 or 1 for a correlation, when zeta stays short of z up to that
        limit or the estimate is on it; a correlation of a random effect whose standard
        deviation is estimated at zero has a flat profile and the interval (-1, 1). Each
        such bound has a note saying why in ``attrs["notes"]``. ``progress`` shows a
        progress bar (``None``: on a terminal, for runs over a second). The result's
        ``attrs`` hold "evaluations" (criterion evaluations it took), "seconds",
        "scale", "criterion" (its name) and "notes".
        """
        check_level(level)
        how = str(method).lower()
        if how != "profile" and (ml or parm is not None):
            raise ValueError("ml and parm apply to method='profile'")
        if how == "wald":
            return self._wald_intervals(level)
        if how in ("boot", "bootstrap"):
            return self.bootstrap(n, seed=seed).intervals(level)
        if how == "profile":
            return intervals(self._profiler(ml), level, which=parm, progress=progress)
        raise ValueError(f"method must be 'Wald', 'profile' or 'boot', got {method!r}")

    def _profiler(self, ml: bool) -> Profiles:
        """The profiles of the fit's criterion (with ``ml``, of the ML deviance).
        Supplied by the model class."""
        raise NotImplementedError

    def profile(
        self,
        zmax: float | None = None,
        *,
        ml: bool = False,
        which: str | list[str] | None = None,
        progress: bool | None = None,
    ) -> ProfileResult:
        """The profiles of the parameters (lme4's ``profile``): for each, the criterion
        minimised over all the others with it held, as zeta(psi) = sign(psi - psi0)
        sqrt(f(psi) - f0), traced from the estimate outwards on both sides until
        |zeta| reaches ``zmax`` (default 2.576, the 99% point, as lme4) or the
        parameter its bound. The scale and the parameters are those of
        :meth:`confint` with ``method="profile"`` (``ml``, ``which`` as its
        ``parm``): REML for a REML fit unless ``ml=True`` (lme4's scale); a GLMM's
        -2 log-likelihood (``ml`` changes nothing). Returns a
        :class:`~quorvelkit.results.profile.ProfileResult` with the traces, ``confint()`` (the
        numbers and notes :meth:`confint` gives) and ``plot()``.
        """
        if zmax is None:
            zmax = 2.5758293035489004
        if not (isinstance(zmax, (int, float)) and 0 < zmax < 10):
            raise ValueError(f"zmax must be a number between 0 and 10, got {zmax!r}")
        return traces(self._profiler(ml), float(zmax), which=which, progress=progress)

    @property
    def converged(self) -> bool:
        """Whether the optimiser reported convergence."""
        return bool(self._res["converged"])

    # ------------------------------------------------------------- output
    def summary_text(self) -> str:
        """The report :meth:`summary` prints, as a string."""
        return format_summary(self)

    def summary(self, file: Any = None) -> None:
        """Print the familiar report (lme4's ``summary`` of an lmer or a glmer fit; the
        command line prints the same): the criteria, scaled residuals, variance
        components, fixed effects with their tests (t tests with Satterthwaite's degrees
        of freedom for a linear model, z tests for a GLMM, with its family and
        overdispersion ratio), their correlations, the optimiser's report and the time
        taken."""
        print(self.summary_text(), file=file if file is not None else sys.stdout)

    def __repr__(self) -> str:
        return format_short(self)

    __str__ = __repr__

    def _repr_html_(self) -> str:
        return format_html(self)

    def to_dict(self) -> dict[str, Any]:
        """Every result as plain Python values (what ``--json`` prints)."""
        return fit_to_dict(self)

    # ------------------------------------------------------------- tidy tables and R^2
    @property
    def _tidy_sigma(self) -> float:
        """The sigma glance() reports: a GLMM's sigma (broom.mixed's sigma(fit): 1, or a
        family's dispersion parameter as glmmTMB's)."""
        return float(getattr(self, "sigma", 1.0))

    def _augment_response(self) -> dict[str, Any]:
        """augment()'s columns of the model class: .fitted, .resid, .mu, .weights,
        .sqrtrwt, .wtres (and a GLMM's .eta). Supplied by the model class."""
        raise NotImplementedError(f"augment() is not available for a {type(self).__name__}")

    def _distribution_variance(self, approximation: str) -> float:
        """The distribution-specific variance of R^2 (a linear model's sigma^2).
        Supplied by the model class."""
        raise NotImplementedError(f"r2() is not available for a {type(self).__name__}")

    def tidy(
        self,
        effects: str | list[str] | tuple[str, ...] = ("fixed", "ran_pars"),
        conf_int: bool = False,
        conf_level: float = 0.95,
    ) -> pd.DataFrame:
        """broom.mixed's ``tidy(fit, effects, conf.int, conf.level)``: a row per
        parameter, columns under broom.mixed's names. ``effects`` is one or several of
        "fixed" (the fixed effects: "term", "estimate", "std.error", "statistic", "df"
        and "p.value", a linear model's with Satterthwaite's df as with lmerTest loaded,
        a GLMM's z tests without "df"), "ran_pars" (per random-effects term, "group"
        being lme4's name of the term: "sd__(Intercept)", "cor__(Intercept).Days",
        "sd__Days", ...; then "sd__Observation" of group "Residual" for a linear model)
        and "ran_vals" (the conditional modes, "group" the factor, "level", "term",
        "estimate" and "std.error" the conditional standard deviation). ``conf_int``
        adds "conf.low" and "conf.high" at ``conf_level``: t intervals on the tests' df
        where they have df, normal ones otherwise, none (NaN) for "ran_pars". A table of
        the fixed effects alone has no "group" column; the first column, "effect", says
        which part a row is of."""
        return tidy(self, effects, conf_int, conf_level)

    def glance(self) -> pd.DataFrame:
        """broom.mixed's ``glance(fit)``: one row of "nobs", "sigma" (1 for a GLMM),
        "logLik", "AIC", "BIC", "REMLcrit" (a REML fit's criterion) or "deviance" (an ML
        linear fit's -2 log-likelihood; a GLMM's sum of unit deviances, glmer's
        ``deviance``), and "df.residual" (nobs less the number of parameters)."""
        return glance(self)

    def augment(self) -> pd.DataFrame:
        """broom.mixed's ``augment(fit)`` without its data columns: a row per
        observation used, indexed like the data's rows (join them on the index), with
        ".fitted" (a GLMM's on the link scale, as broom.mixed's), ".resid" (a GLMM's
        deviance residuals), ".fixed" (X beta plus the offset), ".mu" (the fitted mean),
        ".offset", ".weights" (prior weights; a binomial model's trials), ".sqrtrwt"
        (sqrt(weights / V(mu))), ".wtres" (Pearson residuals) and a GLMM's ".eta", then
        the random part of each row per grouping factor, ".ranef_<factor>" (Z_j b_j;
        .fixed plus these is the linear predictor). broom.mixed's ".hat", ".cooksd" and
        ".sqrtXwt" are not given. Needs the rows (not a fit of batches)."""
        return augment(self)

    def r2(self, approximation: str = "lognormal") -> pd.Series:
        """R^2 of Nakagawa and Schielzeth with Johnson's random slopes
        (:mod:`quorvelkit.results.r2`), as performance's ``r2_nakagawa``: a Series of
        "R2_conditional" and "R2_marginal", its ``attrs`` holding the variances
        (var_fixed, var_random, var_residual, var_distribution, var_dispersion). The
        distribution-specific variance is a linear model's sigma^2, pi^2/3 for a logit
        link (1 probit, pi^2/6 cloglog), and for a Poisson model, with lambda = exp(b0)
        and b0 the intercept of the null model (the same random terms and offset, no
        fixed effects) refitted, ``approximation`` "lognormal" log(1 + 1/lambda),
        "delta" 1/lambda or "trigamma" trigamma(lambda) (Nakagawa et al. 2017); for a
        negative binomial one (not zero-inflated) the lognormal log(1 + V(lambda) /
        lambda^2), V its variance at the fit's dispersion. A variance component at zero
        counts as 0 (R^2 stays finite). Needs the rows."""
        return r2_nakagawa(self, approximation)

    def emmeans(
        self,
        specs: Any,
        by: Any = None,
        *,
        at: Any = None,
        weights: str = "equal",
        type: str = "link",
        ddf: str | None = None,
        level: float = 0.95,
        adjust: str = "none",
    ) -> MarginalMeans:
        """Estimated marginal means, R's ``emmeans(fit, specs, by, at, weights, type)``
        (:mod:`quorvelkit.results.marginal_means`); ``.contrast(method)`` and
        ``.pairs()`` of the result compare them.

        Args:
            specs: the factor(s) whose levels the means are of: a name, a list of
                names, or a one-sided formula "~ A * B | C" (C goes to ``by``).
            by: the factor(s) the means are conditioned on (one table per group).
            at: values of grid variables: a covariate's values (default: its mean
                over the rows used; a covariate with no column of its own in X, or of
                a weighted fit or one without an intercept from batches, needs one) or
                a subset of a factor's levels.
            weights: "equal" (emmeans' default: every cell of the other factors
                alike) or "proportional" (by their counts of rows in the data, prior
                weights aside, as emmeans counts them; needs the rows).
            type: "link" or "response" (a GLMM's means back-transformed, delta-method
                SEs, intervals back-transformed from the link scale).
            ddf: "satterthwaite" (the default of a linear model; emmeans' own default
                for lmer is Kenward-Roger's) or "asymptotic" (z; a GLMM's only one).
            level: the confidence level of the intervals.
            adjust: the adjustment of the means' intervals ("none", "sidak",
                "bonferroni", "scheffe"; "tukey" becomes "sidak", as in emmeans).

        A model's offset enters every mean at its mean over the rows used (as
        emmeans 1.8 takes it). Models whose fixed-effects matrix is rank deficient are
        refused (``ValueError``): some cells would not be estimable.
        """
        return marginal_means(
            self,
            specs,
            by=by,
            at=at,
            weights=weights,
            type=type,
            ddf=ddf,
            level=level,
            adjust=adjust,
            gram=self._gram(),
        )

    def _gram(self) -> Callable[[], np.ndarray] | None:
        """A function giving X'X (unweighted) from the core, where the model class's
        core gives it (a fit without its rows reads column means from it), else None."""
        return None


class ResidualScale:
    """The residual scale of a linear model's fit (a core's solution holding "sigma"
    and "sigma2"): sigma, sigma^2, the random effects' covariance in its units, and
    the residual row of :attr:`varcorr`."""

    _res: dict[str, Any]

    @property
    def sigma(self) -> float:
        """Residual standard deviation (of a row of weight 1, or whose variance
        function is 1)."""
        return float(self._res["sigma"])

    @property
    def sigma2(self) -> float:
        """Residual variance (of a row of weight 1, or whose variance function is 1)."""
        return float(self._res["sigma2"])

    @property
    def _scale2(self) -> float:
        return self.sigma2

    @property
    def _tidy_sigma(self) -> float:
        return self.sigma

    def _residual_rows(self) -> list[dict[str, Any]]:
        return [dict(grp="Residual", var1=None, var2=None, vcov=self.sigma2, sdcor=self.sigma)]
