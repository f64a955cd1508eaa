"""Linear mixed models with one grouping factor: exact, fast and reproducible.

The compiled core, :class:`LmmCore`, reduces the rows of a model once to per-group
cross-products and then evaluates the profiled REML or ML criterion, its analytic
gradient and every derived quantity at any ``theta``, on all cores, with results
that are bit-identical for any number of threads.
"""

from ._quorvelkit import LmmCore, __version__

__all__ = ["LmmCore", "__version__"]
