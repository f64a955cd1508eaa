"""OpenBLAS for the compiled core, from the scipy-openblas32 package.

Importing this module loads the wheel's shared library once, before the extension. The
extension links it by name and finds it through a run path relative to its installed
place; loading it first makes the dynamic linker find it wherever a copy of the
extension runs from.
"""

import ctypes
import os
import sys


def _load() -> ctypes.CDLL | None:
    if not sys.platform.startswith("linux"):
        return None
    # The core calls OpenBLAS from its own pool, one thread per call. OpenBLAS reads its
    # thread count when it loads and starts that many server threads, which spin between
    # calls and take CPU from the pool; with 1 it starts none. The package loads its
    # library when it is imported, so the variable covers that import too; it is set for
    # the load alone: other libraries in the process read their own settings.
    before = os.environ.get("OPENBLAS_NUM_THREADS")
    os.environ["OPENBLAS_NUM_THREADS"] = "1"
    try:
        import scipy_openblas32

        lib_dir = scipy_openblas32.get_lib_dir()
        names = sorted(f for f in os.listdir(lib_dir) if f.startswith("libscipy_openblas") and ".so" in f)
        if not names:
            return None
        return ctypes.CDLL(os.path.join(lib_dir, names[0]), mode=ctypes.RTLD_GLOBAL)
    finally:
        if before is None:
            del os.environ["OPENBLAS_NUM_THREADS"]
        else:
            os.environ["OPENBLAS_NUM_THREADS"] = before


_library = _load()
