"""OpenBLAS for the compiled core, from the scipy-openblas32 package."""

import ctypes
import os
import sys

_library: ctypes.CDLL | None = None


def load_openblas() -> None:
    """Loads scipy-openblas32's shared library once, before the extension.

    The extension links it by name and finds it through a run path relative to its
    installed place; loading it first makes the dynamic linker find it wherever a copy
    of the extension runs from.
    """
    global _library
    if _library is not None or not sys.platform.startswith("linux"):
        return
    import scipy_openblas32

    lib_dir = scipy_openblas32.get_lib_dir()
    names = sorted(f for f in os.listdir(lib_dir) if f.startswith("libscipy_openblas") and ".so" in f)
    if names:
        _library = ctypes.CDLL(os.path.join(lib_dir, names[0]), mode=ctypes.RTLD_GLOBAL)
