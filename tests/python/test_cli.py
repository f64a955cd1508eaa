"""The command line, in-process through run(); as a subprocess where exit status and
output are the point. Command lines are written as a shell would split them, with
{d} for tests/data and {t} for the test's directory."""

import json
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quorvelkit as qk
from quorvelkit.__main__ import run

DATA = Path(__file__).parent.parent / "data"
FM1 = "Reaction ~ Days + (Days | Subject)"
R = re.compile
S = "{d}/sleepstudy_data.csv"
CB = "{d}/glmm/cbpp.csv 'cbind(incidence, size - incidence) ~ factor(period) + (1 | herd)'"


def cli(capsys, tmp_path: Path, line: str | list[str], *extra: str) -> tuple[int, str, str]:
    """Runs a command line (a list: already split) and returns its status and output."""
    args = [a.format(d=DATA, t=tmp_path) for a in (shlex.split(line) if isinstance(line, str) else line)]
    return run([*args, *extra]), *capsys.readouterr()


def proc(*args: str, cwd: Path) -> subprocess.CompletedProcess:
    env = {k: v for k, v in os.environ.items() if k != "PYTHONWARNINGS"}
    command = [sys.executable, "-m", "quorvelkit", *args]
    return subprocess.run(command, capture_output=True, text=True, timeout=120, cwd=cwd, env=env)


def write(tmp_path: Path, name: str, suffix: str = ".csv", **options) -> None:
    """The file tests/data/<name> with cells changed ({column: (row, value)}) and columns
    renamed, written to {t}/data<suffix> with pandas' ``to_csv`` options."""
    change = {k: options.pop(k) for k in list(options) if k[0].isupper()}
    frame = pd.read_csv(DATA / name).astype(object if change else {})
    for col, (row, value) in change.items():
        frame.loc[row, col] = value
    frame.rename(columns=options.pop("rename", {})).to_csv(tmp_path / f"data{suffix}", index=False, **options)


def test_no_arguments_fits_the_bundled_example(tmp_path):
    res = proc(cwd=tmp_path)
    assert res.returncode == 0 and res.stderr == "", res.stderr
    fit = qk.lmm(FM1, qk.load_sleepstudy())
    fit.data_name = "sleepstudy (bundled example)"
    assert res.stdout.split("Time: ")[0] == fit.summary_text().split("Time: ")[0]


# (file written to {t}, command line, lme4's case: tests/data/<case>.json's fit by the
# method, or an entry of formula_reference.json). Text columns are factors, as in the
# API; every evaluator is requested somewhere; the report's text is the API's
# (test_report), its figures those of --json.
FITS = [
    (None, f"{{d}}/sleepstudy_data.csv '{FM1}'", "sleepstudy/reml"),
    (None, f"{{d}}/sleepstudy_data.csv '{FM1}' --ml --evaluator streaming", "sleepstudy/ml"),
    (None, "{d}/dyestuff_data.csv 'Yield ~ 1 + (1 | Batch)' --evaluator aggregated", "dyestuff/reml"),
    (None, "{d}/sleepstudy_data.csv --response Reaction --fixed Days --group Subject --random Days", "sleepstudy/reml"),
    (None, "{d}/sleepstudy_data.csv --response Reaction --fixed Days --group Subject --ml", "sleepstudy_int/ml"),
    (None, "{d}/dyestuff_data.csv --response Yield --group Batch --evaluator blocks", "dyestuff/reml"),
    (None, "'Reaction ~ Days + (1 | Subject)'", "sleepstudy_int/reml"),  # a formula alone: the bundled example
    (None, "{d}/star.csv 'math ~ C(gr) + cltype + (1 | id)'", "star"),
    (None, "{d}/orthodont.csv --response distance --fixed age,Sex --group Subject", "orthodont"),
    (None, "{d}/co2.csv --response uptake --fixed conc,Type --group Plant", "co2"),
    (None, "{d}/airquality.csv --response Ozone --fixed Solar.R,Wind --group Month --drop-missing", "airquality"),
    # European files: semicolons, decimal commas; compressed files by their extension
    ({"sep": ";", "decimal": ","}, "{t}/data.csv 'uptake ~ conc + Type + (1 | Plant)' --sep ';' --decimal ,", "co2"),
    ({"sep": "\t"}, "{t}/data.csv 'uptake ~ conc + Type + (1 | Plant)' --sep tab", "co2"),
    ({"suffix": ".csv.gz"}, "{t}/data.csv.gz 'uptake ~ conc + Type + (1 | Plant)'", "co2"),
    ({"suffix": ".zip", "sep": ";"}, "{t}/data.zip 'uptake ~ conc + Type + (1 | Plant)' --sep ';'", "co2"),
    # column options quote any name, backticks and backslashes included
    ({"rename": {"age": "a`ge) + I(__import__('os').mkdir('m')) + (`", "Sex": "S\\`ex"}},
     ["{t}/data.csv", "--response", "distance", "--fixed", "a`ge) + I(__import__('os').mkdir('m')) + (`,S\\`ex",
      "--group", "Subject"], "orthodont"),
    ({"rename": {"Subject": "the `subject`", "distance": "dist.mm"}},
     "{t}/data.csv --response dist.mm --fixed age,Sex --group 'the `subject`'", "orthodont"),
]  # fmt: skip


@pytest.mark.parametrize("written,line,case", FITS)
def test_fits_match_lme4(capsys, tmp_path, monkeypatch, reference, written, line, case):
    monkeypatch.chdir(tmp_path)  # where mkdir('m') would write
    if written is not None:
        write(tmp_path, f"{case}.csv", **written)
    code, out, err = cli(capsys, tmp_path, line, "--json")
    assert code == 0 and err == "", err
    out = json.loads(out)
    if "/" in case:  # a fit of tests/data/<data>.json by the method
        data, method = case.split("/")
        ref, beta_tol, theta_tol = reference(data)[method], 1e-6, 1e-4
    else:
        ref, beta_tol, theta_tol = reference(f"formula/{case}"), 1e-5, 1e-5
    np.testing.assert_allclose([v["estimate"] for v in out["fixed_effects"].values()], ref["beta"], rtol=beta_tol)
    np.testing.assert_allclose(out["theta"], ref["theta"], rtol=theta_tol, atol=1e-6)
    assert out["criterion"] == pytest.approx(ref["criterion"], rel=1e-7) and not (tmp_path / "m").exists()
    if "/" not in case:
        assert (out["nobs"], *out["ngroups"].values()) == (ref["n"], ref["m"])
        return
    assert out["method"] == method.upper() and out["singular"] == ref["singular"]
    np.testing.assert_allclose([v["std_error"] for v in out["fixed_effects"].values()], ref["se_beta"], rtol=1e-4)
    assert out["sigma"] == pytest.approx(ref["sigma"], rel=1e-5)
    ((m, modes),) = zip(out["ngroups"].values(), out["random_effects"].values(), strict=True)
    b = np.asarray(ref["b"]).reshape(m, -1)
    np.testing.assert_allclose(modes["values"], b, rtol=1e-4, atol=1e-4 * np.abs(b).max())
    k, crit = len(ref["beta"]) + len(ref["theta"]) + 1, out["criterion"]
    want = (-crit / 2, crit + 2 * k, crit + np.log(out["nobs"]) * k)
    assert (out["loglik"], out["aic"], out["bic"]) == pytest.approx(want)
    if "--evaluator" in line:  # a string here
        assert out["optimizer"]["evaluator"] == line.split("--evaluator ")[1].split()[0]


def test_weights_column(capsys, tmp_path):
    ref = json.loads((DATA / "models" / "lme4_models.json").read_text())["chick_weighted_ml"]
    # the report's lines of the weights: test_model_class
    out = json.loads(
        cli(capsys, tmp_path, f"{{d}}/models/chickweight.csv '{ref['formula']}' --ml --weights w", "--json")[1]
    )
    assert out["weights"] == "w" and out["criterion"] == pytest.approx(ref["criterion"], rel=1e-10)
    np.testing.assert_allclose([v["std_error"] for v in out["fixed_effects"].values()], ref["se"], rtol=1e-6)


@pytest.mark.parametrize("options,formula", [
    ("--random Days --no-random-intercept", "Reaction ~ Days + (0 + Days | Subject)"),
    ("--no-fixed-intercept", "Reaction ~ 0 + Days + (1 | Subject)"),
])  # fmt: skip
def test_column_options_build_the_formula(capsys, tmp_path, options, formula):
    lines = [f"{S} --response Reaction --fixed Days --group Subject {options}", f"{S} '{formula}'"]
    a, b = (json.loads(cli(capsys, tmp_path, line, "--json")[1]) for line in lines)
    assert a["criterion"] == pytest.approx(b["criterion"], rel=1e-12)
    assert list(a["fixed_effects"]) == list(b["fixed_effects"]) and a["random"]["names"] == b["random"]["names"]


def test_notes_and_warnings(capsys, tmp_path):
    write(tmp_path, "sleepstudy_data.csv", Reaction=(4, None), Days=(9, None))
    code, out, err = cli(capsys, tmp_path, f"{{t}}/data.csv '{FM1}' --drop-missing")
    assert code == 0 and "Number of obs: 178" in out, err  # the report's note: test_report
    pd.read_csv(DATA / "sleepstudy_data.csv").assign(Days2=lambda d: 2 * d["Days"]).to_csv(tmp_path / "a.csv")
    line = "{t}/a.csv 'Reaction ~ Days + Days2 + (1 | Subject)'"
    code, out, err = cli(capsys, tmp_path, line)
    assert code == 0 and len(err.splitlines()) == 1 and err.startswith("warning:") and "Days2" in err
    out = json.loads(cli(capsys, tmp_path, line, "--json")[1])
    assert out["dropped_columns"] == ["Days2"] and "Days2" in out["warnings"][0]
    code, out, err = cli(capsys, tmp_path, "{d}/dyestuff2.csv 'y ~ 1 + (1 | g)'")
    assert code == 0 and err.startswith("warning: boundary (singular) fit") and len(err.splitlines()) == 1
    assert "boundary (singular) fit" in out  # and the report keeps its note


# fmt: off
REFUSED = [  # (command line, {t}/data.csv written as text, bytes or sleepstudy's cells changed, message)
    (f"{{t}}/nope.csv '{FM1}'", None, "no such file"),
    (f"{{t}} '{FM1}'", None, "directory"),
    (f"{{t}}/data.csv '{FM1}'", "", "empty"),
    (f"{{t}}/data.csv '{FM1}'", "Reaction,Days,Subject\n", "no data rows"),
    (f"{{t}}/data.csv '{FM1}'", bytes(range(256)) * 4, "cannot read"),
    (f"{S} 'Reaction ~ Dayz + (1 | Subject)'", None, "'Dayz' not found"),
    (f"{S} --response RT --group Subject", None, "'RT' not found"),
    ("{d}/chickweight.csv 'weight ~ Time + (1 | Chick)' --weights nope", None, "'nope' is not in"),
    ("{d}/orthodont.csv 'distance ~ age + (1 | Subject)' --weights Sex", None, R("'Sex' must be.*'Male' in line 2")),
    (f"{{t}}/data.csv '{FM1}' --weights Days", {"Days": (6, -1)}, R("'Days' must be finite.* -1.0 in .*line 8")),
    (f"{{t}}/data.csv '{FM1}' --weights Days --drop-missing", {"Days": (6, None)}, R("holds nan in .*line 8")),
    (f"{S} 'Reaction ~ Days + (1 | Subject'", None, "unbalanced"),
    (f"{{t}}/data.csv '{FM1}'", {"Reaction": (4, "abc")}, "'Reaction'"),
    (f"{{t}}/data.csv '{FM1}'", {"Days": (6, "six")}, R("'Days' is not numeric: 'six' in line 8 of .*, among numbers")),
    ("{d}/dyestuff_data.csv --response Batch --fixed Yield --group Batch", None, R("'Batch' must be .*'A' in line 2")),
    (f"{{t}}/data.csv '{FM1}'", {"Reaction": (4, None), "Days": (9, None)},
     R(r"'Reaction' .* 1 missing value \(first on line 6\)")),
    ("{t}/data.csv --response Reaction --fixed Days --group Subject", {"Days": (0, None)}, R("'Days' .* missing")),
    (f"{S} '{FM1}' --verbose", None, "unrecognized"),
    (f"{S} '{FM1}' --group Subject", None, "not both"),
    (S, None, "formula"),
    (f"{S} --response Reaction --group Subject --no-random-intercept", None, "no random effects"),
    ("{d}/orthodont.csv 'distance ~ I(Sex^2) + (1 | Subject)'", None, R("'Sex' must be.*'Male' in line 2")),
    ("{t}/data.csv 'uptake ~ conc + (1 | Plant)' --sep ';'", "uptake;conc;Plant\n16,0;95;Qn1\n",
     R(r"'uptake' must be numeric, but it holds '16,0' in line 2 .* \(for decimal commas pass --decimal ','\)")),
    ("{d}/chickweight.csv \"weight ~ I(__import__('os').system('touch m')) + (1 | Chick)\"", None, "may not use"),
    (f"{S} '{FM1}' --sep , --decimal ,", None, "must differ"),
    # generalized linear mixed models
    (f"{S} '{FM1}' --nagq 3", None, "--link, --nagq, --laplace and --zi apply to a generalized linear mixed model"),
    (f"{S} '{FM1}' --link probit", None, "give --family too"),
    (f"{CB} --family binomial --ml", None, "--ml and --evaluator apply to linear mixed models"),
    ("{d}/glmm/cbpp.csv 'cbind(incidence, size - incidence) ~ perod + (1 | herd)' --family binomial", None,
     "'perod' not found"),
    ("{t}/data.csv 'k ~ x + (1 | g)' --family poisson", "k,x,g\n1,1,a\n2,2,a\n,3,b\n4,4,b\n5,5,c\n",
     R(r"column 'k' in .* has 1 missing value \(first on line 4\)")),
]
# fmt: on


@pytest.mark.parametrize("line,written,message", REFUSED, ids=[str(r[2])[:60] for r in REFUSED])
def test_refusals_are_one_line_on_stderr(capsys, tmp_path, monkeypatch, line, written, message):
    # a non-zero status, nothing on stdout, and nothing a formula asks for is run
    monkeypatch.chdir(tmp_path)  # where mkdir('m') or touch m would write
    if isinstance(written, dict):
        write(tmp_path, "sleepstudy_data.csv", **written)
    elif written is not None:
        (tmp_path / "data.csv").write_bytes(written if isinstance(written, bytes) else written.encode())
    code, out, err = cli(capsys, tmp_path, line)
    text = err.removesuffix("\n").replace(str(DATA), "{d}")
    assert code != 0 and out == "" and text.startswith("error: ") and "\n" not in text, err
    assert message.search(text) if isinstance(message, re.Pattern) else message in text, text
    assert not (tmp_path / "m").exists()


@pytest.mark.parametrize("args,code", [([FM1, "--verbose"], 2), (["nope.csv", FM1], 1), (["y ~ (1 |"], 1)])
def test_errors_exit_without_a_traceback(tmp_path, args, code):
    res = proc(*args, cwd=tmp_path)
    assert res.returncode == code and res.stdout == ""
    assert res.stderr.startswith("error: ") and len(res.stderr.splitlines()) == 1, res.stderr


GLMM = [  # (command line, glmer's model); text columns are factors: use's first level N is failure
    (f"{CB} --family binomial", "cbpp/cbpp_laplace"),
    (f"{CB} --family binomial --nagq 9", "cbpp/cbpp_nagq9"),
    ("{d}/glmm/contraception.csv 'use ~ age + I(age^2) + urban + C(livch) + (1 | district)' --family binomial",
     "contraception/contraception_laplace"),
    ("{d}/glmm/sim_binomial_links.csv 'cbind(s_probit, trials - s_probit) ~ x + (1 | g)' --family binomial "
     "--link probit", "sim_binomial_links/probit_laplace"),
    ("{d}/glmm/sim_poisson_offset.csv 'y ~ x + offset(log(exposure)) + (1 + x | g)' --family poisson",
     "sim_poisson_offset/poisson_offset_laplace"),
]  # fmt: skip


@pytest.mark.parametrize("line,model", GLMM)
def test_glmm_from_the_command_line_is_the_apis(capsys, tmp_path, line, model):
    # the same fit as qk.glmm's on the file as pandas reads it, its report and --json
    data, name = model.split("/")
    ref = json.loads((DATA / "glmm" / f"{data}.json").read_text())["models"][name]
    args = shlex.split(line.format(d=DATA, t=tmp_path))
    frame = pd.read_csv(args[0])
    fit = qk.glmm(args[1], frame, args[args.index("--family") + 1], ref["link"], ref["nagq"])
    fit.data_name = args[0]
    code, out, err = cli(capsys, tmp_path, line)
    assert code == 0 and out.split("Time: ")[0] == fit.summary_text().split("Time: ")[0], err
    code, out, err = cli(capsys, tmp_path, line, "--json")
    out = json.loads(out)
    assert (out["family"], out["link"], out["nagq"], out["nobs"]) == (ref["family"], ref["link"], ref["nagq"], ref["n"])
    assert out["m2loglik"] == fit.m2loglik and out["theta"] == list(fit.theta)
    np.testing.assert_allclose([v["estimate"] for v in out["fixed_effects"].values()], ref["beta"]["values"], rtol=2e-3)


def test_glmm_options_of_the_families_with_a_dispersion_parameter(capsys, tmp_path):
    # --laplace and --zi reach glmm(): the JSON's -2 log-likelihood is the API's fit's.
    line = "{d}/glmm/salamanders.csv 'count ~ spp + mined + (1 | site)' --family nbinom2 --zi '~1' --laplace observed"
    code, out, err = cli(capsys, tmp_path, line, "--json")
    fit = qk.glmm(
        "count ~ spp + mined + (1 | site)", pd.read_csv(DATA / "glmm" / "salamanders.csv"), "nbinom2", zi="~1"
    )
    assert code == 0 and json.loads(out)["m2loglik"] == fit.m2loglik, err
