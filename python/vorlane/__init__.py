"""vorlane: randomized approximate Cholesky preconditioners for Laplacian and SDDM systems."""

from _vorlane import Config, Factor, factorize, factorize_raw

__all__ = ["Config", "Factor", "factorize", "factorize_raw"]
