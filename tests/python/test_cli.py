"""The command line, `python -m quorvelkit`, run as a subprocess."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

DATA = Path(__file__).parent.parent / "data"
SLEEP = str(DATA / "sleepstudy_data.csv")
DYE = str(DATA / "dyestuff_data.csv")
FM1 = "Reaction ~ Days + (Days | Subject)"


def _ref(case: str) -> dict:
    return json.loads((DATA / f"{case}.json").read_text())


def run(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess:
    env = dict(os.environ)
    env.pop("PYTHONWARNINGS", None)
    return subprocess.run(
        [sys.executable, "-m", "quorvelkit", *args],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=cwd,
        env=env,
    )


def _criterion(stdout: str) -> float:
    for line in stdout.splitlines():
        if line.startswith("REML criterion at convergence:") or line.startswith("Deviance (-2 log-likelihood):"):
            return float(line.split(":")[1])
    raise AssertionError(f"no criterion in output:\n{stdout}")


# ------------------------------------------------------------------ successful runs


def test_no_arguments_fits_the_bundled_sleepstudy(tmp_path):
    res = run(cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    assert res.stderr == ""
    out = res.stdout
    for piece in [
        "Linear mixed model fit by REML",
        f"Formula: {FM1}",
        "sleepstudy",
        "REML criterion at convergence: 1743.6283",
        "AIC",
        "BIC",
        "logLik",
        "Random effects:",
        "(Intercept)",
        "Residual",
        "Corr",
        "Number of obs: 180, groups:  Subject, 18",
        "Fixed effects:",
        "Estimate Std. Error t value",
        "Optimizer:",
        "iterations",
        "evaluations",
        "Time:",
    ]:
        assert piece in out, piece
    assert _criterion(out) == pytest.approx(_ref("sleepstudy")["reml"]["criterion"], abs=1e-4)
    # lme4's variance components on the scale of the data: 612.1, 35.07, 654.9
    assert " 612.09" in out and " 35.07" in out and " 654.94" in out
    assert "24.740" in out and "5.922" in out and "25.59" in out
    assert "251.405" in out and "6.8246" in out and "36.838" in out


TABLE = [
    # (arguments, reference case, method)
    ([SLEEP, FM1], "sleepstudy", "reml"),
    ([SLEEP, FM1, "--ml"], "sleepstudy", "ml"),
    ([SLEEP, "Reaction ~ Days + (1 | Subject)"], "sleepstudy_int", "reml"),
    ([DYE, "Yield ~ 1 + (1 | Batch)"], "dyestuff", "reml"),
    ([DYE, "Yield ~ 1 + (1 | Batch)", "--ml"], "dyestuff", "ml"),
    ([SLEEP, "--response", "Reaction", "--fixed", "Days", "--random", "Days", "--group", "Subject"], "sleepstudy", "reml"),
    ([SLEEP, "--response", "Reaction", "--fixed", "Days", "--group", "Subject", "--ml"], "sleepstudy_int", "ml"),
    ([DYE, "--response", "Yield", "--group", "Batch"], "dyestuff", "reml"),
    ([SLEEP, FM1, "--evaluator", "blocks"], "sleepstudy", "reml"),
    ([SLEEP, FM1, "--evaluator", "streaming"], "sleepstudy", "reml"),
    ([SLEEP, FM1, "--evaluator", "aggregated"], "sleepstudy", "reml"),
    (["Reaction ~ Days + (1 | Subject)"], "sleepstudy_int", "reml"),
]


@pytest.mark.parametrize("args,case,method", TABLE, ids=[" ".join(Path(a).name for a in t[0]) for t in TABLE])
def test_fits_match_lme4(args, case, method):
    res = run(*args)
    assert res.returncode == 0, res.stderr
    ref = _ref(case)[method]
    assert _criterion(res.stdout) == pytest.approx(ref["criterion"], abs=1e-4)  # printed to 4 decimals
    if method == "ml":
        assert "maximum likelihood" in res.stdout


@pytest.mark.parametrize("args,case,method", TABLE[:5], ids=[" ".join(Path(a).name for a in t[0]) for t in TABLE[:5]])
def test_json_output_matches_lme4(args, case, method):
    res = run(*args, "--json")
    assert res.returncode == 0, res.stderr
    out = json.loads(res.stdout)
    ref = _ref(case)[method]
    assert out["method"] == method.upper()
    assert out["criterion"] == pytest.approx(ref["criterion"], rel=1e-7)
    np.testing.assert_allclose(out["theta"], ref["theta"], rtol=1e-4, atol=1e-6)
    beta = [v["estimate"] for v in out["fixed_effects"].values()]
    se = [v["std_error"] for v in out["fixed_effects"].values()]
    np.testing.assert_allclose(beta, ref["beta"], rtol=1e-6)
    np.testing.assert_allclose(se, ref["se_beta"], rtol=1e-4)
    assert out["sigma"] == pytest.approx(ref["sigma"], rel=1e-5)
    assert out["singular"] == ref["singular"]
    assert out["loglik"] == pytest.approx(-out["criterion"] / 2)
    k = out["df"]
    assert out["aic"] == pytest.approx(out["criterion"] + 2 * k)
    assert out["bic"] == pytest.approx(out["criterion"] + np.log(out["nobs"]) * k)
    assert out["optimizer"]["converged"] is True
    assert len(out["random_effects"]["values"]) == out["ngroups"]


def test_no_intercept_options(tmp_path):
    res = run(SLEEP, "--response", "Reaction", "--fixed", "Days", "--random", "Days", "--group", "Subject",
              "--no-random-intercept", "--json")
    assert res.returncode == 0, res.stderr
    out = json.loads(res.stdout)
    assert out["random"]["names"] == ["Days"]
    res = run(SLEEP, "--response", "Reaction", "--fixed", "Days", "--group", "Subject", "--no-fixed-intercept", "--json")
    assert res.returncode == 0, res.stderr
    assert list(json.loads(res.stdout)["fixed_effects"]) == ["Days"]
    # the same model written as a formula
    b = json.loads(run(SLEEP, "Reaction ~ Days + (0 + Days | Subject)", "--json").stdout)
    c = json.loads(run(SLEEP, "--response", "Reaction", "--fixed", "Days", "--random", "Days", "--group", "Subject",
                       "--no-random-intercept", "--json").stdout)
    assert b["criterion"] == pytest.approx(c["criterion"], rel=1e-12)


def test_group_labels_of_any_kind(tmp_path):
    df = pd.read_csv(SLEEP)
    ref = json.loads(run(SLEEP, FM1, "--json").stdout)
    for kind, labels in {
        "strings": "S" + df["Subject"].astype(str),
        "floats": df["Subject"] + 0.5,
        "words": df["Subject"].map(lambda v: f"subject {v}"),
    }.items():
        path = tmp_path / f"{kind}.csv"
        df.assign(Subject=labels).to_csv(path, index=False)
        res = run(str(path), FM1, "--json")
        assert res.returncode == 0, res.stderr
        out = json.loads(res.stdout)
        assert out["criterion"] == pytest.approx(ref["criterion"], rel=1e-10)
        assert out["random_effects"]["levels"][0] == sorted(labels.unique())[0]


def test_drop_missing_counts_rows(tmp_path):
    df = pd.read_csv(SLEEP)
    df.loc[[4, 9], "Reaction"] = np.nan
    path = tmp_path / "na.csv"
    df.to_csv(path, index=False)
    res = run(str(path), FM1, "--drop-missing")
    assert res.returncode == 0, res.stderr
    assert "2 observations deleted due to missingness" in res.stdout
    assert "Number of obs: 178" in res.stdout


def test_rank_deficiency_is_a_warning_line(tmp_path):
    df = pd.read_csv(SLEEP)
    df["Days2"] = 2 * df["Days"]
    path = tmp_path / "alias.csv"
    df.to_csv(path, index=False)
    res = run(str(path), "Reaction ~ Days + Days2 + (1 | Subject)")
    assert res.returncode == 0
    assert res.stderr.strip().startswith("warning:") and "Days2" in res.stderr
    assert len(res.stderr.strip().splitlines()) == 1


def test_help():
    res = run("--help")
    assert res.returncode == 0
    for opt in ["--response", "--fixed", "--random", "--group", "--ml", "--evaluator", "--json", "--no-fixed-intercept"]:
        assert opt in res.stdout


# ------------------------------------------------------------------ errors


def _write(tmp_path: Path, name: str, text: str) -> str:
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def _modified(tmp_path: Path, name: str, column: str, row: int, value) -> str:
    df = pd.read_csv(SLEEP)
    df[column] = df[column].astype(object)
    df.loc[row, column] = value
    path = tmp_path / name
    df.to_csv(path, index=False)
    return str(path)


ERRORS = [
    # (id, arguments (callable of tmp_path), expected fragment of the message)
    ("missing file", lambda t: [str(t / "nope.csv"), FM1], "no such file"),
    ("directory", lambda t: [str(t), FM1], "directory"),
    ("empty file", lambda t: [_write(t, "empty.csv", ""), FM1], "empty"),
    ("header only", lambda t: [_write(t, "hdr.csv", "Reaction,Days,Subject\n"), FM1], "no data rows"),
    ("missing column", lambda t: [SLEEP, "Reaction ~ Dayz + (1 | Subject)"], "'Dayz' not found"),
    ("missing group", lambda t: [SLEEP, "Reaction ~ Days + (1 | Subj)"], "'Subj' not found"),
    ("missing response", lambda t: [SLEEP, "RT ~ Days + (1 | Subject)"], "'RT' not found"),
    ("missing column option", lambda t: [SLEEP, "--response", "RT", "--group", "Subject"], "'RT' not found"),
    ("missing random column option", lambda t: [SLEEP, "--response", "Reaction", "--random", "X", "--group", "Subject"], "'X' not found"),
    ("two bar terms", lambda t: [SLEEP, "Reaction ~ Days + (1 | Subject) + (0 + Days | Subject)"], "only one random-effects term"),
    ("double bar", lambda t: [SLEEP, "Reaction ~ Days + (Days || Subject)"], "'||'"),
    ("nested", lambda t: [SLEEP, "Reaction ~ Days + (1 | Subject/Days)"], "nested"),
    ("no bar term", lambda t: [SLEEP, "Reaction ~ Days"], "no random-effects term"),
    ("unbalanced", lambda t: [SLEEP, "Reaction ~ Days + (1 | Subject"], "unbalanced"),
    ("bad syntax", lambda t: [SLEEP, "Reaction ~ Days + + (1 | Subject)"], "formula"),
    ("no tilde", lambda t: [SLEEP, "Reaction + (1 | Subject)"], "'~'"),
    ("non-numeric response", lambda t: [_modified(t, "r.csv", "Reaction", 4, "abc"), FM1], "'Reaction'"),
    ("non-numeric predictor", lambda t: [_modified(t, "d.csv", "Days", 6, "six"), FM1], "'Days'"),
    ("non-numeric column option", lambda t: [_modified(t, "d2.csv", "Days", 6, "six"), "--response", "Reaction", "--fixed", "Days", "--group", "Subject"], "not numeric"),
    ("text column as number", lambda t: [_modified(t, "s.csv", "Subject", 0, "x"), "--response", "Reaction", "--fixed", "Subject", "--group", "Days"], "not numeric"),
    ("missing value", lambda t: [_modified(t, "na.csv", "Days", 8, None), FM1], "missing value"),
    ("missing response value", lambda t: [_modified(t, "nr.csv", "Reaction", 0, None), "--response", "Reaction", "--group", "Subject"], "missing value"),
    ("missing group value", lambda t: [_modified(t, "ng.csv", "Subject", 3, None), FM1], "missing value"),
    ("infinite value", lambda t: [_modified(t, "inf.csv", "Days", 3, "inf"), FM1], "Days"),
    ("bad evaluator", lambda t: [SLEEP, FM1, "--evaluator", "fast"], "evaluator"),
    ("unknown option", lambda t: [SLEEP, FM1, "--verbose"], "unrecognized"),
    ("formula and columns", lambda t: [SLEEP, FM1, "--group", "Subject"], "not both"),
    ("data without model", lambda t: [SLEEP], "formula"),
    ("no random effects", lambda t: [SLEEP, "--response", "Reaction", "--group", "Subject", "--no-random-intercept"], "no random effects"),
    ("one group", lambda t: [_write(t, "one.csv", "y,g\n1,a\n2,a\n3,a\n"), "y ~ 1 + (1 | g)"], "more than one level"),
    ("binary file", lambda t: [str(_bytes(t)), FM1], "cannot read"),
]


def _bytes(t: Path) -> Path:
    path = t / "binary.csv"
    path.write_bytes(bytes(range(256)) * 4)
    return path


@pytest.mark.parametrize("name,make,fragment", ERRORS, ids=[e[0] for e in ERRORS])
def test_errors_are_one_line(tmp_path, name, make, fragment):
    res = run(*make(tmp_path))
    assert res.returncode != 0
    assert "Traceback" not in res.stderr
    lines = res.stderr.strip().splitlines()
    assert len(lines) == 1, res.stderr
    assert lines[0].startswith("error: ")
    assert fragment in lines[0]
    assert res.stdout == ""
