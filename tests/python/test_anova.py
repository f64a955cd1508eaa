"""Likelihood-ratio tests of nested models (anova) against lme4's, and their table as
text and HTML."""

import math
import re
from html import unescape

import numpy as np
import pytest
from numpy.testing import assert_allclose
from scipy.stats import chi2

import quorvelkit as qk
from quorvelkit import anova, lmm

COLUMNS = ["Df", "AIC", "BIC", "logLik", "deviance", "Chisq", "Chi Df", "Pr(>Chisq)"]


def test_anova_matches_lme4(sleep, fm1, reference):
    fm0 = lmm("Reaction ~ Days + (1 | Subject)", sleep)
    ml1, ml0 = reference("sleepstudy")["ml"]["criterion"], reference("sleepstudy_int")["ml"]["criterion"]
    table = anova(fm1, fm0)  # REML fits are refitted by ML, rows ordered by parameters
    assert isinstance(table, qk.AnovaTable) and isinstance(table[["Df", "AIC"]], qk.AnovaTable)
    assert list(table.index) == [fm0.formula, fm1.formula] and list(table["Df"]) == [4, 6]
    assert_allclose(table["deviance"], [ml0, ml1], 1e-9)
    dev, df = table["deviance"], table["Df"]
    assert_allclose(
        table[["logLik", "AIC", "BIC"]], np.column_stack([-dev / 2, dev + 2 * df, dev + math.log(180) * df])
    )
    assert np.isnan(table["Chisq"].iloc[0]) and table["Chi Df"].iloc[1] == 2
    assert table["Chisq"].iloc[1] == pytest.approx(42.14, abs=0.01)
    assert table["Chisq"].iloc[1] == pytest.approx(ml0 - ml1, rel=1e-6)
    assert table["Pr(>Chisq)"].iloc[1] == pytest.approx(chi2.sf(ml0 - ml1, 2), rel=1e-5)
    assert table["Pr(>Chisq)"].iloc[1] == pytest.approx(7.0724e-10, rel=1e-3)
    assert list(anova(fm0, fm1, names=["fm0", "fm1"]).index) == ["fm0", "fm1"]
    assert anova(fm1.refit_ml(), fm1.refit_ml(), refit=False)["Chisq"].iloc[1] == 0.0
    with pytest.raises(ValueError, match="same data"):
        anova(fm1, lmm("Reaction ~ Days + (1 | Subject)", sleep.iloc[:170]))
    with pytest.raises(ValueError, match="two"):
        anova(fm1)
    with pytest.raises(ValueError, match="REML and ML"):
        anova(fm1, fm0.refit_ml(), refit=False)


def printed_text(table) -> list[dict[str, str]]:
    lines = repr(table).splitlines()
    out = []
    for label in table.index:
        cells = next(line for line in lines if line.startswith(f"{label} "))[len(label) :].split()
        out.append(dict(zip(COLUMNS, cells, strict=False)))
    return out


def printed_html(table) -> list[dict[str, str]]:
    html = table._repr_html_()
    header = [unescape(h) for h in re.findall(r"<th[^>]*>([^<]*)</th>", html)[1:]]
    rows = re.findall(r"<tr>(.*?)</tr>", html)[1:]
    return [dict(zip(header, re.findall(r"<td[^>]*>([^<]*)</td>", row)[1:], strict=True)) for row in rows]


def test_anova_prints_like_lme4(data, reference):
    ref = reference("formula/orthodont_anova")
    ortho = data("orthodont")
    table = anova(lmm(ref["formulas"][0], ortho), lmm(ref["formulas"][1], ortho))
    assert_allclose(table["deviance"], ref["deviance"], 1e-9)
    assert_allclose([table["Chisq"].iloc[1], table["Pr(>Chisq)"].iloc[1]], [ref["Chisq"], ref["p"]], 1e-6)
    # every printed cell is the table's: figures to 4 decimals, integer degrees of
    # freedom, and blank where the first model has no test (never NaN)
    want = [{c: f"{table[c].iloc[i]:.4f}" for c in COLUMNS[1:5]} | {"Df": str(ref["Df"][i])} for i in range(2)]
    want[1] |= {"Chisq": f"{ref['Chisq']:.4f}", "Chi Df": str(ref["chi_df"]), "Pr(>Chisq)": f"{ref['p']:.4g}"}
    assert printed_text(table) == want
    assert printed_html(table) == [want[0] | {"Chisq": "", "Chi Df": "", "Pr(>Chisq)": ""}, want[1]]
    assert "refitting" in repr(table) and "refitting" in table._repr_html_()
