"""Warning filters changed for a block of code, safely between threads.

Before Python 3.14 the warning filters are one list for the whole process, and
``warnings.catch_warnings`` saves that list on entry and puts it back on exit. Two
threads inside it at once put back each other's lists: the one that leaves last can
restore a list holding the other's filter, e.g. "error" for every warning, which then
holds for the rest of the process. The package changes the filters around formulaic's
model matrices, which batches read ahead and Dask's threads build at the same time; every
such change goes through :func:`filtered_warnings`, one at a time.
"""

from __future__ import annotations

import threading
import warnings
from collections.abc import Iterator
from contextlib import contextmanager

__all__ = ["filtered_warnings"]

_LOCK = threading.RLock()


@contextmanager
def filtered_warnings(action: warnings._ActionKind, category: type[Warning] = Warning) -> Iterator[None]:
    """``warnings.simplefilter(action, category)`` for the block, the filters as they were
    after it; blocks of different threads run one after the other."""
    with _LOCK, warnings.catch_warnings():
        warnings.simplefilter(action, category)
        yield
