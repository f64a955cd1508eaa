"""Hostile input (any argument, layout and value, for the core and for lmm), leaks,
threads, shutdown, memory limits and interrupts (forks: the C++ tests). The long runs
are marked slow."""

import contextlib
import math
import os
import sys
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from simdesign import random_design
from test_out_of_memory import run_child

import quorvelkit as qk
from quorvelkit import LmmCore

DOCUMENTED = (TypeError, ValueError, OverflowError, MemoryError)


def _misaligned(arr):
    view = np.zeros(arr.nbytes + 1, dtype=np.uint8)[1:].view(arr.dtype).reshape(arr.shape)
    view[...] = arr
    return view


# The same values in another memory layout (or another object); object arrays and
# empty ones keep their layout where the change needs a fixed item size.
LAYOUTS = {
    "plain": lambda a: a,
    "fortran": np.asfortranarray,
    "reversed": lambda a: a[::-1],
    "strided": lambda a: np.repeat(a, 2, axis=0)[::2],
    "readonly": lambda a: np.lib.stride_tricks.as_strided(a, writeable=False),
    "misaligned": lambda a: _misaligned(a) if a.dtype.itemsize > 1 and a.size and a.dtype != object else a,
    "list": lambda a: a.tolist(),
    "swapped": lambda a: a.astype(a.dtype.newbyteorder()) if a.dtype != object else a,
}


SPECIAL = [0.0, -0.0, 1.0, -1.0, math.nan, math.inf, -math.inf, 1e308, -1e308, 5e-324, 1e-310, 1e154]
floats = st.one_of(st.sampled_from(SPECIAL), st.floats(allow_nan=True, allow_infinity=True))
layouts = st.sampled_from(["plain", "plain", *LAYOUTS])
dtypes = st.sampled_from(
    [np.float64, np.float64, np.float64, np.float32, np.int64, np.int32, np.bool_, np.complex128, object]
)


@st.composite
def arrays(draw, ndim, default):
    rows = draw(st.integers(0, 6))
    shape = (rows,) if ndim == 1 else (rows, draw(st.integers(0, 3)))
    if draw(st.integers(0, 9)) == 0:
        shape = draw(st.sampled_from([(), (2, 2, 2), (rows, 1, 1)]))
    dtype = draw(dtypes) if draw(st.integers(0, 3)) == 0 else default
    if np.dtype(dtype).kind in "iub":
        values = draw(st.lists(st.integers(-3, 8), min_size=1, max_size=1))[0]
        arr = np.full(shape, values).astype(dtype) + np.arange(int(np.prod(shape))).reshape(shape).astype(dtype) % 3
    else:
        flat = draw(st.lists(floats, min_size=int(np.prod(shape)), max_size=int(np.prod(shape))))
        with np.errstate(over="ignore", invalid="ignore"):
            arr = np.array(flat, dtype=np.float64).reshape(shape).astype(dtype)
    arr = np.asarray(arr)
    if arr.ndim == 0:
        return arr
    return LAYOUTS[draw(layouts)](arr)


def thetas(q):
    n = q * (q + 1) // 2
    return st.one_of(
        st.lists(floats, min_size=n, max_size=n),
        st.lists(floats, min_size=0, max_size=n + 2),
        st.sampled_from(["abc", None, 3.0, {"a": 1}, [[1.0]], np.zeros((2, 2)), [1.0, "x"]]),
    )


REMLS = st.sampled_from([True, False, np.True_, np.False_, 1, 0, None, "yes", 1.0])


def _exercise(core, data):
    """Calls every method with hostile arguments; each outcome must be documented."""
    theta, reml = data.draw(thetas(core.q)), data.draw(REMLS)
    for name in ["deviance", "deviance_grad", "solution", "conditional_covariances", "deviance_hessian", "fit"]:
        args = (theta, reml, data.draw(st.sampled_from([0, 1, 5, -1, 2.5, None]))) if name == "fit" else (theta, reml)
        try:
            out = getattr(core, name)(*args)
        except (TypeError, ValueError, OverflowError):
            continue
        except RuntimeError as e:
            assert str(e).startswith("theta is infeasible") and name in ("solution", "conditional_covariances", "fit")
            continue
        if name == "deviance":
            assert type(out) is float and not math.isnan(out)
        elif name == "deviance_grad":
            assert type(out) is tuple and len(out[1]) == core.n_theta
            assert out[0] != math.inf or all(math.isnan(g) for g in out[1])
        elif name == "conditional_covariances":
            assert out.shape == (core.m, core.q, core.q)
        elif name == "deviance_hessian":
            assert out is None if core.q > 1 else type(out) is float
        else:
            assert math.isfinite(out["deviance"]) and out["beta"].shape == (core.p,)


@settings(max_examples=450, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_hostile_construction_and_calls(data):
    # hostile arrays for a core; hostile arguments for the calls of the core they build,
    # or else of a valid core, which is also handed the hostile y as a new response
    y, x, z, codes = (data.draw(arrays(d, t)) for d, t in [(1, float), (2, float), (2, float), (1, np.int64)])
    n_groups = data.draw(st.one_of(st.integers(-2, 8), st.sampled_from([2**64, 2**62, 1.0, "2", None])))
    evaluator = data.draw(st.sampled_from(["auto", "blocks", "streaming", "aggregated", "Auto", "", 1]))
    try:
        core = LmmCore(y, x, z, codes, n_groups, evaluator)
    except DOCUMENTED:
        args = random_design(120, 7, 2, data.draw(st.integers(1, 3)), seed=data.draw(st.integers(0, 5)))
        core = LmmCore(*args, data.draw(st.sampled_from(["blocks", "streaming", "aggregated"])))
        with contextlib.suppress(*DOCUMENTED):
            core.with_response(y, *args[1:4])
    _exercise(core, data)


def _rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


@pytest.mark.skipif(
    os.environ.get("QK_SANITIZED") == "1",
    reason="the sanitizer's quarantine holds freed memory; leaks are checked in the plain build",
)
@pytest.mark.slow
def test_no_leaks_over_many_calls():
    iters = int(os.environ.get("QK_LEAK_ITERATIONS", "100000"))
    y, x, z, codes, m = random_design(30, 3, 1, 2)
    core = LmmCore(y, x, z, codes, m, "blocks")
    agg = LmmCore(y, x, z, codes, m, "aggregated")
    good, huge = [1.0, 0.0, 1.0], [1e200, 0.0, 1e200]
    bad_codes = np.where(np.arange(len(codes)) == 0, 99, codes)
    OK = ()  # an except clause of no exception class catches nothing
    calls = [  # (the exception the call raises, or OK, the function, its arguments)
        (OK, core.deviance, good), (OK, core.deviance, huge), (OK, core.deviance_grad, good),
        (OK, agg.deviance_grad, huge), (OK, core.solution, good), (RuntimeError, core.solution, huge),
        (OK, core.conditional_covariances, good), (RuntimeError, agg.conditional_covariances, huge),
        (OK, core.lower_bounds), (OK, core.default_theta), (OK, core.with_response, y, x, z, codes),
        (OK, core.fit, good, True, 2), (RuntimeError, core.fit, huge), (ValueError, core.deviance, [1.0]),
        (TypeError, core.deviance, "abc"), (TypeError, core.deviance, good, 1), (ValueError, core.fit, []),
        (OK, LmmCore, y, x, z, codes, m), (ValueError, LmmCore, y, x, z, bad_codes, m),
        (TypeError, LmmCore, y, x, z, codes.astype(np.int32), m), (ValueError, LmmCore, y, x, z, codes, m, "nope"),
        (ValueError, core.with_response, y, x, z, bad_codes),
    ]  # fmt: skip

    def run_all():
        for exc, fn, *args in calls:
            for _ in range(iters):
                try:
                    fn(*args)
                except exc:
                    continue
                assert exc is OK, f"{fn.__name__} raised no {exc.__name__}"

    # A first pass to the steady state: the allocator's heap grows once, after tens of
    # thousands of calls, whatever the calls (the second pass then grows by nothing).
    run_all()
    blocks, rss = sys.getallocatedblocks(), _rss_kib()
    run_all()
    grown_blocks = sys.getallocatedblocks() - blocks
    grown_rss = _rss_kib() - rss
    assert grown_blocks < 200, grown_blocks
    assert grown_rss < 4096, grown_rss


def test_sixteen_threads_mixed_methods():
    # 16 threads call three cores (one per evaluator) at once, at feasible and infeasible
    # points: every answer is the one a single thread gets, to the bit
    cores = [
        LmmCore(*random_design(40_000, 4_000, 3, 2, seed=s), ev)
        for s, ev in [(1, "blocks"), (2, "streaming"), (3, "aggregated")]
    ]
    thetas_ = [[1.0, 0.0, 1.0], [0.4, -0.2, 0.9], [1e200, 0.0, 1e200]]

    def run(job):
        core, t = cores[job[0]], thetas_[job[1]]
        out = [repr(core.deviance(t)), repr(core.deviance_grad(t))]
        for call in (lambda: core.solution(t)["u"], lambda: core.conditional_covariances(t)):
            try:
                out.append(call().tobytes())
            except RuntimeError as e:
                out.append(str(e))
        return out

    jobs = [((w + rep) % 3, (w * 7 + rep) % 3) for w in range(16) for rep in range(4)]
    serial = {job: run(job) for job in set(jobs)}
    with ThreadPoolExecutor(16) as pool:
        assert list(pool.map(run, jobs, timeout=300)) == [serial[job] for job in jobs]


def test_clean_exit_while_a_thread_is_evaluating():
    res = run_child("""
        import threading, time
        from simdesign import random_design
        from quorvelkit import LmmCore
        core = LmmCore(*random_design(400_000, 40_000, 4, 2, seed=1), "blocks")
        def spin():
            while True:
                core.fit([1.0, 0.0, 1.0])
        threading.Thread(target=spin, daemon=True).start()
        time.sleep(0.3)
        print("bye")
    """)
    assert res.returncode == 0 and res.stdout.strip() == "bye" and "terminate" not in res.stderr, res.stderr


RACE_SCRIPT = """
    import threading, time
    from simdesign import random_design
    from quorvelkit import LmmCore
    # unsorted: the counting sort reads the codes again
    y, x, z, codes, m = random_design(400_000, 40_000, 3, 2, seed=2, shuffle=True)
    core = LmmCore(y, x, z, codes, m, "blocks")
    stop = False

    def flip():
        k, original = len(codes) // 2, codes[len(codes) // 2]
        while not stop:
            for v in (m - 1, 1 << 40, -5, original):
                codes[k] = v

    flipper = threading.Thread(target=flip)
    flipper.start()
    outcomes = set()
    t0 = time.perf_counter()
    try:
        while time.perf_counter() - t0 < 2.0:
            for call in (lambda: LmmCore(y, x, z, codes, m, "blocks"), lambda: core.with_response(y, x, z, codes)):
                try:
                    call()
                    outcomes.add("result")
                except ValueError:
                    outcomes.add("error")
    finally:
        stop = True
        flipper.join()
    print(sorted(outcomes))
"""


@pytest.mark.slow
def test_codes_changed_by_another_thread_during_calls():
    # The calls read the codes without the interpreter lock while another thread
    # flips one of them between valid and invalid values: each call may fail with
    # ValueError or succeed, but never read or write outside its buffers.
    res = run_child(RACE_SCRIPT, RAYON_NUM_THREADS="2")
    assert res.returncode == 0 and "error" in res.stdout, res.stdout + res.stderr


INTERRUPT_SCRIPT = """
    import math, random, signal, sys, time, warnings
    signal.signal(signal.SIGINT, signal.default_int_handler)  # a shell's background job ignores SIGINT
    from sigint import sigint_after
    import numpy as np, pandas as pd
    import quorvelkit as qk
    from batchdata import users_items
    from simdesign import random_design
    from quorvelkit import LmmCore
    from quorvelkit._quorvelkit import CrossedGlmmCore, GlmmCore
    warnings.simplefilter("ignore")
    # The first fit imports the formula machinery: a signal inside a third-party import
    # is no call of ours, so a fit comes first.
    qk.lmm("Reaction ~ Days + (1 | Subject)", qk.load_sleepstudy())
    args = random_design(1_500_000, 75_000, 8, 3, seed=3, shuffle=True)
    start = [1.0, 0.0, 0.0, 1.0, 0.0, 1.0]
    build = float("inf")
    for _ in range(2):  # the first call also pays for fresh pages
        t0 = time.perf_counter()
        LmmCore(*args, "aggregated")  # 75,000 classes
        build = min(build, time.perf_counter() - t0)
    core = LmmCore(*args, "blocks")
    t0 = time.perf_counter()
    lmm_state = lambda: (repr(core.deviance_grad(start)), core.fit(start, max_iter=2)["theta"].tobytes())
    lmm_state()
    step = time.perf_counter() - t0
    small = LmmCore(*random_design(180, 18, 2, 2, seed=4), "blocks")
    one = math.inf  # the least of a few fits: one slowed by the machine would size the call too short
    for _ in range(5):
        t0 = time.perf_counter()
        small.fit([1.0, 0.0, 1.0])
        one = min(one, time.perf_counter() - t0)
    rng = np.random.default_rng(7)

    def bernoulli(eta):
        return (rng.random(len(eta)) < 1.0 / (1.0 + np.exp(-eta))).astype(float)

    def one_factor(n, m, q):
        codes = (np.arange(n) % m).astype(np.int64)
        z = np.column_stack([np.ones(n)] + [rng.standard_normal(n) for _ in range(q - 1)])
        x = z[:, :2].copy()
        y = bernoulli(x @ [-0.3, 0.4] + np.sum(z * 0.5 * rng.standard_normal((m, q))[codes], axis=1))
        return GlmmCore(y, x, z, codes, m, [q], np.ones(n), None, "binomial")

    def crossed(n, m1, m2):
        a, b = (np.arange(n) % m1).astype(np.int64), rng.integers(0, m2, n).astype(np.int64)
        x = np.column_stack([np.ones(n), rng.standard_normal(n)])
        y = bernoulli(x @ [-0.3, 0.4] + 0.6 * rng.standard_normal(m1)[a] + 0.4 * rng.standard_normal(m2)[b])
        one = np.ones((n, 1))
        return CrossedGlmmCore(y, x, [(a, m1, one, [1]), (b, m2, one, [1])], np.ones(n), None, "binomial")

    big, few, cross = one_factor(200_000, 60, 4), one_factor(3000, 60, 4), crossed(100_000, 2500, 200)
    users = users_items(200_000, 8_000, 1_500)
    binary = pd.DataFrame({"g": rng.integers(0, 2_000, 60_000), "x": rng.standard_normal(60_000)})
    binary["y"] = (rng.random(60_000) < 0.4).astype(float)
    batches = [users.iloc[k : k + 20_000] for k in range(0, len(users), 20_000)]
    theta = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 0.0, 1.0]
    glmm_state = lambda c, th: lambda: repr(c.criterion(th, [0.1, 0.2]))
    small_state = lambda: repr(small.deviance_grad([1.0, 0.0, 1.0]))
    random.seed(int(sys.argv[1]) if len(sys.argv) > 1 else 0)
    # (the call, its length uninterrupted, the state it must leave as it was). An LMM
    # construction, a fit of many seconds, and a fit from many starts whose every
    # evaluation is a single small task; GLMM fits of many seconds (6 s, minutes, 20 s):
    # Laplace with a term of four random effects on few large groups (every evaluation
    # one task), adaptive quadrature on the same term (6^4 nodes a group), and crossed
    # factors; then the routes through lmm and glmm that check for interrupts (crossed
    # factors, quadrature, batches), signalled at a random point of their first 0.2 s.
    calls = {"build": (lambda: LmmCore(*args, "aggregated"), build, lmm_state),
             "fit": (lambda: core.fit(start * 30, max_iter=2), 30 * step, lmm_state),
             "small": (lambda: small.fit([1.0, 0.0, 1.0] * int(3 / one)), 3.0, lmm_state),
             "laplace": (lambda: big.fit(nagq=1), math.inf, glmm_state(big, theta)),
             "agq": (lambda: few.fit(nagq=6), math.inf, glmm_state(few, theta)),
             "crossed": (lambda: cross.fit(), math.inf, glmm_state(cross, [0.8, 0.5])),
             "lmm crossed": (lambda: qk.lmm("y ~ x + (1 | user) + (1 | item)", users), None, small_state),
             "glmm": (lambda: qk.glmm("y ~ x + (1 + x | g)", binary, "binomial", nagq=5), None, small_state),
             "batched": (lambda: [qk.lmm("y ~ x + (1 | user)", iter(batches)) for _ in range(50)], None, small_state)}
    for what, (long_call, length, state) in calls.items():
        before = state()
        if length is None:
            delay, length = random.uniform(0.02, 0.2), math.inf
        else:
            delay = min(0.3, length / 4) if math.isfinite(length) else 0.5
        sent = []
        sender = sigint_after(delay, sent)
        try:
            long_call()
            print(what, "not interrupted")
        except KeyboardInterrupt:
            late = time.perf_counter() - sent[0]
            print(what, "interrupted", late < 1.0, delay + late < 0.9 * length)
            print(f"{what}: {late:.3f} s after the signal, {delay:.3f} s into a call of {length:.3f} s",
                  file=sys.stderr)
        # What the caller does next (Python, then a short call of the core) must see no
        # second exception of the same signal.
        try:
            sender.join()
            sum(range(100_000))
            time.sleep(0.02)
            print("same", state() == before)
        except KeyboardInterrupt:
            print("twice")
"""


@pytest.mark.slow
@pytest.mark.parametrize("threads", ["1", "2"])
def test_interrupt_ends_a_long_call(threads):
    # SIGINT arrives while the main thread is inside one long call with the
    # interpreter lock released (LMM: a construction, fits of large and of small
    # evaluations; GLMM: fits whose evaluations are long single tasks or long serial
    # loops, quadrature nodes and PIRLS of crossed factors; lmm and glmm of crossed
    # factors, quadrature and batches): exactly one KeyboardInterrupt, in the call,
    # within a second and well before the call would have ended, none at the caller's
    # next lines (a notebook cell's cleanup, an except block), and the core answers as
    # before.
    res = run_child(INTERRUPT_SCRIPT, RAYON_NUM_THREADS=threads)
    assert res.returncode == 0, res.stderr
    routes = ("build", "fit", "small", "laplace", "agq", "crossed", "lmm crossed", "glmm", "batched")
    want = [[*what.split(), "interrupted", "True", "True", "same", "True"] for what in routes]
    assert res.stdout.split() == sum(want, []), res.stdout + res.stderr


FORMULAS = [
    "y ~ x + (1 | g)", "y ~ x + (x | g)", "y ~ C(c) + (1 | g)", "y ~ 1 + (0 + x | g)", "y ~ x * c + (1 | g)",
    "y ~ x + (1 | g) + (1 | c)", "y ~ x + (x || g)", "y ~ x + (1 | g/c)", "y ~ nope + (1 | g)", "y ~ x + (1 | nope)",
    "~ x + (1 | g)", "y ~ x", "y ~ x + (1 | )", "", "c ~ x + (1 | g)",
]  # fmt: skip
LABELS = st.sampled_from(["a", "b", 1, 2, 2.5, None, math.nan, True, "a", "b", "c"])


@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_model_interface_under_hostile_data(data):
    n = data.draw(st.integers(0, 40))
    # Mostly ordinary values, so that many examples reach the fit; sometimes hostile ones.
    hostile = data.draw(st.integers(0, 3)) == 0
    value = floats if hostile else st.floats(-10, 10)
    columns = {
        "y": value,
        "x": st.one_of(value, st.sampled_from(["1", None])) if hostile else value,
        "c": st.sampled_from(["u", "v", "w", None] if hostile else ["u", "v"]),
        "g": LABELS if hostile else st.sampled_from(["a", "b", "c", "d", 7]),
    }
    frame = {k: data.draw(st.lists(v, min_size=n, max_size=n)) for k, v in columns.items()}
    formula, reml = data.draw(st.sampled_from(FORMULAS)), data.draw(st.booleans())
    evaluator = data.draw(st.sampled_from(["auto", "blocks", "streaming", "aggregated"]))
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            fit = qk.lmm(formula, frame, reml=reml, evaluator=evaluator)
    except (ValueError, TypeError) as e:
        assert str(e)
        return
    except RuntimeError as e:
        assert "theta is infeasible" in str(e)
        return
    # A fit that comes back is a real one: finite criterion and estimates.
    assert math.isfinite(fit.criterion) and np.isfinite(fit.fixef.to_numpy()).all()
    assert fit.nobs + fit.n_dropped == n
    assert len(fit.summary_text()) > 0
    assert {f: len(r) for f, r in fit.ranef.items()} == fit.ngroups
    assert np.isfinite(fit.predict().to_numpy()).all()
