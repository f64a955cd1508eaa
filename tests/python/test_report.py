"""The printed reports of a fit (lme4's summary and print, the notebook's HTML): every
figure they show is the fitted value it names."""

import re

import pytest

from quorvelkit import RankDeficiencyWarning, lmm


def criteria(text: str) -> dict[str, str]:
    """The criteria table of a summary: its header cells and the values below them."""
    lines = text.replace("REML crit", "REML_crit").splitlines()
    at = next(i for i, line in enumerate(lines) if line.split()[:2] == ["AIC", "BIC"])
    return dict(zip(lines[at].split(), lines[at + 1].split(), strict=True))


def expected_criteria(fit) -> dict[str, str]:
    crit = "REML_crit" if fit.reml else "deviance"
    values = [fit.aic, fit.bic, fit.loglik, fit.criterion]
    return dict(zip(["AIC", "BIC", "logLik", crit], [f"{v:.4f}" for v in values], strict=True)) | {
        "df.resid": str(fit.nobs - fit.n_params)
    }


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
    assert criteria(text) == expected_criteria(fit)
    crit_line = "REML criterion at convergence" if reml else "Deviance (-2 log-likelihood)"
    assert f"{crit_line}: {fit.criterion:.4f}" in text
    assert "Number of obs: 180, groups:  Subject, 18" in text and "singular" not in text
    assert "t-tests use Satterthwaite's method" in text.splitlines()[0]
    for row, fe in zip(section(text, "Fixed effects:"), fit.coef_table.itertuples(), strict=True):
        name, est, se, df, t, p = row[:6]
        assert name == fe.Index
        assert [float(est), float(se), float(df), float(t)] == pytest.approx([fe[1], fe[2], fe[3], fe[4]], rel=1e-4)
        if p == "<2e-16":
            assert fe[5] < 2e-16
        else:
            assert float(p) == pytest.approx(fe[5], rel=1e-2)  # 3 significant digits
        assert row[6:] == ["***"]  # both effects are far beyond 0.001
    assert "Signif. codes:" in text
    rows = section(text, "Random effects:")
    variances = [float(rows[0][2]), float(rows[1][1]), float(rows[2][1])]
    sds = [float(rows[0][3]), float(rows[1][2]), float(rows[2][2])]
    assert variances == pytest.approx(list(fit.varcorr["vcov"].iloc[[0, 1, 3]]), rel=1e-4)
    assert sds == pytest.approx(list(fit.varcorr["sdcor"].iloc[[0, 1, 3]]), rel=1e-4)
    assert float(rows[1][3]) == pytest.approx(fit.corr_re.iloc[1, 0], abs=5e-4)


def test_html_shows_the_fitted_values(fm1):
    html = fm1._repr_html_()
    first = html.split("</table>")[0]
    header = re.findall(r"<th[^>]*>([^<]*)</th>", first)
    cells = re.findall(r"<td[^>]*>([^<]*)</td>", first)
    assert dict(zip(header, cells, strict=True)) == {
        "REML criterion": f"{fm1.criterion:.4f}",
        "logLik": f"{fm1.loglik:.4f}",
        "AIC": f"{fm1.aic:.4f}",
        "BIC": f"{fm1.bic:.4f}",
        "Obs.": "180",
        "Groups (Subject)": "18",
    }
    assert "Random effects" in html and "Fixed effects" in html


def test_short_report(fm1):
    text = repr(fm1)
    assert f"REML criterion at convergence: {fm1.criterion:.4f}" in text
    names, values = text.splitlines()[-2:]
    assert names.split() == ["(Intercept)", "Days"]
    assert [float(v) for v in values.split()] == pytest.approx(list(fm1.fixef), rel=1e-4)


def test_notes(data, sleep):
    singular = lmm("Yield ~ 1 + (1 | Batch)", data("dyestuff2"), theta=[0.0])
    assert "boundary (singular) fit" in singular.summary_text() and "singular" in repr(singular)
    incomplete = sleep.astype({"Reaction": float})
    incomplete.loc[[3, 50], "Reaction"] = None
    with pytest.warns(RankDeficiencyWarning):
        fit = lmm("Reaction ~ Days + Days2 + (1 | Subject)", incomplete.assign(Days2=2 * sleep["Days"]))
    assert "2 observations deleted due to missingness" in fit.summary_text()
    assert "rank deficient so dropping 1 column: Days2" in fit.summary_text()
    assert "not optimised" in singular.summary_text()
