"""The one timing rule of the benchmarks: the least wall time of several calls, since
other work on the machine only ever adds time."""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import Any


def best(fn: Callable[[], Any], repeats: int) -> tuple[float, Any]:
    """Least wall seconds over ``repeats`` calls of ``fn``, and what that fastest call returned."""
    fastest, out = float("inf"), None
    for _ in range(repeats):
        t0 = time.perf_counter()
        r = fn()
        t = time.perf_counter() - t0
        if t < fastest:
            fastest, out = t, r
        del r
    return fastest, out
