"""A fitted linear model whose residuals have a structure within subjects (nlme's lme
and gls models): :class:`StructuredFit`, the estimates, the structure's parameters on
their natural scale (nlme's names), the residual and marginal covariance of a subject,
and nlme's tests of the fixed effects."""

from __future__ import annotations

import math
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ..formula.checks import check_flag, check_level
from ..formula.residual_terms import ResidualSpec
from ..model.design import Design
from ..model.residual_rows import StructureRows, structure_rows
from ..support.errors import RowsUnavailable
from ..support.frames import to_frame
from . import inference as _inference
from . import structured_tests as _tests
from .mixed_fit import MixedFit, ResidualScale
from .pvalues import t_two_sided
from .satterthwaite import VarparInfo, profiled_varpar_info
from .structured_intervals import StructuredProfiler, wald_intervals
from .structured_kr import structured_kr_info
from .structured_report import StructuredReport

__all__ = ["StructuredFit", "StructureLayout", "SubjectPatterns"]


@dataclass
class StructureLayout:
    """How the core's rows map to the data's: the structure, its per-row arrays (in the
    data's row order, with the labels of the visits and strata), the rows' order in the
    core (``order[k]`` is the data row the core holds k-th), and each core row's
    subject with the subjects' offsets."""

    spec: ResidualSpec
    rows: StructureRows
    order: np.ndarray
    subject_of_row: np.ndarray
    subject_offsets: np.ndarray
    #: The random effects are on factors that do not nest the subjects (the core's
    #: modes then run over every level of every factor, in the core's order).
    crossed: bool = False

    @property
    def visit_labels(self) -> list:
        return self.rows.visit_labels

    @property
    def variance_labels(self) -> list[list]:
        return self.rows.variance_labels


@dataclass
class SubjectPatterns:
    """The subjects of a fit from patterns of rows read in batches: each subject's label
    and pattern (the core's subject holding its pattern), and each pattern's rows as
    the structure places them (visits, times, or places within the subject)."""

    labels: np.ndarray
    codes: np.ndarray
    positions: list[pd.Index]


def _correlation_names(spec: ResidualSpec, visits: list) -> list[str]:
    kind = spec.correlation
    if kind in ("ar1", "car1"):
        return ["Phi"]
    if kind == "cs":
        return ["Rho"]
    if kind == "us":
        return [f"cor({visits[j]},{visits[i]})" for i in range(1, len(visits)) for j in range(i)]
    if kind in ("exp", "gaus"):
        return ["range", "nugget"] if spec.nugget else ["range"]
    if kind == "toep":
        return [f"lag{k}" for k in range(1, len(visits))]
    if kind == "ad":
        return [f"cor({visits[k]},{visits[k + 1]})" for k in range(len(visits) - 1)]
    return []


def _joined(mine: np.ndarray | None, theirs: np.ndarray | None, at: np.ndarray) -> np.ndarray | None:
    """The rows ``at`` of the fit's array followed by the new rows' (None without)."""
    if mine is None or theirs is None:
        return None
    return np.ascontiguousarray(np.concatenate([mine, theirs])[at])


class StructuredFit(ResidualScale, MixedFit):
    """A linear model fitted with a residual correlation or variance structure
    (returned by :func:`quorvelkit.lmm` for a formula with a structure term such as
    ``ar1(visit | id)``, or with ``correlation=`` / ``variance=``).

    Besides the results every fit has (:attr:`fixef`, :attr:`se`, :attr:`cov_fixef`,
    :attr:`loglik`, :attr:`aic`, :attr:`bic`, :attr:`ranef`, :attr:`varcorr`), it gives
    :attr:`correlation` and :attr:`variance_function` (the structure's parameters, named
    as nlme names them), :meth:`residual_cov` and :meth:`marginal_cov` (one subject's
    covariance matrices), and :attr:`coef_table` with nlme's degrees of freedom.
    """

    _report = StructuredReport

    #: The subjects' patterns of a fit from rows read in batches (None: rows kept).
    subject_patterns: SubjectPatterns | None = None

    def __init__(
        self,
        design: Design,
        core: Any,
        result: Mapping[str, Any],
        layout: StructureLayout,
        *,
        reml: bool,
        seconds: tuple[float, float],
    ) -> None:
        self._design = design
        self._core = core
        self._layout_rows = layout
        params = np.asarray(result["params"], dtype=float)
        n_theta = core.n_theta
        sigma2 = float(result["sigma2"])
        n, p = design.n, design.spec.p - len(design.dropped_columns)
        # nlme's gls by ML scales Cov(beta) by n / (n - p), its lme does not.
        scale = n / (n - p) if not reml and not design.spec.q else 1.0
        self._res = dict(result)
        self._res.update(
            theta=params[:n_theta],
            eta=params[n_theta:],
            reml=reml,
            sigma2=sigma2,
            sigma=math.sqrt(sigma2),
            cov_beta=scale * sigma2 * np.asarray(result["fixed_inverse"], dtype=float),
        )
        self._seconds = seconds
        self._varpar: VarparInfo | None = None
        self._kr: Any = None
        #: The ML refit where it is more than the core's (a variance of the fitted
        #: values: nlme's iteration again), given the REML estimates.
        self.refit_ml_with: Callable[[list[float]], StructuredFit] | None = None
        #: A name for the data, shown in the report.
        self.data_name: str | None = None

    # ------------------------------------------------------------- description
    @property
    def structure(self) -> ResidualSpec:
        """The residual structure fitted."""
        return self._layout_rows.spec

    #: Rows of weight zero left out: none (prior weights are not taken with a structure).
    n_zero_weight = 0

    @property
    def criterion(self) -> float:
        """-2 log-likelihood (the REML one for a REML fit): nlme's -2 logLik."""
        return float(self._res["deviance"])

    @property
    def n_params(self) -> int:
        """The fixed effects, theta, the structure's parameters and sigma (nlme's df)."""
        return len(self.fe_names) + len(self._res["theta"]) + len(self._res["eta"]) + 1

    @property
    def bic(self) -> float:
        """Schwarz's criterion as nlme takes it: criterion + log(n) k, with n - p for
        the number of observations of a REML fit."""
        n = self.nobs - (len(self.fe_names) if self.reml else 0)
        return self.criterion + math.log(n) * self.n_params

    @property
    def optimizer(self) -> dict[str, Any]:
        """The optimiser's report: converged, iterations, fev, grad_inf_norm, message,
        seconds (the core's fit) and total_seconds (with the model matrices)."""
        keys = ("converged", "iterations", "fev", "grad_inf_norm", "message")
        out = {k: self._res[k] for k in keys}
        out.update(seconds=self._seconds[0], total_seconds=self._seconds[1])
        return out

    # ------------------------------------------------------------- the structure
    @property
    def correlation(self) -> pd.Series:
        """The correlation structure's parameters: Phi (ar1, car1), Rho (cs), the
        correlations of each pair of visits (us), of each lag (toep) or of consecutive
        visits (ad), range and nugget (spatial)."""
        spec = self.structure
        names = _correlation_names(spec, self._layout_rows.visit_labels)
        groups = self._layout_rows.rows.group_labels
        if groups:  # each structure group's own, in the order of its labels
            names = [f"{g}: {n}" for g in groups for n in names]
        return pd.Series(list(self._res["natural"])[: len(names)], index=names, name="correlation", dtype=float)

    @property
    def variance_function(self) -> list[pd.Series]:
        """Each variance function's parameters: the standard deviation of each level
        relative to the first's (varIdent), the power (varPower) or the exponent
        (varExp)."""
        natural = list(self._res["natural"])[len(self.correlation) :]
        out = []
        for v, labels in zip(self.structure.variances, self._layout_rows.variance_labels, strict=True):
            if v.kind == "ident":
                values, natural = [1.0, *natural[: len(labels) - 1]], natural[len(labels) - 1 :]
                index = (
                    pd.MultiIndex.from_tuples(labels, names=[v.by, v.column])
                    if v.by
                    else pd.Index(labels, name=v.column)
                )
                out.append(pd.Series(values, index=index, name=v.text))
            else:
                out.append(pd.Series([natural[0]], index=["power" if v.kind == "power" else "expon"], name=v.text))
                natural = natural[1:]
        return out

    def _subject_rows(self, subject: Any) -> tuple[int, np.ndarray]:
        """The place of ``subject`` among the core's subjects and its rows there: a label
        of the subject column (of the grouping factor where the structure names none),
        or 0 when every row is one subject's."""
        lay = self._layout_rows
        first = self._subject_labels()[lay.order[lay.subject_offsets[:-1]]]
        match = np.flatnonzero(first == subject)
        if not len(match):
            raise KeyError(f"no subject {subject!r}")
        k = int(match[0])
        return k, np.arange(lay.subject_offsets[k], lay.subject_offsets[k + 1])

    def residual_cov(self, subject: Any) -> pd.DataFrame:
        """sigma^2 R of one subject: the covariance of its residuals (nlme's
        ``getVarCov(type = "conditional")``), rows and columns by the data's row labels
        (of a fit from rows read in batches, by the subject's visits or times)."""
        patterns = self.subject_patterns
        if patterns is not None:
            match = np.flatnonzero(patterns.labels == subject)
            if not len(match):
                raise KeyError(f"no subject {subject!r}")
            k = int(patterns.codes[match[0]])
            r = self.sigma2 * np.asarray(self._core.residual_matrix(list(self._res["params"]), k), dtype=float)
            return pd.DataFrame(r, index=patterns.positions[k], columns=patterns.positions[k])
        k, rows = self._subject_rows(subject)
        r = self.sigma2 * np.asarray(self._core.residual_matrix(list(self._res["params"]), k), dtype=float)
        index = self._design.row_index[self._layout_rows.order[rows]]
        return pd.DataFrame(r, index=index, columns=index)

    def marginal_cov(self, subject: Any) -> pd.DataFrame:
        """sigma^2 (Z Lambda Lambda' Z' + R) of one subject (nlme's ``getVarCov(type =
        "marginal")``); without random effects, :meth:`residual_cov`. Two rows share a
        factor's random effects where they share its level."""
        out = self.residual_cov(subject)
        d = self._design
        if d.spec.q:
            rows = d.need_rows("a subject's covariance")
            at = self._layout_rows.order[self._subject_rows(subject)[1]]
            spans, lam = d.spec.factor_columns(), self.lambda_matrix
            zo = 0
            for i, codes in zip(self._layout.factor_order, self._core_codes(rows), strict=True):
                z, w = rows.z[at][:, spans[i]], spans[i].stop - spans[i].start
                t = lam[zo : zo + w, zo : zo + w]
                same = codes[at][:, None] == codes[at][None, :]
                out = out + self.sigma2 * same * (z @ t @ t.T @ z.T)
                zo += w
        return out

    def _core_codes(self, rows: Any) -> list[np.ndarray]:
        """Each factor's level codes of the rows, in the core's order of factors."""
        codes = rows.factor_codes or (rows.codes,)
        return [np.asarray(codes[i]) for i in self._layout.factor_order]

    def _factor_blocks(self) -> list[tuple[int, int, int]]:
        """Each factor's place among the core's modes, its width and levels (core order)."""
        d, at, out = self._design, 0, []
        levels = d.factor_levels or (d.levels,)
        for i in self._layout.factor_order:
            w, n = sum(d.spec.factors[i].blocks), len(levels[i])
            out.append((at, w, n))
            at += w * n
        return out

    # ------------------------------------------------------------- random effects
    def _factor_modes(self) -> list[np.ndarray]:
        if not self._design.spec.q:
            return []
        u, lam = np.asarray(self._res["u"], dtype=float), self.lambda_matrix
        if not self._layout_rows.crossed:
            return [u @ lam.T]
        out, zo = [], 0
        for at, w, n in self._factor_blocks():
            t = lam[zo : zo + w, zo : zo + w]
            out.append(u.ravel()[at : at + w * n].reshape(n, w) @ t.T)
            zo += w
        return out

    def _factor_cond_covs(self) -> list[np.ndarray]:
        if not self._design.spec.q:
            return []
        cc = self.sigma2 * np.asarray(self._res["cond_cov"], dtype=float)
        if not self._layout_rows.crossed:
            return [cc]
        return [
            np.stack([cc[0, at + k * w : at + (k + 1) * w, at + k * w : at + (k + 1) * w] for k in range(n)])
            for at, w, n in self._factor_blocks()
        ]

    # ------------------------------------------------------------- fitted values
    @property
    def fitted(self) -> pd.Series:
        """X beta + Z b, indexed like the rows of the data used (nlme's fitted values at
        the innermost level)."""
        d = self._design
        rows = d.need_rows("fitted")
        vals = rows.x @ np.asarray(self._res["beta"], dtype=float)
        if d.spec.q:
            self._add_random_part(vals, rows.z, self._core_codes(rows))
        if d.offset is not None:
            vals = vals + d.offset
        return pd.Series(vals, index=d.row_index, name="fitted")

    @property
    def standardized_residuals(self) -> pd.Series:
        """Residuals divided by their standard deviation sigma delta (delta the variance
        functions' value of the row): nlme's Pearson residuals."""
        lay = self._layout_rows
        sd = np.empty(len(lay.order))
        params = list(self._res["params"])
        if self.structure.variances:
            for k in range(len(lay.subject_offsets) - 1):
                r = np.asarray(self._core.residual_matrix(params, k), dtype=float)
                sd[lay.order[lay.subject_offsets[k] : lay.subject_offsets[k + 1]]] = np.sqrt(np.diag(r))
        else:
            sd[:] = 1.0
        values = self.residuals.to_numpy() / (self.sigma * sd)
        return pd.Series(values, index=self._design.row_index, name="standardized residuals")

    @property
    def rows_kept(self) -> bool:
        """Whether the fit keeps its rows: a fit from rows read in batches keeps its
        subjects' patterns alone, and what needs the rows (``fitted``, ``residuals``,
        ``response``, ``predict()`` without new data, a conditional prediction) raises
        :class:`~quorvelkit.support.errors.RowsUnavailable`."""
        return self._design.rows is not None

    @property
    def residuals(self) -> pd.Series:
        """Response minus fitted values (nlme's response residuals)."""
        return pd.Series(self._design.y - self.fitted.to_numpy(), index=self._design.row_index, name="residuals")

    @property
    def response(self) -> pd.Series:
        """The response used in the fit."""
        return pd.Series(self._design.y, index=self._design.row_index, name="response")

    #: Prior weights: none (a variance function models unequal variances).
    weights = None

    def refit_ml(self) -> StructuredFit:
        """The same model fitted by maximum likelihood (itself when it is), started at
        this fit's estimates."""
        if not self.reml:
            return self
        if self.refit_ml_with is not None:
            fit = self.refit_ml_with(list(self._res["params"]))
            fit.data_name = self.data_name
            return fit
        t0 = time.perf_counter()
        result = dict(self._core.fit(list(self._res["params"]), reml=False))
        t1 = time.perf_counter()
        fit = StructuredFit(self._design, self._core, result, self._layout_rows, reml=False, seconds=(t1 - t0, t1 - t0))
        fit.data_name = self.data_name
        return fit

    def _subject_labels(self) -> np.ndarray:
        """Each data row's subject label (of the subject column, else of the grouping
        factor, else 0)."""
        d = self._design
        rows = d.need_rows("a subject")
        if self.structure.subject is not None and rows.residual_frame is not None:
            return np.asarray(rows.residual_frame[self.structure.subject].to_numpy())
        if d.spec.factors:
            return np.asarray(d.levels.to_numpy()[rows.codes])
        return np.zeros(d.n, dtype=np.int64)

    def predict(
        self, newdata: Any = None, *, re: bool = True, allow_new_levels: bool = False, conditional: bool = True
    ) -> pd.Series:
        """Predictions: X beta, plus Z b of the groups the fit has (``re``), plus with
        ``conditional`` the residual structure's part for a subject the fit has seen,
        R_new,obs R_obs^-1 e_obs with e_obs its residuals (the best linear prediction of
        new rows given the subject's observed ones; nothing for a new subject or a
        structure without correlation). ``newdata`` None: the fitted values."""
        if newdata is None:
            return self.fitted
        index, ok, _, _, _, vals = self._new_rows(newdata, re, allow_new_levels)
        spec = self.structure
        if conditional and spec.correlation != "none" and spec.position:
            new = to_frame(newdata).loc[ok]
            self._add_conditional(new, vals)
        return self._predicted(index, ok, vals)

    def _add_conditional(self, new: pd.DataFrame, vals: np.ndarray) -> None:
        """Adds to ``vals`` (one per row of ``new``) each seen subject's conditional
        residual mean given its observed rows."""
        spec, lay = self.structure, self._layout_rows
        if self._design.rows is None:
            raise RowsUnavailable(
                "a conditional prediction needs each subject's observed rows and residuals, and this model was "
                f"fitted from patterns of rows read in batches ({self._design.source}), which keep none: "
                "predict(newdata, conditional=False) gives X beta"
            )
        if spec.subject is not None:
            new_subjects = new[spec.subject].to_numpy()
        else:
            factor = self._design.spec.factors[0].columns[0] if self._design.spec.factors else None
            new_subjects = new[factor].to_numpy() if factor else np.zeros(len(new), dtype=np.int64)
        labels = self._subject_labels()
        residuals = self.residuals.to_numpy()
        params = list(self._res["params"])
        codes = pd.Series(np.arange(len(new))).groupby(new_subjects).indices
        fresh = structure_rows(
            spec,
            new,
            np.zeros(len(new), np.int64),
            visit_labels=lay.visit_labels,
            variance_labels=lay.variance_labels,
            group_labels=lay.rows.group_labels or None,
            fitted=vals.copy(),
        )
        for subject, at in codes.items():
            seen = np.flatnonzero(labels == subject)
            if not len(seen):
                continue
            group = 0 if lay.rows.group is None else int(lay.rows.group[seen[0]])
            both = np.r_[seen, len(labels) + np.asarray(at)]
            variances = [
                (k, n, np.ascontiguousarray(np.concatenate([v, w])[both]))
                for (k, n, v), (_, _, w) in zip(lay.rows.variances, fresh.variances, strict=True)
            ]
            r = np.asarray(
                self._core.residual_matrix_of(
                    params,
                    times=_joined(lay.rows.times, fresh.times, both),
                    coords=_joined(lay.rows.coords, fresh.coords, both),
                    variances=variances,
                    group=group,
                )
            )
            m = len(seen)
            vals[at] += r[m:, :m] @ np.linalg.solve(r[:m, :m], residuals[seen])

    # ------------------------------------------------------------- tests
    @property
    def df(self) -> pd.Series:
        """nlme's denominator degrees of freedom of each fixed effect: n - p without
        random effects (gls); with them, by containment (Pinheiro & Bates 2000, sec.
        2.4.2): a column constant within every group, and not among the random
        effects' columns, is estimated between groups, m - 1 - (such columns); the
        others within groups, n - m - (the others but the intercept). With crossed
        factors, which nlme does not fit, Satterthwaite's (:meth:`coef_tests`)."""
        d = self._design
        n, names = d.n, self.fe_names
        if self._layout_rows.crossed:
            return self.coef_tests()["df"].rename("df")
        if not d.spec.q:
            return pd.Series(float(n - len(names)), index=names, name="df")
        return pd.Series(_tests.containment_df(d, names), index=names, name="df")

    @property
    def coef_table(self) -> pd.DataFrame:
        """Estimate, Std. Error, df, t value and Pr(>|t|) of each fixed effect (nlme's
        summary table, with its degrees of freedom)."""
        est, se, df = self.fixef.to_numpy(), self.se.to_numpy(), self.df.to_numpy()
        t = est / se
        return pd.DataFrame(
            {"Estimate": est, "Std. Error": se, "df": df, "t value": t, "Pr(>|t|)": t_two_sided(t, df)},
            index=self.fe_names,
        )

    def satterthwaite(self) -> VarparInfo:
        """What Satterthwaite's tests need at this fit
        (:class:`~quorvelkit.results.satterthwaite.VarparInfo`), the variance parameters
        being theta, the structure's and sigma^2; computed once."""
        if self._varpar is None:
            self._varpar = profiled_varpar_info(self._core, list(self._res["params"]), self.reml)
        return self._varpar

    def intervals(self, level: float = 0.95) -> pd.DataFrame:
        """Wald intervals of the structure's parameters and sigma, nlme's
        ``intervals(fit, which = "var-cov")``: each on the scale nlme takes it (Fisher's
        z, logit or log; see :mod:`quorvelkit.results.structured_intervals`), mapped back.
        Columns "lower", "est.", "upper". :meth:`confint` with ``method="profile"``
        gives profile-likelihood intervals of the parameters that one coordinate holds."""
        check_level(level)
        return wald_intervals(self, float(level))

    def _profiler(self, ml: bool) -> StructuredProfiler:
        check_flag("ml", ml)
        return StructuredProfiler(self.refit_ml() if ml and self.reml else self)

    def kenward_roger(self) -> Any:
        """What Kenward and Roger's tests need at this REML fit
        (:class:`~quorvelkit.results.kenward_roger.KRInfo`, with the first derivatives
        of the covariance alone: :mod:`quorvelkit.results.structured_kr`); computed
        once. ``ValueError`` for an ML fit or one with crossed factors."""
        if not self.reml:
            raise ValueError("Kenward-Roger's method is only available for REML model fits")
        if self._kr is None:
            self._kr = structured_kr_info(self)
        return self._kr

    def _df_info(self, ddf: str) -> Any:
        return self.kenward_roger() if _tests.check_ddf(ddf) == "kenward-roger" else self.satterthwaite()

    def coef_tests(self, ddf: str = "satterthwaite") -> pd.DataFrame:
        """The fixed-effects table with the degrees of freedom ``ddf``: "satterthwaite"
        (as lmerTest and mmrm compute them, from the Hessian of the criterion in the
        variance parameters), "kenward-roger" (:meth:`kenward_roger`: standard errors
        from the adjusted covariance) or "nlme" (:attr:`coef_table`)."""
        if _tests.check_ddf(ddf) == "nlme":
            return self.coef_table
        return _inference.coefficient_tests(self._df_info(ddf), self.fe_names)

    def contrast(self, L: Any, ddf: str = "satterthwaite") -> _inference.ContrastResult:
        """Tests of the combinations L beta with Satterthwaite's (or Kenward and
        Roger's) df, as :meth:`quorvelkit.LmmFit.contrast` gives them (``L`` one column
        per fixed effect)."""
        matrix = _inference.contrast_matrix(L, self.fe_names)
        return _inference.contrast(self._df_info(ddf), matrix, self.sigma2)

    def anova_terms(self, ddf: str | None = None) -> pd.DataFrame:
        """F tests of each term of the fixed part.

        ``ddf="nlme"`` (the default, but with crossed factors): the marginal F tests of nlme's ``anova(fit, type =
        "marginal")``: for the term's coefficients b_T, F = b_T' Cov(b_T)^-1 b_T / r
        with r of them, on nlme's denominator degrees of freedom of the term
        (:attr:`df`). By ML, Cov(b) is taken with sigma^2 n / (n - p), as nlme's anova
        takes it (its gls's :attr:`cov_fixef` already is). Columns "numDF", "denDF",
        "F-value", "p-value", one row per term, the intercept included as nlme shows it.

        ``ddf="satterthwaite"``: lmerTest's type III table with Satterthwaite's
        denominator df (as :meth:`quorvelkit.LmmFit.anova_terms`), the default with
        crossed factors; ``ddf="kenward-roger"``: the same with Kenward and Roger's."""
        if ddf is None:
            ddf = "satterthwaite" if self._layout_rows.crossed else "nlme"
        if _tests.check_ddf(ddf) != "nlme":
            return _inference.anova_terms(self._df_info(ddf), _inference.design_type3(self._design), self.sigma2)
        beta, cov, df = self.fixef.to_numpy(), self.cov_fixef.to_numpy(), self.df.to_numpy()
        return _tests.marginal_anova(self._design, beta, cov, df, self.reml)

    @property
    def pvalues(self) -> pd.Series:
        """Two-sided p-values of the t tests of :attr:`coef_table`."""
        return self.coef_table["Pr(>|t|)"]
