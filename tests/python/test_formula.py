"""The formula layer: what a user of lme4 writes means what it means in lme4, and nothing
in a formula runs code. Reference numbers are lme4's (tests/data/make_formula_reference.R)."""

import json
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from quorvelkit import FormulaError, lmm
from quorvelkit.expressions import quote_name, unquote_name
from quorvelkit.formula import parse_formula

DATA = Path(__file__).parent.parent / "data"
REF = json.loads((DATA / "formula_reference.json").read_text())


def load(name: str) -> pd.DataFrame:
    return pd.read_csv(DATA / name)


def assert_matches_lme4(fit, ref, rtol=1e-5):
    """The fit is lme4's: estimates in lme4's column order, standard errors, theta,
    sigma, criterion, observations and groups."""
    assert (fit.nobs, fit.ngroups) == (ref["n"], ref["m"])
    np.testing.assert_allclose(fit.fixef, ref["beta"], rtol=rtol, atol=1e-8)
    np.testing.assert_allclose(fit.se, ref["se_beta"], rtol=rtol)
    np.testing.assert_allclose(fit.theta, ref["theta"], rtol=rtol, atol=1e-6)
    np.testing.assert_allclose([fit.sigma, fit.criterion], [ref["sigma"], ref["criterion"]], rtol=rtol)


# ------------------------------------------------------------------ lme4's meaning

LME4 = [  # (reference, data file, formula, column changes, names our fit gives)
    (
        "chick_quadratic",
        "chickweight.csv",
        "weight ~ Time + I(Time^2) + (1 | Chick)",
        {},
        ["(Intercept)", "Time", "I(Time ^ 2)"],
    ),
    ("chick_quadratic", "chickweight.csv", "weight ~ Time + I(Time^2) + (1 | Chick)", {"Time": float}, None),
    ("chick_quadratic", "chickweight.csv", "weight ~ Time + I(Time ^ 2.0) + (1 | Chick)", {}, None),
    ("chick_quadratic", "chickweight.csv", "weight ~ Time + {Time^2} + (1 | Chick)", {}, None),
    ("chick_quadratic", "chickweight.csv", "weight ~ Time + I(Time**2) + (1 | Chick)", {}, None),
    (
        "chick_diet",
        "chickweight.csv",
        "weight ~ Time + factor(Diet) + (1 | Chick)",
        {},
        ["(Intercept)", "Time", "factor(Diet)[T.2]", "factor(Diet)[T.3]", "factor(Diet)[T.4]"],
    ),
    ("chick_diet", "chickweight.csv", "weight ~ Time + as.factor(Diet) + (1 | Chick)", {}, None),
    ("chick_diet", "chickweight.csv", "weight ~ Time + C(Diet) + (1 | Chick)", {}, None),
    ("airquality", "airquality.csv", "Ozone ~ Solar.R + Wind + (1 | Month)", {}, ["(Intercept)", "Solar.R", "Wind"]),
    ("airquality", "airquality.csv", "Ozone ~ `Solar.R` + Wind + (1 | Month)", {}, None),
    (
        "airquality",
        "airquality.csv",
        "Ozone ~ I(Solar.R) + Wind + (1 | Month)",
        {},
        ["(Intercept)", "I(Solar.R)", "Wind"],
    ),
    (
        "airquality",
        "airquality.csv",
        "Ozone ~ `Solar R` + Wind + (1 | `the month`)",
        {"rename": {"Solar.R": "Solar R", "Month": "the month"}},
        ["(Intercept)", "Solar R", "Wind"],
    ),
    (
        "airquality",
        "airquality.csv",
        r"`O\`zone` ~ `So\\lar` + Wind + (1 | `Mo:nth`)",
        {"rename": {"Ozone": "O`zone", "Solar.R": "So\\lar", "Month": "Mo:nth"}},
        ["(Intercept)", "So\\lar", "Wind"],
    ),
    ("orthodont", "orthodont.csv", "distance ~ age + Sex + (1 | Subject)", {}, ["(Intercept)", "age", "Sex[T.Male]"]),
    ("co2", "co2.csv", "uptake ~ conc + Type + (1 | Plant)", {}, None),
    ("star", "star.csv", "math ~ C(gr) + cltype + (1 | id)", {}, None),
    ("star", "star.csv", "math ~ gr + cltype + (1 | id)", {}, None),
]


@pytest.mark.parametrize("case,file,formula,change,names", LME4, ids=[f"{c[0]}: {c[2]}" for c in LME4])
def test_formulas_mean_what_they_mean_in_lme4(case, file, formula, change, names):
    df = load(file)
    change = dict(change)
    df = df.rename(columns=change.pop("rename", {})).astype(change)
    fit = lmm(formula, df)
    assert_matches_lme4(fit, REF[case])
    if names is not None:
        assert fit.fe_names == names
    # the fit's columns are rebuilt for new data from the same (rewritten) terms
    np.testing.assert_allclose(fit.predict(df.loc[fit.fitted.index]), fit.fitted, rtol=1e-10)


EQUIVALENT = [  # (term as written, the same column computed here): R's meaning of ^ and friends
    ("I(-Time^2)", lambda d: -(d["Time"] ** 2)),
    ("I(2 * Time^2 / 4)", lambda d: d["Time"] ** 2 / 2),
    ("I(Time^0.5)", lambda d: np.sqrt(d["Time"])),
    ("sqrt(Time)", lambda d: np.sqrt(d["Time"])),
    ("abs(Time - 10)", lambda d: np.abs(d["Time"] - 10)),
    ("np.log1p(Time)", lambda d: np.log1p(d["Time"])),
    ("I(Time > 10)", lambda d: (d["Time"] > 10).astype(float)),
    ("I(Time % 4)", lambda d: d["Time"] % 4),
    ("I(2^(Time / 7))", lambda d: 2.0 ** (d["Time"] / 7)),
]


@pytest.mark.parametrize("term,column", EQUIVALENT, ids=[e[0] for e in EQUIVALENT])
def test_evaluated_terms_follow_r(term, column):
    chick = load("chickweight.csv")
    fit = lmm(f"weight ~ {term} + (1 | Chick)", chick)
    ref = lmm("weight ~ z + (1 | Chick)", chick.assign(z=column(chick).astype(float)))
    np.testing.assert_allclose(fit.fixef, ref.fixef, rtol=1e-10)
    np.testing.assert_allclose(fit.criterion, ref.criterion, rtol=1e-12)


def test_power_in_the_response_and_the_random_part():
    chick = load("chickweight.csv").assign(t2=lambda d: (d["Time"] ** 2).astype(float))
    fit = lmm("I(weight^0.5) ~ Time + (0 + I(Time^2) | Chick)", chick)
    ref = lmm("np.sqrt(weight) ~ Time + (0 + t2 | Chick)", chick)
    np.testing.assert_allclose([fit.criterion, *fit.theta], [ref.criterion, *ref.theta], rtol=1e-8)
    assert fit.re_names == ["I(Time ^ 2)"]


def test_transforms_that_stay_allowed():
    chick = load("chickweight.csv")
    for formula in [
        "log(weight) ~ center(Time) + scale(Diet) + (1 | Chick)",
        "weight ~ poly(Time, 2) + (1 | Chick)",
        "weight ~ bs(Time, df=4) + (1 | Chick)",
        "weight ~ C(Diet, contr.treatment(4)) + np.clip(Time, 2, 20) + (1 | Chick)",
        "weight ~ C(Diet, levels=[4, 3, 2, 1]) + Q('Time') + (1 | C(Chick))",
        "weight ~ np.exp(Time / 21) + I(Diet == 1) + (1 | Chick)",
    ]:
        assert lmm(formula, chick).converged, formula


# ------------------------------------------------------------------ formulas never run code

HOSTILE = [  # (term, a fragment the error names); "{m}" is a file the term would create
    ("I(0 * np.ctypeslib.ctypes.CDLL(None).system(b'touch {m}'))", "np.ctypeslib.ctypes.CDLL(None).system"),
    ("I(open('{m}', 'w'))", "unknown function 'open'"),
    ("{{open('{m}', 'w')}}", "unknown function 'open'"),
    ("I(__import__('os').system('touch {m}'))", "'__import__('os').system'"),
    ("I(exec(\"open('{m}', 'w')\"))", "unknown function 'exec'"),
    ("I(np.log(Time).__class__)", "the attribute 'np.log(Time).__class__'"),
    ("I((lambda: open('{m}', 'w'))())", "lambda"),
    ("I([open('{m}', 'w') for k in 'a'])", "comprehension"),
    ("C(Diet, levels=open('{m}', 'w'))", "unknown function 'open'"),
    ("I(Time if open('{m}', 'w') else Time)", "conditional"),
    ("I(np.save('{m}', Time))", "unknown function 'np.save'"),
    ("I(Time[0])", "subscript"),
    ("I(np.log)", "'np.log' without calling it"),
    ("poly(Time, **dict(degree=2))", "unpacking"),
    ("center(Time, _state=[1])", "keyword argument '_state'"),
    ("I(9^9^9^9)", "constant expression"),
    ("I(Time^(2^12))", "exponent above 1024"),
    ("I('x' * 10**9)", "string 'x'"),
    ("I(Time and Time)", "'and'/'or'"),
    ("offset(Time)", "offset"),
]


@pytest.mark.parametrize("where", ["fixed", "response", "random", "unknown column"])
@pytest.mark.parametrize("term,fragment", HOSTILE, ids=[h[0] for h in HOSTILE])
def test_formulas_that_would_run_code_are_refused(tmp_path, term, fragment, where):
    marker = tmp_path / "marker"
    t = term.format(m=marker)
    formula = {
        "fixed": f"weight ~ Time + {t} + (1 | Chick)",
        "response": f"{t} ~ Time + (1 | Chick)",
        "random": f"weight ~ Time + (1 + {t} | Chick)",
        # the column check must not evaluate anything either
        "unknown column": f"weight ~ nope + {t} + (1 | Chick)",
    }[where]
    with pytest.raises(FormulaError) as err:  # a ValueError, raised as the formula is read
        lmm(formula, load("chickweight.csv"))
    assert fragment in str(err.value) and "\n" not in str(err.value)
    assert not marker.exists()
    with pytest.raises(FormulaError):  # refused when the formula is read, before any data
        parse_formula(formula)


@pytest.mark.parametrize(
    "name", ["plain", "Solar.R", "a b", "a`b", "a\\`b", "`", "\\", "1st", "x) + I(open('m')) + (y"]
)
def test_column_names_round_trip_through_quoting(name):
    quoted = quote_name(name)
    assert unquote_name(quoted) == name
    parsed = parse_formula(f"{quoted} ~ {quoted} + (1 | {quoted})")
    assert parsed.columns == [name] and parsed.group == (name,)
