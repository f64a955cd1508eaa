"""The benchmark suite: one command, a markdown report, the same table printed.

    python benchmarks/run.py                 # full run, writes benchmarks/results.md
    python benchmarks/run.py --quick         # a few minutes, writes benchmarks/results-quick.md
    python benchmarks/run.py --scenarios 2,4 --no-peers

Every measurement runs in a fresh subprocess (``worker.py`` for ours, one
process per peer fit), because the core's worker-pool size is fixed once per
process from RAYON_NUM_THREADS and peak RSS is a per-process high-water mark.
Peers load their data before the clock starts and are killed after
``--peer-timeout`` seconds; a peer that is missing, fails, times out or is
skipped is reported as such, never given a number.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import platform
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import scenarios  # noqa: E402

PEER_TIMEOUT_S = 600.0
# Other processes' CPU use, in cores, below which a timing round counts as quiet.
QUIET_LOAD = 0.25
RETRY_PAUSE_S = 20.0
# Scenarios on which quick mode runs peers: both finish in seconds.
QUICK_PEER_SCENARIOS = {1, 2}

TARGETS = {
    "speed_vs_lme4": 100.0,
    "speed_vs_mixedlm": 300.0,
    "s4_whole_fit_s": 2.0,
    "s4_memory_ratio": 1.2,
    "construct_vs_plain": 3.0,
    "thread_speedup": 1.7,
    "thread_speedup_min_m": 100_000,
    "balanced_vs_1000_groups": 2.0,
}


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


# --------------------------------------------------------------------------- subprocesses


def run_json(cmd: list[str], env: dict | None = None, timeout: float | None = None) -> dict:
    """Run cmd in its own session, parse the last stdout line as JSON.

    Returns {"status": "ok", ...} or {"status": "timeout"|"failed", "detail": ...}.
    On timeout the whole process group is killed (Rscript's R, statsmodels'
    BLAS threads), so nothing keeps running behind the next measurement.
    """
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=full_env, start_new_session=True)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        return {"status": "timeout", "wall_s": time.perf_counter() - t0,
                "detail": f"killed after {timeout:.0f} s"}
    wall = time.perf_counter() - t0
    lines = [ln for ln in out.splitlines() if ln.strip()]
    if proc.returncode != 0 or not lines:
        tail = (err.strip().splitlines() or ["no output"])[-1]
        return {"status": "failed", "wall_s": wall, "detail": f"exit {proc.returncode}: {tail[:200]}"}
    try:
        res = json.loads(lines[-1])
    except json.JSONDecodeError:
        return {"status": "failed", "wall_s": wall, "detail": f"unparsable output: {lines[-1][:200]}"}
    res.update(status="ok", wall_s=wall)
    return res


def worker(mode: str, data: Path, threads: int, extra: list[str] = ()) -> dict:
    cmd = [sys.executable, str(HERE / "worker.py"), mode, str(data), *extra]
    res = run_json(cmd, env={"RAYON_NUM_THREADS": str(threads)})
    if res["status"] != "ok":
        raise RuntimeError(f"worker {mode} {data.name} threads={threads}: {res['detail']}")
    return res


# --------------------------------------------------------------------------- environment


def _cmd(cmd: list[str]) -> str | None:
    try:
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return r.stdout.strip() if r.returncode == 0 else None


def environment() -> dict:
    import numpy as np

    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    lscpu = _cmd(["lscpu"]) or ""
    fam = {k.strip(): v.strip() for k, v in (ln.split(":", 1) for ln in lscpu.splitlines() if ":" in ln)}
    if fam.get("CPU family"):
        cpu += f" (family {fam['CPU family']}, model {fam.get('Model', '?')}"
        cpu += f", {fam['Hypervisor vendor']} guest)" if fam.get("Hypervisor vendor") else ")"
    mem_gib = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    env = {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory_gib": round(mem_gib, 1),
        "os": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(),
        "numpy": np.__version__,
    }
    try:
        import quorvelkit

        from quorvelkit import _quorvelkit

        env["quorvelkit"] = quorvelkit.__version__
        built = Path(_quorvelkit.__file__).stat().st_mtime
        src = max((f.stat().st_mtime for f in (scenarios.REPO / "src").rglob("*") if f.is_file()), default=0)
        stamp = lambda t: dt.datetime.fromtimestamp(t).astimezone().strftime("%Y-%m-%d %H:%M")  # noqa: E731
        env["extension_built"] = stamp(built)
        env["src_changed"] = stamp(src)
        env["extension_stale"] = src > built
    except ImportError as e:  # the core is being reinstalled by its owner
        env["quorvelkit"] = f"import failed: {e}"
    commit = _cmd(["git", "-C", str(scenarios.REPO), "rev-parse", "--short", "HEAD"])
    dirty = _cmd(["git", "-C", str(scenarios.REPO), "status", "--porcelain", "--", "src", "python"])
    env["commit"] = (commit or "unknown") + (" + uncommitted changes to src/ or python/" if dirty else "")
    blas = {k: v for k, v in os.environ.items() if k.startswith("OPENBLAS")}
    env["openblas_env"] = blas or None
    # Peers: each probe is what the peer's own process would import.
    sm = _cmd([sys.executable, "-c", "import statsmodels; print(statsmodels.__version__)"])
    env["statsmodels"] = sm
    if shutil.which("Rscript"):
        r = _cmd(["Rscript", "-e", 'suppressPackageStartupMessages(library(lme4)); cat(paste(R.version$major, '
                  'R.version$minor, sep = "."), as.character(packageVersion("lme4")), '
                  'as.character(packageVersion("Matrix")), extSoftVersion()[["BLAS"]])'])
        if r:
            parts = r.split()
            env.update(r=parts[0], lme4=parts[1], matrix=parts[2], r_blas=" ".join(parts[3:]) or None)
        else:
            env.update(r=_cmd(["Rscript", "-e", "cat(R.version.string)"]), lme4=None)
    else:
        env.update(r=None, lme4=None)
    return env


# --------------------------------------------------------------------------- peers


def peer_command(peer: str, data: Path) -> list[str]:
    if peer == "lme4":
        scenarios.ensure_r_files(data)
        return ["Rscript", str(HERE / "peers" / "lmer.R"), str(data)]
    return [sys.executable, str(HERE / "peers" / "mixedlm.py"), str(data)]


def peer_installed(peer: str, env: dict) -> bool:
    return bool(env.get("lme4") if peer == "lme4" else env.get("statsmodels"))


def _growth_rows_or_groups(ref: dict, meta: dict) -> float:
    return max(meta["n"] / ref["n"], meta["m"] / ref["m"])


def _growth_nonzeros(ref: dict, meta: dict) -> float:
    return (meta["n"] * meta["q"]) / (ref["n"] * ref["q"])


# How a peer's time is scaled from a finished smaller run to decide that it cannot
# finish. lme4 forms Lambda'Z' and its cross-product at every evaluation (Bates
# et al. 2015, JSS 67(1), sec. 3), work that follows the non-zeros of Z, n*q.
# statsmodels' MixedLM loops over the groups in Python for every likelihood and
# score evaluation, each step a few NumPy products over the group's rows, so its
# time follows rows and groups, whichever grows more.
PEER_GROWTH = {
    "lme4": ("non-zeros of Z (n*q)", _growth_nonzeros),
    "mixedlm": ("rows or groups, whichever grows more", _growth_rows_or_groups),
}


def estimate(peer: str, history: list[dict], meta: dict) -> tuple[float, str] | None:
    """Why a peer cannot finish on this scenario, from its earlier runs, or None.

    A run that timed out on a problem no larger in rows, groups and q is itself
    the evidence; otherwise the largest finished run no larger in rows and
    groups is scaled by the peer's growth rule, if it has one.
    """
    no_larger = [h for h in history if h["n"] <= meta["n"] and h["m"] <= meta["m"]]
    for h in no_larger:
        if h["status"] == "timeout" and h["q"] <= meta["q"]:
            return float("inf"), (f"it timed out at {PEER_TIMEOUT_S/60:.0f} min on scenario {h['key']}, "
                                  "which is no larger")
    done = [h for h in no_larger if h["status"] == "ok"]
    if not done:
        return None
    label, growth = PEER_GROWTH[peer]
    ref = max(done, key=lambda h: (h["n"], h["m"]))
    factor = growth(ref, meta)
    est = ref["seconds"] * factor
    return est, (f"estimated {est:,.0f} s from its {ref['seconds']:.0f} s on scenario {ref['key']} "
                 f"x {factor:.1f}, the growth in {label}")


def run_peer(peer: str, s: scenarios.Scenario, data: Path, meta: dict, args, env: dict,
             history: list[dict]) -> dict:
    if not peer_installed(peer, env):
        return {"status": "not installed"}
    if args.no_peers:
        return {"status": "skipped", "detail": "--no-peers"}
    if args.quick and s.key not in QUICK_PEER_SCENARIOS:
        return {"status": "skipped", "detail": "quick mode runs peers on scenarios 1 and 2 only"}
    est = estimate(peer, history, meta)
    if est and est[0] > args.peer_timeout:
        return {"status": "skipped", "detail": f"would exceed {args.peer_timeout/60:.0f} min ({est[1]})"}
    log(f"  {peer} ...")
    res = run_json(peer_command(peer, data), timeout=args.peer_timeout)
    if res["status"] in ("ok", "timeout"):
        history.append({"key": s.key, "n": meta["n"], "m": meta["m"], "q": meta["q"],
                        "status": res["status"], "seconds": res.get("seconds")})
    if res["status"] == "ok":
        log(f"  {peer}: {res['seconds']:.3f} s, criterion {res['criterion']:.10g}")
    else:
        log(f"  {peer}: {res['status']} {res.get('detail', '')}")
    return res


# --------------------------------------------------------------------------- one scenario


def bench_scenario(s: scenarios.Scenario, args, env: dict, histories: dict) -> dict:
    t0 = time.perf_counter()
    data = scenarios.ensure(s, args.data_dir)
    meta, _ = json.loads((data / "meta.json").read_text()), None
    log(f"scenario {s.key}: {s.title} (data ready in {time.perf_counter() - t0:.1f} s)")
    reps = ["--repeats", str(args.repeats), "--fit-repeats", str(args.fit_repeats)]
    rounds = {1: [], 2: []}
    # Thread counts alternate over the rounds, so a burst of load from elsewhere
    # is less likely to fall on every run of one thread count. A pair of rounds
    # during which other processes kept a core busy is repeated (after a pause)
    # until one pair ran on a quiet machine or the extra rounds are used up;
    # every round counts towards the best times and its load is reported.
    extra = 0
    while True:
        for threads in (1, 2):
            r = worker("timing", data, threads, reps)
            rounds[threads].append(r)
            log(f"  ours, {threads} thread(s): construct {r['construct_s']*1e3:.1f} ms, whole fit "
                f"{r['whole_fit_s']*1e3:.1f} ms, {r['fit']['fev']} evaluations, others' load "
                f"{r['evals_other_load']:.2f} cores")
        done = len(rounds[1]) >= args.rounds
        quiet = any(max(a["evals_other_load"], b["evals_other_load"]) <= QUIET_LOAD
                    for a, b in zip(rounds[1], rounds[2]))
        if done and (quiet or extra >= args.extra_rounds):
            break
        if done:
            extra += 1
            log(f"  other processes were busy; extra round {extra} of {args.extra_rounds} in "
                f"{RETRY_PAUSE_S:.0f} s")
            time.sleep(RETRY_PAUSE_S)
    timing = {t: merge_rounds(rs) for t, rs in rounds.items()}
    mem = worker("memory", data, 2)
    out = {"scenario": s.__dict__ | {"tag": s.tag}, "meta": meta, "input_bytes": scenarios.input_bytes(meta),
           "timing": timing, "memory": mem, "peers": {}}
    earlier = args.earlier_peers.get(s.tag, {})
    for peer in ("lme4", "mixedlm"):
        prev = earlier.get(peer)
        if prev and not args.no_peers and (prev["status"] in ("ok", "timeout") or (
                prev["status"] == "skipped" and prev.get("detail", "").startswith("would exceed"))):
            out["peers"][peer] = dict(prev, reused_from=args.peers_from_date)
            if prev["status"] in ("ok", "timeout"):
                histories[peer].append({"key": s.key, "n": meta["n"], "m": meta["m"], "q": meta["q"],
                                        "status": prev["status"], "seconds": prev.get("seconds")})
            log(f"  {peer}: reused from the run of {args.peers_from_date}")
            continue
        out["peers"][peer] = run_peer(peer, s, data, meta, args, env, histories[peer])
    return out


def merge_rounds(rs: list[dict]) -> dict:
    """The best of each timing over the rounds of one thread count.

    The fit block is kept whole from the round with the fastest whole fit, so
    its parts add up. Bits must agree across rounds: a process-to-process
    difference would be non-determinism, which is recorded, not hidden.
    """
    out = json.loads(json.dumps(rs[0]))
    for key in ("plain_pass_s", "construct_s", "construct_sorted_s"):
        out[key] = min(r[key] for r in rs)
    for ev in out["evals"]:
        for key in ("deviance_s", "deviance_grad_s"):
            out["evals"][ev][key] = min(r["evals"][ev][key] for r in rs)
    fastest = min(rs, key=lambda r: r["whole_fit_s"])
    out["whole_fit_s"], out["fit"] = fastest["whole_fit_s"], fastest["fit"]
    out["evals_other_load"] = [r["evals_other_load"] for r in rs]
    out["fit_other_load"] = [r["fit_other_load"] for r in rs]
    out["stable_across_rounds"] = all(
        r["fit"]["bits"] == rs[0]["fit"]["bits"]
        and all(r["evals"][ev]["bits"] == rs[0]["evals"][ev]["bits"] for ev in r["evals"]) for r in rs)
    return out


def bench_balanced_reference(args) -> dict:
    s = scenarios.balanced_reference()
    data = scenarios.ensure(s, args.data_dir)
    log(f"reference: {s.title}")
    reps = ["--repeats", str(max(args.repeats, 20)), "--fit-repeats", "1"]
    return {t: merge_rounds([worker("timing", data, t, reps)]) for t in (1, 2)}


# --------------------------------------------------------------------------- report


def fmt_s(sec: float | None) -> str:
    if sec is None:
        return "—"
    if sec >= 1:
        return f"{sec:.2f} s"
    if sec >= 1e-3:
        return f"{sec*1e3:.3g} ms" if sec < 0.1 else f"{sec*1e3:.0f} ms"
    return f"{sec*1e6:.3g} µs"


def fmt_ratio(x: float | None, digits: int = 3) -> str:
    if x is None:
        return "—"
    return f"{x:,.0f}×" if x >= 100 else f"{x:.{digits}g}×"


def mb(b: float) -> str:
    return f"{b/1e6:,.0f} MB" if b >= 1e7 else f"{b/1e6:.2g} MB"


def peer_cell(res: dict) -> str:
    st = res["status"]
    if st == "ok":
        return fmt_s(res["seconds"])
    if st == "not installed":
        return "not installed"
    if st == "timeout":
        return f"timed out (> {PEER_TIMEOUT_S/60:.0f} min)"
    if st == "skipped":
        return "skipped"
    return "failed"


def identical(t1: dict, t2: dict) -> dict:
    """Bit-for-bit agreement of every reported float between the 1- and 2-thread runs."""
    res = {ev: t1["evals"][ev]["bits"] == t2["evals"][ev]["bits"] for ev in t1["evals"]}
    res["fit"] = t1["fit"]["bits"] == t2["fit"]["bits"]
    stable = t1.get("stable_across_rounds", True) and t2.get("stable_across_rounds", True)
    return {k: v and stable for k, v in res.items()}


def others(t: dict, key: str = "evals_other_load") -> str:
    return ", ".join(f"{v:.2f}" for v in t[key])


def speedups(sc: dict) -> dict:
    t1, t2 = sc["timing"][1], sc["timing"][2]
    return {ev: {"deviance": t1["evals"][ev]["deviance_s"] / t2["evals"][ev]["deviance_s"],
                 "deviance_grad": t1["evals"][ev]["deviance_grad_s"] / t2["evals"][ev]["deviance_grad_s"]}
            for ev in t1["evals"]}


def scales_with_m(sc: dict, ev: str) -> bool:
    """Whether an evaluator's per-evaluation work grows with the number of groups.

    The aggregated kernel works per Z_i'Z_i class, so on a design with a
    handful of classes its cost is independent of m and threads have nothing
    to split.
    """
    if ev != "aggregated":
        return True
    return (sc["timing"][2]["evals"][ev]["n_classes"] or 0) >= TARGETS["thread_speedup_min_m"]


def targets(results: dict) -> list[tuple[str, str, str]]:
    rows = []
    sc = results["scenarios"]

    def status(ok: bool | None) -> str:
        return "n/a" if ok is None else ("**met**" if ok else "**missed**")

    # Scenario 2 against the peers.
    if "2" in sc:
        ours = sc["2"]["timing"][2]["whole_fit_s"]
        for peer, key, label in (("lme4", "speed_vs_lme4", "lme4"), ("mixedlm", "speed_vs_mixedlm", "MixedLM")):
            res = sc["2"]["peers"][peer]
            goal = TARGETS[key]
            if res["status"] == "ok":
                ratio = res["seconds"] / ours
                rows.append((f"Scenario 2: whole fit ≥ {goal:.0f}× faster than {label}",
                             f"{fmt_s(res['seconds'])} / {fmt_s(ours)} = {ratio:,.0f}×", status(ratio >= goal)))
            else:
                rows.append((f"Scenario 2: whole fit ≥ {goal:.0f}× faster than {label}",
                             f"{label}: {peer_cell(res)}", status(None)))
    # Scenario 4: time and memory.
    if "4" in sc:
        s4 = sc["4"]
        t = s4["timing"][2]["whole_fit_s"]
        rows.append((f"Scenario 4: whole fit ≤ {TARGETS['s4_whole_fit_s']:.0f} s on 2 threads",
                     f"{fmt_s(t)} ({fmt_s(s4['timing'][2]['fit']['construct_s'])} construction + "
                     f"{fmt_s(s4['timing'][2]['fit']['fit_s'])} fit)", status(t <= TARGETS["s4_whole_fit_s"])))
        m = s4["memory"]
        ratio = (m["peak"] - m["rss_before_load"]) / s4["input_bytes"]
        rows.append((f"Scenario 4: peak memory ≤ {TARGETS['s4_memory_ratio']}× the input arrays",
                     f"{mb(m['peak'] - m['rss_before_load'])} / {mb(s4['input_bytes'])} = {ratio:.2f}×",
                     status(ratio <= TARGETS["s4_memory_ratio"])))
    # Construction against the plain pass, every scenario.
    worst = []
    for k, r in sc.items():
        plain = min(r["timing"][t]["plain_pass_s"] for t in (1, 2))
        cons = min(r["timing"][t]["construct_s"] for t in (1, 2))
        worst.append((cons / plain, k))
    if worst:
        ok = all(x <= TARGETS["construct_vs_plain"] for x, _ in worst)
        detail = ", ".join(f"s{k}: {x:.1f}×" for x, k in worst)
        rows.append((f"Construction ≤ {TARGETS['construct_vs_plain']:.0f}× one plain pass over the inputs",
                     detail, status(ok)))
    # Threads: scenarios with m >= 100,000.
    big = {k: r for k, r in sc.items() if r["meta"]["m"] >= TARGETS["thread_speedup_min_m"]}
    if big:
        parts, ok_all, same_all = [], True, True
        for k, r in big.items():
            sp = speedups(r)
            same = identical(r["timing"][1], r["timing"][2])
            for ev, v in sp.items():
                if not scales_with_m(r, ev):
                    continue
                parts.append(f"s{k} {ev}: {v['deviance_grad']:.2f}×")
                ok_all &= v["deviance_grad"] >= TARGETS["thread_speedup"]
            same_all &= all(same.values())
        load = max(max(r["timing"][2]["evals_other_load"]) for r in big.values())
        quiet = min(min(r["timing"][2]["evals_other_load"]) for r in big.values())
        rows.append((f"Evaluations with m ≥ 100,000: ≥ {TARGETS['thread_speedup']}× faster on 2 threads "
                     "(deviance_grad), identical results",
                     "; ".join(parts) + f"; bit-identical: {'yes' if same_all else 'NO'}; other processes used "
                     f"{quiet:.2f}–{load:.2f} cores during the 2-thread timings",
                     status(ok_all and same_all)))
    else:
        rows.append(("Evaluations with m ≥ 100,000 faster on 2 threads", "no scenario with m ≥ 100,000 run",
                     status(None)))
    # Scenario 5 against the same design with 1,000 groups.
    if "5" in sc and results.get("balanced_reference"):
        ref = results["balanced_reference"]
        s5 = sc["5"]["timing"]
        cells, ok = [], True
        for t in (1, 2):
            a = s5[t]["evals"]["aggregated"]["deviance_grad_s"]
            b = ref[t]["evals"]["aggregated"]["deviance_grad_s"]
            cells.append(f"{t} thread{'s' if t > 1 else ''}: {fmt_s(a)} vs {fmt_s(b)} ({a/b:.2f}×)")
            ok &= a / b <= TARGETS["balanced_vs_1000_groups"]
        rows.append((f"Scenario 5: one evaluation (aggregated, as auto picks: "
                     f"{s5[2]['auto_evaluator']}) within {TARGETS['balanced_vs_1000_groups']:.0f}× "
                     "of the same design with 1,000 groups", "; ".join(cells), status(ok)))
    return rows


def render(results: dict) -> str:
    env, sc = results["environment"], results["scenarios"]
    L = []
    L.append("# Benchmarks")
    L.append("")
    L.append(f"Reproduce with `{results['command']}` from the repository root"
             + ("" if results["quick"] else " (`--quick` for a run of a few minutes)")
             + f". This run: {results['date']}, "
             f"{results['elapsed_s']/60:.1f} min{', quick mode' if results['quick'] else ''}.")
    L.append("")
    L.append("## Machine")
    L.append("")
    L.append("| CPU | cores | memory | OS | Python | NumPy | quorvelkit | statsmodels | R | lme4 (Matrix) |")
    L.append("|---|---|---|---|---|---|---|---|---|---|")
    lme4 = f"{env['lme4']} ({env.get('matrix')})" if env.get("lme4") else "not installed"
    L.append(f"| {env['cpu']} | {env['cores']} | {env['memory_gib']} GiB | {env['os']} | {env['python']} | "
             f"{env['numpy']} | {env['quorvelkit']} ({env['commit']}) | {env['statsmodels'] or 'not installed'} | "
             f"{env['r'] or 'not installed'} | {lme4} |")
    L.append("")
    if env.get("extension_built"):
        L.append(f"Extension built {env['extension_built']}; `src/` last changed {env['src_changed']}"
                 + (" (**the installed build predates the latest source**)." if env["extension_stale"] else "."))
        L.append("")
    L.append("The machine is shared with other work; every timing of ours is the best of several "
             f"repeats in a fresh process, and peers are timed once. Load average at the start: "
             f"{results['loadavg_start']}, at the end: {results['loadavg_end']}.")
    L.append("")

    L.append("## Headline: the whole fit, construction included")
    L.append("")
    L.append("REML, default start, 2 threads for us; peers fit the same X, Z and grouping with their default "
             "optimisers. Ratio = peer time / our time; Δ = peer criterion − ours at the optimum "
             "(positive: the peer stopped higher).")
    L.append("")
    L.append("| # | scenario | n | m | p | q | ours | evals | lme4 | ratio | Δ lme4 | MixedLM | ratio | Δ MixedLM |")
    L.append("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for k, r in sc.items():
        me, s = r["meta"], r["scenario"]
        t2 = r["timing"][2]
        ours = t2["whole_fit_s"]
        cells = []
        for peer in ("lme4", "mixedlm"):
            p = r["peers"][peer]
            if p["status"] == "ok":
                cells += [fmt_s(p["seconds"]), fmt_ratio(p["seconds"] / ours),
                          f"{p['criterion'] - t2['fit']['deviance']:+.2e}"]
            else:
                cells += [peer_cell(p), "—", "—"]
        L.append(f"| {k} | {s['title']} | {me['n']:,} | {me['m']:,} | {me['p']} | {me['q']} | {fmt_s(ours)} | "
                 f"{t2['fit']['fev']} | " + " | ".join(cells) + " |")
    L.append("")

    L.append("## Targets")
    L.append("")
    L.append("| target | measured | status |")
    L.append("|---|---|---|")
    for a, b, c in targets(results):
        L.append(f"| {a} | {b} | {c} |")
    L.append("")

    L.append("## Construction")
    L.append("")
    L.append("Building the core (evaluator \"auto\") from the four arrays, against one plain NumPy pass "
             "(`y.sum(); x.sum(); z.sum(); codes.sum()`) over the same bytes. GB/s = input bytes / time. "
             "\"Sorted\" is the same rows reordered by group, 2 threads.")
    L.append("")
    L.append("| # | rows | input | plain pass | 1 thread | GB/s | × plain | 2 threads | GB/s | × plain | sorted | auto picks |")
    L.append("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|")
    for k, r in sc.items():
        ib = r["input_bytes"]
        plain = min(r["timing"][t]["plain_pass_s"] for t in (1, 2))
        cells = []
        for t in (1, 2):
            c = r["timing"][t]["construct_s"]
            cells += [fmt_s(c), f"{ib / c / 1e9:.2f}", f"{c / plain:.1f}×"]
        ap = r["timing"][2]["auto_evaluator"]
        nc = r["timing"][2]["n_classes"]
        L.append(f"| {k} | {r['scenario']['layout']} | {mb(ib)} | {fmt_s(plain)} | " + " | ".join(cells) +
                 f" | {fmt_s(r['timing'][2]['construct_sorted_s'])} | {ap}"
                 + (f" ({nc:,} class{'' if nc == 1 else 'es'})" if nc is not None else "") + " |")
    L.append("")

    L.append("## One evaluation, each evaluator")
    L.append("")
    L.append("At the default start theta. Speed-up = 1-thread time / 2-thread time. \"Identical\": every "
             "bit of the criterion and gradient equal between the two thread counts and across processes. "
             "\"Others\": CPU used by other processes on this shared machine while the 1- and 2-thread "
             "evaluations ran, in cores, one figure per round (a 2-thread timing with others near 1 core "
             "had one core, not two).")
    L.append("")
    L.append("| # | evaluator | classes | deviance 1T | 2T | speed-up | deviance_grad 1T | 2T | speed-up | identical | others 1T / 2T |")
    L.append("|---|---|---:|---:|---:|---:|---:|---:|---:|---|---|")
    for k, r in sc.items():
        sp = speedups(r)
        same = identical(r["timing"][1], r["timing"][2])
        for ev in r["timing"][1]["evals"]:
            e1, e2 = r["timing"][1]["evals"][ev], r["timing"][2]["evals"][ev]
            nc = e2["n_classes"]
            L.append(f"| {k} | {ev} | {'' if nc is None else f'{nc:,}'} | {fmt_s(e1['deviance_s'])} | "
                     f"{fmt_s(e2['deviance_s'])} | {sp[ev]['deviance']:.2f}× | {fmt_s(e1['deviance_grad_s'])} | "
                     f"{fmt_s(e2['deviance_grad_s'])} | {sp[ev]['deviance_grad']:.2f}× | "
                     f"{'yes' if same[ev] else 'NO'} | {others(r['timing'][1])} / {others(r['timing'][2])} |")
    if results.get("balanced_reference"):
        ref = results["balanced_reference"]
        e1, e2 = ref[1]["evals"]["aggregated"], ref[2]["evals"]["aggregated"]
        L.append(f"| 5 ref | aggregated, 1,000 groups of 10 | {e2['n_classes']} | {fmt_s(e1['deviance_s'])} | "
                 f"{fmt_s(e2['deviance_s'])} | — | {fmt_s(e1['deviance_grad_s'])} | {fmt_s(e2['deviance_grad_s'])} "
                 f"| — | — | {others(ref[1])} / {others(ref[2])} |")
    L.append("")

    L.append("## Whole fit")
    L.append("")
    L.append("Construction plus `fit(default_theta())`, best of the repeats; evaluations = criterion-and-gradient "
             "evaluations by the optimiser. \"Identical\": criterion, theta and beta bit-equal across thread counts.")
    L.append("")
    L.append("| # | threads | construction | fit | total | evaluations | iterations | REML criterion | converged | identical |")
    L.append("|---|---:|---:|---:|---:|---:|---:|---:|---|---|")
    for k, r in sc.items():
        same = identical(r["timing"][1], r["timing"][2])["fit"]
        for t in (1, 2):
            f = r["timing"][t]["fit"]
            L.append(f"| {k} | {t} | {fmt_s(f['construct_s'])} | {fmt_s(f['fit_s'])} | "
                     f"{fmt_s(r['timing'][t]['whole_fit_s'])} | {f['fev']} | {f['iterations']} | "
                     f"{f['deviance']:.10g} | {'yes' if f['converged'] else 'no'} ({f['message']}) | "
                     f"{'yes' if same else 'NO'} |")
    L.append("")

    L.append("## Peak memory")
    L.append("")
    L.append("A fresh 2-thread process loads the arrays, then constructs and fits. \"Data + model\" = peak RSS − "
             "RSS before loading (the interpreter, NumPy and the extension already loaded); "
             "\"model\" = peak RSS − RSS after loading.")
    L.append("")
    L.append("| # | input arrays | data + model | ÷ input | model alone | ÷ input |")
    L.append("|---|---:|---:|---:|---:|---:|")
    for k, r in sc.items():
        m, ib = r["memory"], r["input_bytes"]
        total = m["peak"] - m["rss_before_load"]
        model = max(0, m["peak"] - m["rss_after_load"])
        if ib < 1e6:  # page-granular RSS and allocator arenas swamp a kilobyte-sized input
            L.append(f"| {k} | {mb(ib)} | {mb(total)} | n/a | {mb(model)} | n/a |")
        else:
            L.append(f"| {k} | {mb(ib)} | {mb(total)} | {total/ib:.2f}× | {mb(model)} | {model/ib:.2f}× |")
    L.append("")

    L.append("## Peers")
    L.append("")
    L.append("Each fit runs in its own process after its data are loaded; only the fitting call is timed "
             "(lme4: `lmer()`, which includes its model-frame and sparse-matrix set-up; statsmodels: "
             "`MixedLM(...).fit(reml=True)`). Criterion: lme4 `REMLcrit()`, statsmodels −2·llf.")
    L.append("")
    L.append("| # | peer | result | criterion | ours | Δ | notes |")
    L.append("|---|---|---|---:|---:|---:|---|")
    for k, r in sc.items():
        ours = r["timing"][2]["fit"]["deviance"]
        for peer, label in (("lme4", "lme4 lmer"), ("mixedlm", "statsmodels MixedLM")):
            p = r["peers"][peer]
            if p["status"] == "ok":
                notes = []
                if p.get("feval") is not None:
                    notes.append(f"{p['feval']} evaluations ({p.get('optimizer')})")
                for msg in p.get("messages", [])[:2]:
                    notes.append("lme4: " + msg.replace("|", "/"))
                if "converged" in p and not p["converged"]:
                    notes.append("not converged")
                for w in p.get("warnings", [])[:2]:
                    notes.append(w.replace("|", "/"))
                if p.get("reused_from"):
                    notes.append(f"timed in the run of {p['reused_from']}")
                L.append(f"| {k} | {label} | {fmt_s(p['seconds'])} ({fmt_ratio(p['seconds'] / r['timing'][2]['whole_fit_s'])} ours) | "
                         f"{p['criterion']:.10g} | {ours:.10g} | {p['criterion'] - ours:+.2e} | {'; '.join(notes)} |")
            else:
                detail = p.get("detail", "") + (f" (run of {p['reused_from']})" if p.get("reused_from") else "")
                L.append(f"| {k} | {label} | {peer_cell(p)} | — | {ours:.10g} | — | {detail} |")
    L.append("")
    for note in results.get("notes", []):
        L.append(f"- {note}")
    return "\n".join(L) + "\n"


# --------------------------------------------------------------------------- main


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="smaller scenarios, peers on 1 and 2 only")
    ap.add_argument("--scenarios", default="1,2,3,4,5,6", help="comma-separated scenario numbers")
    ap.add_argument("--no-peers", action="store_true", help="skip lme4 and MixedLM")
    ap.add_argument("--output", type=Path, help="markdown report (default results.md, quick: results-quick.md)")
    ap.add_argument("--data-dir", type=Path, default=scenarios.DEFAULT_CACHE, help="where generated data are kept")
    ap.add_argument("--peer-timeout", type=float, default=PEER_TIMEOUT_S)
    ap.add_argument("--repeats", type=int, default=None, help="repeats per timing (best is kept)")
    ap.add_argument("--fit-repeats", type=int, default=None)
    ap.add_argument("--rounds", type=int, default=None,
                    help="timing processes per thread count, alternating (best is kept)")
    ap.add_argument("--extra-rounds", type=int, default=4,
                    help="rounds added when other processes loaded the machine during every round")
    ap.add_argument("--peers-from", type=Path,
                    help="reuse the peer results of an earlier results .json for scenarios of the same data")
    args = ap.parse_args()
    args.repeats = args.repeats or (5 if args.quick else 9)
    args.rounds = args.rounds or (1 if args.quick else 2)
    args.fit_repeats = args.fit_repeats or (2 if args.quick else 3)
    args.earlier_peers, args.peers_from_date = {}, None
    if args.peers_from:
        earlier = json.loads(args.peers_from.read_text())
        args.peers_from_date = earlier["date"]
        args.earlier_peers = {r["scenario"]["tag"]: r["peers"] for r in earlier["scenarios"].values()}
    out_md = args.output or HERE / ("results-quick.md" if args.quick else "results.md")
    keys = [int(k) for k in args.scenarios.split(",") if k.strip()]
    table = scenarios.scenarios(args.quick)
    unknown = [k for k in keys if k not in table]
    if unknown:
        ap.error(f"unknown scenario(s) {unknown}; choose from {sorted(table)}")

    t_start = time.perf_counter()
    env = environment()
    log(f"machine: {env['cpu']}, {env['cores']} cores; quorvelkit {env['quorvelkit']} ({env['commit']})")
    cmd = "python benchmarks/run.py" + (" --quick" if args.quick else "")
    if args.scenarios != ap.get_default("scenarios"):
        cmd += f" --scenarios {args.scenarios}"
    if args.no_peers:
        cmd += " --no-peers"
    if args.peers_from:
        cmd += f" --peers-from {args.peers_from}"
    results = {"command": cmd, "quick": args.quick, "environment": env, "targets": TARGETS,
               "date": dt.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"), "scenarios": {}}
    results["loadavg_start"] = " ".join(f"{v:.2f}" for v in os.getloadavg())
    histories = {"lme4": [], "mixedlm": []}
    for k in keys:
        results["scenarios"][str(k)] = bench_scenario(table[k], args, env, histories)
    if 5 in keys:
        results["balanced_reference"] = bench_balanced_reference(args)
    results["elapsed_s"] = time.perf_counter() - t_start
    results["loadavg_end"] = " ".join(f"{v:.2f}" for v in os.getloadavg())
    results["notes"] = notes(results)
    # JSON keys are strings; the report indexes thread counts as ints until here.
    text = render(results)
    out_md.write_text(text)
    out_md.with_suffix(".json").write_text(json.dumps(results, indent=1, default=str) + "\n")
    print(text)
    log(f"wrote {out_md} and {out_md.with_suffix('.json').name} in {results['elapsed_s']/60:.1f} min")


def notes(results: dict) -> list[str]:
    env = results["environment"]
    out = [
        "Data: seeded synthetic arrays from `benchmarks/scenarios.py` (scenario 1 is the real sleepstudy data); "
        "each scenario's rows are ordered as its \"rows\" column says.",
        "Threads: our worker pool is sized by RAYON_NUM_THREADS, read once per process, so each thread count is "
        "a separate process. Peers run with their defaults: R's BLAS is "
        f"{env.get('r_blas') or 'unknown'}; NumPy's BLAS may use both cores.",
        "Peers are run only where they can finish within the timeout; a skip gives the evidence "
        "(a timed-out run on a problem no larger, or a finished smaller run scaled by what the peer's work "
        "grows with: n*q for lme4, rows or groups for MixedLM).",
    ]
    reused = sorted({p["reused_from"] for r in results["scenarios"].values() for p in r["peers"].values()
                     if p.get("reused_from")})
    if reused:
        out.append(f"Peer results marked so were timed in the run of {', '.join(reused)} on the same data "
                   "(`--peers-from`); everything of ours was measured in this run.")
    if env.get("openblas_env"):
        out.append(f"OpenBLAS environment in force: {env['openblas_env']}.")
    return out


if __name__ == "__main__":
    main()
