"""The libraries a fit loads on first use (formulaic, scipy), loaded so that running out
of memory while loading them says so.

Under an address-space limit (RLIMIT_AS) set before the first fit, the import fails with
MemoryError, with ImportError "failed to map segment from shared object" (the dynamic
linker could not map a library) or with OSError ENOMEM (the import system could not
list a package's directory); each is re-raised as a MemoryError that names the module
and the limit.
"""

from __future__ import annotations

import errno
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
        except OSError as e:
            if e.errno != errno.ENOMEM:
                raise
            raise MemoryError(f"not enough memory to load {name}, which a fit needs; {_limit()} ({e})") from e
        except (ImportError, SystemError) as e:
            # Under an address-space limit an import that runs out of memory fails in
            # whatever way the code it was running fails: the linker's "failed to map
            # segment", or CPython's own SystemError of a C function that returned an
            # error with none set (seen loading Cython's shadow module).
            if not (_out_of_memory(e) or _address_space_limited()):
                raise
            raise MemoryError(
                f"not enough memory to load {name}, which a fit needs; {_limit()} (the import failed with "
                f"{type(e).__name__}: {e})"
            ) from e


def _address_space_limited() -> bool:
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    return soft != resource.RLIM_INFINITY


def _out_of_memory(error: BaseException) -> bool:
    """Whether ``error`` or an error it was raised from is the dynamic linker's failure
    to map a library (scipy re-raises that as "your install seems to be broken")."""
    seen: BaseException | None = error
    while seen is not None:
        if isinstance(seen, MemoryError) or any(
            words in str(seen) for words in ("failed to map segment", "Cannot allocate memory")
        ):
            return True
        seen = seen.__cause__ or seen.__context__
    return False
