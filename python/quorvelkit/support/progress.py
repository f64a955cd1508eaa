"""The progress bar every long run shows (reading a source, profiles, the bootstrap)."""

from __future__ import annotations

import sys
from typing import Any

__all__ = ["progress_bar"]


def progress_bar(progress: bool | None, total: int | None, desc: str, unit: str, unit_scale: bool = False) -> Any:
    """A tqdm bar: shown when ``progress`` is true, or when it is ``None`` and stderr is a
    terminal and the run lasts more than a second (``unit_scale``: counts shown as
    1.2M rather than 1200000). tqdm is imported here, on first use."""
    from tqdm import tqdm

    if progress is None:
        shown = sys.stderr is not None and hasattr(sys.stderr, "isatty") and sys.stderr.isatty()
        return tqdm(total=total, disable=not shown, delay=1.0, desc=desc, unit=unit, unit_scale=unit_scale, leave=False)
    return tqdm(total=total, disable=not progress, desc=desc, unit=unit, unit_scale=unit_scale, leave=False)
