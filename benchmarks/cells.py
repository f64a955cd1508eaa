"""How one figure is written in a report's table: a time, a ratio, a size, a peer's outcome.

Shared by both reports and the targets' verdicts, so a figure reads the same
wherever it appears.
"""

from __future__ import annotations

from peers import PEER_TIMEOUT_S


def fmt_s(sec: float | None) -> str:
    """A duration with three significant figures in the unit that suits it."""
    if sec is None:
        return "—"
    if sec >= 1:
        return f"{sec:.2f} s"
    if sec >= 1e-3:
        return f"{sec * 1e3:.3g} ms" if sec < 0.1 else f"{sec * 1e3:.0f} ms"
    return f"{sec * 1e6:.3g} µs"


def fmt_ratio(x: float | None, digits: int = 3) -> str:
    if x is None:
        return "—"
    return f"{x:,.0f}×" if x >= 100 else f"{x:.{digits}g}×"


def mb(b: float) -> str:
    return f"{b / 1e6:,.0f} MB" if b >= 1e7 else f"{b / 1e6:.2g} MB"


def peer_cell(res: dict) -> str:
    """A peer's time, or in one word why there is none."""
    st = res["status"]
    if st == "ok":
        return fmt_s(res["seconds"])
    if st == "not installed":
        return "not installed"
    if st == "timeout":
        return f"timed out (> {PEER_TIMEOUT_S / 60:.0f} min)"
    if st == "skipped":
        return "skipped"
    return "failed"
