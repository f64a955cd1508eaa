"""From a formula and data to the model: what a user of lme4 writes means what it means
in lme4 (references from tests/data/make_formula_reference.R), and rows, labels and
columns that need care are dropped or kept as documented (refusals: test_messages)."""

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose

from quorvelkit import RankDeficiencyWarning, lmm
from quorvelkit.formula.parsing import parse_formula
from quorvelkit.formula.r_functions import r_round
from quorvelkit.model.design import build_design
from quorvelkit.model.model_checks import aliased_columns

FM1 = "Reaction ~ Days + (Days | Subject)"

LME4 = [  # (reference, data set, formula, column changes, names our fit gives)
    ("chick_quadratic", "chickweight", "weight ~ Time + I(Time^2) + (1 | Chick)", {},
     ["(Intercept)", "Time", "I(Time ^ 2)"]),
    ("chick_quadratic", "chickweight", "weight ~ Time + I(Time^2) + (1 | Chick)", {"Time": float}, None),
    ("chick_quadratic", "chickweight", "weight ~ Time + I(Time ^ 2.0) + (1 | Chick)", {}, None),
    ("chick_quadratic", "chickweight", "weight ~ Time + {Time^2} + (1 | Chick)", {}, None),
    ("chick_quadratic", "chickweight", "weight ~ Time + I(Time**2) + (1 | Chick)", {}, None),
    ("chick_diet", "chickweight", "weight ~ Time + factor(Diet) + (1 | Chick)", {},
     ["(Intercept)", "Time", "factor(Diet)[T.2]", "factor(Diet)[T.3]", "factor(Diet)[T.4]"]),
    ("chick_diet", "chickweight", "weight ~ Time + as.factor(Diet) + (1 | Chick)", {}, None),
    ("chick_diet", "chickweight", "weight ~ Time + C(Diet) + (1 | Chick)", {}, None),
    ("airquality", "airquality", "Ozone ~ Solar.R + Wind + (1 | Month)", {}, ["(Intercept)", "Solar.R", "Wind"]),
    ("airquality", "airquality", "Ozone ~ `Solar.R` + Wind + (1 | Month)", {}, None),
    ("airquality", "airquality", "Ozone ~ I(Solar.R) + Wind + (1 | Month)", {}, ["(Intercept)", "I(Solar.R)", "Wind"]),
    ("airquality", "airquality", "Ozone ~ `Solar R` + Wind + (1 | `the month`)",
     {"rename": {"Solar.R": "Solar R", "Month": "the month"}}, ["(Intercept)", "Solar R", "Wind"]),
    ("airquality", "airquality", r"`O\`zone` ~ `So\\lar` + Wind + (1 | `Mo:nth`)",
     {"rename": {"Ozone": "O`zone", "Solar.R": "So\\lar", "Month": "Mo:nth"}}, ["(Intercept)", "So\\lar", "Wind"]),
    ("orthodont", "orthodont", "distance ~ age + Sex + (1 | Subject)", {}, ["(Intercept)", "age", "Sex[T.Male]"]),
    ("co2", "co2", "uptake ~ conc + Type + (1 | Plant)", {}, None),
    ("star", "star", "math ~ C(gr) + cltype + (1 | id)", {}, None),
    ("chick_math", "chickweight", "weight ~ sin(2*pi*Time/21) + cos(2*pi*Time/21) + log(Time + 1, 2) + (1 | Chick)",
     {}, ["(Intercept)", "sin(2 * pi * Time / 21)", "cos(2 * pi * Time / 21)", "log(Time + 1, 2)"]),
    ("chick_math", "chickweight",
     "weight ~ np.sin(2*pi*Time/21) + np.cos(2*pi*Time/21) + log(Time + 1, base=2) + (1 | Chick)", {}, None),
    ("chick_diet", "chickweight", "weight ~ Time + ordered(Diet) + (1 | Chick)", {},
     ["(Intercept)", "Time", "ordered(Diet)[T.2]", "ordered(Diet)[T.3]", "ordered(Diet)[T.4]"]),
    ("chick_diet_sum", "chickweight", "weight ~ Time + C(Diet, contr.sum) + (1 | Chick)", {},
     ["(Intercept)", "Time", "C(Diet, contr.sum)[S.1]", "C(Diet, contr.sum)[S.2]", "C(Diet, contr.sum)[S.3]"]),
    ("chick_diet_sum", "chickweight", "weight ~ Time + C(Diet, sum) + (1 | Chick)", {}, None),
    ("chick_diet_sum", "chickweight", "weight ~ Time + C(Diet, 'contr.sum') + (1 | Chick)", {}, None),
    ("chick_diet_sum", "chickweight", "weight ~ Time + C(Diet, contrasts=Sum) + (1 | Chick)", {}, None),
    ("chick_diet_helmert", "chickweight", "weight ~ Time + C(Diet, helmert) + (1 | Chick)", {}, None),
    ("chick_diet_poly", "chickweight", "weight ~ Time + C(Diet, contr.poly) + (1 | Chick)", {}, None),
    ("chick_diet", "chickweight", "weight ~ Time + C(Diet) + (1 | Chick)", {"Diet": str}, None),
    ("chick_quadratic", "chickweight", "weight ~ Time + I(Time^2) + (1 | Chick)", {"Time": object}, None),
]  # fmt: skip


@pytest.mark.parametrize("case,name,formula,change,names", LME4, ids=[f"{c[0]}: {c[2]}" for c in LME4])
def test_formulas_mean_what_they_mean_in_lme4(data, reference, case, name, formula, change, names):
    change = dict(change)
    df = data(name).rename(columns=change.pop("rename", {})).astype(change)
    fit = lmm(formula, df)
    ref = reference(f"formula/{case}")
    assert (fit.nobs, *fit.ngroups.values()) == (ref["n"], ref["m"])
    assert_allclose(fit.fixef, ref["beta"], rtol=1e-5, atol=1e-8)
    assert_allclose(fit.se, ref["se_beta"], rtol=1e-5)
    assert_allclose(fit.theta, ref["theta"], rtol=1e-5, atol=1e-6)
    assert_allclose([fit.sigma, fit.criterion], [ref["sigma"], ref["criterion"]], rtol=1e-5)
    if names is not None:
        assert fit.fe_names == names
    # the fit's columns are rebuilt for new data from the same (rewritten) terms
    assert_allclose(fit.predict(df.loc[fit.fitted.index]), fit.fitted, rtol=1e-10)


EQUIVALENT = [  # (term as written, the same column computed here): R's meaning of ^ and friends
    ("I(-Time^2)", lambda d: -(d["Time"] ** 2)), ("I(2 * Time^2 / 4)", lambda d: d["Time"] ** 2 / 2),
    ("I(Time^0.5)", lambda d: np.sqrt(d["Time"])), ("sqrt(Time)", lambda d: np.sqrt(d["Time"])),
    ("abs(Time - 10)", lambda d: np.abs(d["Time"] - 10)), ("np.log1p(Time)", lambda d: np.log1p(d["Time"])),
    ("I(Time > 10)", lambda d: (d["Time"] > 10).astype(float)), ("I(Time % 4)", lambda d: d["Time"] % 4),
    ("I(2^(Time / 7))", lambda d: 2.0 ** (d["Time"] / 7)),
]  # fmt: skip


@pytest.mark.parametrize("term,column", EQUIVALENT, ids=[e[0] for e in EQUIVALENT])
def test_evaluated_terms_follow_r(data, term, column):
    chick = data("chickweight")
    fit = lmm(f"weight ~ {term} + (1 | Chick)", chick)
    ref = lmm("weight ~ z + (1 | Chick)", chick.assign(z=column(chick).astype(float)))
    assert_allclose(fit.fixef, ref.fixef, rtol=1e-10)
    assert_allclose(fit.criterion, ref.criterion, rtol=1e-12)


def _exact(values):
    return np.array([float(v) for v in values])


def test_r_math_makes_rs_columns(data, reference):
    # model.matrix's column of each term in R; rounding is exact, libm's functions
    # agree to an ulp or so
    chick = data("chickweight")
    for term, column in reference("formula/math_columns")["columns"].items():
        formula = f"weight ~ {term} + (1 | Chick)"
        ours = build_design(parse_formula(formula), chick).rows.x[:, 1]
        if term.startswith(("floor", "ceiling", "round", "trunc", "sign")):
            np.testing.assert_array_equal(ours, _exact(column), err_msg=term)
        else:
            assert_allclose(ours, _exact(column), rtol=1e-14, atol=1e-15, err_msg=term)
        fit = lmm(formula, chick)  # the column is rebuilt for new data
        assert_allclose(fit.predict(chick), fit.fitted, rtol=1e-13, err_msg=term)


def test_round_rounds_as_r_does(reference):
    ref = reference("formula/round")
    x = _exact(ref["x"])
    for digits, values in zip(ref["digits"], ref["values"], strict=True):
        np.testing.assert_array_equal(r_round(x, digits), _exact(values), err_msg=f"digits={digits}")


def test_transforms_that_stay_allowed(data):
    chick = data("chickweight")
    for formula in [
        "log(weight) ~ center(Time) + scale(Diet) + (1 | Chick)", "weight ~ poly(Time, 2) + (1 | Chick)",
        "weight ~ bs(Time, df=4) + (1 | Chick)", "weight ~ np.exp(Time / 21) + I(Diet == 1) + (1 | Chick)",
        "weight ~ C(Diet, contr.treatment(4)) + np.clip(Time, 2, 20) + (1 | Chick)",
        "weight ~ C(Diet, levels=[4, 3, 2, 1]) + Q('Time') + (1 | C(Chick))",
    ]:  # fmt: skip
        assert lmm(formula, chick).converged, formula


def test_missing_values_are_dropped_and_counted(sleep):
    df = sleep.astype({"Subject": object})
    df.loc[[3, 50], "Reaction"] = np.nan
    df.loc[77, "Days"] = None
    df.loc[100, "Subject"] = None
    df["unused"] = np.nan  # a column the model does not use does not count
    # center() sees only the rows kept, as when the incomplete rows were never there
    formula = "Reaction ~ center(Days) + (Days | Subject)"
    fit = lmm(formula, df)
    assert fit.n_dropped == 4 and fit.nobs == 176 and "4 observations deleted due to missingness" in fit.summary_text()
    ref = lmm(formula, df.dropna(subset=["Reaction", "Days", "Subject"]))
    assert_allclose([*fit.theta, *fit.fixef], [*ref.theta, *ref.fixef], 1e-12)
    assert 3 not in fit.fitted.index and 4 in fit.fitted.index


@pytest.mark.parametrize("labels", [
    lambda s: s.astype(str), lambda s: s.astype(float) + 0.5, lambda s: "S" + s.astype(str),
    lambda s: pd.Categorical(s.astype(str), categories=sorted(s.astype(str).unique(), reverse=True)),
    lambda s: s.map(lambda v: v if v % 2 else str(v)),
], ids=["str", "float", "prefixed", "categorical", "mixed"])  # fmt: skip
def test_group_labels_of_any_type(sleep, fm1, labels):
    df = sleep.assign(Subject=labels(sleep["Subject"]))
    fit = lmm(FM1, df)
    assert_allclose(fit.criterion, fm1.criterion, 1e-10)
    ranef = fit.ranef["Subject"]
    assert_allclose(ranef.loc[df["Subject"].iloc[0]], fm1.ranef["Subject"].loc[sleep["Subject"].iloc[0]], 1e-5, 1e-6)
    assert set(ranef.index) == set(pd.unique(df["Subject"]))
    if isinstance(df["Subject"].dtype, pd.CategoricalDtype):  # the categories' order is kept
        assert list(ranef.index) == list(df["Subject"].cat.categories)
    assert fit.to_dict()["random_effects"]["Subject"]["levels"][0] == ranef.index[0]


def test_aliased_columns_are_dropped_with_a_warning(sleep):
    # with two rows lacking the response: the summary notes both
    df = sleep.assign(Days2=lambda d: 2 * d["Days"] + 1, Reaction=sleep["Reaction"].where(~sleep.index.isin([3, 50])))
    with pytest.warns(RankDeficiencyWarning, match=r"dropping 1 column.*Days2"):
        fit = lmm("Reaction ~ Days + Days2 + (1 | Subject)", df)
    assert fit.dropped_columns == ["Days2"] and fit.fe_names == ["(Intercept)", "Days"]
    notes = ["2 observations deleted due to missingness", "rank deficient so dropping 1 column: Days2"]
    assert all(note in fit.summary_text() for note in notes)
    ref = lmm("Reaction ~ Days + (1 | Subject)", df)
    assert_allclose([fit.criterion, *fit.fixef], [ref.criterion, *ref.fixef], 1e-10)
    assert_allclose(fit.predict(df), ref.predict(df), 1e-10)


_R = np.random.default_rng(11).normal(size=(40, 4))


@pytest.mark.parametrize("cols,expected", [
    ([_R[:, 0], _R[:, 1], _R[:, 2]], []),
    ([_R[:, 0], _R[:, 1], _R[:, 0] + _R[:, 1]], [2]),
    ([_R[:, 0], np.zeros(40), _R[:, 1]], [1]),
    ([_R[:, 0], 2 * _R[:, 0], _R[:, 1], _R[:, 1] - _R[:, 0], _R[:, 2]], [1, 3]),
    ([_R[:, 0], _R[:, 1], _R[:, 1] + 1e-9 * _R[:, 2]], [2]),  # below R's tolerance
    ([_R[:, 0], _R[:, 1], _R[:, 1] + 1e-4 * _R[:, 2]], []),  # above it
    (list(_R[:3].T), [3]),  # more columns than rows
], ids=["full", "sum", "zero", "multiple", "near", "distinct", "wide"])  # fmt: skip
def test_aliased_columns(cols, expected):
    x = np.column_stack(cols)
    assert aliased_columns(x.T @ x) == expected


@pytest.mark.parametrize("shift", [0.0, 1e12])
def test_large_means(data, shift):
    # ChickWeight's weight (sd about 71) shifted far away, Time by 1e6 sd: the rows are
    # centred, so only the intercept moves, and nothing is taken for an exact fit (a
    # line in t is: test_messages)
    chick = data("chickweight")
    y, t = chick["weight"] + shift * chick["weight"].std(), chick["Time"] + 1e6 * chick["Time"].std()
    base = lmm("weight ~ Time + (Time | Chick)", chick)
    fit = lmm("y ~ Time + (Time | Chick)", chick.assign(y=y))
    assert_allclose([*fit.theta, fit.sigma, fit.fixef["Time"]], [*base.theta, base.sigma, base.fixef["Time"]], 1e-6)
    base = lmm("weight ~ Time + (1 | Chick)", chick)
    fit = lmm("y ~ t + (1 | Chick)", chick.assign(y=chick["weight"] + shift, t=t))
    assert_allclose([*fit.theta, fit.sigma, fit.fixef["t"]], [*base.theta, base.sigma, base.fixef["Time"]], 1e-9)
