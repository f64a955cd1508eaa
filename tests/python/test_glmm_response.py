"""The response of a binomial or Poisson GLMM read as R reads it: every case of
tests/data/glmm/response_reference.json (R's model frame and its family's initialize()
and aic() on the data sets of tests/data/glmm and on a frame of edge cases) gives R's
rows, proportions, trials and prior weights, warns where R warns and is refused where
R (or glmer, on a proportion outside [0, 1]) refuses; one response written in the ways
a user may write it reads the same. The words of the refusals are in test_messages."""

import json
import re
import warnings

import numpy as np
import pandas as pd
import pytest
from test_glmm_fit import GLMM, load

from quorvelkit.families.response import NonIntegerResponseWarning, read_response
from quorvelkit.support.errors import ResponseLevelsWarning

REFERENCE = json.loads((GLMM / "response_reference.json").read_text())
CASES = {k: v for k, v in REFERENCE.items() if isinstance(v, dict) and "outcome" in v}


def glmm_data(name):
    """A data set of tests/data/glmm with its factors as R's (categoricals in R's level
    order), or the frame of edge cases the reference script made."""
    if name != "edge":
        return load(name)[1]
    edge = {}
    for k, v in REFERENCE["edge_data"].items():
        if isinstance(v, dict):
            edge[k] = pd.Categorical(v["values"], categories=v["levels"])
        else:
            edge[k] = pd.array(v, dtype="boolean") if k == "lgl" else np.array(v, dtype=float)
    return pd.DataFrame(edge)


def outside_unit(case):
    """glmer refuses a binomial proportion outside [0, 1] ("Value ... out of range")
    that its family's initialize() let through."""
    return case["family"] == "binomial" and any(not 0 <= y <= 1 for y in case.get("y", []))


@pytest.mark.parametrize("name", list(CASES))
def test_response_read_as_r_reads_it(name):
    case = CASES[name]
    data = glmm_data(case["data"])
    formula = f"{case['lhs']} ~ x + (1 | g)"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if case["outcome"] == "error" or outside_unit(case):
            # the message names the response and the row of the first value refused
            if case["outcome"] == "error":  # R refuses a negative count or a 0/1 value above 1
                values = data[case["lhs"]].to_numpy(dtype=float)
                first = int(np.argmax((values < 0) | ((case["family"] == "binomial") & (values > 1))))
            else:
                first = case["rows"][next(k for k, y in enumerate(case["y"]) if not 0 <= y <= 1)] - 1
            name = case["lhs"].split("(")[-1].split(",")[0]
            with pytest.raises(ValueError, match=rf"'{re.escape(name)}'.* in row {first}\b"):
                read_response(formula, data, case["family"], case["weights"])
            return
        got = read_response(formula, data, case["family"], case["weights"])
    # R's warnings, and ours where R reads more than two levels without a word
    levels = [ResponseLevelsWarning] if got.levels is not None and len(got.levels) > 2 else []
    assert [type(w.message) for w in caught] == [NonIntegerResponseWarning] * len(case["warnings"]) + levels
    assert all(case["lhs"] in str(w.message) and w.filename == __file__ for w in caught)
    np.testing.assert_array_equal(np.flatnonzero(got.keep) + 1, case["rows"])
    assert got.n_dropped == len(data) - len(case["rows"])
    np.testing.assert_allclose(got.y, case["y"], rtol=1e-14, atol=0)
    np.testing.assert_allclose(got.prior_weights, case["prior_weights"], rtol=1e-14, atol=0)
    if case["family"] == "poisson":
        assert got.trials is None and got.kind == "count"
    else:
        np.testing.assert_allclose(got.trials, case["trials"], rtol=1e-14, atol=0)
        expected = (
            "cbind" if case["lhs"].startswith("cbind") else "bernoulli" if case["weights"] is None else "proportion"
        )
        assert got.kind == expected


HOLES = pd.DataFrame({"p": [0.2, np.nan, 0.9, 0.5], "w": [5.0, 2.0, np.nan, 0.0], "n": [1.0, 2, 3, np.nan]})
# (the data, left side, family, weights, the rows kept, y, the levels). A categorical's
# used categories in order, a text column's labels in R's order (case aside first:
# 'maybe' < 'N' < 'Y'); the first level is the failure, every other a success. A
# missing response, weight or input of an expression drops its row (a comparison of a
# missing value is missing, not False); a zero-weight row is kept with proportion 0, as
# R keeps it.
ROWS = [
    ({"r": pd.Categorical(["b", "c", "a", "b"], categories=["c", "b", "a", "z"])}, "r", "binomial", None,
     [1, 1, 1, 1], [1, 0, 1, 1], ("c", "b", "a")),
    ({"r": pd.Categorical(["b", "c", "b"], categories=["a", "b", "c"])}, "r", "binomial", None, [1, 1, 1], [0, 1, 0],
     ("b", "c")),
    ({"r": np.array(["yes", "no", None, "yes"], dtype=object)}, "r", "binomial", None, [1, 1, 0, 1], [1, 0, 1],
     ("no", "yes")),
    ({"r": pd.array(["Y", "N", "N", "maybe"], dtype="string")}, "r", "binomial", None, [1, 1, 1, 1], [1, 1, 1, 0],
     ("maybe", "N", "Y")),
    (HOLES, "p", "binomial", "w", [1, 0, 0, 1], [0.2, 0.0], None),
    (HOLES, "I(p > 0.4)", "binomial", None, [1, 0, 1, 1], [0.0, 1.0, 1.0], None),
    (HOLES, "cbind(n, 1)", "binomial", None, [1, 1, 1, 0], [0.5, 2 / 3, 0.75], None),
    (HOLES, "n", "poisson", "w", [1, 1, 0, 0], [1.0, 2.0], None),
]  # fmt: skip


@pytest.mark.parametrize("data, lhs, family, weights, keep, y, levels", ROWS)
def test_levels_and_missing_values_decide_the_rows(data, lhs, family, weights, keep, y, levels):
    got = read_response(f"{lhs} ~ 1", pd.DataFrame(data), family, weights)
    assert got.levels == levels and got.n_dropped == keep.count(0)
    np.testing.assert_array_equal(got.keep, np.array(keep, bool))
    np.testing.assert_allclose(got.y, y, rtol=1e-15)
    if levels is not None:  # labels: one trial a row
        np.testing.assert_array_equal(got.trials, np.ones(len(y)))


def test_one_response_written_several_ways():
    """cbind() of columns or of expressions, backticked names, a proportion with its
    trials as weights; booleans of each dtype and 0/1 numbers; text and categorical
    labels in the same order: each pair reads the same response."""
    cbpp = glmm_data("cbpp").assign(**{"size n": lambda d: d["size"], "fail": lambda d: d["size"] - d["incidence"]})
    lgl = pd.DataFrame({
        "b": np.array([True, False, True, True]), "nb": pd.array([True, False, True, None], dtype="boolean"),
        "i": [1, 0, 1, 1], "f": [1.0, 0.0, 1.0, np.nan], "t": ["Y", "N", "Y", "Y"],
        "c": pd.Categorical(["Y", "N", "Y", "Y"], categories=["N", "Y"]),
    })  # fmt: skip
    pairs = [
        (cbpp, "cbind(incidence, size - incidence)", None, "cbind(incidence, fail)", None),
        (cbpp, "cbind(incidence, size - incidence)", None, "cbind(`incidence`, `size n` - incidence)", None),
        (cbpp, "incidence / size", "size", "I(incidence / `size n`)", "size n"),
        *[(lgl, one, None, two, None) for one, two in [("b", "i"), ("nb", "f"), ("t", "c"), ("b", "I(i > 0.5)")]],
    ]
    for data, lhs1, w1, lhs2, w2 in pairs:
        one = read_response(f"{lhs1} ~ 1", data, "binomial", w1)
        two = read_response(f"{lhs2} ~ 1", data, "binomial", w2)
        for a, b in [(one.y, two.y), (one.prior_weights, two.prior_weights), (one.keep, two.keep)]:
            np.testing.assert_array_equal(a, b, err_msg=f"{lhs1} / {lhs2}")
    # the proportion and cbind() forms of cbpp: the same proportions and weights (R's as well)
    cb = read_response("cbind(incidence, size - incidence) ~ 1", cbpp, "binomial")
    pr = read_response("incidence / size ~ 1", cbpp, "binomial", "size")
    assert np.array_equal(cb.y, pr.y) and np.array_equal(cb.prior_weights, pr.prior_weights)


def test_a_proportion_counts_its_successes_by_the_weights():
    """R's binomial()$initialize: successes are the proportion times the weights (the
    trials, one without weights), warned of when not whole."""
    d = pd.DataFrame({"p": [0.2, 0.5, 1.0], "n": [5.0, 2.0, 3.0]})
    for weights, warned in [("n", 0), (None, 1)]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            read_response("p ~ 1", d, "binomial", weights)
        assert [type(w.message) for w in caught] == [NonIntegerResponseWarning] * warned
