"""What the reports of a GLMM show of their own (lme4's ``summary`` and ``print`` of a
glmer fit), every number formatted as R formats it there (``printCoefmat`` for the
fixed effects, ``formatVC`` for the variance components, ``abbreviate`` for the
correlation table's header): the family and link, glmer's criteria, the Pearson
residuals, z tests, the overdispersion ratio and the two-stage optimiser's report. The
layout they fill is :mod:`quorvelkit.results.report`'s."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np

from .pvalues import format_numbers, format_pvalues, zap_small
from .report import SIGNIF_CODES, ReportLayout, Table, reference_levels, stars, table_lines, time_line

__all__ = ["GlmmReport", "coefficient_cells"]

#: R's default line width, at which lme4 wraps the title.
WIDTH = 80


#: The families whose dispersion glmmTMB prints as a variance (sigma^2).
_VARIANCE_DISPERSION = ("gaussian", "Gamma")


def dispersion_lines(fit: Any) -> list[str]:
    """glmmTMB's line of the dispersion parameter (its ``printDispersion``: sigma^2 for
    gaussian and Gamma, the parameter itself otherwise, to 3 significant digits), and
    which information the Laplace approximation took, for a fit with either to say."""
    lines = []
    if fit.phi is not None:
        # R's formatC(value, digits = 3): "%.3g" in a field of 4.
        if fit.family in _VARIANCE_DISPERSION:
            lines.append(f"Dispersion estimate for {fit.family} family (sigma^2): {fit.phi**2:4.3g}")
        else:
            lines.append(f"Dispersion parameter for {fit.family} family (): {fit.phi:4.3g}")
    if fit.power is not None:
        lines.append(f"Tweedie power estimate: {fit.power:4.3g}")
    t = fit.zi_coef_table
    if t is not None:
        what = "Hurdle model" if fit.family.startswith("truncated") else "Zero-inflation model"
        cells = coefficient_cells(*(list(t[c].to_numpy(dtype=float)) for c in t.columns))
        header = ["", "Estimate", "Std. Error", "z value", "Pr(>|z|)"] + [""] * (len(cells[0]) - 4)
        rows = [[name, *c] for name, c in zip(t.index, cells, strict=True)]
        title = f"{what} (probability {fit.zi:.4g}):" if fit.zi is not None else f"{what} (logit):"
        lines += [title, *table_lines((header, rows, [True] + [False] * (len(header) - 1)))]
    if fit.phi is not None or fit.laplace == "observed":
        how = "observed" if fit.laplace == "observed" else "expected (Fisher)"
        lines.append(f"Laplace approximation with the {how} information at the conditional modes")
    return [*lines, ""] if lines else []


def coefficient_cells(
    est: Sequence[float], se: Sequence[float], z: Sequence[float], p: Sequence[float]
) -> list[list[str]]:
    """The cells of R's ``printCoefmat(digits = 4)`` of glmer's coefficient table:
    Estimate and Std. Error rounded together to 4 digits of their smallest entry and
    formatted as one column, z rounded to 3 decimals, p by ``format.pval`` to 3 digits,
    and the stars of significance when some p is below 0.1."""
    coef_se = [float(v) for v in (*est, *se)]
    finite = [abs(v) for v in coef_se if math.isfinite(v) and v != 0]
    digmin = 1 + math.floor(math.log10(min(finite))) if finite else 1
    cs = format_numbers([round(v, max(1, 4 - digmin)) if math.isfinite(v) else v for v in coef_se], 4)
    # A value printed as zero that is not zero gets one digit less of its own.
    for i, (v, text) in enumerate(zip(coef_se, cs, strict=True)):
        if math.isfinite(v) and (v == 0) != (float(text) == 0):
            cs[i] = format_numbers([v], 3)[0]
    zs = format_numbers([round(v, 3) if math.isfinite(v) else v for v in zap_small(z, 4)], 4)
    ps = [s or "NaN" for s in format_pvalues(p, 3)]
    starred = any(v < 0.1 for v in p if math.isfinite(v))
    n = len(est)
    return [[cs[i], cs[n + i], zs[i], ps[i], *([stars(p[i]).ljust(3)] if starred else [])] for i in range(n)]


class GlmmReport(ReportLayout):
    """The parts of a GLMM's reports."""

    @staticmethod
    def title(fit: Any, summary: bool) -> list[str]:
        how = "Laplace Approximation" if fit.nagq <= 1 else f"Adaptive Gauss-Hermite Quadrature, nAGQ = {fit.nagq}"
        if fit.nagq == 0:
            how += ", nAGQ = 0"
        text = f"Generalized linear mixed model fit by maximum likelihood ({how})"
        if len(text) + 3 + len("quorvelkit") <= WIDTH:
            return [f"{text} [quorvelkit]"]
        cut = text.rindex(" ", 0, WIDTH - 1)  # lme4 wraps at the last space within the width
        return [text[:cut], f"  {text[cut + 1 :]} [quorvelkit]"]

    @staticmethod
    def family(fit: Any) -> list[str]:
        return [f" Family: {fit.family}  ( {fit.link} )"]

    @staticmethod
    def inputs(fit: Any) -> tuple[Any, Any]:
        return fit._weights_column, fit._offset_column

    @classmethod
    def head_criteria(cls, fit: Any, summary: bool) -> list[str]:
        return [] if summary else cls.criteria(fit)

    @staticmethod
    def criteria(fit: Any) -> list[str]:
        """glmer's table of criteria: each rounded to one decimal and formatted together
        (the summary's "deviance" is -2 log-likelihood), df.resid as an integer."""
        values = [round(v, 1) for v in (fit.aic, fit.bic, fit.loglik, fit.m2loglik)]
        cells = format_numbers([*values, float(fit.df_resid)], 7)[:4] + [str(fit.df_resid)]
        return table_lines((["AIC", "BIC", "logLik", "deviance", "df.resid"], [cells], [False] * 5))

    @staticmethod
    def scaled_residuals(fit: Any) -> list[str]:
        """The quartiles of the Pearson residuals (glmer's scaled residuals: its scale is 1)."""
        if not fit.rows_kept:
            return ["Scaled residuals: not available (fitted from batches of rows, which are not kept)"]
        qs = np.quantile(fit.residuals("pearson").to_numpy(), [0, 0.25, 0.5, 0.75, 1.0])
        cells = format_numbers(zap_small(qs, 5), 4)
        return ["Scaled residuals:", *table_lines((["Min", "1Q", "Median", "3Q", "Max"], [cells], [False] * 5))]

    @staticmethod
    def random_effects(fit: Any, variances: bool) -> Table:
        """lme4's ``formatVC`` table: a row per random effect, the variances and the
        standard deviations each formatted as a column to 4 digits, correlations within
        a term to 2 decimals; left-aligned, as lme4 prints it. glmer's ``print`` shows
        the variances too."""
        vc = fit.varcorr
        single = vc[vc["var2"].isna()]
        var_s = format_numbers(single["vcov"].to_numpy(dtype=float), 4)
        sd_s = format_numbers(single["sdcor"].to_numpy(dtype=float), 4)
        width = max(len(cols) for _, cols in fit.re_terms) - 1
        rows, k = [], 0
        for grp, cols in fit.re_terms:
            pairs = vc[(vc["grp"] == grp) & vc["var2"].notna()]
            corr = {(a, b): c for a, b, c in zip(pairs["var1"], pairs["var2"], pairs["sdcor"], strict=True)}
            for j, col in enumerate(cols):
                cells = []
                for c in range(width):
                    r = corr.get((cols[c], col), math.nan) if c < j else math.nan
                    cells.append("" if math.isnan(r) else f"{round(r, 2):.2f}")
                rows.append([grp if j == 0 else "", col, var_s[k], sd_s[k], *cells])
                k += 1
        header = ["Groups", "Name", "Variance", "Std.Dev."] + (["Corr"] + [""] * (width - 1) if width else [])
        return header, rows, [True] * len(header)

    @staticmethod
    def fixed_effects(fit: Any) -> Table:
        t = fit.coef_table
        cells = coefficient_cells(*(list(t[c].to_numpy(dtype=float)) for c in t.columns))
        rows = [[name, *c] for name, c in zip(fit.fe_names, cells, strict=True)]
        with_stars = bool(rows) and len(rows[0]) == 6
        header = ["", "Estimate", "Std. Error", "z value", "Pr(>|z|)"] + ([""] if with_stars else [])
        return header, rows, [True] + [False] * 4 + [True] * with_stars

    @classmethod
    def fixed_block(cls, fit: Any) -> list[str]:
        table = cls.fixed_effects(fit)
        refs = reference_levels(fit)  # a note of its own, after glmer's block
        codes = ["---", SIGNIF_CODES] if len(table[0]) == 6 else []
        block = ["Fixed effects:", *table_lines(table), *codes, *(["", *refs] if refs else [])]
        return [*dispersion_lines(fit), *block]

    @staticmethod
    def short_fixed(fit: Any) -> list[str]:
        return format_numbers(fit.fixef.to_numpy(), 5)

    @staticmethod
    def extra_notes(fit: Any) -> list[str]:
        od = fit.overdispersion if fit.rows_kept else None
        if od is None:
            return []
        ratio = f"{od['pearson_chisq']:.4g} / {od['df_resid']} = {od['ratio']:.4g}"
        return [f"Overdispersion: Pearson chi^2 / df.resid = {ratio}"]

    @staticmethod
    def optimizer(fit: Any) -> list[str]:
        opt = fit.optimizer
        status = "converged" if opt["converged"] else "NOT converged"
        stage1 = f"{opt['fev_stage1']} evaluations in the nAGQ = 0 stage, then " if opt["fev_stage1"] else ""
        passes = f", {opt['passes']} passes over the batches" if "passes" in opt else ""
        return [
            f"Optimizer: {status}: {opt['message']}; {stage1}{opt['fev']} evaluations, {opt['iterations']} "
            f"iterations, max |gradient| {opt['grad_inf_norm']:.3g}{passes}",
            *([time_line(fit)] if math.isfinite(opt["seconds"]) else []),
        ]

    @staticmethod
    def html_criteria(fit: Any) -> tuple[list[str], list[str]]:
        return ["-2 logLik", "logLik", "AIC", "BIC"], [f"{v:.4f}" for v in (fit.m2loglik, fit.loglik, fit.aic, fit.bic)]

    @staticmethod
    def json_values(fit: Any) -> dict[str, Any]:
        return {
            "family": fit.family,
            "link": fit.link,
            "nagq": fit.nagq,
            "m2loglik": fit.m2loglik,
            "deviance": fit.deviance if fit.rows_kept else None,
            "df": fit.df,
            "df_resid": fit.df_resid,
            "vcov_source": fit.vcov_source,
            "overdispersion": fit.overdispersion if fit.rows_kept else None,
            "optimizer": {k: v for k, v in fit.optimizer.items() if k not in ("seconds", "total_seconds")},
        }

    json_keys: tuple[str, ...] = (
        "formula", "data", "family", "link", "nagq", "nobs", "n_dropped", "weights", "offset", "ngroups", "loglik",
        "m2loglik", "aic", "bic", "deviance", "df", "df_resid", "singular", "theta", "fixed_effects", "vcov_source",
        "cov_fixed", "dropped_columns", "varcorr", "random_effects", "overdispersion", "optimizer", "seconds",
    )  # fmt: skip
