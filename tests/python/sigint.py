"""SIGINT to this process from another thread after a delay: the Ctrl-C of the
interrupt tests' child scripts."""

from __future__ import annotations

import os
import signal
import threading
import time


def sigint_after(delay: float, sent: list[float] | None = None) -> threading.Thread:
    """Starts a thread that sleeps ``delay`` seconds, notes the time in ``sent`` and
    sends SIGINT to this process; returns the thread (started)."""

    def interrupt() -> None:
        time.sleep(delay)
        if sent is not None:
            sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=interrupt)
    thread.start()
    return thread
