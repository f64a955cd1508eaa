"""A fitted generalized linear mixed model, :class:`GlmmFit`: glmer's results (fixed
effects with z tests, variance components, conditional modes and variances, the full
log-likelihood and its criteria, fitted values, residuals, predictions) and what a user
does with a fit (reports, Wald intervals, simulation).

The random effects are :class:`~quorvelkit.results.mixed_effects.MixedEffects`', of the
same shape as a linear model's. The core's modes ``b`` and conditional covariances
``cond_var`` are one array (one factor) or a list of arrays, one per factor in the
core's order (that of ``ThetaLayout.factor_order``).
"""

from __future__ import annotations

import dataclasses
import functools
import math
from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd

from ..families import family as fam
from ..formula.checks import check_flag, check_level
from ..model.design import Design
from .bootstrap import BootstrapResult, Simulator, bootstrap
from .glmm_profile import GlmmProfiler, profiler_of
from .glmm_report import GlmmReport
from .mixed_fit import MixedFit
from .pvalues import t_two_sided

__all__ = ["GlmmFit"]


@dataclasses.dataclass(frozen=True)
class _Reduced:
    """A reduced model's refit: what a likelihood-ratio test takes of it."""

    loglik: float
    n_params: int


class GlmmFit(MixedFit):
    """A fitted binomial or Poisson mixed model (returned by :func:`quorvelkit.glmm`).

    Results, by lme4's names: :attr:`fixef`, :attr:`se`, :attr:`vcov`,
    :attr:`coef_table` (Estimate, Std. Error, z value, Pr(>|z|)), :attr:`theta`,
    :attr:`varcorr`, :attr:`ranef` and :attr:`cond_var`, :attr:`loglik` (the full
    log-likelihood, binomial coefficients and log y! included, as glmer's Laplace fits
    report it), :attr:`aic`, :attr:`bic`, :attr:`deviance`, :attr:`df_resid`,
    :attr:`fitted`, :meth:`residuals`, :attr:`overdispersion`, :meth:`predict`,
    :meth:`simulate`, :meth:`confint`, :attr:`optimizer` and :attr:`converged`.
    :meth:`summary` prints glmer's report.

    The standard errors are those of lme4's default ``vcov``: from the Hessian of the
    criterion over (theta, beta), so they account for the estimation of theta; where
    that Hessian is not positive definite, from beta's curvature at fixed theta
    (:attr:`vcov_source` says which). A fit pickles without its core: a loaded fit has
    every result, but no core to evaluate the criterion at other parameters.
    """

    _cov_beta_key = "vcov"  # lme4's default vcov, from the Hessian (see above)
    _report = GlmmReport
    _core_pickles = False  # the core holds the rows' working state, which a pickle does not carry

    def __init__(
        self,
        design: Design,
        core: Any,
        result: Mapping[str, Any],
        *,
        formula: str,
        trials: np.ndarray | None,
        prior_weights: np.ndarray,
        weights_column: str | None = None,
        offset_column: str | None = None,
        seconds: tuple[float, float] = (math.nan, math.nan),
    ) -> None:
        self._design = design
        self._core = core
        self._res = dict(result)
        self._formula = formula
        self._trials = trials
        self._prior = prior_weights
        self._weights_column = weights_column
        self._offset_column = offset_column
        self._seconds = seconds
        # The core's resolution of the option (its default by family), kept for a fit
        # loaded from a pickle, which has no core (a fit from batches has none either:
        # its result holds the option).
        self._laplace = str(core.laplace) if core is not None else str(self._res.get("laplace", ""))
        #: A name for the data, shown in the report (the command line sets the file name).
        self.data_name: str | None = None

    # ------------------------------------------------------------- the random effects' sources
    def _core_arrays(self, key: str) -> list[np.ndarray]:
        values = self._res[key]
        if not self._several and not isinstance(values, (list, tuple)):
            return [np.asarray(values, dtype=float)]
        return [np.asarray(v, dtype=float) for v in values]

    def _factor_modes(self) -> list[np.ndarray]:
        return self._core_arrays("b")

    def _factor_cond_covs(self) -> list[np.ndarray]:
        return self._core_arrays("cond_var")

    def _factor_lambda(self, k: int, lam: np.ndarray) -> np.ndarray:
        """The rows and columns of Lambda of the k-th factor's effects (in ranef's order)."""
        starts = np.cumsum([0] + [len(t.columns) for t in self._terms])
        idx = [c for j, t in enumerate(self._terms) if t.factor == k for c in range(starts[j], starts[j + 1])]
        return lam[np.ix_(idx, idx)]

    # ------------------------------------------------------------- description
    @property
    def formula(self) -> str:
        """The model formula as given."""
        return self._formula

    @property
    def family(self) -> str:
        """ "binomial" or "poisson"."""
        return self._design.spec.family

    @property
    def phi(self) -> float | None:
        """The family's dispersion parameter as glmmTMB defines it (nbinom2's size theta,
        nbinom1's phi of the variance mu (1 + phi), Gamma's coefficient of variation,
        gaussian's sd, beta's and betabinomial's precision) and R for
        inverse.gaussian (variance phi mu^3); None for a family without one."""
        phi = self._res.get("phi")
        return None if phi is None else float(phi)

    @property
    def power(self) -> float | None:
        """Tweedie's power p in (1, 2) (glmmTMB's ``family_params``), estimated with the
        rest; None for the other families."""
        power = self._res.get("power")
        return None if power is None else float(power)

    @property
    def sigma(self) -> float:
        """glmmTMB's ``sigma(fit)``: :attr:`phi`, and 1 for a family without one (lme4's
        ``sigma`` of a binomial or Poisson fit)."""
        return 1.0 if self.phi is None else self.phi

    @property
    def laplace(self) -> str:
        """The information in the Laplace approximation's log-determinant: "fisher" (the
        expected information, lme4's) or "observed" (the integrand's Hessian, glmmTMB's)."""
        return self._laplace

    @property
    def zi(self) -> float | None:
        """The probability of a structural zero of a fit with a constant zero-inflation
        (of a zero, for a hurdle model); None without one, or where it depends on
        covariates (:attr:`zi_coef_table`)."""
        zi = self._res.get("zi")
        return None if zi is None else float(zi)

    @property
    def _zi_beta(self) -> np.ndarray:
        """The zero-inflation's coefficients (its logit's), empty without zero-inflation."""
        zi_beta = self._res.get("zi_beta")
        return np.zeros(0) if zi_beta is None else np.asarray(zi_beta, dtype=float)

    @property
    def _zi_probability(self) -> Any:
        """Each row's probability of a structural zero (a number where it is constant),
        None without zero-inflation."""
        if self.zi is not None or not len(self._zi_beta):
            return self.zi
        return 1.0 / (1.0 + np.exp(-(self._design.response.zi_design @ self._zi_beta)))

    @property
    def _core_beta(self) -> np.ndarray:
        """beta as the core takes it: the fixed effects, then log(phi) for a family with
        phi, Tweedie's s = logit(power - 1) and the zero-inflation's coefficients."""
        extra = [] if self.phi is None else [math.log(self.phi)]
        if self.power is not None:
            extra.append(math.log((self.power - 1.0) / (2.0 - self.power)))
        return np.concatenate([self.fixef.to_numpy(), extra, self._zi_beta])

    @property
    def zi_coef_table(self) -> pd.DataFrame | None:
        """glmmTMB's table of the zero-inflation model (of the hurdle, for a truncated
        family): the logit of the probability of a structural zero, its standard error
        from the Hessian over every parameter (lme4's 2 H^-1), z and Pr(>|z|); None
        without zero-inflation."""
        estimate = self._zi_beta
        k = len(estimate)
        if not k:
            return None
        hessian = self._res.get("hessian")
        se = np.full(k, math.nan)
        if hessian is not None:
            try:
                inverse = np.linalg.inv(np.asarray(hessian, dtype=float))
                se = np.sqrt(2.0 * np.diag(inverse)[-k:])
            except (np.linalg.LinAlgError, ValueError):
                pass
        z = estimate / se
        # A fit from batches keeps no response: its zero-inflation is a constant's.
        response = self._design.response
        names = (response.zi_names if response is not None else ()) or ("(Intercept)",)
        table = {"Estimate": estimate, "Std. Error": se, "z value": z, "Pr(>|z|)": t_two_sided(z, math.inf)}
        return pd.DataFrame(table, index=list(names))

    def _mean(self, mu: np.ndarray) -> np.ndarray:
        """The response's mean at the count process's mean mu (mu itself but for
        zero-inflation and truncation)."""
        if not len(self._zi_beta) and not self.family.startswith("truncated"):
            return mu
        return fam.response_moments(self.family, mu, self.phi, self._zi_probability)[0]

    @property
    def link(self) -> str:
        """The link function: "logit", "probit", "cloglog" or "log"."""
        return self._design.spec.link

    @property
    def nagq(self) -> int:
        """Quadrature points per random effect (0 and 1: Laplace's approximation)."""
        return int(self._res["nagq"])

    n_zero_weight = 0  # rows of weight zero stay in the model (they add nothing to it)

    @property
    def core(self) -> Any:
        """The compiled core of the model (``RuntimeError`` for a fit loaded from a pickle)."""
        if self._core is None:
            raise RuntimeError("this fit was loaded from a pickle, which keeps no core: refit the model")
        return self._core

    @property
    def vcov_source(self) -> str:
        """ "hessian" (over theta and beta) or "rx" (beta's curvature at fixed theta)."""
        return str(self._res["vcov_source"])

    @property
    def zvalues(self) -> pd.Series:
        """Wald z statistics, estimate / standard error."""
        return pd.Series(self.fixef.to_numpy() / self.se.to_numpy(), index=self.fe_names, name="z value")

    @property
    def pvalues(self) -> pd.Series:
        """Two-sided p-values of the z tests (glmer's ``Pr(>|z|)``)."""
        return pd.Series(t_two_sided(self.zvalues.to_numpy(), math.inf), index=self.fe_names, name="Pr(>|z|)")

    @property
    def coef_table(self) -> pd.DataFrame:
        """glmer's table of fixed effects: Estimate, Std. Error, z value, Pr(>|z|)."""
        return pd.concat([self.fixef, self.se, self.zvalues, self.pvalues], axis=1)

    def _profiler(self, ml: bool) -> GlmmProfiler:
        check_flag("ml", ml)  # a GLMM is fitted by maximum likelihood: ml changes nothing
        return profiler_of(self)

    # ------------------------------------------------------------- fitted values and residuals
    @property
    def response(self) -> pd.Series:
        """The response as fitted: a proportion of successes (binomial) or a count."""
        d = self._design
        return pd.Series(d.y.copy(), index=d.row_index, name="response")

    @property
    def trials(self) -> pd.Series | None:
        """The binomial trials of each row (None for Poisson)."""
        return None if self._trials is None else pd.Series(self._trials, index=self._design.row_index, name="trials")

    @property
    def weights(self) -> pd.Series:
        """The prior weights (R's ``weights(fit, "prior")``: binomial trials times any
        weights given)."""
        return pd.Series(self._prior, index=self._design.row_index, name="weights")

    @property
    def linear_predictor(self) -> pd.Series:
        """X beta + Z b + offset at the conditional modes."""
        return pd.Series(np.asarray(self._res["eta"], dtype=float), index=self._design.row_index, name="eta")

    @property
    def fitted(self) -> pd.Series:
        """Fitted means on the response scale (a probability, or a rate), glmer's ``fitted``."""
        mu = self._mean(np.asarray(self._res["mu"], dtype=float))
        return pd.Series(mu, index=self._design.row_index, name="fitted")

    fittedvalues = fitted

    def residuals(self, type: str = "deviance") -> pd.Series:
        """Residuals of glmer's kinds: "deviance" (the default), "pearson" or "response"."""
        mu = np.asarray(self._res["mu"], dtype=float)
        if type == "pearson" and self.family not in ("binomial", "poisson") or len(self._zi_beta):
            if type == "deviance":
                raise ValueError(f"the {self.family} fit has no unit deviance: use type='pearson' or 'response'")
            mean, var = fam.response_moments(self.family, mu, self.phi, self._zi_probability, self.power)
            y = self._design.y
            values = y - mean if type == "response" else (y - mean) * np.sqrt(self._prior / var)
        else:
            values = fam.residuals(self._design.y, self._mean(mu), self._prior, self.family, type, self.phi)
        return pd.Series(values, index=self._design.row_index, name=f"{type} residuals")

    resid = residuals

    # ------------------------------------------------------------- tidy tables and R^2
    def _augment_response(self) -> dict[str, Any]:
        eta, mu = self.linear_predictor.to_numpy(), self.fitted.to_numpy()
        return {
            ".fitted": eta,
            ".resid": self.residuals("deviance" if self.phi is None else "pearson").to_numpy(),
            ".mu": mu,
            ".weights": np.asarray(self._prior, dtype=float),
            ".sqrtrwt": np.sqrt(self._prior / fam.variance(mu, self.family, self.phi, self.power)),
            ".wtres": self.residuals("pearson").to_numpy(),
            ".eta": eta,
        }

    # The distribution-specific variance of a binomial model by its link (Nakagawa et
    # al. 2017, table 1: the variance of the latent logistic, normal and Gumbel scales).
    _LATENT_VARIANCE = {"logit": math.pi**2 / 3, "probit": 1.0, "cloglog": math.pi**2 / 6}

    def _distribution_variance(self, approximation: str) -> float:
        negative_binomial = self.family in ("nbinom1", "nbinom2") and self.zi is None and not len(self._zi_beta)
        if self.family not in ("binomial", "poisson") and not negative_binomial:
            raise ValueError(
                "Nakagawa's R^2 is available for binomial, Poisson and (not zero-inflated) negative binomial "
                f"fits, not {self.family} ones{' with zero-inflation' if self.family.startswith('nbinom') else ''}"
            )
        if self.family == "binomial":
            return self._LATENT_VARIANCE[self.link]
        lam = self._null_mean
        if negative_binomial:
            # The lognormal approximation with the family's variance at lambda (Nakagawa
            # et al. 2017, table 2): log(1 + 1/lambda + 1/theta) for nbinom2, log(1 +
            # (1 + phi)/lambda) for nbinom1, the dispersion the fit's own.
            if approximation != "lognormal":
                raise ValueError(
                    f"the R^2 of a negative binomial fit takes the lognormal approximation, not {approximation!r}"
                )
            assert self.phi is not None
            var = lam + lam**2 / self.phi if self.family == "nbinom2" else lam * (1.0 + self.phi)
            return math.log1p(var / lam**2)
        if approximation == "delta":
            return 1.0 / lam
        if approximation == "trigamma":
            from scipy.special import polygamma

            return float(polygamma(1, lam))
        return math.log1p(1.0 / lam)

    @functools.cached_property
    def _null_mean(self) -> float:
        """lambda = exp(b0), b0 the intercept of the null model (the fit's random terms
        and offset, an intercept as the only fixed effect) fitted by the same core
        (as insight's ``null_model``, which refits it)."""
        from ..cores.glmm_core import fit_core, make_core

        d = self._design
        rows = d.need_rows("the null model of R^2")
        null = dataclasses.replace(d, rows=dataclasses.replace(rows, x=np.ones((d.n, 1))))
        res = fit_core(make_core(null, self._prior, self.family, self.link), null, self.nagq, None, None)
        return math.exp(float(np.asarray(res["beta"], dtype=float)[0]))

    # ------------------------------------------------------------- tests of terms
    def drop1(self, test: str = "Chisq") -> pd.DataFrame:
        """Likelihood-ratio tests of each fixed term that marginality lets go, R's
        ``drop1(fit, test = "Chisq")`` of a glmer fit: rows "<none>" then the terms,
        columns "npar" (parameters dropped), "AIC", "LRT", "Pr(Chi)"; each reduced
        model refitted by the same approximation (nagq) from this fit's theta, one
        refit per term. A GLMM has no F tests: ``test`` other than "Chisq" is a
        ``ValueError``."""
        from .term_tests import drop1

        if test != "Chisq":
            raise ValueError(f"a GLMM's terms are tested by likelihood ratios: test must be 'Chisq'; got {test!r}")
        return drop1(self, test, "satterthwaite")

    def _refit_design(self, design: Design, reml: bool) -> Any:
        """The log-likelihood and number of parameters of ``design`` (this fit's rows,
        other fixed columns) fitted as this fit is; ``reml`` is unused (a GLMM's
        likelihood is its only criterion)."""
        from ..cores.glmm_core import fit_core, make_core

        res = fit_core(make_core(design, self._prior, self.family, self.link), design, self.nagq, self.theta, None)
        return _Reduced(-0.5 * float(res["m2loglik"]), len(design.fe_names) + len(self.theta))

    # ------------------------------------------------------------- criteria
    @property
    def m2loglik(self) -> float:
        """-2 log-likelihood at the fit (Laplace's approximation for nagq <= 1, the
        quadrature's for nagq > 1), with all constants."""
        return float(self._res["m2loglik"])

    @property
    def df(self) -> int:
        """Number of parameters: n_theta + p, and the dispersion parameter of a family with one."""
        return len(self.theta) + len(self.fe_names) + (self.phi is not None) + len(self._zi_beta)

    n_params = df

    @property
    def df_resid(self) -> int:
        """Residual degrees of freedom, n - df."""
        return self.nobs - self.df

    @property
    def deviance(self) -> float:
        """glmer's ``deviance(fit)``: the sum of the rows' unit deviances at the
        conditional modes (the summary's "deviance" column is -2 loglik instead)."""
        if len(self._zi_beta):
            return math.nan  # a mixture has no unit deviance
        y, mu = self._design.y, self.fitted.to_numpy()
        return float(np.sum(fam.unit_deviance(y, mu, self._prior, self.family, self.phi)))

    # The criterion an lme4 anova table compares; a GLMM is fitted by maximum likelihood.
    criterion = m2loglik
    reml = False
    rows_kept = True

    @property
    def overdispersion(self) -> dict[str, float] | None:
        """Pearson's chi^2 (the sum of squared Pearson residuals), its df_resid and
        their ratio, for a Poisson fit or a binomial one with some row of more than one
        trial; None for Bernoulli data, whose ratio says nothing of overdispersion."""
        if self.family == "binomial" and not (self._trials is not None and np.any(self._trials > 1)):
            return None
        if self.family not in ("binomial", "poisson"):
            return None  # a family with its own dispersion parameter, or a truncated one
        chi2 = float(np.sum(self.residuals("pearson").to_numpy() ** 2))
        return {"pearson_chisq": chi2, "df_resid": self.df_resid, "ratio": chi2 / self.df_resid}

    # ------------------------------------------------------------- optimiser
    @property
    def optimizer(self) -> dict[str, Any]:
        """The optimiser's report: converged, message, iterations, fev (evaluations of
        the last stage), fev_stage1 (of the nagq = 0 stage), grad_inf_norm, seconds (the
        core's), start_seconds (the core's up to the optimiser's first point: the start
        every nagq shares) and total_seconds (the whole call's)."""
        return dict(
            converged=self.converged,
            message=str(self._res["message"]),
            iterations=int(self._res["iterations"]),
            fev=int(self._res["fev"]),
            fev_stage1=int(self._res.get("fev_stage1", 0)),
            grad_inf_norm=float(self._res["grad_inf_norm"]),
            seconds=self._seconds[0],
            start_seconds=float(self._res.get("start_seconds", 0.0)),
            total_seconds=self._seconds[1],
        )

    # ------------------------------------------------------------- prediction
    def predict(
        self,
        newdata: Any = None,
        type: str = "link",
        re: bool = True,
        allow_new_levels: bool = False,
        interval: str | None = None,
        level: float = 0.95,
        se_fit: bool = False,
    ) -> pd.Series | pd.DataFrame:
        """Predictions for ``newdata`` (the fit's rows when None) on the scale of
        ``type``: "link" (X beta + Z b + offset) or "response" (the mean: a zero-inflated
        fit's (1 - pi) mu, pi read from the zero-inflation formula's columns of
        ``newdata``; a hurdle's mean). With ``re`` a row of a level the fit has gets that
        level's modes; a level it has not (or a missing label) is refused naming it,
        unless ``allow_new_levels``: then that factor adds nothing to the row, as lme4
        predicts. ``re=False`` is lme4's ``re.form = NA``. Rows with a missing predictor
        get NaN.

        A Series, or with ``interval="confidence"`` or ``se_fit`` a DataFrame with
        columns "fit", "se.fit" (with ``se_fit``, glmmTMB's name), "lwr" and "upr" (with
        ``interval``): Wald intervals at ``level``, on the link scale fit -+ z se and on
        the response scale those bounds through the inverse link (in order, for a
        decreasing one), or the delta method's for a mixture's mean;
        :mod:`quorvelkit.results.glmm_predict` gives the variances. A prediction interval
        is refused (a GLMM's response is not its mean plus a normal error)."""
        from .glmm_predict import glmm_predict

        return glmm_predict(self, newdata, type, re, allow_new_levels, interval, level, se_fit)

    # ------------------------------------------------------------- simulation
    def simulate(self, n: int = 1, seed: int | np.random.Generator | None = None) -> np.ndarray:
        """Responses drawn from the fitted model, shape (n, nobs): new random effects b*
        = Lambda u* (u* standard normal, level by level of each factor in the core's
        order), mu* = linkinv(X beta + offset + Z b*), then binomial successes of the
        row's trials as a proportion, or Poisson counts."""
        if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
            raise ValueError(f"n must be a positive integer, got {n!r}")
        rng = seed if isinstance(seed, np.random.Generator) else np.random.default_rng(seed)
        d = self._design
        rows = d.need_rows("simulate")
        spans = d.spec.factor_columns()
        lam = self.lambda_matrix
        codes = rows.factor_codes or (rows.codes,)
        factors = []
        for k, i in enumerate(self._layout.factor_order):
            _, at = self._factor_columns(k)
            factors.append((rows.z[:, spans[i]][:, at], codes[i], len(self._levels[k]), self._factor_lambda(k, lam)))
        sim = Simulator(d, self.fixef.to_numpy(), factors, 1.0, residuals=False)
        trials = np.rint(self._trials if self._trials is not None else np.ones(d.n)).astype(np.int64)
        out = np.empty((int(n), d.n))
        # Replicate by replicate (its normals, then the family's draws), so that the
        # first k of n replicates are the k of the same seed.
        for r in range(int(n)):
            mu = fam.linkinv(sim.draw_many(rng, 1)[0], self.link)
            out[r] = fam.draw(self.family, mu, trials, self.phi, rng, self._zi_probability, self.power)
        return out

    def bootstrap(
        self, n: int, seed: int | None = None, level: float = 0.95, progress: bool | None = None
    ) -> BootstrapResult:
        """Parametric bootstrap: ``n`` responses simulated from the fitted model
        (:meth:`simulate`, same ``seed``, same draws), each refitted from this fit's
        estimates with the same nagq. Returns a
        :class:`~quorvelkit.results.bootstrap.BootstrapResult` whose parameters are named as
        lme4's ``confint(..., oldNames = FALSE)``: ``sd_(Intercept)|herd``,
        ``cor_x.(Intercept)|g`` and the fixed effects (a GLMM has no sigma); ``seed``
        None draws a fresh one, kept in the result. ``progress`` as for
        :meth:`LmmFit.bootstrap <quorvelkit.LmmFit.bootstrap>`."""
        from .glmm_bootstrap import glmm_parameters, glmm_refit

        check_level(level)
        self._design.need_rows("bootstrap")
        names, estimate = glmm_parameters(self, self.theta, self.fixef.to_numpy())
        return bootstrap(
            lambda rng, k: self.simulate(k, seed=rng),
            glmm_refit(self),
            names=names,
            estimate=estimate,
            n_theta=len(self.theta),
            n=n,
            seed=seed,
            progress=progress,
            level=level,
            width=self.nobs,
        )
