"""Formulas of plain columns get their model matrices without formulaic: the same
arrays to the bit, names, levels, learnt state, predictions and pickles as formulaic's
path, which every case here is also built by (``fast_matrices`` switched off)."""

import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

import quorvelkit as qk
from quorvelkit.families import response as glmm_response
from quorvelkit.formula import expression_values
from quorvelkit.formula.parsing import parse_formula
from quorvelkit.model import fast_design, model_learning
from quorvelkit.model.design import build_design


def _frame(seed: int, n: int = 48) -> pd.DataFrame:
    """Every kind of column a plain formula reads, with missing values in several."""
    rng = np.random.default_rng(seed)
    # c's categories out of alphabetical order, "s" unused; i8 * i16 overflows int16
    frame = pd.DataFrame({
        "y": rng.normal(size=n) * 3 + 10, "x": rng.integers(-3, 4, n), "f": rng.normal(size=n),
        "b": rng.random(n) < 0.4, "c": pd.Categorical(rng.choice(list("pqr"), n), categories=list("rqps")),
        "t": pd.Series(rng.choice(["beta", "alpha", "gamma"], n), dtype="str"),
        "o": np.array(rng.choice(["b2", "a1", "c3"], n), dtype=object), "u": pd.Categorical(["only"] * n),
        "a b": rng.normal(size=n), "k": pd.Categorical(rng.integers(1, 4, n)),
        "i8": rng.integers(0, 200, n).astype(np.uint8), "i16": rng.integers(150, 250, n).astype(np.int16),
        "g": np.array(list("ABCDEF"))[np.arange(n) % 6], "h": rng.integers(0, 4, n),
    })  # fmt: skip
    frame["Intercept"], frame["c[T.q]"] = frame["f"] + 1, frame["x"] * 2
    frame["nullable"] = pd.array(frame["x"], dtype="Int64")
    for row, column in [(3, "f"), (5, "o"), (7, "c"), (9, "y"), (11, "t")]:
        frame.loc[row, column] = None if column == "o" else np.nan
    frame.index = frame.index * 10 + 1000  # the rows' labels are not their places
    return frame


def _outcome(formula: str, frame: pd.DataFrame, **kw):
    """The design of ``formula`` and the warnings it gave, or the refusal."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            design = build_design(parse_formula(formula, list(frame.columns)), frame, **kw)
        except Exception as exc:  # compared, type and message, with the other path's
            return ("refused", type(exc), str(exc)), []
    return design, [(type(w.message), str(w.message)) for w in caught]


def _both(formula: str, frame: pd.DataFrame, monkeypatch: pytest.MonkeyPatch, **kw):
    taken = []
    fast_matrices = fast_design.fast_matrices

    def spy(*args):
        out = fast_matrices(*args)
        taken.append(out is not None)
        return out

    with monkeypatch.context() as m:
        m.setattr(model_learning, "fast_matrices", spy)
        fast = _outcome(formula, frame, **kw)
    with monkeypatch.context() as m:
        m.setattr(model_learning, "fast_matrices", lambda *args: None)
        slow = _outcome(formula, frame, **kw)
    return fast, slow, any(taken)


def _fits(fit, monkeypatch):
    """The fit by the direct path, and by formulaic's."""
    fast = fit()
    with monkeypatch.context() as m:
        m.setattr(model_learning, "fast_matrices", lambda *args: None)
        return fast, fit()


def _bits(a, b, what):
    if a is None or b is None:
        assert a is None and b is None, what
        return
    a, b = np.asarray(a), np.asarray(b)
    assert (a.dtype, a.shape, a.flags.c_contiguous) == (b.dtype, b.shape, b.flags.c_contiguous), what
    assert a.tobytes() == b.tobytes(), what


SPEC = ("used", "fe_all", "re_names", "factors", "numbers", "plain")
COUNTS = ("n", "kept_columns", "n_dropped", "n_zero_weight")


def _assert_same(fast, slow):
    (d1, w1), (d2, w2) = fast, slow
    assert w1 == w2
    if isinstance(d2, tuple):
        assert d1 == d2
        return
    assert not isinstance(d1, tuple), d1
    for what in ("y", "x", "z", "codes", "weights", "offset"):
        _bits(getattr(d1.rows, what), getattr(d2.rows, what), what)
    for a, b in zip(d1.rows.factor_codes, d2.rows.factor_codes, strict=True):
        _bits(a, b, "factor codes")
    assert d1.rows.row_index.equals(d2.rows.row_index)
    assert [getattr(d1, a) for a in COUNTS] == [getattr(d2, a) for a in COUNTS]
    for a, b in zip(d1.factor_levels, d2.factor_levels, strict=True):
        assert a.equals(b) and a.dtype == b.dtype
    s1, s2 = d1.spec, d2.spec
    assert [getattr(s1, a) for a in SPEC] == [getattr(s2, a) for a in SPEC]
    assert list(s1.categorical.items()) == list(s2.categorical.items())
    # formulaic's own description, learnt from the template rows, is the whole data's.
    assert repr(s1.formula_spec) == repr(s2.formula_spec)
    for a in ("random_specs", "offset_specs"):
        assert [repr(r) for r in getattr(s1, a)] == [repr(r) for r in getattr(s2, a)], a


FORMULAS = [
    "y ~ x + c + (1 | g)", "y ~ 0 + c + t + (1 | g)", "y ~ -1 + t + c + (0 + c | g)", "y ~ c - 1 + b + (1 | g)",
    "y ~ b + (b | g)", "y ~ `a b` + o + (1 | g) + (1 | h)", "y ~ u + (1 | g)", "y ~ 0 + u + c + (1 | g)",
    "y ~ x + 1 + 0 + f + (1 | g)", "y ~ 0 + 1 + x + (x || g)", "y ~ c + x + x + (1 | g)", "y ~ k + i8 + (1 | g/h)",
    "y ~ 1 + (1 | g:h)", "y ~ f - 1 + (f | g)", "y ~ 1 - 1 + x + (1 | g)", "y ~ x + t + (1 + t | g)",
    "y ~ h + (1 | g)", "y ~ x + (0 + o | g) + (1 | h)",
    # products of numeric columns: after the single columns, in the columns' own types
    "y ~ f:x + b + x + (1 | g)", "y ~ x:f + f:x + `a b`:i8 + (0 + b:f | g)", "y ~ i8:i16 + (1 | g)",
    # not plain: formulaic's path, the same result
    "y ~ x - 0 + (1 | g)", "y ~ t:c + (1 | g)", "y ~ x:c + (1 | g)", "y ~ b:b + (1 | g)", "y ~ x:f:b + (1 | g)",
    "y ~ x * f + (1 | g)", "log(y) ~ C(x) + (1 | g)", "y ~ x + offset(f) + (1 | g)", "y ~ Intercept + (1 | g)",
    "y ~ x + `c[T.q]` + c + (1 | g)", "y ~ nullable + (1 | g)",
    # refused the same way, or not
    "y ~ 0 + (1 | g)", "y ~ nothere + (1 | g)", "y ~ u + (0 + u | g)",
]  # fmt: skip
REFUSED = ["y ~ 0 + (1 | g)", "y ~ nothere + (1 | g)"]
#: Those the direct path builds (or refuses, as formulaic's does).
PLAIN = [*FORMULAS[: FORMULAS.index("y ~ x - 0 + (1 | g)")], "y ~ 0 + (1 | g)", "y ~ u + (0 + u | g)"]


@pytest.mark.parametrize("formula", [*FORMULAS, "weights and offset apart"])
def test_plain_formulas_build_what_formulaic_builds(formula, monkeypatch):
    frame, kw = _frame(1), {}
    if formula == "weights and offset apart":  # given as columns beside the formula's
        frame = _frame(2).assign(w=lambda d: np.where(np.arange(len(d)) % 7 == 0, 0.0, 1.5), e=lambda d: d["f"] / 3)
        formula, kw = "y ~ x + c + (1 | g)", dict(weights="w", offset="e")
    fast, slow, taken = _both(formula, frame, monkeypatch, **kw)
    _assert_same(fast, slow)
    assert taken == (formula in PLAIN)
    design = fast[0]
    assert isinstance(design, tuple) == (formula in REFUSED)
    if not isinstance(design, tuple):  # rows missing a value the model reads are dropped and counted
        missing = frame[design.spec.used].isna().any(axis=1)
        assert (design.n_dropped == missing.sum() > 0) if not kw else design.n_zero_weight > 0
        assert kw or design.rows.row_index.equals(frame.index[~missing])


_TOKENS = ["x", "f", "b", "c", "t", "o", "u", "`a b`", "k", "i8", "h", "1", "0", "-1", "x:f", "f:b", "i8:`a b`"]


@pytest.mark.parametrize("seed", range(60))
def test_random_plain_formulas(seed, monkeypatch):
    rng = np.random.default_rng(seed)

    def part(k: int) -> str:
        return " + ".join(rng.choice(_TOKENS, size=k)).replace("+ -1", "- 1")

    groups = ["g", "g", "h", "g/h", "g:h"]
    bars = [f"({part(int(rng.integers(1, 3)))} {'||' if rng.random() < 0.3 else '|'} {rng.choice(groups)})"]
    if rng.random() < 0.4:
        bars.append(f"(1 | {rng.choice(['g', 'h'])})")
    formula = f"y ~ {part(int(rng.integers(1, 5)))} + {' + '.join(bars)}"
    frame = _frame(100 + seed, n=int(rng.integers(50, 120)))
    fast, slow, _ = _both(formula, frame, monkeypatch)
    _assert_same(fast, slow)


@pytest.mark.filterwarnings("ignore::quorvelkit.SingularFitWarning")
def test_fits_predict_and_pickle_alike(monkeypatch):
    frame = _frame(3).dropna()
    new = _frame(4).dropna().iloc[:15].astype({"c": str})
    new.loc[new.index[:3], "g"] = "Z"  # a level the fit has not seen
    fast, slow = _fits(lambda: qk.lmm("y ~ x + c + t + b + (1 + o | g) + (1 | h)", frame), monkeypatch)
    # pickled before anything needs formulaic's description, and after
    early = pickle.loads(pickle.dumps(fast))
    want = slow.predict(new, allow_new_levels=True)
    for fit in (early, fast, pickle.loads(pickle.dumps(fast))):
        got = fit.predict(new, allow_new_levels=True)
        assert np.asarray(got).tobytes() == np.asarray(want).tobytes()
    assert fast.fe_names == slow.fe_names and np.asarray(fast.fixef).tobytes() == np.asarray(slow.fixef).tobytes()
    messages = []
    for fit in (fast, slow):
        with pytest.raises(ValueError, match="delta") as err:
            fit.predict(new.assign(t="delta"), allow_new_levels=True)
        messages.append(str(err.value))
    assert messages[0] == messages[1]


def test_glmm_fits_alike(monkeypatch, data):
    cbpp = data("glmm/cbpp")
    for c in ("period", "herd"):
        cbpp[c] = pd.Categorical(cbpp[c].astype(str), categories=sorted(set(cbpp[c].astype(str)), key=int))
    fast, slow = _fits(lambda: qk.glmm("cbind(incidence, size - incidence) ~ period + (1 | herd)", cbpp), monkeypatch)
    assert list(fast.fixef.index) == list(slow.fixef.index)
    for what in ("fixef", "se", "loglik"):
        assert np.asarray(getattr(fast, what)).tobytes() == np.asarray(getattr(slow, what)).tobytes(), what
    report = [[line for line in f.summary_text().splitlines() if not line.startswith("Time:")] for f in (fast, slow)]
    assert report[0] == report[1]
    new = cbpp.iloc[[0, 5, 20]].assign(herd=["1", "15", "new"])
    got, want = (f.predict(new, type="response", allow_new_levels=True) for f in (fast, slow))
    assert np.asarray(got).tobytes() == np.asarray(want).tobytes()


# ------------------------------------------------------------ the response's arithmetic
@pytest.mark.parametrize(
    "lhs",
    ["cbind(s, n - s)", "cbind(s, 2 * n - s - n)", "cbind(-(-s), n / 1 - s)", "cbind(s + 0, n - s)"],
)
@pytest.mark.parametrize("missing", [[], ["s"], ["n"], ["s", "n"]])
def test_response_arithmetic_reads_as_formulaic_evaluates(lhs, missing, monkeypatch):
    rng = np.random.default_rng(7)
    n = rng.integers(1, 9, 30)
    frame = pd.DataFrame({"s": rng.binomial(n, 0.4).astype(float), "n": n.astype(float)})
    for k, column in enumerate(missing):
        frame.loc[[2 + k, 11 + 3 * k], column] = np.nan
    if not missing:
        frame["n"] = n  # integers: never missing
    fast = glmm_response.read_response(f"{lhs} ~ 1", frame, "binomial")
    with monkeypatch.context() as m:
        m.setattr(expression_values, "_arithmetic", lambda *args: None)
        slow = glmm_response.read_response(f"{lhs} ~ 1", frame, "binomial")
    assert fast.n_dropped == slow.n_dropped == frame.isna().any(axis=1).sum()
    for what in ("y", "trials", "prior_weights", "keep"):
        _bits(getattr(fast, what), getattr(slow, what), what)
