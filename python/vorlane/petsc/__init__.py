"""vorlane as a PETSc preconditioner (through petsc4py, imported only when PETSc calls in).

``Preconditioner`` is a Python PC context: block Jacobi with one vorlane factor per
process, usable as the whole preconditioner or as the block solver of PCBJACOBI and PCASM.
"""

from ._block import rank_seed
from ._pc import Preconditioner

__all__ = ["Preconditioner", "rank_seed"]
