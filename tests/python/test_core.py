"""The LmmCore surface: argument handling, the theta layout, the criterion at lme4's
points, the solution dictionary, fit, with_response, pickling, threads and object
lifetime."""

import copy
import gc
import math
import pickle
import threading
import time
import warnings
import weakref

import numpy as np
import pytest
from simdesign import random_design

import quorvelkit
from quorvelkit import LmmCore

CASES = ["sleepstudy", "sleepstudy_int", "dyestuff", "dyestuff2"]
EVALUATORS = ["blocks", "streaming", "aggregated"]


# ---- construction ---------------------------------------------------------------


def good_args():
    y = np.array([1.0, 2.0, 3.0, 5.0])
    x = np.ones((4, 1))
    z = np.ones((4, 1))
    codes = np.array([0, 0, 1, 1], dtype=np.int64)
    return [y, x, z, codes, 2]


def replace(i, value):
    args = good_args()
    args[i] = value
    return args


F = np.asfortranarray(np.arange(8.0).reshape(4, 2))
CONSTRUCTION_ERRORS = [
    # (args, kwargs, exception, message fragment or exact message)
    (
        good_args() + ["Auto"],
        {},
        ValueError,
        "evaluator must be 'auto', 'blocks', 'aggregated' or 'streaming', got \"Auto\"",
    ),
    (good_args() + ['a"b'], {}, ValueError, r'got "a\"b"'),
    (good_args() + [3], {}, TypeError, "evaluator"),
    (replace(0, np.array([1, 2, 3, 4], dtype=np.int64)), {}, TypeError, "'y'"),
    (replace(0, [1.0, 2.0, 3.0, 4.0]), {}, TypeError, "'y'"),
    (replace(0, np.ones((4, 1))), {}, TypeError, "'y'"),
    (replace(0, np.ones(4, dtype=">f8")), {}, TypeError, "'y'"),
    (replace(1, np.ones(4)), {}, TypeError, "'x'"),
    (replace(2, np.ones((4, 1), dtype=np.float32)), {}, TypeError, "'z'"),
    (replace(3, np.array([0, 0, 1, 1], dtype=np.int32)), {}, TypeError, "'codes'"),
    (replace(4, 2.0), {}, TypeError, "n_groups"),
    (replace(4, -1), {}, OverflowError, None),
    (replace(4, 2**64), {}, OverflowError, None),
    (replace(0, np.arange(8.0)[::2]), {}, TypeError, "The given array is not contiguous or is misaligned."),
    (
        replace(3, np.zeros(8, dtype=np.int64)[::2]),
        {},
        TypeError,
        "The given array is not contiguous or is misaligned.",
    ),
    (replace(1, F), {}, ValueError, "X must be C-contiguous"),
    (replace(2, F), {}, ValueError, "Z must be C-contiguous"),
    (replace(1, np.ones((3, 1))), {}, ValueError, "y, X, Z and group codes must agree on the row count"),
    (replace(3, np.zeros(5, dtype=np.int64)), {}, ValueError, "y, X, Z and group codes must agree on the row count"),
    (replace(4, 0), {}, ValueError, "n_groups must be positive"),
    (replace(1, np.ones((4, 0))), {}, ValueError, "X must have at least one column"),
    (replace(2, np.ones((4, 0))), {}, ValueError, "Z must have at least one column"),
    (
        [np.ones(0), np.ones((0, 1)), np.ones((0, 1)), np.zeros(0, dtype=np.int64), 1],
        {},
        ValueError,
        "y must not be empty",
    ),
    (replace(4, 2**62), {}, ValueError, "model dimensions overflow the address space"),
    (replace(3, np.array([0, 0, 2, 5], dtype=np.int64)), {}, ValueError, "group code 2 out of range 0..2"),
    (replace(3, np.array([0, -1, 1, 1], dtype=np.int64)), {}, ValueError, "group code -1 out of range 0..2"),
    (good_args(), {"n_groups": 2}, TypeError, "multiple values for argument 'n_groups'"),
    (good_args(), {"evaluatr": "auto"}, TypeError, "unexpected keyword argument 'evaluatr'"),
    (good_args()[:4], {}, TypeError, "missing required argument 'n_groups'"),
    (good_args() + ["auto", 1], {}, TypeError, "at most 6"),
    (good_args(), {"weights": np.ones(4, dtype=np.float32)}, TypeError, "argument 'weights': expected an array"),
    (good_args(), {"weights": [1.0, 1.0, 1.0, 1.0]}, TypeError, "argument 'weights'"),
    (good_args(), {"weights": np.ones((4, 1))}, TypeError, "argument 'weights'"),
    (good_args(), {"weights": np.ones(8)[::2]}, TypeError, "not contiguous"),
    (good_args(), {"weights": np.ones(5)}, ValueError, "y has 4 rows, weights has 5 values"),
    (good_args(), {"weights": np.array([1.0, 2.0, -0.5, 1.0])}, ValueError, "weights[2] is -0.5: weights must be"),
    (good_args(), {"weights": np.array([1.0, 0.0, 1.0, np.nan])}, ValueError, "weights[1] is 0: weights must be"),
    (good_args(), {"weights": np.array([1.0, 1.0, np.inf, 1.0])}, ValueError, "weights[2] is inf"),
]


@pytest.mark.parametrize("args,kwargs,exc,msg", CONSTRUCTION_ERRORS)
def test_construction_errors(args, kwargs, exc, msg):
    with pytest.raises(exc) as info:
        LmmCore(*args, **kwargs)
    if msg is not None:
        assert msg in str(info.value)


def test_validation_order():
    # Each later check is only reached once the earlier ones pass.
    bad_everything = [np.ones(0), np.ones((0, 0)), np.ones((0, 0)), np.zeros(0, dtype=np.int64), 0]
    with pytest.raises(ValueError, match="n_groups must be positive"):
        LmmCore(*bad_everything)
    bad_everything[4] = 1
    with pytest.raises(ValueError, match="X must have at least one column"):
        LmmCore(*bad_everything)
    # The evaluator name is checked before the arrays' layout.
    with pytest.raises(ValueError, match="evaluator must be"):
        LmmCore(np.arange(8.0)[::2], np.ones((4, 1)), np.ones((4, 1)), np.zeros(4, dtype=np.int64), 1, "x")


def test_layouts_that_are_accepted():
    y, x, z, codes, m = good_args()
    single_column_fortran = np.asfortranarray(np.ones((4, 1)))
    readonly = y.copy()
    readonly.flags.writeable = False
    core = LmmCore(readonly, single_column_fortran, z, codes, 2, evaluator="blocks")
    assert (core.n, core.p, core.q, core.m, core.n_theta) == (4, 1, 1, 2, 1)
    # A misaligned view of float64 data is refused, never read.
    buf = np.zeros(4 * 8 + 1, dtype=np.uint8)
    misaligned = buf[1:].view(np.float64)
    with pytest.raises(TypeError, match="misaligned"):
        LmmCore(misaligned, x, z, codes, m)


@pytest.mark.parametrize("m", [np.int64(2), np.uint8(2)])
def test_numpy_integer_group_count(m):
    # codes.max() + 1 is a NumPy integer: what users pass as n_groups
    assert LmmCore(*good_args()[:4], m).m == 2
    with pytest.raises(TypeError, match="n_groups"):
        LmmCore(*good_args()[:4], True)


def test_huge_allocation_raises_memory_error():
    # Passes the overflow check but cannot be allocated.
    with pytest.raises(MemoryError):
        LmmCore(*replace(4, 2**60))


@pytest.mark.parametrize(
    "requested,expected,classes",
    [
        ("auto", "aggregated", 1),
        ("aggregated", "aggregated", 1),
        ("blocks", "blocks", None),
        ("streaming", "streaming", None),
    ],
)
def test_evaluator_resolution_on_shared_ztz(sleep_args, requested, expected, classes):
    core = LmmCore(*sleep_args, requested)
    assert core.evaluator == expected
    assert core.n_classes == classes


def test_auto_falls_back_to_blocks_when_classes_do_not_pay():
    core = LmmCore(*random_design(4000, 500, 2, 2), "auto")
    assert (core.evaluator, core.n_classes) == ("blocks", None)


def test_attributes_are_read_only():
    core = LmmCore(*good_args())
    with pytest.raises(AttributeError):
        core.n = 3


# ---- theta layout and argument conventions --------------------------------------


@pytest.mark.parametrize(
    "q,bounds,default,index",
    [
        (1, [0.0], [1.0], [(0, 0)]),
        (2, [0.0, -math.inf, 0.0], [1.0, 0.0, 1.0], [(0, 0), (1, 0), (1, 1)]),
        (
            3,
            [0.0, -math.inf, -math.inf, 0.0, -math.inf, 0.0],
            [1.0, 0.0, 0.0, 1.0, 0.0, 1.0],
            [(0, 0), (1, 0), (2, 0), (1, 1), (2, 1), (2, 2)],
        ),
    ],
)
def test_theta_layout(q, bounds, default, index):
    core = LmmCore(*random_design(200, 10, 1, q))
    assert core.lower_bounds() == bounds
    assert core.default_theta() == default
    assert core.theta_index() == index


THETA_ERRORS = [
    ("abc", {}, TypeError, "Can't extract `str` to `Vec`"),
    (3.0, {}, TypeError, "theta"),
    ([1.0, "a", 1.0], {}, TypeError, "theta"),
    ({"a": 1}, {}, TypeError, "theta"),
    ([1.0, 0.0], {}, ValueError, "theta must have 3 entries for q = 2, got 2"),
    ([1.0, 0.0, 1.0, math.nan], {}, ValueError, "theta must have 3 entries for q = 2, got 4"),
    ([1.0, math.nan, math.inf], {}, ValueError, "theta[1] is not finite"),
    ([1.0, 0.0, 1.0], {"reml": 1}, TypeError, "reml"),
    ([1.0, 0.0, 1.0], {"reml": "yes"}, TypeError, "reml"),
    ([1.0, 0.0, 1.0], {"reml": None}, TypeError, "reml"),
]


@pytest.mark.parametrize(
    "method", ["deviance", "deviance_grad", "solution", "conditional_covariances", "deviance_hessian"]
)
@pytest.mark.parametrize("theta,kwargs,exc,msg", THETA_ERRORS)
def test_theta_and_reml_checks(sleep_args, method, theta, kwargs, exc, msg):
    core = LmmCore(*sleep_args)
    with pytest.raises(exc) as info:
        getattr(core, method)(theta, **kwargs)
    assert msg in str(info.value)


@pytest.mark.parametrize(
    "theta", [[1.0, 0.0, 1.0], (1, 0, 1), np.array([1.0, 0.0, 1.0]), [np.float32(1), np.int64(0), 1.0]]
)
@pytest.mark.parametrize("reml", [True, np.True_, np.bool_(True)])
def test_accepted_argument_forms(sleep_args, theta, reml):
    core = LmmCore(*sleep_args)
    assert core.deviance(theta, reml) == core.deviance(theta=[1.0, 0.0, 1.0], reml=True)


# ---- reference results ----------------------------------------------------------


@pytest.mark.parametrize("evaluator", EVALUATORS)
@pytest.mark.parametrize("name", CASES)
def test_deviance_matches_lme4(core_case, name, evaluator):
    args, ref = core_case(name)
    core = LmmCore(*args, evaluator)
    for point in ref["evals"]:
        for reml, key in [(True, "reml"), (False, "ml")]:
            assert core.deviance(point["theta"], reml) == pytest.approx(point[key], rel=1e-10)


# ---- the solution dictionary ----------------------------------------------------

SOLUTION_KEYS = [
    "theta",
    "deviance",
    "grad",
    "beta",
    "cov_beta",
    "cov_re",
    "random_effects",
    "u",
    "sigma2",
    "sigma",
    "pwrss",
    "ldl2",
    "ldrx2",
    "reml",
    "n",
    "p",
    "q",
    "m",
]
FIT_KEYS = ["converged", "iterations", "fev", "grad_inf_norm", "message"]


def test_solution_dictionary_layout(sleep_args):
    core = LmmCore(*sleep_args)
    sol = core.solution([1.0, 0.0, 1.0])
    assert list(sol) == SOLUTION_KEYS
    shapes = {
        "theta": (3,),
        "grad": (3,),
        "beta": (2,),
        "cov_beta": (2, 2),
        "cov_re": (2, 2),
        "random_effects": (18, 2),
        "u": (18, 2),
    }
    for key, shape in shapes.items():
        assert sol[key].shape == shape and sol[key].dtype == np.float64, key
    assert all(type(sol[k]) is float for k in ["deviance", "sigma2", "sigma", "pwrss", "ldl2", "ldrx2"])
    assert all(type(sol[k]) is int for k in ["n", "p", "q", "m"])
    assert sol["sigma"] == math.sqrt(sol["sigma2"])
    # Identity factor: cov_re = sigma2 I and b = u.
    np.testing.assert_array_equal(sol["cov_re"], sol["sigma2"] * np.eye(2))
    np.testing.assert_array_equal(sol["random_effects"], sol["u"])
    ml = core.solution([1.0, 0.0, 1.0], reml=False)
    assert ml["ldrx2"] == 0.0 and ml["reml"] is False and sol["reml"] is True
    assert ml["deviance"] == core.deviance([1.0, 0.0, 1.0], False)

    fit = core.fit([1.0, 0.0, 1.0])
    assert list(fit) == SOLUTION_KEYS + FIT_KEYS
    assert type(fit["iterations"]) is int and type(fit["message"]) is str


# ---- infeasibility ----------------------------------------------------------------


@pytest.mark.parametrize("evaluator", EVALUATORS)
def test_infeasible_theta_conventions(sleep_args, evaluator):
    core = LmmCore(*sleep_args, evaluator)
    huge = [1e200, 0.0, 1e200]
    assert core.deviance(huge) == math.inf
    dev, grad = core.deviance_grad(huge)
    assert dev == math.inf and len(grad) == 3 and all(math.isnan(g) for g in grad)
    for method in (core.solution, core.conditional_covariances):
        with pytest.raises(RuntimeError, match="theta is infeasible"):
            method(huge)
    # The core still works afterwards (the pooled work buffer is reused).
    assert core.deviance_grad([1.0, 0.0, 1.0]) == core.deviance_grad([1.0, 0.0, 1.0])


def test_deviance_hessian_conventions(core_case, sleep_args):
    core = LmmCore(*core_case("dyestuff")[0])
    assert math.isnan(core.deviance_hessian([1e200]))
    q2 = LmmCore(*sleep_args)
    assert q2.deviance_hessian([1.0, 0.0, 1.0]) is None
    with pytest.raises(ValueError, match="theta must have 3 entries for q = 2, got 1"):
        q2.deviance_hessian([1.0])


# ---- fit ------------------------------------------------------------------------

FIT_ERRORS = [
    ([], {}, ValueError, "starts must be a non-empty multiple of the theta length"),
    ([1.0, 0.0], {}, ValueError, "starts must be a non-empty multiple of the theta length"),
    ([1.0, math.nan], {}, ValueError, "starts[1] is not finite"),
    ([1.0, 0.0, 1.0, math.inf], {}, ValueError, "starts[3] is not finite"),
    ("101", {}, TypeError, "Can't extract `str` to `Vec`"),
    (5, {}, TypeError, "starts"),
    ([1.0, 0.0, 1.0], {"reml": 0}, TypeError, "reml"),
    ([1.0, 0.0, 1.0], {"max_iter": 2.5}, TypeError, "max_iter"),
    ([1.0, 0.0, 1.0], {"max_iter": -1}, OverflowError, "max_iter"),
    ([1.0, 0.0, 1.0], {"gtol": "x"}, TypeError, "gtol"),
    ([1.0, 0.0, 1.0], {"ftol": None}, TypeError, "ftol"),
    ([1.0, 0.0, 1.0], {"tol": 1.0}, TypeError, "unexpected keyword argument 'tol'"),
]


@pytest.mark.parametrize("starts,kwargs,exc,msg", FIT_ERRORS)
def test_fit_argument_errors(sleep_args, starts, kwargs, exc, msg):
    core = LmmCore(*sleep_args)
    with pytest.raises(exc) as info:
        core.fit(starts, **kwargs)
    if msg:
        assert msg in str(info.value)


def test_multi_start_rules(sleep_args):
    core = LmmCore(*sleep_args)
    # (which start wins: the C++ suite) Starts come flat, one theta after another.
    good = core.fit([1.0, 0.0, 1.0])
    both = core.fit([1e200, 0.0, 1e200, 1.0, 0.0, 1.0])
    assert both["deviance"] == good["deviance"] and both["fev"] == good["fev"]
    with pytest.raises(RuntimeError, match="theta is infeasible"):
        core.fit([1e200, 0.0, 1e200])
    # max_iter = 0: one evaluation at the start, reported with the column whose diagonal
    # is negative reflected (the criterion is even in each column's sign).
    stopped = core.fit([-1.0, -0.5, 1.0], max_iter=0)
    assert (stopped["iterations"], stopped["fev"], stopped["converged"]) == (0, 1, False)
    assert stopped["message"] == "maximum iterations reached"
    np.testing.assert_array_equal(stopped["theta"], [1.0, 0.5, 1.0])
    assert stopped["deviance"] == core.deviance([-1.0, -0.5, 1.0])


# ---- with_response -------------------------------------------------------------


@pytest.mark.parametrize("evaluator", EVALUATORS + ["auto"])
def test_with_response(sleep_args, evaluator):
    y, x, z, codes, m = sleep_args
    core = LmmCore(y, x, z, codes, m, evaluator)
    theta = [0.9, 0.1, 0.3]
    same = core.with_response(y, x, z, codes)
    assert type(same) is LmmCore and same.evaluator == core.evaluator and same.n_classes == core.n_classes
    assert same.deviance_grad(theta) == core.deviance_grad(theta)
    y2 = y[::-1].copy()
    fresh = LmmCore(y2, x, z, codes, m, evaluator)
    assert core.with_response(y2, x, z, codes).deviance_grad(theta) == fresh.deviance_grad(theta)
    assert core.deviance_grad(theta) == LmmCore(y, x, z, codes, m, evaluator).deviance_grad(theta)


def test_weights_travel_with_the_design(sleep_args):
    # with_response and pickles keep the weights: a new response must bring the same
    # weights (checked by fingerprint), and the restored core gives the same bits
    y, x, z, codes, m = sleep_args
    w = np.linspace(0.5, 2.0, len(y))
    core = LmmCore(y, x, z, codes, m, weights=w)
    theta = [0.9, 0.1, 0.3]
    y2 = y[::-1].copy()
    fresh = LmmCore(y2, x, z, codes, m, weights=w)
    assert core.with_response(y2, x, z, codes, weights=w.copy()).deviance_grad(theta) == fresh.deviance_grad(theta)
    assert pickle.loads(pickle.dumps(core)).deviance_grad(theta) == core.deviance_grad(theta)
    assert core.deviance(theta) != LmmCore(y, x, z, codes, m).deviance(theta)
    for weights, msg in [
        (None, "prepared with weights: pass the same weights"),
        (w[::-1].copy(), "weights differ"),
        (w * (1 + 1e-15), "weights differ"),
    ]:
        with pytest.raises(ValueError, match=msg):
            core.with_response(y, x, z, codes, weights=weights)
    with pytest.raises(ValueError, match="prepared without weights"):
        LmmCore(y, x, z, codes, m).with_response(y, x, z, codes, weights=w)
    with pytest.raises(TypeError, match="at most 4 positional"):
        core.with_response(y, x, z, codes, w)


def test_with_response_errors(sleep_args):
    y, x, z, codes, m = sleep_args
    core = LmmCore(y, x, z, codes, m)
    with pytest.raises(ValueError, match="the group codes differ from the ones the design was prepared with"):
        core.with_response(y, x, z, np.roll(codes, 1))
    with pytest.raises(
        ValueError,
        match="the prepared design has 180 rows, 2 fixed and 2 random columns; the arrays passed do not match it",
    ):
        core.with_response(y[:10], x[:10], z[:10], codes[:10])
    with pytest.raises(ValueError, match="agree on the row count"):
        core.with_response(y[:10], x, z, codes)
    with pytest.raises(TypeError, match="'codes'"):
        core.with_response(y, x, z, codes.astype(np.int32))


@pytest.mark.parametrize("evaluator", EVALUATORS)
@pytest.mark.parametrize("which", ["x", "z"])
def test_with_response_refuses_other_x_or_z(sleep_args, evaluator, which):
    # (which changes the checksum notices: the C++ suite) Another array is refused with
    # its name; the same values in a new array, -0.0 for 0.0 (Days holds zeros), are not.
    y, x, z, codes, m = sleep_args
    core = LmmCore(y, x, z, codes, m, evaluator)
    y2 = y[::-1].copy()
    other = {"x": x, "z": z}
    other[which] = np.ascontiguousarray(other[which][:, ::-1])
    with pytest.raises(ValueError, match=f"^{which} differs from the array the design was prepared with$"):
        core.with_response(y2, other["x"], other["z"], codes)
    same = {"x": x.copy(), "z": z.copy()}
    same[which][same[which] == 0.0] = -0.0
    theta = [0.9, 0.1, 0.3]
    got = core.with_response(y2, same["x"], same["z"], codes)
    assert got.deviance_grad(theta) == LmmCore(y2, x, z, codes, m, evaluator).deviance_grad(theta)


# ---- data the fixed effects fit exactly, and large means --------------------------

EXACT = "theta is infeasible: the fixed effects fit the response exactly (the residual sum of squares is zero)"


def test_response_fitted_exactly_is_refused(sleep_args):
    # (the kinds of exact fit, on every evaluator: the C++ suite)
    _, x, z, codes, m = sleep_args
    y = 1e7 - 0.25 * x[:, 1]
    core = LmmCore(y, x, z, codes, m)
    assert core.deviance([1.0, 0.0, 1.0]) == math.inf
    for call in (
        lambda: core.fit([1.0, 0.0, 1.0]),
        lambda: core.solution([0.5, 0.0, 0.5]),
        lambda: core.conditional_covariances([0.5, 0.0, 0.5]),
    ):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == EXACT
    # The same design with a response that is not fitted exactly is estimable again.
    assert core.with_response(sleep_args[0], x, z, codes).fit([1.0, 0.0, 1.0])["converged"]


def test_lost_digits_warning():
    y, x, z, codes, m = random_design(2000, 40, 3, 1, seed=5)
    no_constant = x.copy()
    no_constant[:, 0] = 1.0 + 1e-3 * np.arange(len(y))
    theta = [0.8]

    def warned(core):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            core.solution(core.fit(theta)["theta"])
        return [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]

    # With a constant column the rows are shifted: no digits lost, whatever the mean.
    assert warned(LmmCore(y + 1e9, x, z, codes, m)) == []
    assert warned(LmmCore(y, no_constant, z, codes, m)) == []
    # Without one, y is used as given; the random intercepts absorb its mean, and the
    # loss at the optimum is reported by fit and solution.
    msgs = warned(LmmCore(y + 1e7, no_constant, z, codes, m))
    assert len(msgs) == 2
    assert "of its 16 significant digits" in msgs[0] and "X has no constant column" in msgs[0]
    core = LmmCore(y + 1e7, no_constant, z, codes, m)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        optimum = core.fit(theta)["theta"]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            core.solution(optimum)


# ---- pickling ------------------------------------------------------------------


@pytest.mark.parametrize("evaluator", EVALUATORS + ["auto"])
def test_pickle_and_copies_of_a_core(evaluator):
    y, x, z, codes, m = random_design(3000, 60, 3, 2, seed=8, balanced=evaluator == "aggregated")
    core = LmmCore(y + 1e6, x, z, codes, m, evaluator)
    theta = [0.7, 0.2, 0.4]
    for other in (pickle.loads(pickle.dumps(core, protocol=p)) for p in range(2, pickle.HIGHEST_PROTOCOL + 1)):
        assert type(other) is LmmCore and other is not core
        assert (other.n, other.p, other.q, other.m) == (core.n, core.p, core.q, core.m)
        assert (other.evaluator, other.n_classes) == (core.evaluator, core.n_classes)
        assert other.deviance_grad(theta) == core.deviance_grad(theta)
        np.testing.assert_array_equal(other.solution(theta)["beta"], core.solution(theta)["beta"])
        # The fingerprints travel: with_response works, and still refuses other arrays.
        assert other.with_response(y, x, z, codes).deviance(theta) == core.with_response(y, x, z, codes).deviance(theta)
        with pytest.raises(ValueError, match="x differs"):
            other.with_response(y, np.ascontiguousarray(x[:, ::-1]), z, codes)
    for other in (copy.copy(core), copy.deepcopy(core)):
        assert other.deviance_grad(theta) == core.deviance_grad(theta)


def test_pickle_holds_products_not_rows():
    sizes = []
    for n in (1_000, 100_000):
        y, x, z, codes, m = random_design(n, 50, 3, 2, seed=1)
        sizes.append(len(pickle.dumps(LmmCore(y, x, z, codes, m, "blocks"))))
    assert sizes[0] == sizes[1] < 20_000


def test_pickle_from_another_version_or_damaged_is_refused(sleep_args):
    state = pickle.dumps(LmmCore(*sleep_args))
    tag = quorvelkit.__version__.encode()
    assert state.count(tag) == 1
    other = state.replace(tag, b"0.1.7"[: len(tag)].ljust(len(tag), b"0"))
    with pytest.raises(ValueError, match=r"^this LmmCore was pickled by quorvelkit 0\.1\.7.*cannot read it"):
        pickle.loads(other)
    restore, (cls, raw) = LmmCore(*sleep_args).__reduce__()
    with pytest.raises(ValueError, match="not a whole state"):
        restore(cls, raw[:-8])
    with pytest.raises(TypeError):
        restore(int, raw)


class Sub(LmmCore):
    pass


def test_pickle_of_a_subclass_keeps_class_and_attributes(sleep_args):
    obj = Sub(*sleep_args)
    obj.label = "fm1"
    back = pickle.loads(pickle.dumps(obj))
    assert type(back) is Sub and back.label == "fm1"
    assert back.deviance([1.0, 0.0, 1.0]) == obj.deviance([1.0, 0.0, 1.0])


# ---- threads, the interpreter lock and lifetime --------------------------------


def test_interpreter_lock_is_released_during_a_call():
    # Another Python thread runs all through one long call (about 0.3 s, 20 evaluations
    # on 200,000 rows): with the lock held it could not tick at all.
    core = LmmCore(*random_design(200_000, 20_000, 4, 2, seed=3), "blocks")
    ticks = 0
    done = threading.Event()

    def counter():
        nonlocal ticks
        while not done.is_set():
            ticks += 1
            time.sleep(0)  # gives the lock back at once when the caller wants it

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        while ticks == 0:
            time.sleep(0.001)
        before = ticks
        core.fit(core.default_theta() * 4)
        during = ticks - before
    finally:
        done.set()
        thread.join()
    assert during >= 100, during


def test_subclass_and_reference_cycles(sleep_args):
    obj = Sub(*sleep_args)
    assert isinstance(obj, LmmCore) and obj.q == 2
    obj.me = obj  # a cycle through the instance dict
    gone = weakref.ref(obj)
    del obj
    gc.collect()
    assert gone() is None  # the cycle was collected
    assert type(Sub(*sleep_args).with_response(*sleep_args[:4])) is LmmCore
