"""Text, HTML and JSON-ready reports of a fitted model and of a likelihood-ratio table,
in the layout of lme4's ``summary``, ``print`` and ``anova`` methods. The functions take
a fitted model (an :class:`~quorvelkit.LmmFit`, typed ``Any``): the fit's class uses
them, so this module does not import it."""

from __future__ import annotations

import html
import math
from collections.abc import Sequence
from typing import Any

import numpy as np

from ..support.errors import SINGULAR_NOTE
from ..support.labels import is_missing, label_text
from .pvalues import format_pvalues

__all__ = [
    "format_summary",
    "format_short",
    "format_html",
    "format_anova",
    "format_anova_html",
    "format_number",
]


def format_number(v: float, digits: int = 5) -> str:
    """``v`` with ``digits`` significant digits, fixed notation when reasonable."""
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return ""
    v = float(v)
    if not math.isfinite(v):
        return "Inf" if v > 0 else "-Inf"
    if v == 0:
        return "0"
    mag = math.floor(math.log10(abs(v)))
    if mag >= 12 or mag <= -5:
        return f"{v:.{digits - 1}e}"
    dec = max(0, digits - 1 - mag)
    return f"{v:.{dec}f}"


def _finite(v: Any) -> float | None:
    """``v`` as a float, None when it is not finite (JSON has no NaN or infinity)."""
    v = float(v)
    return v if math.isfinite(v) else None


def _column(values: Sequence[float], digits: int) -> list[str]:
    """Format a column with a common number of decimals: enough for ``digits``
    significant digits in its smallest non-zero entry (as R's ``format``), at most 10."""
    finite = [abs(float(v)) for v in values if v is not None and math.isfinite(float(v)) and v != 0]
    if not finite:
        return [format_number(v, digits) for v in values]
    small = min(finite)
    large = max(finite)
    if large >= 1e12 or small < 1e-5:
        return [
            format_number(v, digits) if v is not None and not (isinstance(v, float) and math.isnan(v)) else ""
            for v in values
        ]
    dec = min(10, max(0, digits - 1 - math.floor(math.log10(small))))
    out = []
    for v in values:
        if v is None or (isinstance(v, float) and math.isnan(v)):
            out.append("")
        else:
            out.append(f"{float(v):.{dec}f}")
    return out


def _table(header: Sequence[str], rows: Sequence[Sequence[str]], left: Sequence[bool]) -> list[str]:
    """Align a table: columns flagged in ``left`` are left-aligned, others right."""
    cols = list(zip(*([list(header)] + [list(r) for r in rows]), strict=True))
    widths = [max(len(c) for c in col) for col in cols]
    lines = []
    for r in [header] + list(rows):
        cells = []
        for j, cell in enumerate(r):
            cells.append(cell.ljust(widths[j]) if left[j] else cell.rjust(widths[j]))
        lines.append(" ".join(cells).rstrip())
    return lines


def _title(fit: Any, tests: bool = False) -> str:
    how = "REML" if fit.reml else "maximum likelihood"
    if tests:  # the summary's, whose table has the t tests (as lmerTest titles it)
        return f"Linear mixed model fit by {how}. t-tests use Satterthwaite's method [quorvelkit]"
    return f"Linear mixed model fit by {how} [quorvelkit]"


def _varcorr_rows(fit: Any, with_variance: bool = True) -> tuple[list[str], list[list[str]], list[bool]]:
    """lme4's table of the variance components: a row per random effect, term by term
    (a term's name on its first row), correlations within a term only, the residual."""
    q = len(fit.re_names)
    cov = fit.cov_re.to_numpy()
    corr = fit.corr_re.to_numpy()
    var = [float(cov[i, i]) for i in range(q)] + [fit.sigma2]
    sd = [math.sqrt(max(v, 0.0)) for v in var]
    var_s = _column(var, 5)
    sd_s = _column(sd, 5)
    terms = fit.re_terms
    width = max(len(cols) for _, cols in terms) - 1  # correlation columns
    header = ["Groups", "Name"] + (["Variance"] if with_variance else []) + ["Std.Dev."]
    if width > 0:
        header += ["Corr"] + [""] * (width - 1)
    rows = []
    start = 0
    for grp, cols in terms:
        for k, name in enumerate(cols):
            i = start + k
            row = [grp if k == 0 else "", name] + ([var_s[i]] if with_variance else []) + [sd_s[i]]
            cells = []
            for j in range(width):
                c = corr[i, start + j] if j < k else math.nan
                cells.append("" if math.isnan(c) else f"{c:.3f}")
            rows.append(row + cells)
        start += len(cols)
    rows.append(["Residual", ""] + ([var_s[q]] if with_variance else []) + [sd_s[q]] + [""] * width)
    left = [True, True] + [False] * (len(header) - 2)
    return header, rows, left


def _criteria(fit: Any) -> list[str]:
    crit_name = "REML crit" if fit.reml else "deviance"
    header = ["AIC", "BIC", "logLik", crit_name, "df.resid"]
    vals = [
        f"{fit.aic:.4f}",
        f"{fit.bic:.4f}",
        f"{fit.loglik:.4f}",
        f"{fit.criterion:.4f}",
        str(fit.nobs - fit.n_params),
    ]
    return _table(header, [vals], [False] * 5)


def _stars(p: float) -> str:
    """R's significance codes."""
    if not math.isfinite(p):
        return ""
    return "***" if p < 0.001 else "**" if p < 0.01 else "*" if p < 0.05 else "." if p < 0.1 else ""


SIGNIF_CODES = "Signif. codes:  0 '***' 0.001 '**' 0.01 '*' 0.05 '.' 0.1 ' ' 1"


def _fixed_rows(fit: Any) -> tuple[list[str], list[list[str]], list[bool]]:
    table = fit.coef_table
    est = table["Estimate"].to_numpy()
    se = table["Std. Error"].to_numpy()
    tv = table["t value"].to_numpy()
    est_s = _column(list(est), 6)
    se_s = _column(list(se), 5)
    tv_s = [f"{t:.3f}" if math.isfinite(t) else "NaN" for t in tv]
    df_s = [s if s else "NaN" for s in _column(list(table["df"].to_numpy()), 5)]
    p = table["Pr(>|t|)"].to_numpy()
    # lmerTest's summary prints its p-values by printCoefmat: R's format.pval to 3 digits.
    p_s = [s or "NaN" for s in format_pvalues(p, 3)]
    rows = [
        [name, a, b, d, c, ps, _stars(pv)]
        for name, a, b, d, c, ps, pv in zip(fit.fe_names, est_s, se_s, df_s, tv_s, p_s, p, strict=True)
    ]
    header = ["", "Estimate", "Std. Error", "df", "t value", "Pr(>|t|)", ""]
    return header, rows, [True, False, False, False, False, False, True]


def _abbrev(name: str, width: int = 6) -> str:
    if len(name) <= width:
        return name
    inner = name.strip("()")
    vowels = "aeiouAEIOU"
    short = inner[0] + "".join(ch for ch in inner[1:] if ch not in vowels)
    short = short[: width - (2 if name.startswith("(") else 0)]
    return f"({short})" if name.startswith("(") else short


def _fixed_corr(fit: Any) -> list[str]:
    p = len(fit.fe_names)
    if p < 2 or p > 12:
        return []
    cov = fit.cov_fixef.to_numpy()
    sd = np.sqrt(np.diag(cov))
    with np.errstate(invalid="ignore", divide="ignore"):
        corr = cov / np.outer(sd, sd)
    header = [""] + [_abbrev(n) for n in fit.fe_names[:-1]]
    rows = []
    for i in range(1, p):
        rows.append([fit.fe_names[i]] + [f"{corr[i, j]:.3f}" if j < i else "" for j in range(p - 1)])
    return ["", "Correlation of Fixed Effects:"] + _table(header, rows, [True] + [False] * (p - 1))


def _optimizer_lines(fit: Any) -> list[str]:
    opt = fit.optimizer
    ev = opt["evaluator"]
    if opt["n_classes"] is not None:
        ev += f", {opt['n_classes']} class{'es' if opt['n_classes'] != 1 else ''} of groups"
    starts = opt["starts"]
    lines = [f"Optimizer: BFGS on the profiled criterion, {starts} start{'s' if starts != 1 else ''}; evaluator: {ev}"]
    status = "converged" if opt["converged"] else "NOT converged"
    lines.append(
        f"  {status}: {opt['message']}; {opt['iterations']} iterations, "
        f"{opt['fev']} evaluations, max |gradient| {opt['grad_inf_norm']:.3g}"
    )
    return lines


def _time_line(fit: Any) -> str:
    opt = fit.optimizer

    def ms(s: float) -> str:
        return f"{s * 1e3:.3g} ms" if s < 1 else f"{s:.3g} s"

    return f"Time: {ms(opt['seconds'])} to fit ({ms(opt['total_seconds'])} with the model matrices)"


def reference_levels(fit: Any) -> list[str]:
    """The note under the fixed-effects table naming the reference level of each factor
    coded by treatment contrasts (the level whose coefficient is the intercept's, the
    first of the factor's levels: R's order of text, a categorical's own order, numbers
    by value), e.g. "Reference levels: party = 'conservative', religion = 'none'";
    nothing for a model without such factors."""
    design = getattr(fit, "_design", None)
    categorical = getattr(getattr(design, "spec", None), "categorical", None) or {}
    names = set(getattr(getattr(design, "spec", None), "fe_all", None) or fit.fe_names)
    shown = []
    for expr, levels in categorical.items():
        if len(levels) < 2 or not any(n.startswith(expr) for n in names):
            continue  # a factor of the random part only
        if {f"{expr}{levels[0]}", f"{expr}[{levels[0]}]"} & names:
            continue  # coded by one column per level (no intercept): no reference
        shown.append(f"{expr} = {label_text(levels[0])}")
    return [f"Reference levels: {', '.join(shown)}"] if shown else []


def _notes(fit: Any) -> list[str]:
    lines = []
    if fit.dropped_columns:
        k = len(fit.dropped_columns)
        lines.append(
            f"fixed-effect model matrix is rank deficient so dropping {k} column"
            f"{'s' if k > 1 else ''}: {', '.join(fit.dropped_columns)}"
        )
    if fit.is_singular:
        lines.append(SINGULAR_NOTE)
    if not fit.converged:
        lines.append(f"the optimiser did not report convergence: {fit.optimizer['message']}")
    return lines


def _group_counts(fit: Any) -> list[tuple[str, int]]:
    """(factor, levels) of each grouping factor, in lme4's order."""
    return list(fit.ngroups.items())


def _nobs_line(fit: Any) -> list[str]:
    lines = [f"Number of obs: {fit.nobs}, groups:  " + "; ".join(f"{name}, {m}" for name, m in _group_counts(fit))]
    if fit.n_dropped:
        lines.append(f"({fit.n_dropped} observation{'s' if fit.n_dropped != 1 else ''} deleted due to missingness)")
    if fit.n_zero_weight:
        k = fit.n_zero_weight
        lines.append(f"({k} observation{'s' if k != 1 else ''} of weight zero left out)")
    return lines


def _call_lines(fit: Any) -> list[str]:
    """The lines lme4 prints below the formula: the data, the prior weights and an
    offset given besides the formula's."""
    design = fit._design
    lines = []
    data_name = getattr(fit, "data_name", None)
    if data_name:
        lines.append(f"   Data: {data_name}")
    if design.weighted:
        lines.append(f"Weights: {design.spec.weights_column or 'given as an array'}")
    if design.spec.offset_column is not None or design.spec.offset_array:
        lines.append(f" Offset: {design.spec.offset_column or 'given as an array'}")
    return lines


def _given_offset(fit: Any) -> str | None:
    """The offset given besides the formula's: its column, "array", or None."""
    design = fit._design
    return design.spec.offset_column or ("array" if design.spec.offset_array else None)


def _scaled_residuals(fit: Any) -> np.ndarray:
    """Residuals in units of their standard deviation sigma / sqrt(w) (lme4's Pearson
    residuals, scaled)."""
    res: np.ndarray = fit.residuals.to_numpy()
    if fit._design.weights is not None:
        res = res * np.sqrt(fit._design.weights)
    out: np.ndarray = res / fit.sigma if fit.sigma > 0 else res
    return out


def format_summary(fit: Any) -> str:
    """The full report (lme4's ``summary``) with the optimiser's report and timing."""
    lines = [_title(fit, tests=True), f"Formula: {fit.formula}"]
    lines += _call_lines(fit)
    lines.append("")
    crit = "REML criterion at convergence" if fit.reml else "Deviance (-2 log-likelihood)"
    lines.append(f"{crit}: {fit.criterion:.4f}")
    lines.append("")
    lines += _criteria(fit)
    lines.append("")
    if fit.rows_kept:
        qs = np.quantile(_scaled_residuals(fit), [0, 0.25, 0.5, 0.75, 1.0])
        lines.append("Scaled residuals:")
        lines += _table(["Min", "1Q", "Median", "3Q", "Max"], [[f"{v:.4f}" for v in qs]], [False] * 5)
    else:
        lines.append("Scaled residuals: not available (fitted from batches of rows, which are not kept)")
    lines.append("")
    lines.append("Random effects:")
    h, r, left = _varcorr_rows(fit)
    lines += [" " + s for s in _table(h, r, left)]
    lines += _nobs_line(fit)
    lines.append("")
    lines.append("Fixed effects:")
    h, r, left = _fixed_rows(fit)
    lines += _table(h, r, left)
    lines += ["---", SIGNIF_CODES]
    lines += reference_levels(fit)
    lines += _fixed_corr(fit)
    notes = _notes(fit)
    if notes:
        lines.append("")
        lines += notes
    lines.append("")
    lines += _optimizer_lines(fit)
    lines.append(_time_line(fit))
    return "\n".join(lines)


def format_short(fit: Any) -> str:
    """The short report (lme4's ``print``)."""
    crit = "REML criterion at convergence" if fit.reml else "Deviance (-2 log-likelihood)"
    lines = [
        _title(fit),
        f"Formula: {fit.formula}",
        *_call_lines(fit),
        f"{crit}: {fit.criterion:.4f}",
        "Random effects:",
    ]
    h, r, left = _varcorr_rows(fit, with_variance=False)
    lines += [" " + s for s in _table(h, r, left)]
    lines += _nobs_line(fit)
    lines.append("Fixed Effects:")
    est = _column(list(fit.fixef.to_numpy()), 5)
    lines += _table(list(fit.fe_names), [est], [False] * len(est))
    lines += _notes(fit)
    return "\n".join(lines)


def _html_table(header: Sequence[str], rows: Sequence[Sequence[str]], left: Sequence[bool]) -> str:
    def cell(tag: str, text: str, is_left: bool) -> str:
        align = "left" if is_left else "right"
        return f'<{tag} style="text-align:{align}">{html.escape(text)}</{tag}>'

    out = [
        "<table>",
        "<thead><tr>"
        + "".join(cell("th", h, is_left) for h, is_left in zip(header, left, strict=True))
        + "</tr></thead>",
        "<tbody>",
    ]
    for r in rows:
        out.append("<tr>" + "".join(cell("td", c, is_left) for c, is_left in zip(r, left, strict=True)) + "</tr>")
    out.append("</tbody></table>")
    return "".join(out)


def format_html(fit: Any) -> str:
    """An HTML rendering of the summary, for notebooks."""
    crit_name = "REML criterion" if fit.reml else "Deviance"
    parts = [
        '<div class="quorvelkit-fit">',
        f"<p><b>{html.escape(_title(fit))}</b><br>Formula: <code>{html.escape(fit.formula)}</code>"
        + "".join(f"<br>{html.escape(line.strip())}" for line in _call_lines(fit))
        + "</p>",
        _html_table(
            [crit_name, "logLik", "AIC", "BIC", "Obs.", f"Groups ({fit.group_name})"],
            [
                [
                    f"{fit.criterion:.4f}",
                    f"{fit.loglik:.4f}",
                    f"{fit.aic:.4f}",
                    f"{fit.bic:.4f}",
                    str(fit.nobs),
                    "; ".join(str(m) for _, m in _group_counts(fit)),
                ]
            ],
            [False] * 6,
        ),
        "<p><b>Random effects</b></p>",
        _html_table(*_varcorr_rows(fit)),
        "<p><b>Fixed effects</b></p>",
        _html_table(*_fixed_rows(fit)),
    ]
    notes = _notes(fit)
    if fit.n_dropped:
        notes.insert(0, f"{fit.n_dropped} observations deleted due to missingness")
    lines = _optimizer_lines(fit) + [_time_line(fit)]
    parts.append("<p>" + "<br>".join(html.escape(s.strip()) for s in notes + lines) + "</p>")
    parts.append("</div>")
    return "\n".join(parts)


def _anova_cells(table: Any) -> tuple[list[str], list[str], list[list[str]]]:
    """The notes, header and cells of an :func:`~quorvelkit.anova` table as lme4 prints
    them: integer degrees of freedom, blank cells where the first model has no test."""
    notes = []
    if table.attrs.get("refitted_ml"):
        notes.append("refitting model(s) with ML (instead of REML)")
    models = table.attrs.get("models", {})
    if models and any(k != v for k, v in models.items()):
        notes.append("Models:")
        notes += [f"{k}: {v}" for k, v in models.items()]
    header = [""] + list(table.columns)
    rows = []
    # print.anova prints the p-values by printCoefmat: R's format.pval to 4 digits.
    p_s = format_pvalues(table["Pr(>Chisq)"].to_numpy(dtype=float), 4)
    for label, rec, ps in zip(table.index, table.to_dict(orient="records"), p_s, strict=True):
        chi = rec["Chisq"]
        ddf = rec["Chi Df"]
        rows.append(
            [
                str(label),
                str(int(rec["Df"])),
                f"{rec['AIC']:.4f}",
                f"{rec['BIC']:.4f}",
                f"{rec['logLik']:.4f}",
                f"{rec['deviance']:.4f}",
                "" if is_missing(chi) else f"{chi:.4f}",
                "" if is_missing(ddf) else str(int(ddf)),
                ps,
            ]
        )
    return notes, header, rows


def format_anova(table: Any) -> str:
    """An :func:`~quorvelkit.anova` table in lme4's layout."""
    notes, header, rows = _anova_cells(table)
    return "\n".join(notes + _table(header, rows, [True] + [False] * (len(header) - 1)))


def format_anova_html(table: Any) -> str:
    """An :func:`~quorvelkit.anova` table as HTML for notebooks, with the cells of
    :func:`format_anova` (blank where there is no test, integer degrees of freedom)."""
    notes, header, rows = _anova_cells(table)
    parts = ['<div class="quorvelkit-anova">']
    if notes:
        parts.append("<p>" + "<br>".join(html.escape(n) for n in notes) + "</p>")
    parts.append(_html_table(header, rows, [True] + [False] * (len(header) - 1)))
    parts.append("</div>")
    return "\n".join(parts)
