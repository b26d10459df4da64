"""Approximate Cholesky factorization for SDDM/Laplacian systems."""

from typing import Any, Optional, Protocol, Tuple, Type, final

import numpy as np
import numpy.typing as npt

__all__ = ["Config", "Factor", "factorize", "factorize_raw"]

class _CsrLike(Protocol):
    @property
    def indptr(self) -> Any: ...
    @property
    def indices(self) -> Any: ...
    @property
    def data(self) -> Any: ...
    @property
    def shape(self) -> Tuple[int, int]: ...

@final
class Config:
    """Configuration for approximate Cholesky factorization."""

    def __new__(cls, seed: int = 0, split: Optional[int] = None) -> "Config": ...
    @property
    def seed(self) -> int: ...
    @property
    def split(self) -> Optional[int]: ...

@final
class Factor:
    """Approximate Cholesky factor (LDL^T decomposition)."""

    @property
    def n(self) -> int: ...
    @property
    def n_steps(self) -> int: ...
    @property
    def shape(self) -> Tuple[int, int]: ...
    @property
    def dtype(self) -> Type[np.float64]: ...
    def matvec(self, x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
    def rmatvec(self, x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
    def solve(self, b: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
    def solve_into(
        self, b: npt.NDArray[np.float64], out: npt.NDArray[np.float64]
    ) -> None: ...

def factorize(matrix: _CsrLike, config: Optional[Config] = None) -> Factor:
    """Factorize an SDDM matrix from a scipy.sparse CSR matrix."""

def factorize_raw(
    row_ptrs: npt.NDArray[np.uint32],
    col_indices: npt.NDArray[np.uint32],
    values: npt.NDArray[np.float64],
    n: int,
    config: Optional[Config] = None,
) -> Factor:
    """Factorize an SDDM matrix from raw CSR arrays."""
