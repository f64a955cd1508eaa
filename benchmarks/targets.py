"""The targets the suite holds the core to, and their verdicts on a run's results.

A run records the targets it was judged against (``results["targets"]``), and
verdicts are always read from that record, so an old run renders as it was
judged even after a target moves.
"""

from __future__ import annotations

from cells import fmt_s, mb, peer_cell

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


def identical(t1: dict, t2: dict) -> dict:
    """Bit-for-bit agreement of every reported float between the 1- and 2-thread runs."""
    res = {ev: t1["evals"][ev]["bits"] == t2["evals"][ev]["bits"] for ev in t1["evals"]}
    res["fit"] = t1["fit"]["bits"] == t2["fit"]["bits"]
    stable = t1.get("stable_across_rounds", True) and t2.get("stable_across_rounds", True)
    return {k: v and stable for k, v in res.items()}


def speedups(sc: dict) -> dict:
    """1-thread time / 2-thread time of one evaluation, per evaluator."""
    t1, t2 = sc["timing"][1], sc["timing"][2]
    return {
        ev: {
            "deviance": t1["evals"][ev]["deviance_s"] / t2["evals"][ev]["deviance_s"],
            "deviance_grad": t1["evals"][ev]["deviance_grad_s"] / t2["evals"][ev]["deviance_grad_s"],
        }
        for ev in t1["evals"]
    }


def scales_with_m(sc: dict, ev: str, min_m: int) -> bool:
    """Whether an evaluator's per-evaluation work grows with the number of groups.

    The aggregated kernel works per Z_i'Z_i class, so on a design with a
    handful of classes its cost is independent of m and threads have nothing
    to split.
    """
    if ev != "aggregated":
        return True
    return (sc["timing"][2]["evals"][ev]["n_classes"] or 0) >= min_m


def _status(ok: bool | None) -> str:
    return "n/a" if ok is None else ("**met**" if ok else "**missed**")


def _vs_peers(sc: dict, goals: dict) -> list[tuple[str, str, str]]:
    """Scenario 2 against the peers."""
    rows = []
    ours = sc["2"]["timing"][2]["whole_fit_s"]
    for peer, key, label in (("lme4", "speed_vs_lme4", "lme4"), ("mixedlm", "speed_vs_mixedlm", "MixedLM")):
        res = sc["2"]["peers"][peer]
        goal = goals[key]
        if res["status"] == "ok":
            ratio = res["seconds"] / ours
            rows.append(
                (
                    f"Scenario 2: whole fit ≥ {goal:.0f}× faster than {label}",
                    f"{fmt_s(res['seconds'])} / {fmt_s(ours)} = {ratio:,.0f}×",
                    _status(ratio >= goal),
                )
            )
        else:
            rows.append(
                (
                    f"Scenario 2: whole fit ≥ {goal:.0f}× faster than {label}",
                    f"{label}: {peer_cell(res)}",
                    _status(None),
                )
            )
    return rows


def _scenario_4(s4: dict, goals: dict) -> list[tuple[str, str, str]]:
    """Scenario 4: time and memory."""
    t = s4["timing"][2]["whole_fit_s"]
    m = s4["memory"]
    ratio = (m["peak"] - m["rss_before_load"]) / s4["input_bytes"]
    return [
        (
            f"Scenario 4: whole fit ≤ {goals['s4_whole_fit_s']:.0f} s on 2 threads",
            f"{fmt_s(t)} ({fmt_s(s4['timing'][2]['fit']['construct_s'])} construction + "
            f"{fmt_s(s4['timing'][2]['fit']['fit_s'])} fit)",
            _status(t <= goals["s4_whole_fit_s"]),
        ),
        (
            f"Scenario 4: peak memory ≤ {goals['s4_memory_ratio']}× the input arrays",
            f"{mb(m['peak'] - m['rss_before_load'])} / {mb(s4['input_bytes'])} = {ratio:.2f}×",
            _status(ratio <= goals["s4_memory_ratio"]),
        ),
    ]


def _construction(sc: dict, goals: dict) -> list[tuple[str, str, str]]:
    """Construction against the plain pass, every scenario."""
    worst = []
    for k, r in sc.items():
        plain = min(r["timing"][t]["plain_pass_s"] for t in (1, 2))
        cons = min(r["timing"][t]["construct_s"] for t in (1, 2))
        worst.append((cons / plain, k))
    if not worst:
        return []
    ok = all(x <= goals["construct_vs_plain"] for x, _ in worst)
    detail = ", ".join(f"s{k}: {x:.1f}×" for x, k in worst)
    return [(f"Construction ≤ {goals['construct_vs_plain']:.0f}× one plain pass over the inputs", detail, _status(ok))]


def _threads(sc: dict, goals: dict) -> list[tuple[str, str, str]]:
    """Threads: scenarios with m >= 100,000."""
    big = {k: r for k, r in sc.items() if r["meta"]["m"] >= goals["thread_speedup_min_m"]}
    if not big:
        return [("Evaluations with m ≥ 100,000 faster on 2 threads", "no scenario with m ≥ 100,000 run", _status(None))]
    parts, ok_all, same_all = [], True, True
    for k, r in big.items():
        sp = speedups(r)
        same = identical(r["timing"][1], r["timing"][2])
        for ev, v in sp.items():
            if not scales_with_m(r, ev, goals["thread_speedup_min_m"]):
                continue
            parts.append(f"s{k} {ev}: {v['deviance_grad']:.2f}×")
            ok_all &= v["deviance_grad"] >= goals["thread_speedup"]
        same_all &= all(same.values())
    load = max(max(r["timing"][2]["evals_other_load"]) for r in big.values())
    quiet = min(min(r["timing"][2]["evals_other_load"]) for r in big.values())
    return [
        (
            f"Evaluations with m ≥ 100,000: ≥ {goals['thread_speedup']}× faster on 2 threads "
            "(deviance_grad), identical results",
            "; ".join(parts) + f"; bit-identical: {'yes' if same_all else 'NO'}; other processes used "
            f"{quiet:.2f}–{load:.2f} cores during the 2-thread timings",
            _status(ok_all and same_all),
        )
    ]


def _balanced(s5: dict, ref: dict, goals: dict) -> list[tuple[str, str, str]]:
    """Scenario 5 against the same design with 1,000 groups."""
    cells, ok = [], True
    for t in (1, 2):
        a = s5[t]["evals"]["aggregated"]["deviance_grad_s"]
        b = ref[t]["evals"]["aggregated"]["deviance_grad_s"]
        cells.append(f"{t} thread{'s' if t > 1 else ''}: {fmt_s(a)} vs {fmt_s(b)} ({a / b:.2f}×)")
        ok &= a / b <= goals["balanced_vs_1000_groups"]
    return [
        (
            f"Scenario 5: one evaluation (aggregated, as auto picks: "
            f"{s5[2]['auto_evaluator']}) within {goals['balanced_vs_1000_groups']:.0f}× "
            "of the same design with 1,000 groups",
            "; ".join(cells),
            _status(ok),
        )
    ]


def verdicts(results: dict) -> list[tuple[str, str, str]]:
    """(target, measured, status) rows for every target the run's scenarios can judge."""
    sc, goals = results["scenarios"], results["targets"]
    rows = []
    if "2" in sc:
        rows += _vs_peers(sc, goals)
    if "4" in sc:
        rows += _scenario_4(sc["4"], goals)
    rows += _construction(sc, goals)
    rows += _threads(sc, goals)
    if "5" in sc and results.get("balanced_reference"):
        rows += _balanced(sc["5"]["timing"], results["balanced_reference"], goals)
    return rows
