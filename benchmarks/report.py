"""The markdown reports, rendered from a run's results alone.

A report is a pure function of the results a run writes to its .json: the runs
render the results as read back from that text, so any committed report can be
rendered again from the .json beside it, byte for byte.
"""

from __future__ import annotations

import json

from cells import fmt_ratio, fmt_s, mb, peer_cell
from targets import identical, speedups, verdicts

# How long `run.py --quick` takes, as the README and run.py's docstring also say:
# measured at 2 and 4 minutes on this project's shared 2-core machine, about one
# of measuring and the rest 20 s pauses before rounds repeated for other
# processes' load (up to 4 per scenario).
QUICK_DURATION = "a few minutes"
# The call may cost at most this multiple of the core's construction plus fit.
OVERHEAD_TARGET = 1.5


def to_json(results: dict) -> str:
    return json.dumps(results, indent=1, default=str) + "\n"


def from_json(text: str) -> dict:
    """A run's results as written by ``to_json``, thread counts back to the ints the
    report indexes by (JSON object keys are strings)."""
    results = json.loads(text)
    for r in results.get("scenarios", {}).values():
        r["timing"] = {int(t): v for t, v in r["timing"].items()}
    if results.get("balanced_reference"):
        results["balanced_reference"] = {int(t): v for t, v in results["balanced_reference"].items()}
    return results


def others(t: dict, key: str = "evals_other_load") -> str:
    return ", ".join(f"{v:.2f}" for v in t[key])


# --------------------------------------------------------------------------- the suite's report

# The opening of each section of the suite's report: its heading, the paragraph that says
# what the table holds (wrapped here, printed as one line) and the table's header (wrapped
# likewise) and alignment rule.
HEADS = """
## Headline: the whole fit, construction included
REML, default start, 2 threads for us; peers fit the same X, Z and grouping with their default
optimisers. Ratio = peer time / our time; Δ = peer criterion − ours at the optimum (positive: the
peer stopped higher).
| # | scenario | n | m | p | q | ours | evals | lme4 | ratio | Δ lme4 | MixedLM | ratio | Δ MixedLM |
|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|
## Construction
Building the core (evaluator "auto") from the four arrays, against one plain NumPy pass (`y.sum();
x.sum(); z.sum(); codes.sum()`) over the same bytes. GB/s = input bytes / time. "Sorted" is the same
rows reordered by group, 2 threads.
| # | rows | input | plain pass | 1 thread | GB/s | × plain | 2 threads | GB/s | × plain | sorted | auto picks |
|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|
## One evaluation, each evaluator
At the default start theta. Speed-up = 1-thread time / 2-thread time. "Identical": every bit of the
criterion and gradient equal between the two thread counts and across processes. "Others": CPU used
by other processes on this shared machine while the 1- and 2-thread evaluations ran, in cores, one
figure per round (a 2-thread timing with others near 1 core had one core, not two).
| # | evaluator | classes | deviance 1T | 2T | speed-up | deviance_grad 1T | 2T | speed-up | identical | others
1T / 2T |
|---|---|---:|---:|---:|---:|---:|---:|---:|---|---|
## Whole fit
Construction plus `fit(default_theta())`, best of the repeats; evaluations = criterion-and-gradient
evaluations by the optimiser. "Identical": criterion, theta and beta bit-equal across thread counts.
| # | threads | construction | fit | total | evaluations | iterations | REML criterion | converged | identical |
|---|---:|---:|---:|---:|---:|---:|---:|---|---|
## Peak memory
A fresh 2-thread process loads the arrays, then constructs and fits. "Data + model" = peak RSS − RSS
before loading (the interpreter, NumPy and the extension already loaded); "model" = peak RSS − RSS
after loading.
| # | input arrays | data + model | ÷ input | model alone | ÷ input |
|---|---:|---:|---:|---:|---:|
## Peers
Each fit runs in its own process after its data are loaded; only the fitting call is timed (lme4:
`lmer()`, which includes its model-frame and sparse-matrix set-up; statsmodels:
`MixedLM(...).fit(reml=True)`). Criterion: lme4 `REMLcrit()`, statsmodels −2·llf.
| # | peer | result | criterion | ours | Δ | notes |
|---|---|---|---:|---:|---:|---|
"""


def _openings(text: str) -> dict[str, list[str]]:
    """Each section's opening lines by title, from ``HEADS``."""
    out = {}
    for block in text.strip().split("## ")[1:]:
        title, *lines = block.strip().split("\n")
        table = next(i for i, line in enumerate(lines) if line.startswith("|"))
        header, rule = " ".join(lines[table:-1]), lines[-1]
        out[title] = [f"## {title}", "", " ".join(lines[:table]), "", header, rule]
    return out


def _section(title: str) -> list[str]:
    """The opening lines of the report's section ``title`` (see ``HEADS``)."""
    return list(_OPENINGS[title])


_OPENINGS = _openings(HEADS)


def _machine(results: dict) -> list[str]:
    env = results["environment"]
    lme4 = f"{env['lme4']} ({env.get('matrix')})" if env.get("lme4") else "not installed"
    L = [
        "## Machine",
        "",
        "| CPU | cores | memory | OS | Python | NumPy | quorvelkit | statsmodels | R | lme4 (Matrix) |",
        "|---|---|---|---|---|---|---|---|---|---|",
        f"| {env['cpu']} | {env['cores']} | {env['memory_gib']} GiB | {env['os']} | {env['python']} | "
        f"{env['numpy']} | {env['quorvelkit']} ({env['commit']}) | {env['statsmodels'] or 'not installed'} | "
        f"{env['r'] or 'not installed'} | {lme4} |",
        "",
    ]
    if env.get("extension_built"):
        L.append(
            f"Extension built {env['extension_built']}; `src/` last changed {env['src_changed']}"
            + (" (**the installed build predates the latest source**)." if env["extension_stale"] else ".")
        )
        L.append("")
    L.append(
        "The machine is shared with other work; every timing of ours is the best of several "
        f"repeats in a fresh process, and peers are timed once. Load average at the start: "
        f"{results['loadavg_start']}, at the end: {results['loadavg_end']}."
    )
    L.append("")
    return L


def _headline(sc: dict) -> list[str]:
    L = _section("Headline: the whole fit, construction included")
    for k, r in sc.items():
        me, s = r["meta"], r["scenario"]
        t2 = r["timing"][2]
        ours = t2["whole_fit_s"]
        cells = []
        for peer in ("lme4", "mixedlm"):
            p = r["peers"][peer]
            if p["status"] == "ok":
                cells += [
                    fmt_s(p["seconds"]),
                    fmt_ratio(p["seconds"] / ours),
                    f"{p['criterion'] - t2['fit']['deviance']:+.2e}",
                ]
            else:
                cells += [peer_cell(p), "—", "—"]
        L.append(
            f"| {k} | {s['title']} | {me['n']:,} | {me['m']:,} | {me['p']} | {me['q']} | {fmt_s(ours)} | "
            f"{t2['fit']['fev']} | " + " | ".join(cells) + " |"
        )
    L.append("")
    return L


def _targets(results: dict) -> list[str]:
    L = ["## Targets", "", "| target | measured | status |", "|---|---|---|"]
    L += [f"| {a} | {b} | {c} |" for a, b, c in verdicts(results)]
    L.append("")
    return L


def _construction(sc: dict) -> list[str]:
    L = _section("Construction")
    for k, r in sc.items():
        ib = r["input_bytes"]
        plain = min(r["timing"][t]["plain_pass_s"] for t in (1, 2))
        cells = []
        for t in (1, 2):
            c = r["timing"][t]["construct_s"]
            cells += [fmt_s(c), f"{ib / c / 1e9:.2f}", f"{c / plain:.1f}×"]
        ap = r["timing"][2]["auto_evaluator"]
        nc = r["timing"][2]["n_classes"]
        L.append(
            f"| {k} | {r['scenario']['layout']} | {mb(ib)} | {fmt_s(plain)} | "
            + " | ".join(cells)
            + f" | {fmt_s(r['timing'][2]['construct_sorted_s'])} | {ap}"
            + (f" ({nc:,} class{'' if nc == 1 else 'es'})" if nc is not None else "")
            + " |"
        )
    L.append("")
    return L


def _evaluations(results: dict) -> list[str]:
    L = _section("One evaluation, each evaluator")
    for k, r in results["scenarios"].items():
        sp = speedups(r)
        same = identical(r["timing"][1], r["timing"][2])
        for ev in r["timing"][1]["evals"]:
            e1, e2 = r["timing"][1]["evals"][ev], r["timing"][2]["evals"][ev]
            nc = e2["n_classes"]
            L.append(
                f"| {k} | {ev} | {'' if nc is None else f'{nc:,}'} | {fmt_s(e1['deviance_s'])} | "
                f"{fmt_s(e2['deviance_s'])} | {sp[ev]['deviance']:.2f}× | {fmt_s(e1['deviance_grad_s'])} | "
                f"{fmt_s(e2['deviance_grad_s'])} | {sp[ev]['deviance_grad']:.2f}× | "
                f"{'yes' if same[ev] else 'NO'} | {others(r['timing'][1])} / {others(r['timing'][2])} |"
            )
    if results.get("balanced_reference"):
        ref = results["balanced_reference"]
        e1, e2 = ref[1]["evals"]["aggregated"], ref[2]["evals"]["aggregated"]
        L.append(
            f"| 5 ref | aggregated, 1,000 groups of 10 | {e2['n_classes']} | {fmt_s(e1['deviance_s'])} | "
            f"{fmt_s(e2['deviance_s'])} | — | {fmt_s(e1['deviance_grad_s'])} | {fmt_s(e2['deviance_grad_s'])} "
            f"| — | — | {others(ref[1])} / {others(ref[2])} |"
        )
    L.append("")
    return L


def _whole_fit(sc: dict) -> list[str]:
    L = _section("Whole fit")
    for k, r in sc.items():
        same = identical(r["timing"][1], r["timing"][2])["fit"]
        for t in (1, 2):
            f = r["timing"][t]["fit"]
            L.append(
                f"| {k} | {t} | {fmt_s(f['construct_s'])} | {fmt_s(f['fit_s'])} | "
                f"{fmt_s(r['timing'][t]['whole_fit_s'])} | {f['fev']} | {f['iterations']} | "
                f"{f['deviance']:.10g} | {'yes' if f['converged'] else 'no'} ({f['message']}) | "
                f"{'yes' if same else 'NO'} |"
            )
    L.append("")
    return L


def _memory(sc: dict) -> list[str]:
    L = _section("Peak memory")
    for k, r in sc.items():
        m, ib = r["memory"], r["input_bytes"]
        total = m["peak"] - m["rss_before_load"]
        model = max(0, m["peak"] - m["rss_after_load"])
        if ib < 1e6:  # page-granular RSS and allocator arenas swamp a kilobyte-sized input
            L.append(f"| {k} | {mb(ib)} | {mb(total)} | n/a | {mb(model)} | n/a |")
        else:
            L.append(f"| {k} | {mb(ib)} | {mb(total)} | {total / ib:.2f}× | {mb(model)} | {model / ib:.2f}× |")
    L.append("")
    return L


def _peer_notes(p: dict) -> str:
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
    return "; ".join(notes)


def _peers(sc: dict) -> list[str]:
    L = _section("Peers")
    for k, r in sc.items():
        ours = r["timing"][2]["fit"]["deviance"]
        for peer, label in (("lme4", "lme4 lmer"), ("mixedlm", "statsmodels MixedLM")):
            p = r["peers"][peer]
            if p["status"] == "ok":
                L.append(
                    f"| {k} | {label} | {fmt_s(p['seconds'])} "
                    f"({fmt_ratio(p['seconds'] / r['timing'][2]['whole_fit_s'])} ours) | "
                    f"{p['criterion']:.10g} | {ours:.10g} | {p['criterion'] - ours:+.2e} | {_peer_notes(p)} |"
                )
            else:
                detail = p.get("detail", "") + (f" (run of {p['reused_from']})" if p.get("reused_from") else "")
                L.append(f"| {k} | {label} | {peer_cell(p)} | — | {ours:.10g} | — | {detail} |")
    L.append("")
    return L


def render(results: dict) -> str:
    """The suite's report (results.md) of ``run.py``'s results."""
    sc = results["scenarios"]
    L = [
        "# Benchmarks",
        "",
        f"Reproduce with `{results['command']}` from the repository root"
        + ("" if results["quick"] else f" (`--quick` for a run of {QUICK_DURATION})")
        + f". This run: {results['date']}, "
        f"{results['elapsed_s'] / 60:.1f} min{', quick mode' if results['quick'] else ''}.",
        "",
    ]
    L += _machine(results)
    L += _headline(sc)
    L += _targets(results)
    L += _construction(sc)
    L += _evaluations(results)
    L += _whole_fit(sc)
    L += _memory(sc)
    L += _peers(sc)
    L += [f"- {note}" for note in results.get("notes", [])]
    return "\n".join(L) + "\n"


def notes(results: dict) -> list[str]:
    """The notes under the suite's report, recorded with the results."""
    env = results["environment"]
    out = [
        "Data: seeded synthetic arrays from `benchmarks/scenarios.py` (scenario 1 is the real sleepstudy data); "
        'each scenario\'s rows are ordered as its "rows" column says.',
        "Threads: our worker pool is sized by RAYON_NUM_THREADS, read once per process, so each thread count is "
        "a separate process. Peers run with their defaults: R's BLAS is "
        f"{env.get('r_blas') or 'unknown'}; NumPy's BLAS may use both cores.",
        "Peers are run only where they can finish within the timeout; a skip gives the evidence "
        "(a timed-out run on a problem no larger, or a finished smaller run scaled by what the peer's work "
        "grows with: n*q for lme4, rows or groups for MixedLM).",
    ]
    reused = sorted(
        {p["reused_from"] for r in results["scenarios"].values() for p in r["peers"].values() if p.get("reused_from")}
    )
    if reused:
        out.append(
            f"Peer results marked so were timed in the run of {', '.join(reused)} on the same data "
            "(`--peers-from`); everything of ours was measured in this run."
        )
    if env.get("openblas_env"):
        out.append(f"OpenBLAS environment in force: {env['openblas_env']}.")
    return out


# --------------------------------------------------------------------------- the user's-call report


def render_user_calls(results: dict) -> str:
    """The user's-call report (user_calls.md) of ``user_calls.py``'s results."""
    env = results["environment"]
    lines = [
        "# The user's call: a formula on a data frame",
        "",
        f"{results['date']}; {env['cpu']}, {env['cores']} cores; quorvelkit {env['quorvelkit']} "
        f"({env['commit']}), lme4 {env.get('lme4') or '—'}, statsmodels {env.get('statsmodels') or '—'}.",
        f"Command: `{results['command']}`.",
        "",
        "Times are the best of several runs, model matrices included. *core* is our construction "
        f"plus fit on the same model matrices; the call should cost at most {OVERHEAD_TARGET}× it. "
        "Ratio = peer time / our call; Δ = peer criterion − ours.",
        "",
        "| # | case | n | m | p | q | lmm call | core | call / core | evals | lme4 lmer | ratio | Δ lme4 "
        "| MixedLM | ratio | Δ MixedLM |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for key, r in results["cases"].items():
        o = r["ours"]
        row = [
            key,
            r["title"],
            f"{r['n']:,}",
            f"{r['m']:,}",
            o["p"],
            o["q"],
            fmt_s(o["call_s"]),
            fmt_s(o["core_s"]),
            f"{o['call_s'] / o['core_s']:.2f}",
            o["fev"],
        ]
        for peer in ("lme4", "mixedlm"):
            p = r["peers"].get(peer, {})
            if p.get("status") == "ok":
                row += [
                    fmt_s(p["seconds"]),
                    fmt_ratio(p["seconds"] / o["call_s"]),
                    f"{p['criterion'] - o['criterion']:+.1e}",
                ]
            else:
                row += [peer_cell(p) if p else "—", "—", "—"]
        lines.append("| " + " | ".join(str(v) for v in row) + " |")
    lines += ["", f"Elapsed: {results['elapsed_s'] / 60:.1f} min."]
    return "\n".join(lines) + "\n"
