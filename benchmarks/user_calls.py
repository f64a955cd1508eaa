"""The fit as a user makes it: a formula on a data frame, against lme4's ``lmer`` and
statsmodels' ``mixedlm`` on the same data frame.

    python benchmarks/user_calls.py            # writes benchmarks/user_calls.md and .json
    python benchmarks/user_calls.py --quick    # the 1M-row case cut to 100k rows
    python benchmarks/user_calls.py --cases 1,3 --no-peers
    python benchmarks/user_calls.py --render benchmarks/user_calls.json   # the report again
    python benchmarks/user_calls.py --cases 8,9,10 --name crossed_calls  # crossed factors

Every contender builds its own model matrices from the formula, so the times include
what each does with a data frame. Ours is ``quorvelkit.lmm(formula, df)`` whole; beside
it, the core alone (construction plus fit on the same model matrices), which the call
should cost little more than. Peers load the data before their clock starts and run in
processes of their own, killed after ``--peer-timeout`` seconds.

This file holds the run of the cases; the cases and their data are in ``frames.py``,
the measurement of ours in ``worker.py`` (mode ``call``), and processes, peers,
environment and report are shared with ``run.py``.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import environment  # noqa: E402
import frames  # noqa: E402
import peers  # noqa: E402
import report  # noqa: E402
import scenarios  # noqa: E402
from processes import log, worker  # noqa: E402


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--cases", default="1,4,5,6,7,2,3")
    ap.add_argument("--name", default="user_calls", help="the report's name (crossed_calls for cases 8-10)")
    ap.add_argument("--no-peers", action="store_true")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--peer-timeout", type=float, default=peers.PEER_TIMEOUT_S)
    ap.add_argument("--data-dir", type=Path, default=scenarios.DEFAULT_CACHE)
    ap.add_argument(
        "--render",
        type=Path,
        metavar="JSON",
        help="measure nothing: render the report of an earlier run's .json again (beside it, as .md)",
    )
    args = ap.parse_args()
    if args.render:
        out = args.render.with_suffix(".md")
        out.write_text(report.render_user_calls(report.from_json(args.render.read_text())))
        log(f"wrote {out}")
        return

    t_start = time.perf_counter()
    env = environment.capture()
    table = frames.cases(args.quick)
    results = {
        "command": "python benchmarks/user_calls.py"
        + (" --quick" if args.quick else "")
        + (f" --cases {args.cases} --name {args.name}" if args.name != "user_calls" else "")
        + (" --no-peers" if args.no_peers else ""),
        "date": environment.now(),
        "environment": env,
        "cases": {},
    }
    for k in (int(v) for v in args.cases.split(",")):
        c = table[k]
        d = frames.ensure(c, args.data_dir)
        log(f"case {k}: {c.title}")
        ours = worker("call", d, 2, ["--formula", c.formula, "--repeats", str(args.repeats)])
        log(f"  ours: call {ours['call_s']:.3f} s, core {ours['core_s']:.3f} s, {ours['fev']} evaluations")
        results["cases"][str(k)] = {
            "title": c.title,
            "n": c.n,
            "m": c.m,
            "formula": c.formula,
            "ours": ours,
            "peers": {
                peer: peers.not_run(peer, env, args.no_peers)
                or (
                    {"status": "not run", "detail": c.mixedlm_note}
                    if peer == "mixedlm" and c.mixedlm is None
                    else peers.run(peer, peers.command(peer, d, formula=True), args.peer_timeout)
                )
                for peer in peers.PEERS
            },
        }
    results["elapsed_s"] = time.perf_counter() - t_start
    out = HERE / (f"{args.name}-quick.md" if args.quick else f"{args.name}.md")
    data = report.to_json(results)
    text = report.render_user_calls(report.from_json(data))
    out.write_text(text)
    out.with_suffix(".json").write_text(data)
    print(text)


if __name__ == "__main__":
    main()
