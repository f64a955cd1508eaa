"""Measurements in processes of their own: start one, bound its time, read its one JSON line.

Every measurement runs in a fresh process: ours in ``worker.py`` (the core reads
its worker-pool size from RAYON_NUM_THREADS once per process, and peak RSS is a
per-process high-water mark), each peer fit in its own interpreter. A process
reports by printing one JSON object as its last line of output; anything else
is a failure, reported as such and never given a number.
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def log(msg: str) -> None:
    """Progress on stderr, so stdout carries only the report."""
    print(msg, file=sys.stderr, flush=True)


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
    proc = subprocess.Popen(
        cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=full_env, start_new_session=True
    )
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        return {"status": "timeout", "wall_s": time.perf_counter() - t0, "detail": f"killed after {timeout:.0f} s"}
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
    """One measurement of ours by ``worker.py`` on `threads` threads; a failure raises.

    Our own measurements have no excuse to fail, unlike a peer's, so a failed
    worker stops the run instead of leaving a hole in the report.
    """
    cmd = [sys.executable, str(HERE / "worker.py"), mode, str(data), *extra]
    res = run_json(cmd, env={"RAYON_NUM_THREADS": str(threads)})
    if res["status"] != "ok":
        raise RuntimeError(f"worker {mode} {data.name} threads={threads}: {res['detail']}")
    return res
