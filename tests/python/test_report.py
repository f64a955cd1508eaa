"""The printed reports: lme4's summary and print of a fit, the notebook's HTML, and the
likelihood-ratio tests of nested models (anova) against lme4's; every figure they show
is the fitted value it names, and every p-value is printed as R prints it
(tests/data/pvalue_format.json, written by make_pvalue_format_reference.R there)."""

import itertools
import json
import math
import re
import subprocess
import sys
from html import unescape
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose
from printing import printed_alike

import quorvelkit as qk
from quorvelkit import anova, lmm
from quorvelkit.results.pvalues import format_numbers, format_pvalues

COLUMNS = ["Df", "AIC", "BIC", "logLik", "deviance", "Chisq", "Chi Df", "Pr(>Chisq)"]
DATA = Path(__file__).resolve().parent.parent / "data"
R_FORMAT = json.loads((DATA / "pvalue_format.json").read_text())
LMERTEST = json.loads((DATA / "models" / "lmertest.json").read_text())


def printed_text(table) -> list[dict[str, str]]:
    lines = repr(table).splitlines()
    rows = [next(line for line in lines if line.startswith(f"{label} "))[len(label) :] for label in table.index]
    return [dict(zip(COLUMNS, row.split(maxsplit=len(COLUMNS) - 1), strict=False)) for row in rows]


def column_cells(text: str, title: str | None, before: str, last: str) -> list[str]:
    """The cells of the column headed ``last`` in a right-aligned table whose header
    follows the line ``title`` (None: the first line holding ``last``), each from after
    the column ``before`` to the end of its header: what the R script cuts from R's."""
    lines = text.splitlines()
    at = lines.index(title) + 1 if title is not None else next(i for i, s in enumerate(lines) if last in s)
    start = lines[at].index(before) + len(before) + 1
    end = lines[at].index(last) + len(last)
    return [line[start:end].strip() for line in itertools.takewhile(lambda s: s not in ("", "---"), lines[at + 1 :])]


def printed_html(table) -> list[dict[str, str]]:
    html = table._repr_html_()
    header = [unescape(h) for h in re.findall(r"<th[^>]*>([^<]*)</th>", html)[1:]]
    rows = re.findall(r"<tr>(.*?)</tr>", html)[1:]
    return [dict(zip(header, re.findall(r"<td[^>]*>([^<]*)</td>", row)[1:], strict=True)) for row in rows]


def test_anova_matches_and_prints_like_lme4(data, reference):
    ref, ortho = reference("formula/orthodont_anova"), data("orthodont")
    fm0, fm1 = (lmm(f, ortho) for f in ref["formulas"])
    table = anova(fm1, fm0)  # REML fits are refitted by ML, rows ordered by parameters
    assert isinstance(table, qk.AnovaTable) and isinstance(table[["Df", "AIC"]], qk.AnovaTable)
    assert list(table.index) == [fm0.formula, fm1.formula] and list(table["Df"]) == ref["Df"]
    dev, df, log_n = table["deviance"], table["Df"], math.log(len(ortho))
    assert_allclose(dev, ref["deviance"], 1e-9)
    assert_allclose(table[["logLik", "AIC", "BIC"]], np.column_stack([-dev / 2, dev + 2 * df, dev + log_n * df]))
    assert np.isnan(table["Chisq"].iloc[0]) and table["Chi Df"].iloc[1] == ref["chi_df"]
    assert_allclose([table["Chisq"].iloc[1], table["Pr(>Chisq)"].iloc[1]], [ref["Chisq"], ref["p"]], 1e-6)
    assert list(anova(fm0, fm1, names=["fm0", "fm1"]).index) == ["fm0", "fm1"]
    assert anova(fm1.refit_ml(), fm1.refit_ml(), refit=False)["Chisq"].iloc[1] == 0.0
    # every printed cell is the table's: figures to 4 decimals, integer degrees of
    # freedom, and blank where the first model has no test (never NaN)
    want = [{c: f"{table[c].iloc[i]:.4f}" for c in COLUMNS[1:5]} | {"Df": str(ref["Df"][i])} for i in range(2)]
    want[1] |= {"Chisq": f"{ref['Chisq']:.4f}", "Chi Df": str(ref["chi_df"]), "Pr(>Chisq)": f"{ref['p']:.4g}"}
    assert printed_text(table) == want
    assert printed_html(table) == [want[0] | {"Chisq": "", "Chi Df": "", "Pr(>Chisq)": ""}, want[1]]
    assert "refitting" in repr(table) and "refitting" in table._repr_html_()


def criteria(text: str) -> dict[str, str]:
    """The criteria table of a summary: its header cells and the values below them."""
    lines = text.replace("REML crit", "REML_crit").splitlines()
    at = next(i for i, line in enumerate(lines) if line.split()[:2] == ["AIC", "BIC"])
    return dict(zip(lines[at].split(), lines[at + 1].split(), strict=True))


def section(text: str, title: str) -> list[list[str]]:
    """The rows of a table of the summary, from the line after ``title`` to a blank one."""
    lines = text.splitlines()
    start = lines.index(title) + 2
    end = next(i for i in range(start, len(lines)) if not lines[i].strip() or lines[i].startswith(("Number", "---")))
    return [line.split() for line in lines[start:end]]


@pytest.mark.parametrize("reml", [True, False])
def test_summary_shows_the_fitted_values(fm1, capsys, reml):
    fit = fm1 if reml else fm1.refit_ml()
    fit.summary()
    text = capsys.readouterr().out
    assert text.strip() == fit.summary_text().strip()
    values = [f"{v:.4f}" for v in (fit.aic, fit.bic, fit.loglik, fit.criterion)]
    names = ["AIC", "BIC", "logLik", "REML_crit" if reml else "deviance"]
    assert criteria(text) == dict(zip(names, values, strict=True)) | {"df.resid": str(fit.nobs - fit.n_params)}
    crit_line = "REML criterion at convergence" if reml else "Deviance (-2 log-likelihood)"
    assert f"{crit_line}: {fit.criterion:.4f}" in text
    assert "Number of obs: 180, groups:  Subject, 18" in text and "singular" not in text
    assert "t-tests use Satterthwaite's method" in text.splitlines()[0]
    for row, fe in zip(section(text, "Fixed effects:"), fit.coef_table.itertuples(), strict=True):
        name, est, se, df, t = row[:5]  # p: test_tables_print_p_values_as_lmertest_prints_them
        assert name == fe.Index
        assert [float(est), float(se), float(df), float(t)] == pytest.approx([fe[1], fe[2], fe[3], fe[4]], rel=1e-4)
        assert row[-1] == "***"  # both effects are far beyond 0.001
    assert "Signif. codes:" in text
    rows = section(text, "Random effects:")
    variances = [float(rows[0][2]), float(rows[1][1]), float(rows[2][1])]
    sds = [float(rows[0][3]), float(rows[1][2]), float(rows[2][2])]
    assert variances == pytest.approx(list(fit.varcorr["vcov"].iloc[[0, 1, 3]]), rel=1e-4)
    assert sds == pytest.approx(list(fit.varcorr["sdcor"].iloc[[0, 1, 3]]), rel=1e-4)
    assert float(rows[1][3]) == pytest.approx(fit.corr_re.iloc[1, 0], abs=5e-4)


def html_tables(html: str) -> list[list[list[str]]]:
    """Each table of an HTML report as rows of cells (the header its first row)."""
    return [
        [re.findall(r"<t[hd][^>]*>([^<]*)</t[hd]>", row) for row in re.findall(r"<tr>(.*?)</tr>", table)]
        for table in html.split("</table>")[:-1]
    ]


@pytest.mark.parametrize("glmm", [False, True], ids=["lmm", "glmm"])
def test_html_and_short_report_show_the_fitted_values(fm1, glmm):
    if glmm:
        cbpp = pd.read_csv(DATA / "glmm" / "cbpp.csv")
        fit = qk.glmm("cbind(incidence, size - incidence) ~ factor(period) + (1 | herd)", cbpp, "binomial")
        first = ["-2 logLik", fit.m2loglik]
        groups, counts, crit = "herd", ["56", "15"], "AIC"
    else:
        fit, first, groups, counts = fm1, ["REML criterion", fm1.criterion], "Subject", ["180", "18"]
        crit = f"REML criterion at convergence: {fm1.criterion:.4f}"
    criteria, random, fixed = html_tables(fit._repr_html_())
    values = [f"{v:.4f}" for v in (first[1], fit.loglik, fit.aic, fit.bic)] + counts
    names = [first[0], "logLik", "AIC", "BIC", "Obs.", f"Groups ({groups})"]
    assert dict(zip(*criteria, strict=True)) == dict(zip(names, values, strict=True))
    assert [row[1] for row in random[1:]] == [name for _, cols in fit.re_terms for name in cols] + [""] * (not glmm)
    assert [row[0] for row in fixed[1:]] == fit.fe_names
    assert [float(row[1]) for row in fixed[1:]] == pytest.approx(list(fit.fixef), rel=1e-3)
    text = repr(fit)
    assert crit in text
    names, values = text.splitlines()[-2:]
    assert names.split() == fit.fe_names
    assert [float(v) for v in values.split()] == pytest.approx(list(fit.fixef), rel=1e-4)


def test_notes_of_a_singular_fit_at_a_given_theta(data):
    # the notes of dropped rows and columns: test_design
    singular = lmm("Yield ~ 1 + (1 | Batch)", data("dyestuff2"), theta=[0.0])
    assert "boundary (singular) fit" in singular.summary_text() and "singular" in repr(singular)
    assert "not optimised" in singular.summary_text()


@pytest.mark.parametrize("case", R_FORMAT["cases"], ids=lambda c: f"{c['digits'][0]}:{','.join(c['values'])}")
def test_numbers_and_p_values_are_formatted_as_r_formats_them(case):
    # R's format() of a column (common decimals, or a common scientific mantissa when
    # narrower) and format.pval (below eps: "<" and eps, fitted to the others' width)
    values, digits = [float(v) for v in case["values"]], case["digits"][0]
    assert format_numbers(values, digits) == [s.strip() for s in case["format"]]
    if "format_pval" in case:
        assert format_pvalues(values, digits) == [s.strip() for s in case["format_pval"]]


@pytest.mark.parametrize("name", sorted(k for k in R_FORMAT["printed"] if k in LMERTEST))
def test_tables_print_p_values_as_lmertest_prints_them(model_data, name):
    # summary(fit) prints them by printCoefmat to 3 digits ("< 2e-16" or "<2e-16"),
    # anova(fit) by print.anova to 4 ("< 2.2e-16"), under its heading, with the other
    # columns to 5 digits; at lmerTest's theta the numbers agree far inside what is
    # printed
    ref, want = LMERTEST[name], R_FORMAT["printed"][name]
    fit = lmm(ref["formula"], model_data(ref["data"]), reml=ref["reml"], theta=np.atleast_1d(ref["theta"]))
    assert column_cells(fit.summary_text(), "Fixed effects:", "t value", "Pr(>|t|)") == want["summary_p"]
    html = fit._repr_html_().split("Fixed effects")[1]
    assert [unescape(c) for c in re.findall(r"<td[^>]*>([^<]*)</td>", html)[5::7]] == want["summary_p"]
    table = fit.anova_terms()
    text = repr(table)
    lines = text.splitlines()
    for ours, theirs in zip(lines, want["anova_lines"], strict=False):
        assert printed_alike(ours, theirs), (ours, theirs)
    assert lines[len(want["anova_lines"])] == "---"  # then the legend of the stars
    assert column_cells(text, None, "F value", "Pr(>F)") == want["anova_p"]
    assert [unescape(c) for c in re.findall(r"<td[^>]*>([^<]*)</td>", table._repr_html_())[6::8]] == want["anova_p"]


def test_likelihood_ratio_p_value_below_eps(data):
    # lme4 prints it "<2e-16" beside 0.2867 (format.pval fits it to the column); the
    # table keeps the value itself
    want = R_FORMAT["printed"]["lr_sleepstudy"]
    sleep = data("sleepstudy")
    table = anova(*(lmm(f, sleep, reml=False) for f in want["formulas"]))
    assert_allclose(table["Chisq"].iloc[1:], [float(v) for v in want["chisq"]], rtol=1e-7)
    assert_allclose(table["Pr(>Chisq)"].iloc[1:], [float(v) for v in want["p"]], rtol=1e-6)
    assert column_cells(repr(table), None, "Chi Df", "Pr(>Chisq)") == want["anova_p"]
    assert [unescape(row.get("Pr(>Chisq)", "")) for row in printed_html(table)] == want["anova_p"]


HEAVY = ("scipy", "matplotlib", "pyarrow", "dask", "distributed", "pyspark", "tqdm", "formulaic")
FIRST_CALLS = """
import json, sys
sys.path[:0] = {path!r}
import numpy, pandas
before = set(sys.modules)
import quorvelkit as qk
on_import = sorted(set(sys.modules) - before)
sleep = qk.load_sleepstudy()
fit = qk.lmm("Reaction ~ Days + (Days | Subject)", sleep)
fit.summary_text(), fit.coef_table, fit.anova_terms(), fit.contrast([0, 1]), fit.confint()
fit.predict(interval="prediction"), qk.anova(fit, qk.lmm("Reaction ~ 1 + (Days | Subject)", sleep))
print(json.dumps({{"on_import": on_import, "after": sorted(sys.modules)}}))
"""


def test_import_and_first_reports_load_no_heavy_module():
    # `import quorvelkit` adds none of them to what numpy and pandas load (pandas may
    # load pyarrow itself); the reports and tests never load scipy.stats (a second or
    # more in a fresh process): their tails come from scipy.special
    run = subprocess.run([sys.executable, "-c", FIRST_CALLS.format(path=sys.path)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    loaded = json.loads(run.stdout.splitlines()[-1])
    assert [m for m in loaded["on_import"] if m.split(".")[0] in HEAVY] == []
    assert [m for m in loaded["after"] if m.startswith(("scipy.stats", "matplotlib"))] == []
