"""The benchmark suite: one command, a markdown report, the same table printed.

    python benchmarks/run.py                 # full run, writes benchmarks/results.md
    python benchmarks/run.py --quick         # a few minutes, writes benchmarks/results-quick.md
    python benchmarks/run.py --scenarios 2,4 --no-peers
    python benchmarks/run.py --render benchmarks/results.json   # the report again, from a run's .json

This file holds the run itself: the scenario loop, the timing rounds and how
they merge, the command line. Around it: ``scenarios.py`` makes the data,
``processes.py`` runs each measurement in a fresh process (``worker.py`` for
ours), ``peers.py`` starts lme4 and MixedLM or says why not, ``environment.py``
records the machine and versions, and ``report.py`` renders the report from
the results alone. ``user_calls.py`` is the companion benchmark of the user's
call (a formula on a data frame).

Durations on the project's shared 2-core machine: the full run about 30 minutes;
``--quick`` a few minutes (2 and 4 measured), of which about one is measuring and
the rest pauses: a pair of timing rounds during which other processes kept a
core busy is repeated after 20 s, up to ``--extra-rounds`` (4) times per scenario.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import environment  # noqa: E402
import report  # noqa: E402
import scenarios  # noqa: E402
from peers import PEER_TIMEOUT_S, PEERS, remember, run_peer  # noqa: E402
from processes import log, worker  # noqa: E402
from targets import TARGETS  # noqa: E402

# Other processes' CPU use, in cores, below which a timing round counts as quiet.
QUIET_LOAD = 0.25
RETRY_PAUSE_S = 20.0


# --------------------------------------------------------------------------- one scenario


def timing_rounds(data: Path, args) -> dict[int, list[dict]]:
    """Timing processes of ours on 1 and 2 threads, alternating, until one pair ran quiet.

    Thread counts alternate over the rounds, so a burst of load from elsewhere
    is less likely to fall on every run of one thread count. A pair of rounds
    during which other processes kept a core busy is repeated (after a pause)
    until one pair ran on a quiet machine or the extra rounds are used up;
    every round counts towards the best times and its load is reported.
    """
    reps = ["--repeats", str(args.repeats), "--fit-repeats", str(args.fit_repeats)]
    rounds = {1: [], 2: []}
    extra = 0
    while True:
        for threads in (1, 2):
            r = worker("timing", data, threads, reps)
            rounds[threads].append(r)
            log(
                f"  ours, {threads} thread(s): construct {r['construct_s'] * 1e3:.1f} ms, whole fit "
                f"{r['whole_fit_s'] * 1e3:.1f} ms, {r['fit']['fev']} evaluations, others' load "
                f"{r['evals_other_load']:.2f} cores"
            )
        done = len(rounds[1]) >= args.rounds
        quiet = any(
            max(a["evals_other_load"], b["evals_other_load"]) <= QUIET_LOAD
            for a, b in zip(rounds[1], rounds[2], strict=False)
        )
        if done and (quiet or extra >= args.extra_rounds):
            return rounds
        if done:
            extra += 1
            log(f"  other processes were busy; extra round {extra} of {args.extra_rounds} in {RETRY_PAUSE_S:.0f} s")
            time.sleep(RETRY_PAUSE_S)


def reusable(prev: dict | None) -> bool:
    """Whether an earlier run's peer result stands for this one (``--peers-from``): a
    time, a timeout, or a skip for being out of reach, never a skip by choice."""
    return bool(prev) and (
        prev["status"] in ("ok", "timeout")
        or (prev["status"] == "skipped" and prev.get("detail", "").startswith("would exceed"))
    )


def bench_scenario(s: scenarios.Scenario, args, env: dict, histories: dict) -> dict:
    """Every measurement of one scenario: our timings and memory, then the peers."""
    t0 = time.perf_counter()
    data = scenarios.ensure(s, args.data_dir)
    meta = json.loads((data / "meta.json").read_text())
    log(f"scenario {s.key}: {s.title} (data ready in {time.perf_counter() - t0:.1f} s)")
    timing = {t: merge_rounds(rs) for t, rs in timing_rounds(data, args).items()}
    mem = worker("memory", data, 2)
    out = {
        "scenario": s.__dict__ | {"tag": s.tag},
        "meta": meta,
        "input_bytes": scenarios.input_bytes(meta),
        "timing": timing,
        "memory": mem,
        "peers": {},
    }
    earlier = args.earlier_peers.get(s.tag, {})
    for peer in PEERS:
        prev = earlier.get(peer)
        if not args.no_peers and reusable(prev):
            out["peers"][peer] = dict(prev, reused_from=args.peers_from_date)
            remember(histories[peer], s.key, meta, prev)
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
        and all(r["evals"][ev]["bits"] == rs[0]["evals"][ev]["bits"] for ev in r["evals"])
        for r in rs
    )
    return out


def bench_balanced_reference(args) -> dict:
    s = scenarios.balanced_reference()
    data = scenarios.ensure(s, args.data_dir)
    log(f"reference: {s.title}")
    reps = ["--repeats", str(max(args.repeats, 20)), "--fit-repeats", "1"]
    return {t: merge_rounds([worker("timing", data, t, reps)]) for t in (1, 2)}


def parse_args() -> argparse.Namespace:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="smaller scenarios, peers on 1 and 2 only")
    ap.add_argument("--scenarios", default="1,2,3,4,5,6", help="comma-separated scenario numbers")
    ap.add_argument("--no-peers", action="store_true", help="skip lme4 and MixedLM")
    ap.add_argument("--output", type=Path, help="markdown report (default results.md, quick: results-quick.md)")
    ap.add_argument("--data-dir", type=Path, default=scenarios.DEFAULT_CACHE, help="where generated data are kept")
    ap.add_argument("--peer-timeout", type=float, default=PEER_TIMEOUT_S)
    ap.add_argument("--repeats", type=int, default=None, help="repeats per timing (best is kept)")
    ap.add_argument("--fit-repeats", type=int, default=None)
    ap.add_argument(
        "--rounds", type=int, default=None, help="timing processes per thread count, alternating (best is kept)"
    )
    ap.add_argument(
        "--extra-rounds",
        type=int,
        default=4,
        help="rounds added when other processes loaded the machine during every round",
    )
    ap.add_argument(
        "--peers-from",
        type=Path,
        help="reuse the peer results of an earlier results .json for scenarios of the same data",
    )
    ap.add_argument(
        "--render",
        type=Path,
        metavar="JSON",
        help="measure nothing: render the report of an earlier run's .json again "
        "(to --output, default the .json's name with .md)",
    )
    args = ap.parse_args()
    args.repeats = args.repeats or (5 if args.quick else 9)
    args.rounds = args.rounds or (1 if args.quick else 2)
    args.fit_repeats = args.fit_repeats or (2 if args.quick else 3)
    args.earlier_peers, args.peers_from_date = {}, None
    if args.peers_from:
        earlier = json.loads(args.peers_from.read_text())
        args.peers_from_date = earlier["date"]
        args.earlier_peers = {r["scenario"]["tag"]: r["peers"] for r in earlier["scenarios"].values()}
    args.keys = [int(k) for k in args.scenarios.split(",") if k.strip()]
    unknown = [k for k in args.keys if k not in scenarios.scenarios(args.quick)]
    if unknown:
        ap.error(f"unknown scenario(s) {unknown}; choose from {sorted(scenarios.scenarios(args.quick))}")
    cmd = "python benchmarks/run.py" + (" --quick" if args.quick else "")
    if args.scenarios != ap.get_default("scenarios"):
        cmd += f" --scenarios {args.scenarios}"
    if args.no_peers:
        cmd += " --no-peers"
    if args.peers_from:
        cmd += f" --peers-from {args.peers_from}"
    args.command = cmd
    return args


def main() -> None:
    args = parse_args()
    if args.render:
        out_md = args.output or args.render.with_suffix(".md")
        out_md.write_text(report.render(report.from_json(args.render.read_text())))
        log(f"wrote {out_md}")
        return
    out_md = args.output or HERE / ("results-quick.md" if args.quick else "results.md")
    table = scenarios.scenarios(args.quick)

    t_start = time.perf_counter()
    env = environment.capture()
    log(f"machine: {env['cpu']}, {env['cores']} cores; quorvelkit {env['quorvelkit']} ({env['commit']})")
    results = {
        "command": args.command,
        "quick": args.quick,
        "environment": env,
        "targets": TARGETS,
        "date": environment.now(),
        "scenarios": {},
    }
    results["loadavg_start"] = " ".join(f"{v:.2f}" for v in os.getloadavg())
    histories = {peer: [] for peer in PEERS}
    for k in args.keys:
        results["scenarios"][str(k)] = bench_scenario(table[k], args, env, histories)
    if 5 in args.keys:
        results["balanced_reference"] = bench_balanced_reference(args)
    results["elapsed_s"] = time.perf_counter() - t_start
    results["loadavg_end"] = " ".join(f"{v:.2f}" for v in os.getloadavg())
    results["notes"] = report.notes(results)
    # The report is rendered from the .json's text, so it can always be rendered again from it.
    data = report.to_json(results)
    text = report.render(report.from_json(data))
    out_md.write_text(text)
    out_md.with_suffix(".json").write_text(data)
    print(text)
    log(f"wrote {out_md} and {out_md.with_suffix('.json').name} in {results['elapsed_s'] / 60:.1f} min")


if __name__ == "__main__":
    main()
