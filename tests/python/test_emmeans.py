"""fit.emmeans() and its contrasts against emmeans 1.8's summaries of lmer (Satterthwaite
and asymptotic df) and glmer fits (tests/data/emmeans/make_reference.R)."""

import functools
import json
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quorvelkit as qk

DATA = Path(__file__).parent.parent / "data"
REF = json.loads((DATA / "emmeans" / "emmeans.json").read_text())
# The data sets by name (their files' stems)
FILES = {
    Path(f).stem: f
    for f in ("models/unbalanced.csv", "glmm/cbpp.csv", "glmm/grouseticks.csv", "structures/trial200.csv")
}
# emmeans stops the root search of its Dunnett quantile at 5e-4, so its intervals are that rough.
ROUGH = {"trt_B", "cbpp_trt"}


@functools.cache
def _fit(model: str):
    m = REF["models"][model]
    d = pd.read_csv(DATA / FILES[m["data"]], dtype={f: "category" for f in m["factors"]})
    if m["family"] in ("gaussian", "gls"):
        return qk.lmm(m.get("formula_qk", m["formula"]), d, weights=m.get("weights"), theta=m.get("theta"))
    return qk.glmm(m["formula"], d, family=m["family"])


def _call(c):
    ddf = c["ddf"] if REF["models"][c["model"]]["family"] in ("gaussian", "gls") else None  # glmer's are asymptotic
    means = _fit(c["model"]).emmeans(
        c["specs"], by=c["by"], at=c["at"], weights=c["weights"], type=c["type"], ddf=ddf, level=c["level"]
    )
    if c["contrast"] is None:
        return means.summary(adjust=c["adjust"]) if c["adjust"] else means
    return means.contrast(c["contrast"], adjust=c["adjust"])


@pytest.mark.parametrize("case", sorted(REF["cases"]))
def test_tables_match_emmeans(case):
    c = REF["cases"][case]
    result = _call(c)
    # emmeans prints its note of a swapped adjustment apart from the summary's messages
    assert sorted(n for n in result.notes if not n.startswith("adjust =")) == sorted(c["messages"])
    got = result.table
    assert list(got.columns) == list(c["table"])
    lmm = REF["models"][c["model"]]["family"] == "gaussian"
    for col, values in c["table"].items():
        if isinstance(values[0], str):
            assert [str(v) for v in got[col]] == values, col
            continue
        want = np.array([np.inf if v is None else v for v in values], dtype=float)
        # The LMMs are held at lmer's theta. glmer and quorvelkit stop at points of a
        # GLMM's criterion some 1e-6 apart (its SEs differ by that); gls is nlme's own
        # fit. Satterthwaite's df are differences of the criterion, lmerTest's and ours
        # (2e-6 apart on the weighted fit); a Tukey interval's end near zero carries
        # R's quantile's rounding, 2e-9 absolute.
        rtol = (2e-6 if lmm else 1e-4) if col in ("df", "p.value") else 1e-8 if lmm else 5e-5
        rtol = 1e-4 if case in ROUGH and col.endswith("CL") else rtol
        atol = 1e-9 if col == "p.value" else 1e-8 * np.abs(want).max() if col.endswith("CL") else 0.0
        np.testing.assert_allclose(got[col].to_numpy(dtype=float), want, rtol=rtol, atol=atol, err_msg=col)


@pytest.mark.parametrize(
    ("model", "kwargs", "message"),
    [
        ("unbalanced", {"specs": "C"}, "specs and by must name"),
        ("unbalanced", {"specs": "A", "weights": "cells"}, "weights must be"),
        ("unbalanced", {"specs": "A", "ddf": "containment"}, "ddf must be one of"),
        ("unbalanced", {"specs": "A", "at": {"A": ["a9"]}}, "levels of 'A' it does not have"),
        ("cbpp", {"specs": "period", "ddf": "satterthwaite"}, "asymptotic"),
    ],
)
def test_refuses_what_it_does_not_offer(model, kwargs, message):
    with pytest.raises(ValueError, match=message):
        _fit(model).emmeans(**kwargs)


def test_contrasts_refuse_the_multivariate_t():
    with pytest.raises(ValueError, match="adjust must be one of"):
        _fit("unbalanced").emmeans("B").contrast("consec", adjust="mvt")


def test_a_fit_from_batches_takes_covariate_means_from_its_products(tmp_path):
    m = REF["models"]["unbalanced"]
    path = tmp_path / "unbalanced.parquet"
    pd.read_csv(DATA / FILES["unbalanced"]).to_parquet(path)
    batched = qk.lmm(m["formula"], str(path))
    assert batched._design.rows is None
    want = _fit("unbalanced").emmeans("B", ddf="asymptotic").table
    pd.testing.assert_frame_equal(batched.emmeans("B", ddf="asymptotic").table, want, check_exact=False, rtol=1e-9)
    with pytest.raises(ValueError, match="proportional"):
        batched.emmeans("B", weights="proportional")
