"""The command line, in-process through run(); as a subprocess where exit status and output are the point."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from quorvelkit.__main__ import run

DATA = Path(__file__).parent.parent / "data"
SLEEP, DYE = str(DATA / "sleepstudy_data.csv"), str(DATA / "dyestuff_data.csv")
FM1, FM0, DYE_F = "Reaction ~ Days + (Days | Subject)", "Reaction ~ Days + (1 | Subject)", "Yield ~ 1 + (1 | Batch)"
COLS = ["--response", "Reaction", "--fixed", "Days", "--group", "Subject"]


def _ref(case: str, method: str) -> dict:
    return json.loads((DATA / f"{case}.json").read_text())[method]


def cli(capsys, *args: str) -> tuple[int, str, str]:
    code = run(list(args))
    out, err = capsys.readouterr()
    return code, out, err


def proc(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess:
    env = {k: v for k, v in os.environ.items() if k != "PYTHONWARNINGS"}
    return subprocess.run(
        [sys.executable, "-m", "quorvelkit", *args], capture_output=True, text=True, timeout=120, cwd=cwd, env=env
    )


def test_no_arguments_fits_the_bundled_example(tmp_path):
    res = proc(cwd=tmp_path)
    assert res.returncode == 0 and res.stderr == "", res.stderr
    for piece in [
        "Linear mixed model fit by REML",
        f"Formula: {FM1}",
        "sleepstudy",
        "REML criterion at convergence: 1743.6283",
        "Number of obs: 180, groups:  Subject, 18",
        "Estimate Std. Error t value",
        "Optimizer:",
        # lme4's variance components, standard deviations and fixed effects
        " 612.09",
        " 35.07",
        " 654.94",
        "24.740",
        "5.922",
        "25.59",
        "251.405",
        "6.8246",
        "36.838",
    ]:
        assert piece in res.stdout, piece


TABLE = [  # (arguments, reference case, method); every evaluator is requested somewhere
    ([SLEEP, FM1], "sleepstudy", "reml"),
    ([SLEEP, FM1, "--ml", "--evaluator", "streaming"], "sleepstudy", "ml"),
    ([SLEEP, FM0, "--evaluator", "blocks"], "sleepstudy_int", "reml"),
    ([DYE, DYE_F, "--evaluator", "aggregated"], "dyestuff", "reml"),
    ([DYE, DYE_F, "--ml"], "dyestuff", "ml"),
    ([SLEEP, *COLS, "--random", "Days"], "sleepstudy", "reml"),
    ([SLEEP, *COLS, "--ml"], "sleepstudy_int", "ml"),
    ([DYE, "--response", "Yield", "--group", "Batch"], "dyestuff", "reml"),
    ([FM0], "sleepstudy_int", "reml"),  # a formula alone: the bundled example
]


@pytest.mark.parametrize("args,case,method", TABLE, ids=[" ".join(Path(a).name for a in t[0]) for t in TABLE])
def test_fits_match_lme4(capsys, args, case, method):
    ref = _ref(case, method)
    code, text, err = cli(capsys, *args)
    assert code == 0 and err == "", err
    crit = re.search(r"^(REML criterion at convergence|Deviance \(-2 log-likelihood\)): *(\S+)$", text, re.M)
    assert float(crit[2]) == pytest.approx(ref["criterion"], abs=1e-4)  # printed to 4 decimals
    assert ("maximum likelihood" in text) == (method == "ml")
    code, out, err = cli(capsys, *args, "--json")
    assert code == 0, err
    out = json.loads(out)
    assert out["method"] == method.upper() and out["singular"] == ref["singular"]
    assert out["criterion"] == pytest.approx(ref["criterion"], rel=1e-7)
    np.testing.assert_allclose(out["theta"], ref["theta"], rtol=1e-4, atol=1e-6)
    np.testing.assert_allclose([v["estimate"] for v in out["fixed_effects"].values()], ref["beta"], rtol=1e-6)
    np.testing.assert_allclose([v["std_error"] for v in out["fixed_effects"].values()], ref["se_beta"], rtol=1e-4)
    assert out["sigma"] == pytest.approx(ref["sigma"], rel=1e-5)
    b = np.asarray(ref["b"]).reshape(out["ngroups"], -1)
    np.testing.assert_allclose(out["random_effects"]["values"], b, rtol=1e-4, atol=1e-4 * np.abs(b).max())
    k, crit = len(ref["beta"]) + len(ref["theta"]) + 1, out["criterion"]
    assert (out["loglik"], out["aic"], out["bic"]) == pytest.approx(
        (-crit / 2, crit + 2 * k, crit + np.log(out["nobs"]) * k)
    )
    if "--evaluator" in args:
        assert out["optimizer"]["evaluator"] == args[args.index("--evaluator") + 1]


@pytest.mark.parametrize(
    "options,formula",
    [
        ([*COLS, "--random", "Days", "--no-random-intercept"], "Reaction ~ Days + (0 + Days | Subject)"),
        ([*COLS, "--no-fixed-intercept"], "Reaction ~ 0 + Days + (1 | Subject)"),
    ],
)
def test_column_options_build_the_formula(capsys, options, formula):
    a, b = (json.loads(cli(capsys, SLEEP, *args, "--json")[1]) for args in (options, [formula]))
    assert a["criterion"] == pytest.approx(b["criterion"], rel=1e-12)
    assert list(a["fixed_effects"]) == list(b["fixed_effects"]) and a["random"]["names"] == b["random"]["names"]


def test_group_labels_of_any_kind(capsys, tmp_path):
    df = pd.read_csv(SLEEP)
    crit = json.loads(cli(capsys, SLEEP, FM1, "--json")[1])["criterion"]
    for labels in ["S" + df["Subject"].astype(str), df["Subject"] + 0.5, df["Subject"].map("subject {}".format)]:
        df.assign(Subject=labels).to_csv(tmp_path / "g.csv", index=False)
        out = json.loads(cli(capsys, str(tmp_path / "g.csv"), FM1, "--json")[1])
        assert out["criterion"] == pytest.approx(crit, rel=1e-10)
        assert out["random_effects"]["levels"] == sorted(labels.unique())


def test_drop_missing_counts_the_rows(capsys, tmp_path):
    code, out, err = cli(capsys, _csv(tmp_path, Reaction=(4, None), Days=(9, None)), FM1, "--drop-missing")
    assert code == 0, err
    assert "2 observations deleted due to missingness" in out and "Number of obs: 178" in out


def test_aliased_column_is_a_one_line_warning(capsys, tmp_path):
    pd.read_csv(SLEEP).assign(Days2=lambda d: 2 * d["Days"]).to_csv(tmp_path / "alias.csv", index=False)
    code, out, err = cli(capsys, str(tmp_path / "alias.csv"), "Reaction ~ Days + Days2 + (1 | Subject)")
    assert code == 0 and len(err.splitlines()) == 1 and err.startswith("warning:") and "Days2" in err
    out = json.loads(cli(capsys, str(tmp_path / "alias.csv"), "Reaction ~ Days + Days2 + (1 | Subject)", "--json")[1])
    assert out["dropped_columns"] == ["Days2"] and "Days2" in out["warnings"][0]


def _csv(tmp_path: Path, content: str | bytes | None = None, **change) -> str:
    """A CSV file holding ``content``, or the sleepstudy data with ``change={column: (row, value)}``."""
    if content is None:
        df = pd.read_csv(SLEEP).astype(object)
        for col, (row, value) in change.items():
            df.loc[row, col] = value
        content = df.to_csv(index=False)
    (tmp_path / "data.csv").write_bytes(content if isinstance(content, bytes) else content.encode())
    return str(tmp_path / "data.csv")


ERRORS = [  # (id, arguments given tmp_path, expected fragment of the message)
    ("missing file", lambda t: [str(t / "nope.csv"), FM1], "no such file"),
    ("directory", lambda t: [str(t), FM1], "directory"),
    ("empty file", lambda t: [_csv(t, ""), FM1], "empty"),
    ("header only", lambda t: [_csv(t, "Reaction,Days,Subject\n"), FM1], "no data rows"),
    ("binary file", lambda t: [_csv(t, bytes(range(256)) * 4), FM1], "cannot read"),
    ("missing column", lambda t: [SLEEP, "Reaction ~ Dayz + (1 | Subject)"], "'Dayz' not found"),
    ("missing column option", lambda t: [SLEEP, "--response", "RT", "--group", "Subject"], "'RT' not found"),
    ("two bar terms", lambda t: [SLEEP, "Reaction ~ Days + (1 | Subject) + (0 + Days | Subject)"], "only one"),
    ("bad formula", lambda t: [SLEEP, "Reaction ~ Days + (1 | Subject"], "unbalanced"),
    ("non-numeric response", lambda t: [_csv(t, Reaction=(4, "abc")), FM1], "'Reaction'"),
    (
        "non-numeric predictor",
        lambda t: [_csv(t, Days=(6, "six")), FM1],
        "'Days' in .* is not numeric: 'six' on line 8",
    ),
    (
        "text response option",
        lambda t: [DYE, "--response", "Batch", "--fixed", "Yield", "--group", "Batch"],
        "'Batch' .* not numeric: 'A' on line 2",
    ),
    (
        "missing value",
        lambda t: [_csv(t, Reaction=(4, None), Days=(9, None)), FM1],
        r"'Reaction' .* 1 missing value \(first on line 6\)",
    ),
    ("missing value, columns", lambda t: [_csv(t, Days=(0, None)), *COLS], "'Days' .* missing value"),
    ("unknown option", lambda t: [SLEEP, FM1, "--verbose"], "unrecognized"),
    ("formula and columns", lambda t: [SLEEP, FM1, "--group", "Subject"], "not both"),
    ("data without model", lambda t: [SLEEP], "formula"),
    ("no random effects", lambda t: [SLEEP, *COLS, "--no-random-intercept"], "no random effects"),
    ("one group", lambda t: [_csv(t, "y,g\n1,a\n2,a\n3,a\n"), "y ~ 1 + (1 | g)"], "more than one level"),
]


@pytest.mark.parametrize("name,make,fragment", ERRORS, ids=[e[0] for e in ERRORS])
def test_errors_are_one_line(capsys, tmp_path, name, make, fragment):
    code, out, err = cli(capsys, *make(tmp_path))
    assert code != 0 and out == ""
    assert len(err.splitlines()) == 1 and re.match(f"error: .*{fragment}", err), err


@pytest.mark.parametrize(
    "args,code", [([FM1, "--verbose"], 2), (["nope.csv", FM1], 1), (["Reaction ~ Days + (1 |"], 1)]
)
def test_errors_exit_without_a_traceback(tmp_path, args, code):
    res = proc(*args, cwd=tmp_path)
    assert res.returncode == code and res.stdout == ""
    assert res.stderr.startswith("error: ") and len(res.stderr.splitlines()) == 1, res.stderr


# ------------------------------------------------------------------ real data read as the API reads it

FREF = json.loads((DATA / "formula_reference.json").read_text())


def _assert_lme4(out: dict, case: str) -> None:
    ref = FREF[case]
    assert (out["nobs"], out["ngroups"]) == (ref["n"], ref["m"])
    np.testing.assert_allclose([v["estimate"] for v in out["fixed_effects"].values()], ref["beta"], rtol=1e-5)
    np.testing.assert_allclose(out["theta"], ref["theta"], rtol=1e-5, atol=1e-6)
    assert out["criterion"] == pytest.approx(ref["criterion"], rel=1e-7)


def _write(tmp_path: Path, name: str, sep: str = ",", decimal: str = ".", rename=None, suffix: str = ".csv") -> str:
    path = tmp_path / f"data{suffix}"
    pd.read_csv(DATA / name).rename(columns=rename or {}).to_csv(path, sep=sep, decimal=decimal, index=False)
    return str(path)


REAL = [  # (arguments given tmp_path, lme4 reference); text columns are factors, as in the API
    (lambda t: [str(DATA / "star.csv"), "math ~ C(gr) + cltype + (1 | id)"], "star"),
    (lambda t: [str(DATA / "star.csv"), "math ~ factor(gr) + cltype + (1 | id)"], "star"),
    (
        lambda t: [str(DATA / "orthodont.csv"), "--response", "distance", "--fixed", "age,Sex", "--group", "Subject"],
        "orthodont",
    ),
    (lambda t: [str(DATA / "co2.csv"), "--response", "uptake", "--fixed", "conc,Type", "--group", "Plant"], "co2"),
    (lambda t: [str(DATA / "airquality.csv"), "Ozone ~ Solar.R + Wind + (1 | Month)", "--drop-missing"], "airquality"),
    (
        lambda t: [
            str(DATA / "airquality.csv"),
            "--response",
            "Ozone",
            "--fixed",
            "Solar.R,Wind",
            "--group",
            "Month",
            "--drop-missing",
        ],
        "airquality",
    ),
    (lambda t: [str(DATA / "chickweight.csv"), "weight ~ Time + I(Time^2) + (1 | Chick)"], "chick_quadratic"),
    (lambda t: [str(DATA / "chickweight.csv"), "weight ~ Time + factor(Diet) + (1 | Chick)"], "chick_diet"),
    # European files: semicolons, decimal commas; compressed files by their extension
    (
        lambda t: [
            _write(t, "co2.csv", ";", ","),
            "uptake ~ conc + Type + (1 | Plant)",
            "--sep",
            ";",
            "--decimal",
            ",",
        ],
        "co2",
    ),
    (lambda t: [_write(t, "co2.csv", "\t"), "uptake ~ conc + Type + (1 | Plant)", "--sep", "tab"], "co2"),
    (lambda t: [_write(t, "co2.csv", suffix=".csv.gz"), "uptake ~ conc + Type + (1 | Plant)"], "co2"),
    (
        lambda t: [
            _write(t, "co2.csv", ";", ",", suffix=".csv.bz2"),
            "uptake ~ conc + Type + (1 | Plant)",
            "--sep",
            ";",
            "--decimal",
            ",",
        ],
        "co2",
    ),
    (lambda t: [_write(t, "co2.csv", suffix=".csv.xz"), "uptake ~ conc + Type + (1 | Plant)"], "co2"),
    (lambda t: [_write(t, "co2.csv", suffix=".zip"), "uptake ~ conc + Type + (1 | Plant)"], "co2"),
    # column options quote any name, backticks and backslashes included
    (
        lambda t: [
            _write(t, "orthodont.csv", rename={"age": "a`ge) + I(__import__('os').mkdir('m')) + (`", "Sex": "S\\`ex"}),
            "--response",
            "distance",
            "--fixed",
            "a`ge) + I(__import__('os').mkdir('m')) + (`,S\\`ex",
            "--group",
            "Subject",
        ],
        "orthodont",
    ),
    (
        lambda t: [
            _write(t, "orthodont.csv", rename={"Subject": "the `subject`", "distance": "dist.mm"}),
            "--response",
            "dist.mm",
            "--fixed",
            "age,Sex",
            "--group",
            "the `subject`",
        ],
        "orthodont",
    ),
]


@pytest.mark.parametrize("make,case", REAL, ids=[f"{c} {i}" for i, (_, c) in enumerate(REAL)])
def test_real_data_as_the_api_reads_it(capsys, tmp_path, monkeypatch, make, case):
    monkeypatch.chdir(tmp_path)  # where mkdir('m') would write
    code, out, err = cli(capsys, *make(tmp_path), "--json")
    assert code == 0, err
    _assert_lme4(json.loads(out), case)
    assert not (tmp_path / "m").exists()


MORE_ERRORS = [  # where a number is needed, or what cannot be fitted
    (
        "bare mixed column",
        lambda t: [str(DATA / "star.csv"), "math ~ gr + cltype + (1 | id)"],
        r"'gr' .* not numeric: 'K' on line 2, among numbers; if it is a factor, write C\(gr\) or factor\(gr\)",
    ),
    (
        "text in arithmetic",
        lambda t: [str(DATA / "orthodont.csv"), "distance ~ I(Sex^2) + (1 | Subject)"],
        "'Sex' .* not numeric: 'Male' on line 2",
    ),
    (
        "decimal comma without --decimal",
        lambda t: [_write(t, "co2.csv", ";", ","), "uptake ~ conc + (1 | Plant)", "--sep", ";"],
        r"'uptake' .* not numeric: '16,0' on line 2 \(for decimal commas pass --decimal ','\)",
    ),
    (
        "constant response",
        lambda t: [str(DATA / "chickweight.csv"), "I(0 * weight + 1) ~ Time + (1 | Chick)"],
        "is constant",
    ),
    ("exact fit", lambda t: [str(DATA / "chickweight.csv"), "I(3 * Time) ~ Time + (1 | Chick)"], "exactly"),
    (
        "code in a formula",
        lambda t: [
            str(DATA / "chickweight.csv"),
            "weight ~ Time + I(__import__('os').system('touch m')) + (1 | Chick)",
        ],
        "may not use",
    ),
    ("same --sep and --decimal", lambda t: [SLEEP, FM1, "--sep", ",", "--decimal", ","], "must differ"),
]


@pytest.mark.parametrize("name,make,fragment", MORE_ERRORS, ids=[e[0] for e in MORE_ERRORS])
def test_more_errors_are_one_line(capsys, tmp_path, monkeypatch, name, make, fragment):
    monkeypatch.chdir(tmp_path)
    code, out, err = cli(capsys, *make(tmp_path))
    assert code != 0 and out == ""
    assert len(err.splitlines()) == 1 and re.match(f"error: .*({fragment})", err), err
    assert not (tmp_path / "m").exists()


def test_a_singular_fit_warns_on_stderr(capsys):
    code, out, err = cli(capsys, str(DATA / "dyestuff2.csv"), "y ~ 1 + (1 | g)")
    assert code == 0 and err.startswith("warning: boundary (singular) fit") and len(err.splitlines()) == 1
    assert "boundary (singular) fit" in out  # and the report keeps its note
