"""fit.ranova() and fit.drop1() against lmerTest 3.1's ranova and drop1 tables and
stats::drop1(fit, test = "Chisq") (tests/data/models/make_lrt_reference.R), and the
Kenward-Roger tests against pbkrtest 0.5 and lmerTest's ddf = "Kenward-Roger"
(make_kr_reference.R)."""

import functools
import json
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quorvelkit as qk

DATA = Path(__file__).parent.parent / "data"
REF = json.loads((DATA / "models" / "lrt.json").read_text())
KR = json.loads((DATA / "models" / "kr.json").read_text())
FILES = {
    "machines": "models/machines.csv",
    "obk": "models/obk_long.csv",
    "fhch": "models/fhch_subset.csv",
    "trial200": "structures/trial200.csv",
    "oats": "crossed/oats.csv",
    "sleepstudy": "sleepstudy_data.csv",
    "orthodont": "models/orthodont.csv",
    "penicillin": "crossed/penicillin.csv",
    "chickweight": "models/chickweight.csv",
    "ham": "crossed/ham.csv",
}
CASES = [(c, t) for c in REF if c != "_meta" and "family" not in REF[c] for t in ("ranova", "drop1", "drop1_chisq")]


@functools.cache
def _fit(case: str, ref: str = "lrt") -> qk.LmmFit:
    m = (REF if ref == "lrt" else KR)[case]
    d = pd.read_csv(DATA / FILES[m["data"]])
    for col in {"Subject", "Chick", "Product", "Information", "Consumer", "Worker", "id"} & set(d.columns):
        d[col] = "L" + d[col].astype(str)  # R's factors: text labels, in the same order
    return qk.lmm(m["formula"], d, reml=m.get("reml", True), weights=m.get("weights"))


def _assert_table(got: pd.DataFrame, want: dict, rtol: float, loose: float = 0.0) -> None:
    """``got`` is R's table ``want`` to ``rtol``; its squares and standard errors to
    ``loose`` where given."""
    assert list(got.columns) == list(want["columns"])
    for col, values in want["columns"].items():
        expected = np.array([np.nan if v is None else v for v in values], dtype=float)
        # R's p-values: 1 - pchisq(...) (pbkrtest) loses what lies below 1e-16
        atol = 1e-9 if col.startswith("Pr") else 1e-15 if col == "p.value" else 0.0
        tol = loose if loose and col in ("Sum Sq", "Mean Sq", "Std. Error", "t value") else rtol
        np.testing.assert_allclose(got[col].to_numpy(dtype=float), expected, rtol=tol, atol=atol, err_msg=col)


@pytest.mark.parametrize(("case", "table"), CASES)
def test_tables_match_lmertest(case, table):
    fit = _fit(case)
    got = fit.ranova() if table == "ranova" else fit.drop1(test="Chisq" if table == "drop1_chisq" else "F")
    want = REF[case][table]
    # R's table of a model with no term to drop leaves its one row unnamed ("1")
    assert list(got.index) == (["<none>"] if want["rows"] == ["1"] else want["rows"])
    # The F tests are the fit's own (no refit): a REML theta agrees with lme4's to
    # some 1e-6 where the criterion is flat, and the F table with it.
    _assert_table(got, want, 3e-6 if table == "drop1" else 1e-6)


@pytest.mark.filterwarnings("ignore::quorvelkit.SingularFitWarning")  # fhch: a variance at zero
@pytest.mark.parametrize("case", [c for c in KR if c != "_meta"])
def test_kenward_roger_matches_pbkrtest(case):
    fit, want = _fit(case, "kr"), KR[case]
    kr = fit.kenward_roger()
    # lme4 stops its optimiser within some 1e-7 of the optimum in theta, which moves the
    # adjusted covariance by up to 1e-6 (the df and F, less sensitive, agree to 1.3e-7).
    adjusted = np.array(want["vcov_adjusted"])
    np.testing.assert_allclose(kr.cov_adjusted, adjusted, rtol=2e-6, atol=1e-12 * np.abs(adjusted).max())
    _assert_table(fit.coef_tests(ddf="kenward-roger"), want["coef"], 1e-6, loose=2e-6)
    if want["anova"]["rows"]:
        _assert_table(fit.anova_terms(ddf="Kenward-Roger"), want["anova"], 1e-6, loose=2e-6)
    tested = fit.contrast(np.array(want["L"], dtype=float).reshape(len(want["L"]), -1), ddf="kenward-roger")
    rows = want["contest_rows"]["columns"]  # lmerTest adds confidence limits to the t tests
    _assert_table(tested.tests, {"columns": {c: rows[c] for c in tested.tests.columns}}, 1e-6, loose=2e-6)
    _assert_table(tested.joint.to_frame().T, want["contest"], 1e-6, loose=2e-6)


@pytest.mark.parametrize("case", [c for c in REF if "family" in REF[c]])
def test_glmm_drop1_matches_glmer(case):
    m = REF[case]
    levels = {"use": ["N", "Y"], "urban": ["N", "Y"], "livch": ["0", "1", "2", "3+"], "period": list("1234")}
    d = pd.read_csv(DATA / "glmm" / f"{m['data']}.csv")
    for col in set(levels) & set(d.columns):
        d[col] = pd.Categorical(d[col].astype(str), categories=levels[col])
    fit = qk.glmm(m["formula"], d.astype({"district": str} if "district" in d else {"herd": str}), family=m["family"])
    got, want = fit.drop1(), m["drop1_chisq"]
    assert [r.replace(" ", "") for r in got.index] == want["rows"]
    # glmer stops up to 6e-4 above our optimum in deviance (cbpp), which AIC and LRT carry.
    for col, values in want["columns"].items():
        expected = np.array([np.nan if v is None else v for v in values], dtype=float)
        np.testing.assert_allclose(got[col].to_numpy(dtype=float), expected, rtol=1e-7, atol=1e-3, err_msg=col)
    with pytest.raises(ValueError, match="test must be 'Chisq'"):
        fit.drop1(test="F")


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [({"ddf": "containment"}, "ddf must be 'satterthwaite'"), ({"test": "LRT"}, "test must be 'F'")],
)
def test_drop1_refuses_what_it_does_not_offer(kwargs, message):
    with pytest.raises(ValueError, match=message):
        _fit("ortho").drop1(**kwargs)


def test_kenward_roger_refuses_ml_and_warns_at_a_boundary():
    with pytest.raises(ValueError, match="only available for REML"):
        _fit("ortho_ml").coef_tests(ddf="kenward-roger")
    d = pd.read_csv(DATA / "models" / "singular.csv")
    with pytest.warns(qk.SingularFitWarning):
        fit = qk.lmm("y ~ x + (x | g)", d)  # a correlation of -1: no neighbourhood
    with pytest.warns(UserWarning, match="boundary fit"):
        table = fit.coef_tests(ddf="kenward-roger")
    assert table[["Std. Error", "df", "Pr(>|t|)"]].isna().all().all()
    assert np.isfinite(fit.coef_tests()["df"]).all()


PB = json.loads((DATA / "models" / "pb.json").read_text())


@functools.cache
def _pb_fits(case: str) -> tuple[object, object]:
    m = PB[case]
    if m["family"] is None:
        d = pd.read_csv(DATA / FILES[m["data"]]).astype({"Subject": str})
        return qk.lmm(m["large"], d), qk.lmm(m["small"], d)
    d = pd.read_csv(DATA / "glmm" / "cbpp.csv").astype({"herd": str})
    d["period"] = pd.Categorical(d["period"].astype(str), categories=["1", "2", "3", "4"])
    return qk.glmm(m["large"], d, family=m["family"]), qk.glmm(m["small"], d, family=m["family"])


@pytest.mark.parametrize("case", [c for c in PB if c != "_meta"])
def test_parametric_bootstrap_matches_pbkrtest(case):
    want = PB[case]
    # The tests of R's own reference distribution: pbkrtest's summary, exactly.
    table, _ = qk.results.bootstrap_lrt.summarize(want["tobs"], want["ndf"], np.array(want["ref"]))
    _assert_table(table.reset_index(drop=True), want["test"], 1e-9)
    # Our statistic, and our draws: the same distribution as R's within Monte Carlo error.
    got = qk.pbmodcomp(*_pb_fits(case), nsim=want["nsim"], seed=11, progress=False)
    assert got.ndf == want["ndf"] and got.converged.all()
    # glmer stops 6e-4 above our optimum of cbpp's larger model (as the GLMM tests find)
    np.testing.assert_allclose(got.tobs, want["tobs"], rtol=1e-5 if want["family"] else 1e-6)
    ours, theirs = got.ref[got.ref > 0], np.array(want["ref"])[np.array(want["ref"]) > 0]
    se = np.sqrt(ours.var() / ours.size + theirs.var() / theirs.size)
    assert abs(ours.mean() - theirs.mean()) < 4 * se


def test_parametric_bootstrap_is_repeatable_and_refuses_what_is_not_nested():
    large, small = _pb_fits("sleep_days")
    a = qk.pbmodcomp(large, small, nsim=50, seed=5, progress=False)
    b = qk.pbmodcomp(small, large, nsim=50, seed=a.seed, progress=False)  # either order
    np.testing.assert_array_equal(a.ref, b.ref)
    assert a.formula_large == large.formula and "PBtest" in repr(a)
    # pbkrtest counts only positive replicates (a refit short of the optimum gives <= 0)
    table, moments = qk.results.bootstrap_lrt.summarize(1.0, 1, np.array([-1.0, 0.0, 2.0, 0.5]))
    assert table.loc["PBtest", "p.value"] == 2 / 3 and moments["npos"] == 2
    with pytest.raises(ValueError, match="not nested"):
        qk.pbmodcomp(large, large, nsim=5)
    with pytest.raises(TypeError, match="two LmmFit or two GlmmFit"):
        qk.pbmodcomp(large, _pb_fits("cbpp_period")[1], nsim=5)
    other = qk.lmm("Reaction ~ 1 + (1 | Subject)", qk.load_sleepstudy().iloc[:170])
    with pytest.raises(ValueError, match="same data"):
        qk.pbmodcomp(large, other, nsim=5)
