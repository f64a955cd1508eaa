"""Tests of the benchmark harness itself: data, bookkeeping and the verdicts it prints.

    python -m pytest benchmarks/tests -q

They use tiny data, so they run in seconds and time nothing.
"""

from __future__ import annotations

import dataclasses
import json
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

HERE = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(HERE))
import run  # noqa: E402
import scenarios  # noqa: E402
import worker  # noqa: E402


def small(layout: str, n: int = 6_000, m: int = 150, p: int = 4, q: int = 2, seed: int = 7) -> scenarios.Scenario:
    return scenarios.Scenario(99, "test", n, m, p, q, layout, seed)


# --------------------------------------------------------------------------- scenarios

LAYOUTS = ["unbalanced, shuffled rows", "uniform codes, shuffled rows", "balanced, sorted by group"]


@pytest.mark.parametrize("layout", LAYOUTS)
def test_generator_shapes_types_and_model_layout(layout):
    s = small(layout)
    a = scenarios.generate(s)
    assert a["y"].shape == (s.n,) and a["y"].dtype == np.float64
    assert a["x"].shape == (s.n, s.p) and a["x"].flags.c_contiguous
    assert a["z"].shape == (s.n, s.q) and a["z"].flags.c_contiguous
    assert a["codes"].dtype == np.int64
    # Every group present: m is the number of groups every contender sees.
    assert np.array_equal(np.unique(a["codes"]), np.arange(s.m))
    assert np.all(a["x"][:, 0] == 1.0)
    assert np.array_equal(a["z"], a["x"][:, : s.q])
    assert np.all(np.isfinite(a["y"]))


@pytest.mark.parametrize("layout", LAYOUTS)
def test_generator_is_deterministic_per_seed(layout):
    a, b = scenarios.generate(small(layout)), scenarios.generate(small(layout))
    c = scenarios.generate(small(layout, seed=8))
    for k in a:
        assert np.array_equal(a[k], b[k])
    assert not np.array_equal(a["y"], c["y"])


def test_row_order_and_group_sizes_follow_the_layout():
    bal = scenarios.generate(small("balanced, sorted by group"))["codes"]
    assert np.all(np.diff(bal) >= 0)
    assert np.all(np.bincount(bal) == 6_000 // 150)
    shuffled = scenarios.generate(small("unbalanced, shuffled rows"))["codes"]
    assert np.any(np.diff(shuffled) < 0)
    # Log-normal weights give a long tail; uniform codes stay close to n/m.
    skew = np.bincount(shuffled)
    flat = np.bincount(scenarios.generate(small("uniform codes, shuffled rows"))["codes"])
    assert skew.max() / skew.mean() > 2.5 > flat.max() / flat.mean()


def test_balanced_layout_rejects_a_ragged_size():
    with pytest.raises(ValueError):
        scenarios.generate(small("balanced, sorted by group", n=1_001, m=100))


def test_scenario_table_matches_the_stated_sizes():
    full = scenarios.scenarios(quick=False)
    assert [(s.n, s.m, s.p, s.q) for s in full.values()] == [
        (180, 18, 2, 2), (73_421, 1_128, 10, 1), (2_000_000, 100_000, 6, 2),
        (10_000_000, 100_000, 6, 2), (10_000_000, 1_000_000, 3, 1), (1_000_000, 20_000, 5, 4)]
    quick = scenarios.scenarios(quick=True)
    for k, s in quick.items():
        assert (s.p, s.q, s.layout) == (full[k].p, full[k].q, full[k].layout)
        assert s.n <= full[k].n and s.tag != full[k].tag or k in (1, 2)


def test_sleepstudy_is_the_real_data():
    a = scenarios.generate(scenarios.scenarios(quick=True)[1])
    assert a["y"].shape == (180,) and a["codes"].max() == 17
    assert a["y"][0] == pytest.approx(249.56)
    assert np.array_equal(a["x"][:10, 1], np.arange(10.0))


def test_cache_reuses_and_repairs(tmp_path):
    s = small("unbalanced, shuffled rows")
    d = scenarios.ensure(s, tmp_path)
    meta, a = scenarios.load(d)
    assert (meta["n"], meta["m"], meta["p"], meta["q"]) == (s.n, s.m, s.p, s.q)
    assert scenarios.input_bytes(meta) == sum(v.nbytes for v in a.values())
    stamp = (d / "y.npy").stat().st_mtime_ns
    assert scenarios.ensure(s, tmp_path) == d and (d / "y.npy").stat().st_mtime_ns == stamp
    # A directory without meta.json is an interrupted write: generated anew.
    (d / "meta.json").unlink()
    (d / "y.npy").write_bytes(b"torn")
    scenarios.ensure(s, tmp_path)
    assert np.array_equal(scenarios.load(d)[1]["y"], a["y"])


def test_r_files_are_column_major_and_one_based(tmp_path):
    d = scenarios.ensure(small("unbalanced, shuffled rows", p=3, q=2), tmp_path)
    scenarios.ensure_r_files(d)
    meta, a = scenarios.load(d)
    n = meta["n"]
    x = np.fromfile(d / "x.f64", dtype="<f8").reshape(meta["p"], n)
    z = np.fromfile(d / "z.f64", dtype="<f8").reshape(meta["q"], n)
    assert np.array_equal(x.T, a["x"]) and np.array_equal(z.T, a["z"])
    assert np.array_equal(np.fromfile(d / "y.f64", dtype="<f8"), a["y"])
    assert np.array_equal(np.fromfile(d / "g.i32", dtype="<i4"), a["codes"] + 1)


# --------------------------------------------------------------------------- peer skipping


def hist(key, n, m, q, status, seconds=None):
    return {"key": key, "n": n, "m": m, "q": q, "status": status, "seconds": seconds}


@pytest.mark.parametrize(
    "peer, history, meta, expect",
    [
        # Nothing to go on: run it.
        ("lme4", [], dict(n=10, m=1, q=1), None),
        # lme4 scales with n*q: 100 s x (10M*1)/(2M*2) = 250 s.
        ("lme4", [hist(3, 2_000_000, 100_000, 2, "ok", 100.0)], dict(n=10_000_000, m=1_000_000, q=1), 250.0),
        # MixedLM scales with the larger growth of rows and groups: x10 in groups.
        ("mixedlm", [hist(3, 2_000_000, 100_000, 2, "ok", 100.0)], dict(n=10_000_000, m=1_000_000, q=1), 1000.0),
        # A timed-out run no larger in rows, groups and q settles it.
        ("lme4", [hist(3, 2_000_000, 100_000, 2, "timeout")], dict(n=10_000_000, m=100_000, q=2), float("inf")),
        # ... but not when the later problem has a smaller q, nor when the timed-out run was larger.
        ("lme4", [hist(6, 1_000_000, 20_000, 4, "timeout")], dict(n=2_000_000, m=100_000, q=2), None),
        ("mixedlm", [hist(4, 10_000_000, 100_000, 2, "timeout")], dict(n=2_000_000, m=100_000, q=2), None),
        # The reference is the largest finished run no larger than the target.
        ("lme4", [hist(2, 100, 10, 1, "ok", 1.0), hist(3, 1_000, 10, 1, "ok", 3.0),
                  hist(9, 10**9, 10**9, 1, "ok", 1e6)], dict(n=2_000, m=10, q=1), 6.0),
    ],
)
def test_peer_estimate(peer, history, meta, expect):
    got = run.estimate(peer, history, meta)
    if expect is None:
        assert got is None
    else:
        assert got[0] == pytest.approx(expect)
        assert "scenario" in got[1]


# --------------------------------------------------------------------------- merging and verdicts


def timing_result(construct, grad, whole, bits="0x1p+0", fev=10):
    evals = {ev: {"evaluator": ev, "n_classes": 5 if ev == "aggregated" else None, "deviance_s": grad / 2,
                  "deviance_grad_s": grad, "deviance": 1.0, "bits": [bits]} for ev in worker.EVALUATORS}
    return {"plain_pass_s": 0.01, "construct_s": construct, "construct_sorted_s": construct / 2,
            "auto_evaluator": "blocks", "n_classes": None, "evals": evals, "evals_other_load": 0.1,
            "whole_fit_s": whole, "fit_other_load": 0.2,
            "fit": {"construct_s": construct, "fit_s": whole - construct, "deviance": 1.0, "fev": fev,
                    "iterations": 3, "converged": True, "message": "ok", "bits": [bits]}}


def test_merge_rounds_keeps_the_best_and_the_fit_whole():
    a, b = timing_result(0.5, 0.2, 1.0, fev=10), timing_result(0.3, 0.4, 1.2, fev=11)
    m = run.merge_rounds([a, b])
    assert m["construct_s"] == 0.3
    assert m["evals"]["blocks"]["deviance_grad_s"] == 0.2
    assert m["whole_fit_s"] == 1.0 and m["fit"]["fev"] == 10  # from the same round as the best whole fit
    assert m["evals_other_load"] == [0.1, 0.1] and m["stable_across_rounds"]
    assert a["construct_s"] == 0.5  # inputs untouched


def test_a_differing_bit_anywhere_is_reported():
    same = run.merge_rounds([timing_result(1, 1, 2)])
    assert all(run.identical(same, same).values())
    other = run.merge_rounds([timing_result(1, 1, 2, bits="0x1.0000000000001p+0")])
    assert not any(run.identical(same, other).values())
    unstable = run.merge_rounds([timing_result(1, 1, 2), timing_result(1, 1, 2, bits="0x1.8p+0")])
    assert not unstable["stable_across_rounds"]
    assert not any(run.identical(unstable, unstable).values())


def fake_results(t1_grad, t2_grad, m=100_000, lme4_s=1.0, ours_s=0.005, whole4=1.5, peak_ratio=1.1):
    sc = {}
    for key in ("2", "4"):
        meta = {"n": 1_000_000, "m": m, "p": 3, "q": 1}
        ib = scenarios.input_bytes(meta)
        sc[key] = {
            "scenario": {"title": key, "layout": "x"}, "meta": meta, "input_bytes": ib,
            "timing": {1: run.merge_rounds([timing_result(0.1, t1_grad, 2 * ours_s)]),
                       2: run.merge_rounds([timing_result(0.05, t2_grad, ours_s if key == "2" else whole4)])},
            "memory": {"peak": 100 + int(peak_ratio * ib), "rss_before_load": 100, "rss_after_load": 100 + ib},
            "peers": {"lme4": {"status": "ok", "seconds": lme4_s, "criterion": 1.0},
                      "mixedlm": {"status": "not installed"}},
        }
    return {"scenarios": sc}


@pytest.mark.parametrize(
    "kwargs, row, expect",
    [
        (dict(t1_grad=1.0, t2_grad=0.5), "Evaluations with m ≥ 100,000", "**met**"),
        (dict(t1_grad=1.0, t2_grad=0.7), "Evaluations with m ≥ 100,000", "**missed**"),
        (dict(t1_grad=1.0, t2_grad=0.5, lme4_s=0.4), "Scenario 2: whole fit ≥ 100× faster than lme4", "**missed**"),
        (dict(t1_grad=1.0, t2_grad=0.5, lme4_s=0.6), "Scenario 2: whole fit ≥ 100× faster than lme4", "**met**"),
        (dict(t1_grad=1.0, t2_grad=0.5), "Scenario 2: whole fit ≥ 300× faster than MixedLM", "n/a"),
        (dict(t1_grad=1.0, t2_grad=0.5, whole4=2.5), "Scenario 4: whole fit ≤ 2 s on 2 threads", "**missed**"),
        (dict(t1_grad=1.0, t2_grad=0.5, peak_ratio=1.3), "Scenario 4: peak memory ≤ 1.2× the input arrays",
         "**missed**"),
        (dict(t1_grad=1.0, t2_grad=0.5, peak_ratio=1.1), "Scenario 4: peak memory ≤ 1.2× the input arrays",
         "**met**"),
    ],
)
def test_target_verdicts(kwargs, row, expect):
    rows = {a: c for a, _, c in run.targets(fake_results(**kwargs))}
    assert rows[next(a for a in rows if a.startswith(row))] == expect


def test_thread_target_ignores_an_evaluator_whose_work_does_not_grow_with_m():
    res = fake_results(t1_grad=1.0, t2_grad=0.5)
    for key in res["scenarios"]:
        agg = res["scenarios"][key]["timing"][2]["evals"]["aggregated"]
        agg["deviance_grad_s"] = 5.0  # a handful of classes: no speed-up to be had, none required
    rows = {a: (b, c) for a, b, c in run.targets(res)}
    measured, verdict = rows[next(a for a in rows if a.startswith("Evaluations"))]
    assert verdict == "**met**" and "aggregated" not in measured


def test_construction_target_uses_the_plain_pass():
    res = fake_results(t1_grad=1.0, t2_grad=0.5)
    row = next(r for r in run.targets(res) if r[0].startswith("Construction"))
    assert row[2] == "**missed**" and "s2: 5.0×" in row[1]  # 0.05 s against a 0.01 s pass
    for r in res["scenarios"].values():
        for t in (1, 2):
            r["timing"][t]["construct_s"] = 0.025
    assert next(r for r in run.targets(res) if r[0].startswith("Construction"))[2] == "**met**"


# --------------------------------------------------------------------------- processes and timing


def test_run_json_reports_timeouts_failures_and_garbage():
    py = sys.executable
    t0 = time.perf_counter()
    r = run.run_json([py, "-c", "import time; time.sleep(30)"], timeout=0.5)
    assert r["status"] == "timeout" and time.perf_counter() - t0 < 10
    r = run.run_json([py, "-c", "import sys; sys.exit('boom')"])
    assert r["status"] == "failed" and "boom" in r["detail"]
    assert run.run_json([py, "-c", "print('not json')"])["status"] == "failed"
    r = run.run_json([py, "-c", "import json; print('noise'); print(json.dumps({'seconds': 1.5}))"])
    assert r["status"] == "ok" and r["seconds"] == 1.5


def test_timeout_kills_the_whole_process_group(tmp_path):
    marker = tmp_path / "survivor"
    # The grandchild would write the marker after 2 s if it outlived the kill.
    code = (f"import subprocess, sys; subprocess.Popen([sys.executable, '-c', "
            f"\"import time, pathlib; time.sleep(2); pathlib.Path({str(marker)!r}).write_text('x')\"]); "
            "import time; time.sleep(30)")
    assert run.run_json([sys.executable, "-c", code], timeout=0.5)["status"] == "timeout"
    time.sleep(3)
    assert not marker.exists()


def test_per_call_batches_fast_calls_and_not_slow_ones():
    calls = []
    worker.per_call(3, lambda: calls.append(1))
    assert len(calls) > 100  # microsecond calls are timed in batches
    calls.clear()
    t = worker.per_call(2, lambda: (calls.append(1), time.sleep(0.003)))
    assert len(calls) == 3 and t >= 0.003


def test_worker_timing_end_to_end_agrees_across_thread_counts(tmp_path):
    pytest.importorskip("quorvelkit")
    d = scenarios.ensure(small("unbalanced, shuffled rows", n=3_000, m=60), tmp_path)
    out = {}
    for threads in (1, 2):
        r = subprocess.run([sys.executable, str(HERE / "worker.py"), "timing", str(d), "--repeats", "1",
                            "--fit-repeats", "1"], capture_output=True, text=True, check=True,
                           env={**__import__("os").environ, "RAYON_NUM_THREADS": str(threads)})
        out[threads] = json.loads(r.stdout)
    assert out[1]["threads"] == "1" and out[2]["threads"] == "2"
    assert set(out[1]["evals"]) == set(worker.EVALUATORS)
    assert out[1]["fit"]["converged"] and out[1]["fit"]["fev"] > 0
    merged = {t: run.merge_rounds([out[t]]) for t in (1, 2)}
    assert all(run.identical(merged[1], merged[2]).values())
    # All three evaluators compute the same criterion to rounding.
    devs = [out[1]["evals"][ev]["deviance"] for ev in worker.EVALUATORS]
    assert max(devs) - min(devs) <= 1e-9 * abs(devs[0])


def test_worker_memory_reports_the_inputs(tmp_path):
    pytest.importorskip("quorvelkit")
    d = scenarios.ensure(small("uniform codes, shuffled rows", n=20_000, m=100), tmp_path)
    r = subprocess.run([sys.executable, str(HERE / "worker.py"), "memory", str(d)], capture_output=True,
                       text=True, check=True)
    m = json.loads(r.stdout)
    assert m["input_bytes"] == 8 * 20_000 * (1 + 4 + 2 + 1)
    assert m["peak"] >= m["rss_after_load"] - 4096 and m["rss_after_load"] > m["rss_before_load"]
