"""Poisson counts near 1e9 and 1e11: each row's log-likelihood is a small difference of
terms near y log y (2e10 and 2.5e12), whose sum over rows must not lose the small part.
References from tests/data/glmm/make_huge_counts_reference.R: glmer's fit of the 1e9
counts, and the Laplace criterion at fixed points computed there with R's dpois (and,
for the 1e9 counts, glmer's own deviance function beside it)."""

import json
from functools import cache
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quorvelkit as qk
from quorvelkit._quorvelkit import CrossedGlmmCore, GlmmCore

GLMM = Path(__file__).resolve().parent.parent / "data" / "glmm"


@cache
def _reference() -> tuple[pd.DataFrame, dict]:
    meta = json.loads((GLMM / "huge_counts.json").read_text())
    return pd.read_csv(GLMM / meta["data"], dtype={"g": str}), meta


def _arrays(response: str) -> tuple:
    d, meta = _reference()
    levels = {lv: i for i, lv in enumerate(meta["factors"]["g"])}
    n = len(d)
    x = np.column_stack([np.ones(n), d["x"].to_numpy(float)])
    codes = np.array([levels[v] for v in d["g"]], dtype=np.int64)
    return d[response].to_numpy(float), x, np.ones((n, 1)), codes, len(levels), np.ones(n)


def _points() -> list[dict]:
    return _reference()[1]["points"]


@pytest.mark.parametrize("point", _points(), ids=lambda p: f"{p['response']}-theta{p['theta']}")
@pytest.mark.parametrize("crossed", [False, True], ids=["one_factor", "crossed_core"])
def test_criterion_of_huge_counts_is_rs(point, crossed):
    y, x, z, codes, m, one = _arrays(point["response"])
    if crossed:
        core = CrossedGlmmCore(y, x, [(codes, m, z, [1])], one, None, "poisson")
    else:
        core = GlmmCore(y, x, z, codes, m, [1], one, None, "poisson")
    value = core.criterion([point["theta"]], point["beta"])
    # R's own values (glmer's deviance function against the group-by-group sum) agree
    # to 5e-7 at 2.8e6; the criterion's terms sum to ~1e13 before they cancel.
    assert value == pytest.approx(point["m2loglik"], rel=1e-12, abs=1e-6)


def test_fit_of_huge_counts_is_glmers():
    d, meta = _reference()
    ref = meta["fits"]["y9"]
    frame = d.assign(g=d["g"].astype(pd.CategoricalDtype(meta["factors"]["g"])))
    fit = qk.glmm("y9 ~ x + (1 | g)", frame, family="poisson")
    assert fit.loglik == pytest.approx(ref["loglik"], abs=1e-5)
    np.testing.assert_allclose(fit.fixef.to_numpy(float), ref["beta"], rtol=1e-6)
    np.testing.assert_allclose(np.asarray(fit.theta, float), ref["theta"], rtol=1e-4)
    # A residual moves by 3e-5 for each 1 of mu near 1e9 (1e-9 relative): the fits agree
    # to that.
    np.testing.assert_allclose(fit.residuals().to_numpy(float), ref["deviance_residuals"], atol=1e-4)
    assert fit.deviance == pytest.approx(ref["deviance"], rel=1e-6)
    # At glmer's own means, the residuals from R's dpois: R's dev.resids (y log(y / mu) -
    # (y - mu)) loses up to 2e-6 of a residual to rounding there.
    y = d["y9"].to_numpy(float)
    at_ref = qk.families.family.residuals(y, np.asarray(ref["mu"]), np.ones(len(y)), "poisson")
    np.testing.assert_allclose(at_ref, ref["exact_deviance_residuals"], rtol=0, atol=1e-9)
