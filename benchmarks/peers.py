"""The peers, lme4 and statsmodels' MixedLM: how each is started, and when it is not run at all.

Each peer fit runs in its own process (``peers/``), loads its data before its
clock starts and is killed after ``--peer-timeout`` seconds. A peer that is
missing, fails, times out or is skipped is reported as such, never given a
number; a skip says why, with the evidence that the peer could not finish.
"""

from __future__ import annotations

import sys
from pathlib import Path

import scenarios
from processes import log, run_json

HERE = Path(__file__).resolve().parent
PEERS = ("lme4", "mixedlm")
PEER_TIMEOUT_S = 600.0
# Scenarios on which quick mode runs peers: both finish in seconds.
QUICK_PEER_SCENARIOS = {1, 2}


def command(peer: str, data: Path, formula: bool = False) -> list[str]:
    """The peer's process on a data directory: a scenario's model matrices, or with
    `formula` a user's-call case's data frame and formula."""
    if peer == "lme4":
        if formula:
            return ["Rscript", str(HERE / "peers" / "lmer_formula.R"), str(data)]
        scenarios.ensure_r_files(data)
        return ["Rscript", str(HERE / "peers" / "lmer.R"), str(data)]
    return [sys.executable, str(HERE / "peers" / "mixedlm.py"), *(["--formula"] if formula else []), str(data)]


def installed(peer: str, env: dict) -> bool:
    return bool(env.get("lme4") if peer == "lme4" else env.get("statsmodels"))


def not_run(peer: str, env: dict, no_peers: bool) -> dict | None:
    """The record of a peer that is not run whatever the problem, or None."""
    if not installed(peer, env):
        return {"status": "not installed"}
    if no_peers:
        return {"status": "skipped", "detail": "--no-peers"}
    return None


def run(peer: str, cmd: list[str], timeout: float) -> dict:
    """One fit by the peer, logged."""
    log(f"  {peer} ...")
    res = run_json(cmd, timeout=timeout)
    if res["status"] == "ok":
        log(f"  {peer}: {res['seconds']:.3f} s, criterion {res['criterion']:.10g}")
    else:
        log(f"  {peer}: {res['status']} {res.get('detail', '')}")
    return res


# --------------------------------------------------------------------------- skip rules


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
            return float("inf"), (
                f"it timed out at {PEER_TIMEOUT_S / 60:.0f} min on scenario {h['key']}, which is no larger"
            )
    done = [h for h in no_larger if h["status"] == "ok"]
    if not done:
        return None
    label, growth = PEER_GROWTH[peer]
    ref = max(done, key=lambda h: (h["n"], h["m"]))
    factor = growth(ref, meta)
    est = ref["seconds"] * factor
    return est, (
        f"estimated {est:,.0f} s from its {ref['seconds']:.0f} s on scenario {ref['key']} "
        f"x {factor:.1f}, the growth in {label}"
    )


def remember(history: list[dict], key: int, meta: dict, res: dict) -> None:
    """Adds a finished or timed-out run to the peer's history, the evidence for later skips."""
    if res["status"] in ("ok", "timeout"):
        history.append(
            {
                "key": key,
                "n": meta["n"],
                "m": meta["m"],
                "q": meta["q"],
                "status": res["status"],
                "seconds": res.get("seconds"),
            }
        )


def run_peer(peer: str, s: scenarios.Scenario, data: Path, meta: dict, args, env: dict, history: list[dict]) -> dict:
    """The peer on one scenario's model matrices, unless a rule says it is not run."""
    skip = not_run(peer, env, args.no_peers)
    if skip:
        return skip
    if args.quick and s.key not in QUICK_PEER_SCENARIOS:
        return {"status": "skipped", "detail": "quick mode runs peers on scenarios 1 and 2 only"}
    est = estimate(peer, history, meta)
    if est and est[0] > args.peer_timeout:
        return {"status": "skipped", "detail": f"would exceed {args.peer_timeout / 60:.0f} min ({est[1]})"}
    res = run(peer, command(peer, data), args.peer_timeout)
    remember(history, s.key, meta, res)
    return res
