"""What the reports of a linear mixed model show of their own (lme4's ``summary`` and
``print`` of an lmer fit, with lmerTest's t tests): the REML or ML criterion, the
variance components with the residual's, the fixed effects with Satterthwaite's
degrees of freedom, and the profiled optimiser's report. The layout they fill is
:mod:`quorvelkit.results.report`'s."""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from .pvalues import format_pvalues
from .report import (
    ARRAY,
    SIGNIF_CODES,
    ReportLayout,
    Table,
    column_cells,
    finite,
    reference_levels,
    stars,
    table_lines,
    time_line,
)

__all__ = ["LmmReport"]


def _criterion_line(fit: Any) -> str:
    what = "REML criterion at convergence" if fit.reml else "Deviance (-2 log-likelihood)"
    return f"{what}: {fit.criterion:.4f}"


class LmmReport(ReportLayout):
    """The parts of a linear mixed model's reports."""

    @staticmethod
    def title(fit: Any, summary: bool) -> list[str]:
        how = "REML" if fit.reml else "maximum likelihood"
        if summary:  # the summary's, whose table has the t tests (as lmerTest titles it)
            return [f"Linear mixed model fit by {how}. t-tests use Satterthwaite's method [quorvelkit]"]
        return [f"Linear mixed model fit by {how} [quorvelkit]"]

    @staticmethod
    def inputs(fit: Any) -> tuple[Any, Any]:
        spec = fit._design.spec
        weights = (spec.weights_column or ARRAY) if fit._design.weighted else None
        return weights, spec.offset_column or (ARRAY if spec.offset_array else None)

    @staticmethod
    def head_criteria(fit: Any, summary: bool) -> list[str]:
        return [*([""] if summary else []), _criterion_line(fit)]

    @staticmethod
    def criteria(fit: Any) -> list[str]:
        header = ["AIC", "BIC", "logLik", "REML crit" if fit.reml else "deviance", "df.resid"]
        values = [f"{v:.4f}" for v in (fit.aic, fit.bic, fit.loglik, fit.criterion)]
        return table_lines((header, [[*values, str(fit.nobs - fit.n_params)]], [False] * 5))

    @staticmethod
    def scaled_residuals(fit: Any) -> list[str]:
        """The quartiles of the residuals in units of their standard deviation
        sigma / sqrt(w) (lme4's Pearson residuals, scaled)."""
        if not fit.rows_kept:
            return ["Scaled residuals: not available (fitted from batches of rows, which are not kept)"]
        res = fit.residuals.to_numpy()
        if fit._design.weights is not None:
            res = res * np.sqrt(fit._design.weights)
        res = res / fit.sigma if fit.sigma > 0 else res
        qs = np.quantile(res, [0, 0.25, 0.5, 0.75, 1.0])
        quartiles = ["Min", "1Q", "Median", "3Q", "Max"], [[f"{v:.4f}" for v in qs]], [False] * 5
        return ["Scaled residuals:", *table_lines(quartiles)]

    @staticmethod
    def random_effects(fit: Any, variances: bool) -> Table:
        """lme4's table of the variance components: a row per random effect, term by
        term (a term's name on its first row), correlations within a term only, the
        residual."""
        q = len(fit.re_names)
        cov, corr = fit.cov_re.to_numpy(), fit.corr_re.to_numpy()
        var = [float(cov[i, i]) for i in range(q)] + [fit.sigma2]
        var_s, sd_s = column_cells(var, 5), column_cells([math.sqrt(max(v, 0.0)) for v in var], 5)
        width = max(len(cols) for _, cols in fit.re_terms) - 1  # correlation columns
        header = ["Groups", "Name"] + (["Variance"] if variances else []) + ["Std.Dev."]
        header += (["Corr"] + [""] * (width - 1)) if width > 0 else []
        rows, start = [], 0
        for grp, cols in fit.re_terms:
            for k, name in enumerate(cols):
                i = start + k
                cells = [corr[i, start + j] if j < k else math.nan for j in range(width)]
                row = [grp if k == 0 else "", name] + ([var_s[i]] if variances else []) + [sd_s[i]]
                rows.append(row + ["" if math.isnan(c) else f"{c:.3f}" for c in cells])
            start += len(cols)
        rows.append(["Residual", ""] + ([var_s[q]] if variances else []) + [sd_s[q]] + [""] * width)
        return header, rows, [True, True] + [False] * (len(header) - 2)

    @staticmethod
    def fixed_effects(fit: Any) -> Table:
        table = fit.coef_table
        p = table["Pr(>|t|)"].to_numpy()
        tv_s = [f"{t:.3f}" if math.isfinite(t) else "NaN" for t in table["t value"].to_numpy()]
        columns = (
            column_cells(list(table["Estimate"].to_numpy()), 6),
            column_cells(list(table["Std. Error"].to_numpy()), 5),
            [s if s else "NaN" for s in column_cells(list(table["df"].to_numpy()), 5)],
            tv_s,
            # lmerTest's summary prints its p-values by printCoefmat: R's format.pval to 3 digits.
            [s or "NaN" for s in format_pvalues(p, 3)],
        )
        rows = [[name, *cells, stars(pv)] for name, *cells, pv in zip(fit.fe_names, *columns, p, strict=True)]
        header = ["", "Estimate", "Std. Error", "df", "t value", "Pr(>|t|)", ""]
        return header, rows, [True, False, False, False, False, False, True]

    @classmethod
    def fixed_block(cls, fit: Any) -> list[str]:
        return ["Fixed effects:", *table_lines(cls.fixed_effects(fit)), "---", SIGNIF_CODES, *reference_levels(fit)]

    @staticmethod
    def short_fixed(fit: Any) -> list[str]:
        return column_cells(list(fit.fixef.to_numpy()), 5)

    @staticmethod
    def optimizer(fit: Any) -> list[str]:
        opt = fit.optimizer
        ev = opt["evaluator"]
        if opt["n_classes"] is not None:
            ev += f", {opt['n_classes']} class{'es' if opt['n_classes'] != 1 else ''} of groups"
        starts = opt["starts"]
        status = "converged" if opt["converged"] else "NOT converged"
        return [
            f"Optimizer: BFGS on the profiled criterion, {starts} start{'s' if starts != 1 else ''}; evaluator: {ev}",
            f"  {status}: {opt['message']}; {opt['iterations']} iterations, "
            f"{opt['fev']} evaluations, max |gradient| {opt['grad_inf_norm']:.3g}",
            time_line(fit),
        ]

    @staticmethod
    def html_criteria(fit: Any) -> tuple[list[str], list[str]]:
        return ["REML criterion" if fit.reml else "Deviance", "logLik", "AIC", "BIC"], [
            f"{v:.4f}" for v in (fit.criterion, fit.loglik, fit.aic, fit.bic)
        ]

    @staticmethod
    def json_values(fit: Any) -> dict[str, Any]:
        cov_re, corr = fit.cov_re.to_numpy(), fit.corr_re.to_numpy()
        opt, q = fit.optimizer, len(fit.re_names)
        kept = ("converged", "iterations", "fev", "grad_inf_norm", "message", "starts", "evaluator", "n_classes")
        return {
            "method": fit.method,
            "reml": fit.reml,
            "n_zero_weight": fit.n_zero_weight,
            "group": fit.group_name,
            "criterion": fit.criterion,
            "df": fit.n_params,
            "sigma": fit.sigma,
            "random": {
                "names": fit.re_names,
                "terms": [{"group": grp, "names": cols} for grp, cols in fit.re_terms],
                "variance": [float(cov_re[i, i]) for i in range(q)],
                "std_dev": [float(math.sqrt(max(cov_re[i, i], 0.0))) for i in range(q)],
                "corr": [[finite(v) for v in row] for row in corr],
                "cov": [[float(v) for v in row] for row in cov_re],
            },
            "optimizer": {k: opt[k] for k in kept},
        }

    json_keys: tuple[str, ...] = (
        "formula", "data", "method", "reml", "nobs", "n_dropped", "weights", "n_zero_weight", "offset", "group",
        "ngroups", "criterion", "loglik", "aic", "bic", "df", "singular", "theta", "sigma", "fixed_effects",
        "dropped_columns", "cov_fixed", "random", "varcorr", "random_effects", "optimizer", "seconds",
    )  # fmt: skip
