"""The default iteration limit and tolerance, and the command lines' exit statuses, in one place."""

DEFAULT_MAXITER = 1000
DEFAULT_RTOL = 1e-8

EXIT_ERROR = 1  # bad input or a failed step
EXIT_USAGE = 2  # bad command line
EXIT_NOT_CONVERGED = 3  # the iteration stopped before reaching the tolerance
