"""The reports of a fitted GLMM in the layout of lme4's ``summary`` and ``print`` of a
glmer fit, every number formatted as R formats it there (``printCoefmat`` for the
fixed effects, ``formatVC`` for the variance components, ``abbreviate`` for the
correlation table's header), and its JSON-ready dictionary. The functions take a
:class:`~quorvelkit.results.glmm_fit.GlmmFit` (typed ``Any``: the fit's class uses them)."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np

from .pvalues import format_numbers, format_pvalues, zap_small
from .report import SIGNIF_CODES, _nobs_line, _notes, _stars, _table, reference_levels

__all__ = ["format_glmm_summary", "format_glmm_short", "r_abbreviate", "coefficient_cells"]

#: R's default line width, at which lme4 wraps the title.
WIDTH = 80


def r_abbreviate(name: str, minlength: int = 6) -> str:
    """R's ``abbreviate(name, minlength)`` of one name (its default method): from the
    right, drop lower-case vowels ending a word, then other lower-case vowels, then
    lower-case letters ending a word, then other lower-case letters, then any
    characters, never a word's first, until ``minlength`` characters are left."""
    s = list(name.strip())
    if len(s) <= minlength:
        return "".join(s)

    def first(i: int) -> bool:
        return s[i - 1].isspace()

    def last(i: int) -> bool:
        return not s[i - 1].isspace() and (i + 1 == len(s) or s[i + 1].isspace())

    rules = [
        lambda i: s[i] in "aeiou" and last(i),
        lambda i: s[i] in "aeiou" and not first(i),
        lambda i: s[i].islower() and last(i),
        lambda i: s[i].islower() and not first(i),
        lambda i: not first(i) and not s[i].isspace(),
    ]
    for rule in rules:
        i = len(s) - 1
        while i > 0:
            if rule(i):
                del s[i]
            if len(s) - sum(c.isspace() for c in s) <= minlength:
                return "".join(c for c in s if not c.isspace())
            i -= 1
    return "".join(c for c in s if not c.isspace())


def _title(fit: Any) -> list[str]:
    how = "Laplace Approximation" if fit.nagq <= 1 else f"Adaptive Gauss-Hermite Quadrature, nAGQ = {fit.nagq}"
    if fit.nagq == 0:
        how += ", nAGQ = 0"
    text = f"Generalized linear mixed model fit by maximum likelihood ({how})"
    if len(text) + 3 + len("quorvelkit") <= WIDTH:
        return [f"{text} [quorvelkit]"]
    cut = text.rindex(" ", 0, WIDTH - 1)  # lme4 wraps at the last space within the width
    return [text[:cut], f"  {text[cut + 1 :]} [quorvelkit]"]


def _call_lines(fit: Any) -> list[str]:
    lines = [f" Family: {fit.family}  ( {fit.link} )", f"Formula: {fit.formula}"]
    if fit.data_name:
        lines.append(f"   Data: {fit.data_name}")
    if fit._weights_column is not None:
        lines.append(f"Weights: {fit._weights_column}")
    if fit._offset_column is not None:
        lines.append(f" Offset: {fit._offset_column}")
    return lines


def _criteria(fit: Any) -> list[str]:
    """glmer's table of criteria: each rounded to one decimal and formatted together
    (the summary's "deviance" is -2 log-likelihood), df.resid as an integer."""
    values = [round(v, 1) for v in (fit.aic, fit.bic, fit.loglik, fit.m2loglik)]
    cells = format_numbers([*values, float(fit.df_resid)], 7)[:4] + [str(fit.df_resid)]
    return _table(["AIC", "BIC", "logLik", "deviance", "df.resid"], [cells], [False] * 5)


def _scaled_residuals(fit: Any) -> list[str]:
    """The quartiles of the Pearson residuals (glmer's scaled residuals: its scale is 1)."""
    qs = np.quantile(fit.residuals("pearson").to_numpy(), [0, 0.25, 0.5, 0.75, 1.0])
    cells = format_numbers(zap_small(qs, 5), 4)
    return ["Scaled residuals:", *_table(["Min", "1Q", "Median", "3Q", "Max"], [cells], [False] * 5)]


def _random_effects(fit: Any) -> list[str]:
    """lme4's ``formatVC`` table: a row per random effect, the variances and the standard
    deviations each formatted as a column to 4 digits, correlations within a term to 2
    decimals; left-aligned, as lme4 prints it."""
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
    return ["Random effects:", *(" " + s for s in _table(header, rows, [True] * len(header)))]


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
    stars = any(v < 0.1 for v in p if math.isfinite(v))
    n = len(est)
    return [[cs[i], cs[n + i], zs[i], ps[i], *([_stars(p[i]).ljust(3)] if stars else [])] for i in range(n)]


def _fixed_effects(fit: Any) -> list[str]:
    t = fit.coef_table
    cells = coefficient_cells(*(list(t[c].to_numpy(dtype=float)) for c in t.columns))
    rows = [[name, *c] for name, c in zip(fit.fe_names, cells, strict=True)]
    stars = bool(rows) and len(rows[0]) == 6
    header = ["", "Estimate", "Std. Error", "z value", "Pr(>|z|)"] + ([""] if stars else [])
    lines = ["Fixed effects:", *_table(header, rows, [True] + [False] * 4 + [True] * stars)]
    refs = reference_levels(fit)  # a note of its own, after glmer's block
    return lines + (["---", SIGNIF_CODES] if stars else []) + (["", *refs] if refs else [])


def _fixed_correlations(fit: Any) -> list[str]:
    """lme4's correlation table of the fixed effects (up to 12 of them): the lower
    triangle to 3 decimals, the columns headed by the abbreviated names."""
    names = fit.fe_names
    p = len(names)
    if p < 2:
        return []
    if p > 12:
        return ["", f"Correlation matrix not shown by default, as p = {p} > 12."]
    cov = fit.vcov.to_numpy()
    sd = np.sqrt(np.diag(cov))
    with np.errstate(invalid="ignore", divide="ignore"):
        corr = cov / np.outer(sd, sd)
    rows = [[names[i]] + [f"{round(corr[i, j], 3):.3f}" if j < i else "" for j in range(p - 1)] for i in range(1, p)]
    header = [""] + [r_abbreviate(n) for n in names[:-1]]
    return ["", "Correlation of Fixed Effects:", *_table(header, rows, [True] * p)]


def _overdispersion(fit: Any) -> list[str]:
    od = fit.overdispersion
    if od is None:
        return []
    return [
        f"Overdispersion: Pearson chi^2 / df.resid = {od['pearson_chisq']:.4g} / {od['df_resid']} = {od['ratio']:.4g}"
    ]


def _optimizer(fit: Any) -> list[str]:
    opt = fit.optimizer
    status = "converged" if opt["converged"] else "NOT converged"
    stage1 = f"{opt['fev_stage1']} evaluations in the nAGQ = 0 stage, then " if opt["fev_stage1"] else ""
    s, total = opt["seconds"], opt["total_seconds"]

    def ms(v: float) -> str:
        return f"{v * 1e3:.3g} ms" if v < 1 else f"{v:.3g} s"

    return [
        f"Optimizer: {status}: {opt['message']}; {stage1}{opt['fev']} evaluations, {opt['iterations']} iterations, "
        f"max |gradient| {opt['grad_inf_norm']:.3g}",
        f"Time: {ms(s)} to fit ({ms(total)} with the model matrices)" if math.isfinite(s) else "",
    ]


def format_glmm_summary(fit: Any) -> str:
    """glmer's ``summary``, then the overdispersion ratio, notes and the optimiser's report."""
    lines = [*_title(fit), *_call_lines(fit), "", *_criteria(fit), "", *_scaled_residuals(fit), ""]
    lines += _random_effects(fit) + _nobs_line(fit) + ["", *_fixed_effects(fit), *_fixed_correlations(fit)]
    extra = _overdispersion(fit) + _notes(fit)
    lines += ["", *extra] if extra else []
    lines += ["", *(s for s in _optimizer(fit) if s)]
    return "\n".join(lines)


def format_glmm_short(fit: Any) -> str:
    """glmer's ``print``: criteria, standard deviations of the random effects, fixed effects."""
    lines = [*_title(fit), *_call_lines(fit), *_criteria(fit), "Random effects:"]
    lines += [s for s in _random_effects(fit)[1:]] + _nobs_line(fit) + ["Fixed Effects:"]
    lines += _table(fit.fe_names, [format_numbers(fit.fixef.to_numpy(), 5)], [False] * len(fit.fe_names))
    return "\n".join(lines + _notes(fit))
