"""vorlane as a PETSc preconditioner (through petsc4py, imported only when PETSc calls in).

``Preconditioner`` is a Python PC context: as the whole preconditioner on several
processes, one vorlane factor of the whole matrix spread over them (global mode); as the
block solver of PCBJACOBI and PCASM, or on request, one factor per process's block.
"""

from ._block import rank_seed
from ._pc import Preconditioner

__all__ = ["Preconditioner", "rank_seed"]
