"""What the reports of a model with a residual structure show of their own: nlme's
title (lme's or gls's), its "Correlation Structure" and "Variance function" blocks, and
the optimiser's report of the joint search over Lambda and the structure. The rest is
the linear mixed model's (:class:`~quorvelkit.results.lmm_report.LmmReport`)."""

from __future__ import annotations

from typing import Any

import numpy as np

from .lmm_report import LmmReport
from .report import Table, column_cells, finite, table_lines, time_line

__all__ = ["StructuredReport"]

_CORRELATION_TITLES = {
    "ar1": "AR(1)",
    "car1": "Continuous AR(1)",
    "cs": "Compound symmetry",
    "us": "General correlation",
    "exp": "Exponential spatial correlation",
    "gaus": "Gaussian spatial correlation",
    "toep": "Toeplitz",
    "ad": "First-order ante-dependence",
}
_VARIANCE_TITLES = {
    "ident": "Different standard deviations per stratum",
    "power": "Power of variance covariate",
    "exp": "Exponential of variance covariate",
}


def _named_values(names: list[Any], values: list[float], per_line: int = 6) -> list[str]:
    """Named values as R prints a named vector: a row of names over a row of values,
    ``per_line`` to a row."""
    cells = column_cells(values, 7)
    shown = [":".join(map(str, n)) if isinstance(n, tuple) else str(n) for n in names]
    lines: list[str] = []
    for at in range(0, len(shown), per_line):
        part = shown[at : at + per_line]
        lines += table_lines((part, [cells[at : at + per_line]], [False] * len(part)))
    return lines


class StructuredReport(LmmReport):
    """The parts of the reports of a model with a residual structure."""

    @staticmethod
    def title(fit: Any, summary: bool) -> list[str]:
        how = "REML" if fit.reml else "maximum likelihood"
        what = "Linear mixed model" if fit.re_terms else "Generalized least squares"
        return [f"{what} fit by {how}, with a residual structure [quorvelkit]"]

    @staticmethod
    def scaled_residuals(fit: Any) -> list[str]:
        """The quartiles of the standardised residuals: each divided by its standard
        deviation sigma delta (nlme's "Standardized Within-Group Residuals")."""
        if not fit.rows_kept:
            return LmmReport.scaled_residuals(fit)
        qs = np.quantile(fit.standardized_residuals.to_numpy(), [0, 0.25, 0.5, 0.75, 1.0])
        quartiles = ["Min", "1Q", "Median", "3Q", "Max"], [[f"{v:.4f}" for v in qs]], [False] * 5
        return ["Scaled residuals:", *table_lines(quartiles)]

    @staticmethod
    def random_effects(fit: Any, variances: bool) -> Table:
        if fit.re_terms:
            return LmmReport.random_effects(fit, variances)
        cells = column_cells([fit.sigma2], 5) if variances else []
        header = ["Groups", "Name", *(["Variance"] if variances else []), "Std.Dev."]
        return (
            header,
            [["Residual", "", *cells, *column_cells([fit.sigma], 5)]],
            [True, True] + [False] * (len(header) - 2),
        )

    @staticmethod
    def structure_blocks(fit: Any) -> list[str]:
        spec = fit.structure
        lines: list[str] = []
        corr = fit.correlation
        if spec.correlation != "none":
            form = " + ".join(spec.position) or "1"
            lines += [f"Correlation Structure: {_CORRELATION_TITLES[spec.correlation]}"]
            subject = spec.subject or fit.group_name or "(all rows)"
            lines += [f" Formula: ~{form} | {spec.group + ' / ' if spec.group else ''}{subject}"]
            lines += [" Parameter estimate(s):", *_named_values(list(corr.index), list(corr.to_numpy()))]
        for v, values in zip(spec.variances, fit.variance_function, strict=True):
            form = f"~1 | {v.by + ' * ' if v.by else ''}{v.column}" if v.kind == "ident" else f"~{v.column}"
            lines += ["Variance function:", f" Structure: {_VARIANCE_TITLES[v.kind]}", f" Formula: {form}"]
            lines += [" Parameter estimates:", *_named_values(list(values.index), list(values.to_numpy()))]
        return lines

    @staticmethod
    def optimizer(fit: Any) -> list[str]:
        opt = fit.optimizer
        status = "converged" if opt["converged"] else "NOT converged"
        return [
            "Optimizer: BFGS on the profiled criterion over Lambda and the structure's parameters",
            f"  {status}: {opt['message']}; {opt['iterations']} iterations, {opt['fev']} evaluations, "
            f"max |gradient| {opt['grad_inf_norm']:.3g}",
            time_line(fit),
        ]

    @staticmethod
    def json_values(fit: Any) -> dict[str, Any]:
        spec = fit.structure
        corr = fit.correlation
        return {
            "method": fit.method,
            "reml": fit.reml,
            "criterion": fit.criterion,
            "df": fit.n_params,
            "sigma": fit.sigma,
            "structure": {
                "text": spec.text,
                "correlation": spec.correlation,
                "parameters": {str(k): finite(v) for k, v in corr.items()},
                "variances": [
                    {"text": v.text, "values": {str(k): finite(x) for k, x in s.items()}}
                    for v, s in zip(spec.variances, fit.variance_function, strict=True)
                ],
            },
            "optimizer": {k: v for k, v in fit.optimizer.items() if k not in ("seconds", "total_seconds")},
        }

    json_keys: tuple[str, ...] = (
        "formula", "data", "method", "reml", "nobs", "n_dropped", "weights", "offset", "ngroups", "criterion",
        "loglik", "aic", "bic", "df", "singular", "theta", "sigma", "structure", "fixed_effects", "dropped_columns",
        "cov_fixed", "varcorr", "random_effects", "optimizer", "seconds",
    )  # fmt: skip
