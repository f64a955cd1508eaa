"""The families of a GLMM: the Python face of the core's one table of families and links
(family), and each family's reading of the response (response). A new family is an entry
of the core's table (src/lmm/glmm/family.cpp); its response reading goes here.

The family objects are R's: ``quorvelkit.families.nbinom2()``, ``Gamma(link="log")``."""

from .family import (
    Family,
    Gamma,
    beta_family,
    betabinomial,
    binomial,
    gaussian,
    inverse_gaussian,
    nbinom1,
    nbinom2,
    poisson,
    truncated_nbinom2,
    truncated_poisson,
)

__all__ = [
    "Family",
    "Gamma",
    "beta_family",
    "betabinomial",
    "binomial",
    "gaussian",
    "inverse_gaussian",
    "nbinom1",
    "nbinom2",
    "poisson",
    "truncated_nbinom2",
    "truncated_poisson",
]
