"""Satterthwaite's t and F tests against lmerTest 3.1.3 on real data, at lmerTest's own
estimates (tests/data/models/lmertest.json, written by make_reference.R there)."""

import json
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quorvelkit as qk
from quorvelkit import satterthwaite as st

MODELS = Path(__file__).parent.parent / "data" / "models"
REF = json.loads((MODELS / "lmertest.json").read_text())
CASES = sorted(k for k in REF if not k.startswith("_"))


def _data(name: str) -> pd.DataFrame:
    if name == "sleepstudy":
        return pd.read_csv(MODELS.parent / "sleepstudy_data.csv")
    return pd.read_csv(MODELS / f"{name}.csv")


@pytest.fixture(scope="module", params=CASES)
def case(request):
    r = REF[request.param]
    fit = qk.lmm(r["formula"], _data(r["data"]), reml=r["reml"], theta=np.atleast_1d(r["theta"]))
    return r, st.varpar_info(fit.core, fit.theta, r["reml"])


def test_varpar_covariance_and_coefficient_tests(case):
    ref, info = case
    np.testing.assert_allclose(info.vcov_varpar, ref["vcov_varpar"], rtol=1e-6, atol=1e-9)
    coef = st.t_tests(info, np.eye(info.beta.size))
    for key in ("estimate", "se", "df", "t", "p"):
        np.testing.assert_allclose(coef[key], ref["coef"][key], rtol=1e-5, err_msg=key)
    assert info.evaluations == 1 + 2 * (len(np.atleast_1d(ref["theta"])))


def test_contrasts(case):
    ref, info = case
    L = np.atleast_2d(ref["L"])
    rows = st.t_tests(info, L)
    for key in ("estimate", "se", "df", "t", "p"):
        np.testing.assert_allclose(rows[key], ref["contrast_rows"][key], rtol=1e-5, err_msg=key)
    joint = st.f_test(info, L)
    want = ref["contrast"]
    np.testing.assert_allclose(
        [joint["F"], joint["num_df"], joint["den_df"], joint["p"]],
        [want["f"], want["num_df"], want["den_df"], want["p"]],
        rtol=1e-5,
    )


def test_rank_deficient_contrast_counts_its_rank():
    r = REF["ortho"]
    fit = qk.lmm(r["formula"], _data(r["data"]), theta=r["theta"])
    info = st.varpar_info(fit.core, fit.theta, True)
    one = st.f_test(info, [[0, 1, 0, 0]])
    twice = st.f_test(info, [[0, 1, 0, 0], [0, 2, 0, 0]])  # the same hypothesis, written twice
    assert twice["num_df"] == 1.0
    np.testing.assert_allclose([twice["F"], twice["den_df"]], [one["F"], one["den_df"]], rtol=1e-10)
    nothing = st.f_test(info, [[0, 0, 0, 0]])
    assert nothing["num_df"] == 0.0 and np.isnan(nothing["F"])


@pytest.mark.parametrize(
    "nu,expected",
    [
        ([7.0], 7.0),  # one row: its own df
        ([5.0, 5.0], 5.0),  # equal df: that df
        ([4.0, 12.0], 2 * 3.2 / 1.2),  # E = 4/2 + 12/10 = 3.2
        ([1.5, 30.0], 2.0),  # a df at or below 2 has no finite E term
    ],
)
def test_denominator_df_of_independent_t_tests(nu, expected):
    assert st._denominator_df(np.array(nu)) == pytest.approx(expected, rel=1e-12)
