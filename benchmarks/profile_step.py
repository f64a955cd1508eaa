"""Profile one step of the core on one scenario's data, the data loading left out.

    python benchmarks/profile_step.py construct 4                  # perf, 1 thread
    python benchmarks/profile_step.py deviance_grad 3 --threads 2 --evaluator blocks
    python benchmarks/profile_step.py construct 4 --quick --tool callgrind
    python benchmarks/profile_step.py construct 4 --module build/dev/_quorvelkit.abi3.so

``perf`` samples wall-clock time (cpu-clock, which works in guests without
hardware counters) and is switched on through its control FIFO only around the
timed step. ``callgrind`` counts instructions, repeatable on a busy machine;
its instrumentation is switched on from inside the process with
callgrind_control once the data are loaded.

The installed extension is stripped, so by default an unstripped build under
build/ with the same GNU build ID (the very same code) is loaded instead, and
the profile names functions; ``--module`` picks a build by hand.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import scenarios  # noqa: E402


def load_core(module: str | None):
    if not module:
        import quorvelkit

        return quorvelkit.LmmCore
    spec = importlib.util.spec_from_file_location("quorvelkit._quorvelkit", module)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod.LmmCore


def build_id(path: Path) -> str | None:
    r = subprocess.run(["readelf", "-n", str(path)], capture_output=True, text=True)
    for line in r.stdout.splitlines():
        if "Build ID" in line:
            return line.split(":", 1)[1].strip()
    return None


def unstripped_twin() -> str | None:
    """An unstripped build under build/ of exactly the installed extension, if any."""
    from quorvelkit import _quorvelkit

    want = build_id(Path(_quorvelkit.__file__))
    if not want or not shutil.which("readelf"):
        return None
    for cand in sorted((scenarios.REPO / "build").rglob("_quorvelkit*.so")):
        if (
            build_id(cand) == want
            and ".symtab" in subprocess.run(["readelf", "-S", str(cand)], capture_output=True, text=True).stdout
        ):
            return str(cand)
    return None


def child(args) -> None:
    LmmCore = load_core(args.module)
    meta, a = scenarios.load(Path(args.data))
    arrays = (a["y"], a["x"], a["z"], a["codes"], meta["m"])
    core = LmmCore(*arrays, evaluator=args.evaluator)
    theta = core.default_theta()
    if args.step == "construct":
        del core

        def step():
            LmmCore(*arrays, evaluator=args.evaluator)
    else:
        fn = getattr(core, args.step)
        step = (lambda: fn(theta)) if args.step != "fit" else (lambda: core.fit(theta))

    def control(on: bool) -> None:
        if args.tool == "perf":
            with open(args.ctl, "w") as ctl:
                ctl.write("enable\n" if on else "disable\n")
            with open(args.ack) as ack:
                ack.readline()
        else:
            subprocess.run(
                ["callgrind_control", "-i", "on" if on else "off", str(os.getpid())], check=True, capture_output=True
            )

    control(True)
    t0 = time.perf_counter()
    for _ in range(args.repeats):
        step()
    elapsed = (time.perf_counter() - t0) / args.repeats
    control(False)
    print(f"{args.step}: {elapsed * 1e3:.3f} ms per call ({args.repeats} calls, profiler attached)", file=sys.stderr)


def parent(args) -> None:
    table = scenarios.scenarios(args.quick)
    data = scenarios.ensure(table[args.scenario])
    env = dict(os.environ, RAYON_NUM_THREADS=str(args.threads))
    if not args.module:
        args.module = unstripped_twin()
        print(f"extension: {args.module or 'installed (stripped: functions may show as addresses)'}", file=sys.stderr)
    me = [
        sys.executable,
        str(Path(__file__).resolve()),
        "--child",
        args.step,
        str(args.scenario),
        "--data",
        str(data),
        "--evaluator",
        args.evaluator,
        "--repeats",
        str(args.repeats),
        "--tool",
        args.tool,
    ] + (["--module", str(Path(args.module).resolve())] if args.module else [])
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        if args.tool == "perf":
            if not shutil.which("perf"):
                sys.exit("perf is not installed (Debian: linux-perf)")
            ctl, ack = tmp / "ctl", tmp / "ack"
            os.mkfifo(ctl)
            os.mkfifo(ack)
            out = tmp / "perf.data"
            subprocess.run(
                [
                    "perf",
                    "record",
                    "-q",
                    "-e",
                    "cpu-clock",
                    "-D",
                    "-1",
                    "--control",
                    f"fifo:{ctl},{ack}",
                    "-o",
                    str(out),
                    "--",
                    *me,
                    "--ctl",
                    str(ctl),
                    "--ack",
                    str(ack),
                ],
                env=env,
                check=True,
            )
            report = subprocess.run(
                [
                    "perf",
                    "report",
                    "-i",
                    str(out),
                    "--stdio",
                    "--no-children",
                    "--percent-limit",
                    str(args.percent_limit),
                    "--sort",
                    "dso,symbol",
                ],
                capture_output=True,
                text=True,
                check=True,
            ).stdout
            print("\n".join(ln for ln in report.splitlines() if ln.strip() and not ln.startswith("#")))
            if args.keep:
                shutil.copy(out, args.keep)
        else:
            if not shutil.which("valgrind"):
                sys.exit("valgrind is not installed")
            out = tmp / "callgrind.out"
            subprocess.run(
                ["valgrind", "--tool=callgrind", "--instr-atstart=no", f"--callgrind-out-file={out}", *me],
                env=env,
                check=True,
            )
            report = subprocess.run(
                ["callgrind_annotate", "--inclusive=no", str(out)], capture_output=True, text=True, check=True
            ).stdout
            print("\n".join(report.splitlines()[:40]))
            if args.keep:
                shutil.copy(out, args.keep)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("step", choices=("construct", "deviance", "deviance_grad", "fit"))
    ap.add_argument("scenario", type=int)
    ap.add_argument("--quick", action="store_true", help="the quick-mode size of the scenario")
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--evaluator", default="auto")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--tool", choices=("perf", "callgrind"), default="perf")
    ap.add_argument("--module", help="path of an extension build to load instead of the installed one")
    ap.add_argument("--percent-limit", type=float, default=0.5)
    ap.add_argument("--keep", help="copy the raw profile here")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--data", help=argparse.SUPPRESS)
    ap.add_argument("--ctl", help=argparse.SUPPRESS)
    ap.add_argument("--ack", help=argparse.SUPPRESS)
    args = ap.parse_args()
    (child if args.child else parent)(args)


if __name__ == "__main__":
    main()
