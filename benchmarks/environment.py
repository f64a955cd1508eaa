"""Where and when a run was made: machine, versions of ours and the peers, build age, commit.

A report is only worth what its context says: the same code on a busier machine,
or a stale build of the extension, gives other figures. Peers are probed the way
their own processes will import them, so a peer reported installed is one that
can run.
"""

from __future__ import annotations

import datetime as dt
import json
import os
import platform
import shutil
import subprocess
import sys
from pathlib import Path

import scenarios


def now() -> str:
    """The run's date, as the reports print it."""
    return dt.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")


def _cmd(cmd: list[str]) -> str | None:
    try:
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return r.stdout.strip() if r.returncode == 0 else None


def _cpu() -> str:
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
    return cpu


def machine_line() -> str:
    """The processor and the number of cores, as one line of a report."""
    return f"{_cpu()}, {os.cpu_count()} cores"


def _ours(env: dict) -> None:
    """Our version, when the extension was built and whether `src/` has changed since."""
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


def _peers(env: dict) -> None:
    """Versions of statsmodels, R, lme4, Matrix and R's BLAS; None where missing."""
    env["statsmodels"] = _cmd([sys.executable, "-c", "import statsmodels; print(statsmodels.__version__)"])
    if shutil.which("Rscript"):
        r = _cmd(
            [
                "Rscript",
                "-e",
                "suppressPackageStartupMessages(library(lme4)); cat(paste(R.version$major, "
                'R.version$minor, sep = "."), as.character(packageVersion("lme4")), '
                'as.character(packageVersion("Matrix")), extSoftVersion()[["BLAS"]])',
            ]
        )
        if r:
            parts = r.split()
            env.update(r=parts[0], lme4=parts[1], matrix=parts[2], r_blas=" ".join(parts[3:]) or None)
        else:
            env.update(r=_cmd(["Rscript", "-e", "cat(R.version.string)"]), lme4=None)
    else:
        env.update(r=None, lme4=None)


def capture() -> dict:
    """The run's environment, as the reports and the results .json record it."""
    import numpy as np

    mem_gib = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    env = {
        "cpu": _cpu(),
        "cores": os.cpu_count(),
        "memory_gib": round(mem_gib, 1),
        "os": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(),
        "numpy": np.__version__,
    }
    _ours(env)
    blas = {k: v for k, v in os.environ.items() if k.startswith("OPENBLAS")}
    env["openblas_env"] = blas or None
    _peers(env)
    return env


def write_results(output: str | Path, res: dict, text: str) -> None:
    """The report ``text`` at ``output`` and the results beside it as JSON (same name,
    .json), then the report on stdout."""
    out = Path(output)
    out.with_suffix(".json").write_text(json.dumps(res, indent=1) + "\n")
    out.write_text(text)
    print(text)
