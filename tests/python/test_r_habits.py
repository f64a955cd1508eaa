"""Data frames read as someone coming from R reads them: text columns are factors whose
levels are in R's order (the reference level R would pick), labels that read as numbers
('0', '1', '3+'; 'K', '1') make a factor rather than a refusal, rows dropped for values
pandas read as missing are warned of, and messages name rows as plain numbers.

The numbers are lme4's (tests/data/factors/make_reference.R, run in an en_US.UTF-8
locale, fitting the CSV files as R's read.csv reads them)."""

from __future__ import annotations

import json
import re
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quorvelkit as qk
from quorvelkit.results.report import reference_levels
from quorvelkit.support.errors import SourceError
from quorvelkit.support.frames import distinct_values, r_sorted

DATA = Path(__file__).resolve().parents[1] / "data"
FACTORS = DATA / "factors"
FITS = json.loads((FACTORS / "fits.json").read_text())


def _r_name(name: str) -> str:
    """lme4's name of a coefficient ("party[T.labour]" is "partylabour")."""
    return re.sub(r"\[T\.(.*)\]$", r"\1", name)


def test_text_sorts_as_r_sorts_it():
    """Mixed case, digits, punctuation, spaces and accents in R's sort() order."""
    table = json.loads((FACTORS / "collation.json").read_text())
    assert r_sorted(table["labels"]) == table["sorted"]
    assert r_sorted(list(reversed(table["labels"]))) == table["sorted"]


@pytest.mark.parametrize(
    "column, want",
    [
        (pd.Series(["b", None, "a", "b", np.nan]), ["b", "a"]),  # object: None and NaN are missing
        (pd.Series(["b", None, "a", "b"], dtype="string"), ["b", "a"]),  # pandas' NA
        (pd.Series(["z", "y"], dtype="str"), ["z", "y"]),  # order of appearance, not sorted
        (pd.Series([None, np.nan], dtype=object), []),
        (pd.Series([3, 1, 3], dtype=object), [3, 1]),  # numbers held as objects stay objects
    ],
)
def test_distinct_values_leave_out_the_missing(column, want):
    got = distinct_values(column)
    assert got.dtype == object
    assert got.tolist() == want


def _read(name: str, **kw: object) -> pd.DataFrame:
    return pd.read_csv(DATA / name, **kw)  # type: ignore[arg-type]


# (case, fit, file, read_csv options): text columns as factors, levels in R's order.
CASES = [
    # mixed case: 'Lib/SDP/Alliance' among lower-case parties, 'Protestant' among 'none', 'others'
    ("socatt", "lmm", "factors/socatt.csv", {}),
    # grades 'K', '1', '2', '3': mostly labels that read as numbers
    ("star", "lmm", "star.csv", {}),
    # 'N/A' a level, as R's read.csv keeps it; 'high' < 'low' < 'N/A' in R's order
    ("ome", "glmm", "factors/ome.csv", {"keep_default_na": False}),
    ("alfalfa", "lmm", "factors/alfalfa.csv", {"keep_default_na": False}),
]


@pytest.mark.filterwarnings("ignore::quorvelkit.SingularFitWarning")
@pytest.mark.parametrize("case, kind, file, options", CASES, ids=[c[0] for c in CASES])
def test_text_factors_match_lme4(case, kind, file, options):
    ref = FITS[case]
    frame = _read(file, **options)
    formula = ref["formula"]
    fit = qk.lmm(formula, frame) if kind == "lmm" else qk.glmm(formula, frame, family="binomial")
    assert fit.nobs == ref["n"]
    assert [_r_name(n) for n in fit.fe_names] == ref["beta"]["names"]
    np.testing.assert_allclose(np.asarray(fit.fixef, dtype=float), ref["beta"]["values"], rtol=2e-4, atol=2e-4)
    refs = ", ".join(f"{c} = {v[0]!r}" for c, v in ref["levels"].items() if c in formula)
    assert reference_levels(fit) == [f"Reference levels: {refs}"]


def test_contraception_livch_is_a_factor_without_c(data):
    """livch ('0', '1', '2', '3+') read as R reads it: the fit of glmer with livch a
    factor, the same as with C(livch)."""
    ref = json.loads((DATA / "glmm" / "contraception.json").read_text())["models"]["contraception_laplace"]
    d = pd.read_csv(DATA / "glmm" / "contraception.csv")
    fit = qk.glmm("use ~ age + I(age^2) + urban + livch + (1 | district)", d, family="binomial")
    assert [_r_name(n).replace(" ", "") for n in fit.fe_names] == ref["beta"]["names"]
    np.testing.assert_allclose(np.asarray(fit.fixef, dtype=float), ref["beta"]["values"], rtol=1e-3, atol=1e-4)


def _with(column: str, values: list) -> pd.DataFrame:
    """sleepstudy-shaped data whose column ``column`` holds ``values`` cycled."""
    y = np.random.default_rng(1).normal(size=400)
    return pd.DataFrame({"y": y, "g": np.repeat(np.arange(20), 20), column: np.resize(np.asarray(values, object), 400)})


# Text columns: which are factors and which are refused (a typo's few among numbers).
def _typo(n_bad: int, bad: list[str]) -> pd.DataFrame:
    d = _with("x", [str(v) for v in range(10)])
    for k in range(n_bad):
        d.loc[7 + 13 * k, "x"] = bad[k % len(bad)]
    return d


TEXT = [
    ("ome ord", _with("x", ["01", "23", "46", "7p"]), None),
    ("1 and 2-3", _with("x", ["1", "2-3"]), None),
    ("star gr", _with("x", ["K", "1", "2", "3"]), None),
    ("livch", _with("x", ["0", "1", "2", "3+"]), None),
    # two values of typos in four rows (1%): refused, naming both values and their rows (one
    # typo: test_messages)
    ("two typos", _typo(4, ["1O0", "l2"]), "'1O0' in row 7 and row 33, 'l2' in row 20 and row 46, among numbers"),
    # five rows (above 1%): text, a factor
    ("above 1%", _typo(5, ["1O0"]), None),
    # three distinct values: a factor
    ("three values", _typo(3, ["a", "b", "c"]), None),
    # every label a number: refused as numbers stored as text (kept: only the formula can say)
    ("all numbers", _with("x", ["1", "2", "3"]), "holds numbers stored as text (such as '1' in row 0)"),
]


@pytest.mark.parametrize("name, frame, refusal", TEXT, ids=[t[0] for t in TEXT])
def test_text_columns_are_factors_unless_a_typo(name, frame, refusal):
    if refusal is None:
        fit = qk.lmm("y ~ x + (1 | g)", frame)
        levels = r_sorted(pd.unique(frame["x"]).tolist())
        assert fit.fe_names == ["(Intercept)", *[f"x[T.{v}]" for v in levels[1:]]]
    else:
        with pytest.raises(SourceError) as info:
            qk.lmm("y ~ x + (1 | g)", frame)
        assert refusal in str(info.value)


def test_row_numbers_print_as_plain_integers():
    """The frame's index (NumPy integers) shown as numbers, not as np.int64(...)."""
    d = _with("x", [float(v) for v in range(10)]).astype({"x": object})
    d.index = np.arange(1000, 1000 + len(d), dtype=np.int64)
    d.loc[1260, "x"] = "1O0"
    cases = [
        (lambda: qk.lmm("y ~ x + (1 | g)", d), "'1O0' in row 1260,"),
        (lambda: qk.lmm("y ~ 1 + (1 | g)", d, weights=np.where(np.arange(len(d)) == 5, -1.0, 1.0)), "in row 1005"),
        (lambda: qk.glmm("r ~ 1 + (1 | g)", d.assign(r=np.where(np.arange(len(d)) == 3, 2, 0)), "binomial"),
         "in row 1003"),
    ]  # fmt: skip
    for run, text in cases:
        with pytest.raises(ValueError, match="in row") as info:
            run()
        assert text in str(info.value) and "np." not in str(info.value), str(info.value)


DROPS = [
    # (read_csv options, fit, dropped, share warned, columns named, NA hint)
    ({}, "alfalfa", 18, True, "'Date' (18)", True),
    ({"keep_default_na": False}, "alfalfa", 0, False, None, False),
    ({}, "ome", 385, True, "'OME' (385)", True),
]


@pytest.mark.parametrize("options, case, dropped, warned, named, hint", DROPS)
def test_rows_dropped_for_pandas_missing_strings_are_warned_of(options, case, dropped, warned, named, hint):
    frame = _read(f"factors/{case}.csv", **options)
    formula = FITS[case]["formula"]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fit = qk.lmm(formula, frame) if case == "alfalfa" else qk.glmm(formula, frame, family="binomial")
    assert fit.n_dropped == dropped
    found = [w for w in caught if issubclass(w.category, qk.DroppedRowsWarning)]
    assert len(found) == int(warned)
    if warned:
        text = str(found[0].message)
        assert text.startswith(f"{dropped} of {len(frame)} rows")
        assert named in text
        assert ("keep_default_na=False" in text) == hint
        assert found[0].filename == __file__


@pytest.mark.parametrize("n_missing, warned", [(9, False), (10, False), (11, True)])
def test_dropped_rows_threshold_and_numeric_columns(n_missing, warned):
    """More than 5% of the rows: warned, naming the numeric column, without the note
    on pandas' strings (a column of numbers was not read from labels). The response a
    GLMM reads apart is named as the response."""
    d = _with("x", [float(v) for v in range(10)]).iloc[:200].copy()
    b = d.assign(r=np.where(np.arange(len(d)) % 2 == 0, 1.0, 0.0), x=1.0)
    d.loc[d.index[:n_missing], "x"] = np.nan
    b.loc[b.index[:n_missing], "r"] = np.nan
    for fit, named in [(lambda: qk.lmm("y ~ x + (1 | g)", d), "in 'x' (11)"),
                       (lambda: qk.glmm("r ~ 1 + (1 | g)", b, family="binomial"), "in the response (11)")]:  # fmt: skip
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            fit()
        found = [str(w.message) for w in caught if issubclass(w.category, qk.DroppedRowsWarning)]
        assert len(found) == int(warned)
        assert not warned or (named in found[0] and "keep_default_na" not in found[0])


def test_categorical_keeps_its_order_and_numbers_sort_by_value():
    """A pandas Categorical keeps its categories' order (R keeps a factor's levels);
    text in R's order, case aside ('apple' < 'Banana' < 'cherry')."""
    base = _with("x", ["cherry", "Banana", "apple"])
    fit = qk.lmm("y ~ x + (1 | g)", base)
    assert fit.fe_names == ["(Intercept)", "x[T.Banana]", "x[T.cherry]"]
    assert reference_levels(fit) == ["Reference levels: x = 'apple'"]
    assert reference_levels(qk.lmm("y ~ 0 + x + (1 | g)", base)) == []  # a column per level: no reference
    cat = base.assign(x=pd.Categorical(base["x"], categories=["cherry", "apple", "Banana"]))
    assert qk.lmm("y ~ x + (1 | g)", cat).fe_names == ["(Intercept)", "x[T.apple]", "x[T.Banana]"]
    num = base.assign(x=np.resize([10, 9, 100], len(base)))
    assert qk.lmm("y ~ C(x) + (1 | g)", num).fe_names[1:] == ["C(x)[T.10]", "C(x)[T.100]"]
