"""fit.ranova() and fit.drop1() against lmerTest 3.1's ranova and drop1 tables and
stats::drop1(fit, test = "Chisq") (tests/data/models/make_lrt_reference.R)."""

import functools
import json
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quorvelkit as qk

DATA = Path(__file__).parent.parent / "data"
REF = json.loads((DATA / "models" / "lrt.json").read_text())
FILES = {
    "sleepstudy": "sleepstudy_data.csv",
    "orthodont": "models/orthodont.csv",
    "penicillin": "crossed/penicillin.csv",
    "chickweight": "models/chickweight.csv",
    "ham": "crossed/ham.csv",
}
CASES = [(case, table) for case in REF if case != "_meta" for table in ("ranova", "drop1", "drop1_chisq")]


@functools.cache
def _fit(case: str) -> qk.LmmFit:
    m = REF[case]
    d = pd.read_csv(DATA / FILES[m["data"]])
    for col in {"Subject", "Chick", "Product", "Information", "Consumer"} & set(d.columns):
        d[col] = "L" + d[col].astype(str)  # R's factors: text labels, in the same order
    return qk.lmm(m["formula"], d, reml=m["reml"], weights=m["weights"])


@pytest.mark.parametrize(("case", "table"), CASES)
def test_tables_match_lmertest(case, table):
    fit = _fit(case)
    got = fit.ranova() if table == "ranova" else fit.drop1(test="Chisq" if table == "drop1_chisq" else "F")
    want = REF[case][table]
    # R's table of a model with no term to drop leaves its one row unnamed ("1")
    assert list(got.index) == (["<none>"] if want["rows"] == ["1"] else want["rows"])
    assert list(got.columns) == list(want["columns"])
    for col, values in want["columns"].items():
        expected = np.array([np.nan if v is None else v for v in values], dtype=float)
        # The F tests are the fit's own (no refit): a REML theta agrees with lme4's to
        # some 1e-6 where the criterion is flat, and the F table with it.
        rtol = 3e-6 if table == "drop1" else 1e-6
        atol = 1e-9 if col.startswith("Pr") else 0.0
        np.testing.assert_allclose(got[col].to_numpy(dtype=float), expected, rtol=rtol, atol=atol, err_msg=col)


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [({"ddf": "Kenward-Roger"}, "ddf must be 'satterthwaite'"), ({"test": "LRT"}, "test must be 'F'")],
)
def test_drop1_refuses_what_it_does_not_offer(kwargs, message):
    with pytest.raises(ValueError, match=message):
        _fit("ortho").drop1(**kwargs)
