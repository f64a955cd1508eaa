"""The reports of every fitted model, written once: lme4's ``summary`` and ``print``, the
notebook's HTML and the JSON-ready dictionary, and the likelihood-ratio table's text and
HTML (lme4's ``anova``). A model class says what its reports show of their own through
its :class:`ReportLayout` (:mod:`~quorvelkit.results.lmm_report`,
:mod:`~quorvelkit.results.glmm_report`); the rest of every report is laid out here. The
functions take a fitted model (typed ``Any``): the fit classes use them, so this module
does not import them."""

from __future__ import annotations

import html
import math
from collections.abc import Sequence
from typing import Any

import numpy as np

from ..support.errors import SINGULAR_NOTE
from ..support.labels import is_missing, json_label, label_text
from .pvalues import format_pvalues

__all__ = [
    "ReportLayout",
    "format_summary",
    "format_short",
    "format_html",
    "fit_to_dict",
    "format_anova",
    "format_anova_html",
    "format_number",
]

#: A table to print: its header, its rows of cells, and which columns are left-aligned.
Table = tuple[list[str], list[list[str]], list[bool]]

#: An input given as an array rather than a column (see :meth:`ReportLayout.inputs`).
ARRAY = object()

SIGNIF_CODES = "Signif. codes:  0 '***' 0.001 '**' 0.01 '*' 0.05 '.' 0.1 ' ' 1"


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


def finite(v: Any) -> float | None:
    """``v`` as a float, None when it is not finite (JSON has no NaN or infinity)."""
    v = float(v)
    return v if math.isfinite(v) else None


def column_cells(values: Sequence[float], digits: int) -> list[str]:
    """Format a column with a common number of decimals: enough for ``digits``
    significant digits in its smallest non-zero entry (as R's ``format``), at most 10."""
    finite_abs = [abs(float(v)) for v in values if v is not None and math.isfinite(float(v)) and v != 0]
    if not finite_abs:
        return [format_number(v, digits) for v in values]
    small, large = min(finite_abs), max(finite_abs)
    missing = [v is None or (isinstance(v, float) and math.isnan(v)) for v in values]
    if large >= 1e12 or small < 1e-5:
        return ["" if gone else format_number(v, digits) for v, gone in zip(values, missing, strict=True)]
    dec = min(10, max(0, digits - 1 - math.floor(math.log10(small))))
    return ["" if gone else f"{float(v):.{dec}f}" for v, gone in zip(values, missing, strict=True)]


def table_lines(table: Table) -> list[str]:
    """A table aligned as text: columns flagged left-aligned, the others right."""
    header, rows, left = table
    cols = list(zip(*([list(header)] + [list(r) for r in rows]), strict=True))
    widths = [max(len(c) for c in col) for col in cols]
    return [
        " ".join(cell.ljust(widths[j]) if left[j] else cell.rjust(widths[j]) for j, cell in enumerate(r)).rstrip()
        for r in [header, *rows]
    ]


def html_table(table: Table) -> str:
    """A table as HTML, each cell aligned as :func:`table_lines` aligns it."""
    header, rows, left = table

    def cells(tag: str, texts: Sequence[str]) -> str:
        return "".join(
            f'<{tag} style="text-align:{"left" if is_left else "right"}">{html.escape(text)}</{tag}>'
            for text, is_left in zip(texts, left, strict=True)
        )

    body = "".join(f"<tr>{cells('td', r)}</tr>" for r in rows)
    return f"<table><thead><tr>{cells('th', header)}</tr></thead><tbody>{body}</tbody></table>"


def stars(p: float) -> str:
    """R's significance codes."""
    if not math.isfinite(p):
        return ""
    return "***" if p < 0.001 else "**" if p < 0.01 else "*" if p < 0.05 else "." if p < 0.1 else ""


def time_line(fit: Any) -> str:
    """The time the fit took, with and without building its model matrices."""
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
    counts = _group_counts(fit)
    groups = ", groups:  " + "; ".join(f"{name}, {m}" for name, m in counts) if counts else ""
    lines = [f"Number of obs: {fit.nobs}{groups}"]
    if fit.n_dropped:
        lines.append(f"({fit.n_dropped} observation{'s' if fit.n_dropped != 1 else ''} deleted due to missingness)")
    if fit.n_zero_weight:
        k = fit.n_zero_weight
        lines.append(f"({k} observation{'s' if k != 1 else ''} of weight zero left out)")
    return lines


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


def fixed_correlations(fit: Any) -> list[str]:
    """lme4's correlation table of the fixed effects (for up to 12 of them), as its
    ``print`` of a summary shows it for every model class: the lower triangle rounded to
    3 decimals and formatted to one width, columns left-aligned and headed by R's
    abbreviations of the names."""
    names = fit.fe_names
    p = len(names)
    if p < 2:
        return []
    if p > 12:
        return ["", f"Correlation matrix not shown by default, as p = {p} > 12."]
    cov = fit.cov_fixef.to_numpy()
    sd = np.sqrt(np.diag(cov))
    with np.errstate(invalid="ignore", divide="ignore"):
        corr = cov / np.outer(sd, sd)
    values = [[f"{round(corr[i, j], 3):.3f}" for j in range(i)] for i in range(1, p)]
    width = max(len(v) for row in values for v in row)  # R's format: one width for all
    rows = [[names[i], *(v.rjust(width) for v in row), *[""] * (p - 1 - i)] for i, row in enumerate(values, 1)]
    header = ["", *(r_abbreviate(n) for n in names[:-1])]
    return ["", "Correlation of Fixed Effects:", *table_lines((header, rows, [True] * p))]


def _call_lines(fit: Any, layout: type[ReportLayout]) -> list[str]:
    """The formula and the lines lme4 prints below it: the data, the prior weights and
    an offset given besides the formula's."""
    lines = [f"Formula: {fit.formula}"]
    if getattr(fit, "data_name", None):
        lines.append(f"   Data: {fit.data_name}")
    for name, given in zip(("Weights", " Offset"), layout.inputs(fit), strict=True):
        if given is not None:
            lines.append(f"{name}: {'given as an array' if given is ARRAY else given}")
    return lines


def _head(fit: Any, lay: type[ReportLayout], summary: bool) -> list[str]:
    return [*lay.family(fit), *_call_lines(fit, lay), *lay.head_criteria(fit, summary)]


class ReportLayout:
    """What a model class's reports show of their own; each method returns lines of
    text (or a :data:`Table`), and :func:`format_summary`, :func:`format_short`,
    :func:`format_html` and :func:`fit_to_dict` place them. A model class names its
    layout in its ``_report`` attribute."""

    #: The keys of :func:`fit_to_dict`'s dictionary, in order.
    json_keys: tuple[str, ...] = ()

    @staticmethod
    def title(fit: Any, summary: bool) -> list[str]:
        """The title (of the summary, or of the short report)."""
        raise NotImplementedError

    @staticmethod
    def inputs(fit: Any) -> tuple[Any, Any]:
        """The prior weights and the offset given besides the formula: a column's
        name, :data:`ARRAY`, or None."""
        raise NotImplementedError

    @staticmethod
    def family(fit: Any) -> list[str]:
        """The lines above the formula (the family and link)."""
        return []

    @staticmethod
    def head_criteria(fit: Any, summary: bool) -> list[str]:
        """The lines between the formula's and the summary's table of criteria, or
        the short report's random effects."""
        raise NotImplementedError

    @staticmethod
    def criteria(fit: Any) -> list[str]:
        """The table of the information criteria."""
        raise NotImplementedError

    @staticmethod
    def scaled_residuals(fit: Any) -> list[str]:
        """The quartiles of the scaled residuals, with their heading."""
        raise NotImplementedError

    @staticmethod
    def random_effects(fit: Any, variances: bool) -> Table:
        """The table of the variance components (with the variances or without)."""
        raise NotImplementedError

    @staticmethod
    def fixed_effects(fit: Any) -> Table:
        """The table of the fixed effects with their tests."""
        raise NotImplementedError

    @staticmethod
    def fixed_block(fit: Any) -> list[str]:
        """The summary's fixed effects: heading, table, codes and notes."""
        raise NotImplementedError

    @staticmethod
    def short_fixed(fit: Any) -> list[str]:
        """The short report's cells of the fixed effects."""
        raise NotImplementedError

    @staticmethod
    def structure_blocks(fit: Any) -> list[str]:
        """Blocks after the random effects: a residual structure's correlation and
        variance functions (nlme's "Correlation Structure" and "Variance function")."""
        return []

    @staticmethod
    def extra_notes(fit: Any) -> list[str]:
        """Notes of the model class's own, before the notes every fit may have."""
        return []

    @staticmethod
    def optimizer(fit: Any) -> list[str]:
        """The optimiser's report and the time taken."""
        raise NotImplementedError

    @staticmethod
    def html_criteria(fit: Any) -> tuple[list[str], list[str]]:
        """The header and the cells of the criteria in the notebook's table."""
        raise NotImplementedError

    @staticmethod
    def json_values(fit: Any) -> dict[str, Any]:
        """The values of :attr:`json_keys` that are the model class's own."""
        raise NotImplementedError


def format_summary(fit: Any) -> str:
    """The full report (lme4's ``summary``) with the optimiser's report and timing."""
    lay: type[ReportLayout] = fit._report
    lines = [*lay.title(fit, True), *_head(fit, lay, True), "", *lay.criteria(fit), ""]
    lines += [*lay.scaled_residuals(fit), "", "Random effects:"]
    lines += [" " + s for s in table_lines(lay.random_effects(fit, True))]
    lines += [*_nobs_line(fit), *lay.structure_blocks(fit), "", *lay.fixed_block(fit), *fixed_correlations(fit)]
    notes = lay.extra_notes(fit) + _notes(fit)
    lines += ["", *notes] if notes else []
    return "\n".join([*lines, "", *lay.optimizer(fit)])


def format_short(fit: Any) -> str:
    """The short report (lme4's ``print``)."""
    lay: type[ReportLayout] = fit._report
    lines = [*lay.title(fit, False), *_head(fit, lay, False), "Random effects:"]
    lines += [" " + s for s in table_lines(lay.random_effects(fit, False))]
    lines += [*_nobs_line(fit), *lay.structure_blocks(fit), "Fixed Effects:"]
    lines += table_lines((list(fit.fe_names), [lay.short_fixed(fit)], [False] * len(fit.fe_names)))
    return "\n".join(lines + _notes(fit))


def format_html(fit: Any) -> str:
    """An HTML rendering of the summary, for notebooks."""
    lay: type[ReportLayout] = fit._report
    title = " ".join(s.strip() for s in lay.title(fit, False))
    _, *call = _call_lines(fit, lay)
    header, cells = lay.html_criteria(fit)
    counts = "; ".join(str(m) for _, m in _group_counts(fit))
    criteria = [*header, "Obs.", f"Groups ({fit.group_name})"], [[*cells, str(fit.nobs), counts]], [False] * 6
    notes = lay.extra_notes(fit) + _notes(fit)
    if fit.n_dropped:
        notes.insert(0, f"{fit.n_dropped} observations deleted due to missingness")
    parts = [
        '<div class="quorvelkit-fit">',
        f"<p><b>{html.escape(title)}</b>"
        + "".join(f"<br>{html.escape(line.strip())}" for line in lay.family(fit))
        + f"<br>Formula: <code>{html.escape(fit.formula)}</code>"
        + "".join(f"<br>{html.escape(line.strip())}" for line in call)
        + "</p>",
        html_table(criteria),
        "<p><b>Random effects</b></p>",
        html_table(lay.random_effects(fit, True)),
        "<p><b>Fixed effects</b></p>",
        html_table(lay.fixed_effects(fit)),
        "<p>" + "<br>".join(html.escape(s.strip()) for s in notes + lay.optimizer(fit) if s) + "</p>",
        "</div>",
    ]
    return "\n".join(parts)


def random_effects_json(fit: Any) -> dict[str, Any]:
    """Each grouping factor's conditional modes and covariances as JSON-ready values."""
    cond = fit.cond_cov
    return {
        name: {
            "levels": [json_label(v) for v in ranef.index],
            "names": [str(c) for c in ranef.columns],
            "values": [[float(v) for v in row] for row in ranef.to_numpy()],
            "cond_cov": [[[float(v) for v in row] for row in mat] for mat in cond[name]],
        }
        for name, ranef in fit.ranef.items()
    }


#: The JSON keys of the coefficient table's columns, in the order they are written.
_COEF_KEYS = {
    "Estimate": "estimate",
    "Std. Error": "std_error",
    "t value": "t_value",
    "z value": "z_value",
    "df": "df",
    "Pr(>|t|)": "p_value",
    "Pr(>|z|)": "p_value",
}
_COEF_ORDER = ("estimate", "std_error", "t_value", "z_value", "df", "p_value")


def _fixed_effects_json(fit: Any) -> dict[str, dict[str, float | None]]:
    table = fit.coef_table
    out = {}
    for name, row in zip(fit.fe_names, table.to_dict(orient="records"), strict=True):
        cells = {_COEF_KEYS[k]: float(v) if k in ("Estimate", "Std. Error") else finite(v) for k, v in row.items()}
        out[name] = {k: cells[k] for k in _COEF_ORDER if k in cells}
    return out


def fit_to_dict(fit: Any) -> dict[str, Any]:
    """Every result of ``fit`` as JSON-ready Python values (what ``--json`` prints)."""
    lay: type[ReportLayout] = fit._report
    weights, offset = ("array" if v is ARRAY else v for v in lay.inputs(fit))
    values = {
        "formula": fit.formula,
        "data": getattr(fit, "data_name", None),
        "nobs": fit.nobs,
        "n_dropped": fit.n_dropped,
        "weights": weights,
        "offset": offset,
        "ngroups": fit.ngroups,
        "loglik": fit.loglik,
        "aic": fit.aic,
        "bic": fit.bic,
        "singular": fit.is_singular,
        "theta": [float(v) for v in fit.theta],
        "fixed_effects": _fixed_effects_json(fit),
        "dropped_columns": fit.dropped_columns,
        "cov_fixed": [[float(v) for v in row] for row in fit.cov_fixef.to_numpy()],
        "varcorr": [
            {k: (finite(float(v)) if isinstance(v, (float, np.floating)) else v) for k, v in rec.items()}
            for rec in fit.varcorr.to_dict(orient="records")
        ],
        "random_effects": random_effects_json(fit),
        "seconds": {"fit": fit.optimizer["seconds"], "total": fit.optimizer["total_seconds"]},
        **lay.json_values(fit),
    }
    return {key: values[key] for key in lay.json_keys}


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
    return "\n".join(notes + table_lines((header, rows, [True] + [False] * (len(header) - 1))))


def format_anova_html(table: Any) -> str:
    """An :func:`~quorvelkit.anova` table as HTML for notebooks, with the cells of
    :func:`format_anova` (blank where there is no test, integer degrees of freedom)."""
    notes, header, rows = _anova_cells(table)
    parts = ['<div class="quorvelkit-anova">']
    if notes:
        parts.append("<p>" + "<br>".join(html.escape(n) for n in notes) + "</p>")
    parts.append(html_table((header, rows, [True] + [False] * (len(header) - 1))))
    parts.append("</div>")
    return "\n".join(parts)
