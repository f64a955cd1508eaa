"""The libraries a fit loads on first use (formulaic, scipy), loaded so that running out
of memory while loading them says so.

Under an address-space limit (RLIMIT_AS) set before the first fit, the import fails with
MemoryError or with ImportError "failed to map segment from shared object" (the dynamic
linker could not map a library); either is re-raised as a MemoryError that names the
module and the limit.
"""

from __future__ import annotations

import importlib
import resource
import sys

MODULES = ("formulaic", "scipy.special")


def _limit() -> str:
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    if soft == resource.RLIM_INFINITY:
        return "no address-space limit (RLIMIT_AS) is set"
    return f"the address-space limit (RLIMIT_AS) is {soft / 2**20:,.0f} MiB"


def load_for_fit() -> None:
    """Imports what a fit needs, MemoryError naming the module when memory ran out."""
    for name in MODULES:
        if name in sys.modules:
            continue
        try:
            importlib.import_module(name)
        except MemoryError as e:
            raise MemoryError(f"not enough memory to load {name}, which a fit needs; {_limit()}") from e
        except ImportError as e:
            if "failed to map segment" not in str(e) and "Cannot allocate memory" not in str(e):
                raise
            raise MemoryError(f"not enough memory to load {name}, which a fit needs; {_limit()}") from e
