"""A call under an address-space limit (RLIMIT_AS), in a forked child: the child hands
back the memory its allocator holds free (else a call could start without new address
space), limits its address space to what it holds plus `extra` bytes and makes the
call; an abort there is an outcome here, not the end of the test run."""

from __future__ import annotations

import ctypes
import os
import resource
from collections.abc import Callable
from typing import Any


def address_space() -> int:
    """The bytes of address space this process holds."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")


def limited(
    extra: int, call: Callable[[], Any], then: Callable[[], Any] | None = None, show: bool = False
) -> tuple[str, int]:
    """The outcome of `call` in a child limited to its address space plus `extra` bytes:
    "ok" (with `show`, "ok " and repr of its result), or "M:" and the MemoryError's
    message; with `then`, the limit lifted and
    " then " and repr(then()) appended (the process must still work). "died" when the
    child wrote nothing; with it the child's wait status."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        ctypes.CDLL("libc.so.6").malloc_trim(0)
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + extra, resource.RLIM_INFINITY))
        try:
            result = call()
            out = "ok " + repr(result) if show else "ok"
        except MemoryError as e:
            out = "M:" + str(e)
        if then is not None:
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
            out += " then " + repr(then())
        os.write(w, out.encode())
        os._exit(0)
    os.close(w)
    chunks = []
    while chunk := os.read(r, 4096):
        chunks.append(chunk)
    os.close(r)
    _, status = os.waitpid(pid, 0)
    return b"".join(chunks).decode() or "died", status
