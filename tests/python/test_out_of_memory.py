"""Exhausted memory inside the extension: every call raises MemoryError or returns its
result, leaves its objects working and leaks nothing, whichever allocation fails, on the
calling thread or on a worker of the pool.

Each sweep runs in a child interpreter (an abort there is a failure here, not the end
of the test run) with failing_new.cpp preloaded; allocfail.py holds the sweep and the
cases. The shim is compiled here with the system's g++."""

import errno
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent

pytestmark = pytest.mark.skipif(
    os.environ.get("QK_SANITIZED") == "1" or shutil.which("g++") is None,
    reason="needs g++ to build the shim; the sanitizer replaces operator new itself",
)

# The calls of the pooled design swept at pool size 2 in the long run (its construction
# alone allocates several thousand times).
POOLED = ["auto/deviance_grad", "auto/solution", "auto/conditional_covariances", "auto/with_response",
          "blocks/construct", "blocks/deviance", "aggregated/deviance", "add_rows", "reduce_rows"]  # fmt: skip


@pytest.fixture(scope="module")
def shim(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("shim") / "failing_new.so"
    subprocess.run(
        ["g++", "-O2", "-std=c++20", "-shared", "-fPIC", "-o", str(out), str(HERE / "failing_new.cpp"), "-lpthread"],
        check=True,
        capture_output=True,
    )
    return out


def sweep(shim: Path, threads: int, *args: str) -> list[dict]:
    env = dict(os.environ, LD_PRELOAD=str(shim), RAYON_NUM_THREADS=str(threads))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(HERE), env.get("PYTHONPATH")) if p)
    res = subprocess.run(
        [sys.executable, "-m", "allocfail", *args], capture_output=True, text=True, timeout=1800, env=env, cwd=HERE
    )
    assert res.returncode == 0, f"exit status {res.returncode}\n{res.stdout[-2000:]}\n{res.stderr[-4000:]}"
    reports = [json.loads(line) for line in res.stdout.splitlines()]
    assert reports, res.stderr
    for r in reports:
        # The call allocates (else nothing was swept), every failure became MemoryError
        # or a correct result, and the live allocations are back where they were.
        assert r["allocations"] > 0 and r["memory_errors"] + r["recovered"] == r["allocations"], r
        assert r["leaked"] == 0, r
        # Nothing left in the interpreter by failed calls repeated (counted with --leaks):
        # one object left by each failure would count two for every failing allocation.
        # The interpreter's bounded caches (its spare MemoryError objects among them) may
        # fill once, in whichever case fails first in their way: an unpickling case
        # leaves from 0 to some 35 blocks from run to run (string hashes differ).
        assert r["python_blocks"] <= max(32, r["allocations"]), r
    return reports


@pytest.mark.parametrize("threads", [1, 2])
def test_pooled_deviance_survives_each_failed_allocation(shim, threads):
    # 70,000 rows in 7,000 groups with q = 2: the evaluation runs on the pool; at pool
    # size 2 some of the failures happen on the worker and reach the caller through it.
    (r,) = sweep(shim, threads, "pooled", "auto/deviance")
    assert (r["failed_on_workers"] > 0) == (threads == 2), r


@pytest.mark.slow
def test_every_call_survives_each_failed_allocation(shim):
    reports = sweep(shim, 2, "--leaks", "small")
    names = {r["case"] for r in reports}
    assert {"auto/fit", "streaming/from_products", "add_columns", "minimize", "code_labels"} <= names
    # the GLMM cores (one factor, crossed) and the crossed core, products in and out
    assert {"glmm/fit", "crossed_glmm/gradient", "crossed/fit", "crossed/reduce_rows", "crossed/from_products"} <= names


@pytest.mark.slow
def test_crossed_glmm_fit_survives_each_failed_allocation(shim):
    (r,) = sweep(shim, 2, "small", "crossed_glmm/fit")
    assert r["allocations"] > 4500, r


@pytest.mark.slow
def test_every_call_survives_memory_running_out_for_good(shim):
    # From the k-th allocation on, every one fails (no retry inside a call succeeds),
    # on a pool of one thread. What a failed call leaves in the interpreter is counted
    # in the sweep of single failures, whose calls take the same paths out.
    assert len(sweep(shim, 1, "--persistent", "small")) > 50


@pytest.mark.slow
def test_pooled_calls_survive_each_failed_allocation(shim):
    reports = sweep(shim, 2, "pooled", *POOLED)
    assert [r["case"] for r in reports] == POOLED
    assert all(r["failed_on_workers"] > 0 for r in reports), reports


def run_child(script: str, timeout: int = 300, **env: str) -> subprocess.CompletedProcess:
    """Runs a script of this module in a child interpreter (tests/python on its path,
    ``env`` added to the environment) and returns its outcome."""
    full = dict(os.environ, **env)
    full["PYTHONPATH"] = os.pathsep.join(p for p in (str(HERE), full.get("PYTHONPATH")) if p)
    command = [sys.executable, "-c", textwrap.dedent(script)]
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=full, cwd=HERE)


MEMORY_SCRIPT = """
    from memlimit import limited
    from simdesign import random_design
    from quorvelkit import LmmCore
    y, x, z, codes, m = random_design(1_000_000, 100_000, 6, 2, seed=1, shuffle=True)

    # Each child starts the worker pool and builds the core under a limit of its current
    # address space plus 0, 0.5, 1, ... 8 MiB: memory runs out at every step of the
    # construction in turn, on the calling thread or on a worker. (100,000 groups: the
    # products, about 16 MB, are what construction allocates, rows in any order.)
    outcomes = ""
    for half_mib in range(17):
        out, status = limited(half_mib * 2**19, lambda: LmmCore(y, x, z, codes, m, "aggregated"))
        out = "built" if out == "ok" else "M" if out.startswith("M:") else out
        outcomes += out if out in ("M", "built") else f"[{out}, status {status}]"
        if out == "built":
            break
    print(outcomes)
"""


@pytest.mark.skipif(
    os.environ.get("QK_SANITIZED") == "1",
    reason="the sanitizer reserves its own address space and ends the process when it runs out",
)
@pytest.mark.slow
def test_memory_limits_give_memory_error():
    # A worker's first exception needs thread-local state the C++ runtime allocates
    # lazily; under an address-space limit that allocation failed and ended the
    # process. Every outcome must be MemoryError (or, with room enough, the core).
    res = run_child(MEMORY_SCRIPT, RAYON_NUM_THREADS="2")
    assert res.returncode == 0, res.stderr
    outcomes = res.stdout.strip()
    assert outcomes.startswith("M") and set(outcomes.replace("built", "")) == {"M"}, outcomes + res.stderr


LIMIT_SCRIPT = """
    from memlimit import limited
    from test_crossed_core import crossed_rows
    from quorvelkit._quorvelkit import CrossedCore

    def outcome(extra_mib, call):
        # the call under the limit, then again with the limit lifted
        out, status = limited(extra_mib * 2**20, call, then=call)
        return f"{out} status {status}"

    # The first evaluation of a crossed fit factors a 1,502-square dense block with
    # OpenBLAS, whose first call maps its 32 MiB work buffer: under limits from none to
    # more than enough, each call either gives the deviance or raises MemoryError.
    # (No OpenBLAS call in this process: each child makes its first.)
    for extra in range(0, 112, 16):
        print(outcome(extra, lambda: CrossedCore(*crossed_rows(60_000, (5000, 1500))).deviance([1.0, 1.0])))
    # 20,000 levels crossed: the dense block alone needs 3.0 GiB (never tried without a limit).
    big = CrossedCore(*crossed_rows(40_000, (1000, 20_000)))
    print(limited(512 * 2**20, lambda: big.deviance([1.0, 1.0]))[0])
"""


@pytest.mark.slow
def test_memory_limits_on_crossed_fits_give_memory_error():
    # OpenBLAS ended the process (exit(1) after "Memory allocation still failed") when
    # its work buffer could not be mapped; the dense block's MemoryError said nothing.
    res = run_child(LIMIT_SCRIPT, timeout=600, RAYON_NUM_THREADS="2")
    assert res.returncode == 0, res.stderr
    *lines, big = res.stdout.strip().splitlines()
    assert len(lines) == 7 and "allocation still failed" not in res.stderr, res.stdout + res.stderr
    # Each child's value once the limit is lifted: the same in all, whatever failed first.
    assert len({line.split(" then ")[1] for line in lines}) == 1 and lines[0].endswith("status 0"), lines
    outcomes = [line.split(" then ")[0] for line in lines]
    # Each limit either fails with MemoryError or fits (how much room a fit needs above
    # the child's baseline varies with the machine); the tightest always fails, saying
    # what could not be had (OpenBLAS's work buffer, or the dense block).
    assert all(o == "ok" or o.startswith("M:") for o in outcomes), outcomes
    assert outcomes[0].startswith("M:") and outcomes[0].endswith(" more memory than is available"), outcomes
    assert big == "M:the crossed design's dense block needs 3.0 GiB (20,003 × 20,003 doubles), " + (
        "more memory than is available"
    ), big


GLMM_LIMIT_SCRIPT = """
    import ctypes
    # Blocks of 128 KiB and more mapped on their own (M_MMAP_THRESHOLD, kept from growing),
    # so that freed arrays give their address space back, not room in the heap.
    ctypes.CDLL("libc.so.6").mallopt(-3, 128 * 1024)
    from simdesign import glmm_rows
    from memlimit import limited
    from quorvelkit._quorvelkit import CrossedGlmmCore, GlmmCore
    import numpy as np

    def digest(fit):
        return (fit["m2loglik"], list(fit["theta"]), list(fit["beta"]))

    def outcomes(make):
        # Each child fits under a limit of its address space plus 0 to 64 MiB, then again
        # with the limit lifted; the fit made under the limit, when it completes, shown.
        # The core is built in the child, under the limit (a fit of a built core may
        # need no new address space at all), and the reference too is made in a child:
        # memory freed in this process would give the children room under any limit.
        fit = lambda: digest(make().fit())
        print(limited(2**40, fit, show=True)[0].removeprefix("ok "))
        for extra_mib in (0, 1, 2, 4, 8, 16, 32, 64):
            out, status = limited(extra_mib * 2**20, fit, then=fit, show=True)
            print(f"{out} | {status}")

    y, x, (f,) = glmm_rows(20_000, (2_000,), "binomial", seed=1)
    one = np.ones(len(y))
    outcomes(lambda: GlmmCore(y, x, f[2], f[0], f[1], f[3], one, None, "binomial"))
    y, x, factors = glmm_rows(10_000, (1_000, 150), "poisson", seed=2, slope=False)
    one = np.ones(len(y))
    outcomes(lambda: CrossedGlmmCore(y, x, factors, one, None, "poisson"))
"""


@pytest.mark.slow
def test_memory_limits_on_glmm_fits_give_memory_error_or_the_fit():
    # One factor and crossed: under each limit the core and its fit raise MemoryError or
    # give the fit made without a limit, the process never ends, and once the limit is
    # lifted it gives that fit again.
    # One malloc arena: the pool's threads' own arenas are address space reserved ahead,
    # in which a fit would find room under any limit.
    res = run_child(GLMM_LIMIT_SCRIPT, timeout=600, RAYON_NUM_THREADS="2", MALLOC_ARENA_MAX="1")
    assert res.returncode == 0, res.stderr
    lines = res.stdout.strip().splitlines()
    assert len(lines) == 18 and "allocation still failed" not in res.stderr, res.stdout + res.stderr
    for block in (lines[:9], lines[9:]):
        reference, *children = block
        outcomes = []
        for line in children:
            out, status = line.rsplit(" | ", 1)
            under, after = out.split(" then ")
            assert status == "0" and after == reference, block
            outcomes.append(under)
        assert all(o == "ok " + reference or o.startswith("M:") for o in outcomes), block
        assert outcomes[0].startswith("M:"), block


FIRST_FIT_SCRIPT = """
    import resource, sys
    import numpy as np, pandas as pd
    import quorvelkit as qk
    from memlimit import address_space
    d = pd.DataFrame({"y": np.arange(40.0) % 7, "x": np.arange(40.0), "g": np.arange(40) % 5})
    assert "formulaic" not in sys.modules
    # The first fit's imports under a limit with no room for them.
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + 2**20, resource.RLIM_INFINITY))
    try:
        qk.lmm("y ~ x + (1 | g)", d)
        print("fitted")
    except MemoryError as e:
        print("MemoryError:", e)
"""


@pytest.mark.skipif(os.environ.get("QK_SANITIZED") == "1", reason="the sanitizer reserves its own address space")
def test_first_fit_under_a_memory_limit_says_memory_was_the_cause():
    res = run_child(FIRST_FIT_SCRIPT, timeout=120)
    assert res.returncode == 0, res.stderr
    out = res.stdout.strip()
    assert out.startswith("MemoryError: not enough memory to load formulaic, which a fit needs; "), out + res.stderr
    assert "the address-space limit (RLIMIT_AS) is " in out, out


@pytest.mark.parametrize(
    "error,raised",
    [
        (OSError(errno.ENOMEM, "Cannot allocate memory", "site-packages/Cython/Compiler"), MemoryError),
        (MemoryError(), MemoryError),
        (OSError(errno.EACCES, "Permission denied"), PermissionError),
    ],
)
def test_an_import_that_runs_out_of_memory_names_the_module(monkeypatch, error, raised):
    # The import system lists a package's directory while importing it: under an
    # address-space limit that listing fails with OSError ENOMEM, which is memory too.
    from quorvelkit.support import heavy_imports

    def failing(name):
        raise error

    monkeypatch.setattr(heavy_imports, "MODULES", ("not_yet_imported",))
    monkeypatch.setattr(heavy_imports.importlib, "import_module", failing)
    with pytest.raises(raised) as caught:
        heavy_imports.load_for_fit()
    assert (caught.type is MemoryError) == ("not enough memory to load not_yet_imported" in str(caught.value))
