"""The wider model class: prior weights, offsets, uncorrelated random effects (x || g)
and several terms on one grouping factor, against lme4 on R's data, and what a fit does
with them (refits, simulation, the bootstrap, predictions, reports, errors)."""

import json
import math
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose

import quorvelkit as qk
from quorvelkit import lmm

DATA = Path(__file__).resolve().parent.parent / "data"

MODELS = json.loads((DATA / "models" / "lme4_models.json").read_text())
CASES = [k for k in MODELS if not k.startswith("_")]
EVALUATORS = ["auto", "blocks", "aggregated", "streaming"]
CHICK = "weight ~ Time * factor(Diet) + (Time | Chick)"


def models(name: str) -> pd.DataFrame:
    return pd.read_csv(DATA / "models" / f"{name}.csv")


@pytest.mark.parametrize("at_theta", [True, False], ids=["at_lme4_theta", "fitted"])
@pytest.mark.parametrize("case", CASES)
def test_matches_lme4(case, at_theta):
    ref = MODELS[case]
    frame, w, evaluator = models(ref["data"]), ref["weights"], EVALUATORS[CASES.index(case) % 4]
    # weights by column name, or as an array where the case gives one number for every row
    w = w if w in (None, "w") else np.full(len(frame), float(w))
    fit = lmm(ref["formula"], frame, ref["reml"], evaluator, weights=w, theta=ref["theta"] if at_theta else None)
    # lme4's theta holds the free entries only, in its order
    assert fit.core.n_theta == len(ref["theta"]) and fit.n_params == ref["df"]
    tol = 1e-9 if at_theta else 1e-5
    assert_allclose(fit.criterion, ref["criterion"], 1e-12 if at_theta else 1e-7)
    if not at_theta:
        assert fit.converged and fit.criterion <= ref["criterion"] * (1 + 1e-12)
        assert_allclose(fit.theta, ref["theta"], 1e-4)
    assert_allclose([*fit.fixef, *fit.se, fit.sigma], [*ref["beta"], *ref["se"], ref["sigma"]], tol)
    assert len(fit.fe_names) == len(ref["names"])
    # lme4's logLik, AIC and BIC of the same criterion (with the weights' constant)
    assert_allclose([fit.loglik, fit.aic, fit.bic], [ref["loglik"], ref["aic"], ref["bic"]], 1e-7 if at_theta else 1e-6)


def test_weights_given_as_text_that_reads_as_numbers_are_numbers(data):
    ortho = data("orthodont")
    w = ortho["Sex"].where(ortho.index != 3, "1.5").where(ortho.index == 3, "2")
    assert lmm("distance ~ age + (1 | Subject)", ortho, weights=w).weights.iloc[3] == 1.5


def test_rows_of_weight_zero_are_left_out():
    chick = models("chickweight")
    zero = chick["w"].where(chick.index % 7 != 3, 0.0)
    kept = chick[zero > 0]
    fit, same = lmm(CHICK, chick, weights=zero), lmm(CHICK, kept, weights="w")
    assert (fit.nobs, fit.n_zero_weight) == (len(kept), int((zero == 0).sum()))
    assert np.array_equal(fit.theta, same.theta) and fit.criterion == same.criterion
    assert list(fit.fitted.index) == list(kept.index)
    assert f"({fit.n_zero_weight} observations of weight zero left out)" in fit.summary_text()


def test_offsets_are_known_parts_of_the_linear_predictor():
    chick = models("chickweight")
    formula = "weight ~ factor(Diet) + (Time | Chick)"
    shifted = lmm("I(weight - o) ~ factor(Diet) + (Time | Chick)", chick)
    offsets = [("offset(o) +", None), ("offset(3 * Time) +", None), ("offset(Time) + offset(2 * Time) +", None),
               ("", "o"), ("", chick["o"].to_numpy()), ("offset(Time) +", 2 * chick["Time"])]  # fmt: skip
    fits = [lmm(f"weight ~ factor(Diet) + {o} (Time | Chick)", chick, offset=given) for o, given in offsets]
    for fit in fits:  # the response less the offset, fitted
        assert_allclose(fit.theta, shifted.theta, 1e-6)
        assert_allclose(fit.fixef, shifted.fixef, 1e-7)
        assert_allclose(fit.offset, chick["o"], 0)
        # fitted values and predictions include the offset; residuals are the response's
        assert_allclose(fit.fitted, shifted.fitted + chick["o"], 1e-9)
        assert_allclose(fit.residuals, chick["weight"] - fit.fitted, 0)
        assert_allclose(fit.response, chick["weight"], 0)
    new = chick.iloc[[5, 100, 300]].assign(Time=[1.0, 7.0, 30.0], o=[3.0, 21.0, 90.0])
    pop = shifted.predict(new, re=False)
    for fit in (fits[0], fits[1], fits[3]):  # the offset of the new rows
        assert_allclose(fit.predict(new), shifted.predict(new) + new["o"], 1e-9)
        assert_allclose(fit.predict(new, re=False), pop + new["o"], 1e-9)
    # a missing value in the offset drops the row, as in lme4
    holes = chick["o"].where(chick.index != 4)
    assert lmm(formula, chick, offset=holes).n_dropped == 1
    assert lmm(formula, chick.assign(o=holes), offset="o").n_dropped == 1
    # a constant response is a model when the offset varies
    with pytest.warns(qk.SingularFitWarning):  # -Time^2 has no chick-to-chick variation
        assert lmm("I(0 * weight) ~ Time + offset(Time^2) + (1 | Chick)", chick).converged


@pytest.mark.filterwarnings("ignore::quorvelkit.SingularFitWarning")
@pytest.mark.parametrize("formula,terms,n_theta", [
    ("weight ~ Time + (Time || Chick)", [("Chick", ["(Intercept)"]), ("Chick.1", ["Time"])], 2),
    ("weight ~ Time + (1 | Chick) + (0 + Time | Chick)", [("Chick", ["(Intercept)"]), ("Chick.1", ["Time"])], 2),
    ("weight ~ Time + (C(Diet) || Chick)",
     [("Chick", ["(Intercept)"]), ("Chick.1", [f"C(Diet)[{k}]" for k in range(1, 5)])], 11),
    ("weight ~ Time + (Time | Chick) + (0 + I(Time^2) | Chick)",
     [("Chick", ["(Intercept)", "Time"]), ("Chick.1", ["I(Time ^ 2)"])], 4),
])  # fmt: skip
def test_terms_are_blocks_of_lambda(formula, terms, n_theta):
    fit = lmm(formula, models("chickweight"), theta=None if "Diet" not in formula else np.ones(11))
    assert fit.re_terms == terms and fit.core.n_theta == n_theta == len(fit.theta)
    sizes = [len(cols) for _, cols in terms]
    block = np.repeat(np.arange(len(sizes)), sizes)
    between = block[:, None] != block[None, :]  # no entry between terms
    assert np.all(fit.lambda_matrix[between] == 0) and np.all(fit.cov_re.to_numpy()[between] == 0)
    # lme4's variance components: each term's variances, then its covariances
    pairs = {g: [(g, a, b) for i, a in enumerate(cols) for b in cols[i + 1 :]] for g, cols in terms}
    expected = [row for g, cols in terms for row in [(g, c, None) for c in cols] + pairs[g]]
    vc = fit.varcorr
    var2 = [None if pd.isna(v) else v for v in vc["var2"]]
    assert list(zip(vc["grp"], vc["var1"], var2, strict=True))[:-1] == expected
    # lme4's printed table: a term's name on its first row, correlations within it only
    table = fit.summary_text().split("Random effects:\n")[1].split("Number of obs")[0].splitlines()
    assert [line.split()[0] for line in table[1:] if line[1] != " "] == [g for g, _ in terms] + ["Residual"]
    assert ("Corr" in table[0]) == (max(sizes) > 1)
    names = fit.bootstrap(1, seed=1, progress=False).replicates.columns
    assert [n for n in names if n.startswith("cor_")] == [f"cor_{b}.{a}|Chick" for p in pairs.values() for _, a, b in p]


def test_reports_name_the_weights():
    chick = models("chickweight")
    fit = lmm(CHICK, chick, weights="w")
    text = fit.summary_text()
    assert text.splitlines()[2] == "Weights: w" and "Weights: w" in repr(fit)
    assert "<br>Weights: w</p>" in fit._repr_html_()
    # scaled residuals are sqrt(w) (y - fitted) / sigma (lme4's scaled Pearson residuals)
    scaled = np.sqrt(chick["w"]) * fit.residuals / fit.sigma
    quartiles = text.split("Scaled residuals:\n")[1].splitlines()[1].split()
    assert [float(v) for v in quartiles] == pytest.approx(np.quantile(scaled, [0, 0.25, 0.5, 0.75, 1]), abs=1e-4)
    assert [fit.to_dict()[k] for k in ("weights", "n_zero_weight", "offset")] == ["w", 0, None]
    arrays = lmm(CHICK, chick, weights=chick["w"].to_numpy(), offset=np.zeros(len(chick))).summary_text()
    assert "Weights: given as an array" in arrays and " Offset: given as an array" in arrays
    assert "Weights" not in lmm(CHICK, chick).summary_text()


def test_inference_with_weights_and_offsets():
    chick, c = models("chickweight"), 4.0
    plain, scaled = lmm(CHICK, chick), lmm(CHICK, chick.assign(w=c), weights="w")
    # weights c are the unweighted model with sigma^2 / c: the Satterthwaite degrees of
    # freedom and the profile intervals of the fixed effects and of the sd of the random
    # effects (sigma's scale by sqrt(c)) are those of the unweighted fit (the intervals
    # of predictions with weights: test_predict's dense systems)
    assert_allclose(scaled.coef_table["df"], plain.coef_table["df"], 1e-5)
    parm = ["Time", "sd_(Intercept)|Chick", "sigma"]
    ci_plain, ci_scaled = plain.confint(method="profile", parm=parm), scaled.confint(method="profile", parm=parm)
    assert_allclose(ci_scaled.loc[parm[:2]], ci_plain.loc[parm[:2]], 1e-5)
    assert_allclose(ci_scaled.loc["sigma"], ci_plain.loc["sigma"] * math.sqrt(c), 1e-5)
    # the fixed effect held at a value from the weighted products, as the weighted rows
    weighted = lmm(CHICK, chick, weights="w")
    d, j = weighted._design, weighted.fe_names.index("Time")
    rest = np.ascontiguousarray(np.delete(d.x, j, axis=1))
    theta = list(weighted.theta)
    for b in (6.0, 9.5):
        rows = qk.LmmCore(np.ascontiguousarray(d.y - b * d.x[:, j]), rest, d.z, d.codes, d.m, weights=d.weights)
        for reml in (True, False):
            assert_allclose(weighted.core.fixed_at(j, b).deviance(theta, reml), rows.deviance(theta, reml), 1e-10)
    # an interval's fit includes the new rows' offset, as a prediction does
    off = lmm("weight ~ Time + offset(o) + (Time | Chick)", chick)
    assert_allclose(off.predict(chick.assign(o=chick["o"] + 1.0), interval="confidence")["fit"], off.fitted + 1, 1e-9)
