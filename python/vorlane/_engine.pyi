# Types of the engine module behind vorlane.solve and vorlane.Preconditioner (private).
from typing import Any, Callable, List, Optional, Tuple

import numpy as np

class System:
    n: int
    nnz: int
    singular: bool
    factor_scale: float
    def factorize(self, seed: int, split: Optional[int], renumber: int, precision: int) -> Factor: ...
    def project(self, block: np.ndarray, width: int) -> None: ...

class Factor:
    n: int
    internal_n: int
    n_steps: int
    nnz: int
    nbytes: int
    renumbered: bool
    precision: int
    def apply(self, src: np.ndarray, dst: np.ndarray, width: int, scale: float) -> None: ...
    def export_into(
        self, order: np.ndarray, col_starts: np.ndarray, rows: np.ndarray, coefficients: np.ndarray,
        inv_diag: np.ndarray,
    ) -> None: ...
    def renumbering_into(self, buffer: np.ndarray) -> None: ...

def check_matrix(
    indptr: np.ndarray, indices: np.ndarray, data: np.ndarray, n: int, unit_roundoff: float, values: bool
) -> System: ...
def cg(
    system: System,
    factor: Optional[Factor],
    b: np.ndarray,
    x: np.ndarray,
    width: int,
    has_guess: bool,
    tol: float,
    maxiter: int,
    path: int,
    adaptive: bool,
    time_limit: float,
    seed: int,
    split: Optional[int],
    renumber: int,
    precision: int,
    notify: Optional[Callable[[int, float], Any]],
    snapshot: Optional[np.ndarray],
) -> Tuple[int, Optional[Factor], float, List[Tuple[int, float, int]]]: ...
def restore_factor(
    n: int, original_n: int, order: np.ndarray, col_starts: np.ndarray, rows: np.ndarray,
    coefficients: np.ndarray, inv_diag: np.ndarray, renumbering: Optional[np.ndarray], precision: int,
) -> Factor: ...
def pinv_diagonal(
    indptr: np.ndarray, indices: np.ndarray, data: np.ndarray, out: np.ndarray, budget: float,
    solve: Optional[np.ndarray],
) -> bool: ...
def problem(
    recipe: str,
    dims: Tuple[int, ...],
    seed: int,
    weights: str = ...,
    grounded: bool = ...,
    decades: float = ...,
    avg_degree: float = ...,
    connected: bool = ...,
    sddm: Optional[Tuple[int, float, float, float]] = ...,
    renumber: Optional[int] = ...,
) -> Tuple[int, bytearray, bytearray, bytearray]: ...
