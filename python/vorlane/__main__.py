"""Command-line tool: ``python -m vorlane solve MATRIX.mtx``, ``python -m vorlane resistance
ADJ.mtx`` and ``python -m vorlane demo``.

Exit status: 0 on success, 1 for bad input or a failed step, 2 for a bad command line,
3 when the iteration did not converge.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from typing import List, NoReturn, Optional, Sequence

import numpy as np

from ._limits import DEFAULT_MAXITER, EXIT_ERROR, EXIT_NOT_CONVERGED, EXIT_USAGE


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see '{self.prog} --help')")


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text}")
    return value


def _positive(text: str) -> int:
    value = _count(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected an integer >= 1, got {text}")
    return value


def _tolerance(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"expected a positive number, got {text}")
    return value


def _seed(text: str) -> int:
    value = _count(text)
    if value >= 2**64:
        raise argparse.ArgumentTypeError(f"seed must be below 2**64, got {text}")
    return value


TOL_HELP = "relative residual to reach (default 1e-8)"


class _Version(argparse.Action):
    """--version, reading the installed version only when it is asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: object, **kwargs: object) -> NoReturn:
        from . import __version__

        print(f"vorlane {__version__}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="vorlane",
        description="Solve Laplacian and SDDM systems with a randomized approximate "
        "Cholesky preconditioner.",
        epilog="Exit status: 0 success, 1 bad input or failure, 2 bad command line, "
        "3 not converged.",
    )
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    solve = commands.add_parser(
        "solve",
        help="solve A x = b for a matrix in a Matrix Market file",
        description="Solve A x = b for a symmetric Laplacian or SDDM matrix A read from a "
        "Matrix Market file (coordinate or array format, real or integer field, general or "
        "symmetric storage). Without --rhs, b = A x* for a random x*.",
    )
    solve.add_argument("matrix", metavar="MATRIX.mtx", help="Matrix Market file with A")
    solve.add_argument(
        "--graph",
        action="store_true",
        help="the file holds a graph's adjacency matrix (pattern allowed): solve with its "
        "Laplacian",
    )
    solve.add_argument(
        "--rhs",
        metavar="FILE",
        help="right-hand side: .npy, Matrix Market, or text with one number per line; "
        "an n-by-k array solves k systems at once",
    )
    solve.add_argument("--seed", type=_seed, default=0, help="factorization seed (default 0)")
    solve.add_argument("--split", type=_positive, help="split each edge into K copies")
    solve.add_argument("--tol", type=_tolerance, default=1e-8, help=TOL_HELP)
    solve.add_argument("--maxiter", type=_count, help=f"iteration limit (default {DEFAULT_MAXITER})")
    solve.add_argument(
        "--method",
        choices=("auto", "factor", "jacobi"),
        default="auto",
        help="preconditioner: auto (Jacobi first, the factor once it pays; default), "
        "factor or jacobi",
    )
    solve.add_argument(
        "--order",
        choices=("sequential", "rounds"),
        default="sequential",
        help="elimination order: sequential (default: the same factor everywhere) or rounds "
        "(parallel, on --threads threads, the same factor for any number of them)",
    )
    solve.add_argument(
        "--threads", type=_positive, help="threads of the rounds order (default: every core this process may use)"
    )
    solve.add_argument(
        "--out",
        metavar="FILE",
        help="write the solution, shaped like the right-hand side: .npy, .mtx, or text "
        "with one row per line",
    )
    solve.add_argument(
        "--petsc",
        action="store_true",
        help="solve with PETSc KSP CG across the ranks of mpiexec, one factor per rank "
        "(needs petsc4py)",
    )

    from .graph._cli import add_resistance_parser

    add_resistance_parser(commands, _tolerance, _seed, _positive)

    demo = commands.add_parser(
        "demo",
        help="solve a large 2D grid Laplacian with and without the preconditioner",
        description="Build a 2D grid Laplacian with high-contrast random edge weights and "
        "solve it by conjugate gradients with and without the vorlane preconditioner.",
    )
    demo.add_argument(
        "--size", type=_positive, default=1000, help="grid side; SIZE^2 unknowns (default 1000)"
    )
    demo.add_argument("--seed", type=_seed, default=0, help="seed of weights and factor")
    demo.add_argument("--tol", type=_tolerance, default=1e-8, help=TOL_HELP)
    demo.add_argument(
        "--cg-maxiter",
        type=_count,
        default=2000,
        help="iteration limit of CG without preconditioner (default 2000)",
    )
    demo.add_argument(
        "--time-limit",
        type=_tolerance,
        default=60.0,
        help="seconds allowed for CG without preconditioner (default 60)",
    )
    return parser


def _check_output_path(path: str) -> None:
    """Fail before any work when the solution could not be written (through a symbolic link,
    to the link's target)."""
    directory = os.path.dirname(os.path.realpath(path))
    if os.path.isdir(path):
        raise ValueError(f"--out {path}: is a directory")
    if not os.path.isdir(directory):
        raise ValueError(f"--out {path}: directory {directory} does not exist")
    if not os.access(directory, os.W_OK):
        raise ValueError(f"--out {path}: directory {directory} is not writable")


def _run_solve(args: argparse.Namespace) -> int:
    from ._checks import check_matrix
    from ._mmio import read_matrix_market, read_rhs, write_vector
    from ._progress import Progress
    from ._report import print_report, system_kind
    from ._order import check_order, check_threads, engine_order
    from ._solve import run

    start = time.perf_counter()
    progress = Progress(sys.stderr)
    if args.out is not None:
        _check_output_path(args.out)

    progress.phase(f"reading {args.matrix}")
    if args.graph:
        from .graph._cli import read_graph_laplacian

        matrix = read_graph_laplacian(args.matrix)
    else:
        matrix = read_matrix_market(args.matrix)
    n = matrix.shape[0]
    progress.phase("checking the matrix")
    begin = time.perf_counter()
    try:
        system = check_matrix(matrix)
    except ValueError as exc:
        raise ValueError(f"{args.matrix}: {exc}") from None
    check_seconds = time.perf_counter() - begin
    if args.rhs is not None:
        B = read_rhs(args.rhs, n)
        vector = B.shape[1] == 1
        rhs_text = args.rhs if vector else f"{args.rhs} ({B.shape[1]} columns)"
    else:
        B = np.ascontiguousarray((matrix @ np.random.default_rng(0).standard_normal(n)).reshape(n, 1))
        vector = True
        rhs_text = "A x* for random x* (normal, seed 0)"
    read_seconds = time.perf_counter() - start - check_seconds

    progress.phase("solving")
    maxiter = DEFAULT_MAXITER if args.maxiter is None else args.maxiter
    threads = check_threads(args.threads)
    result = run(
        system, B, tol=args.tol, maxiter=maxiter, method=args.method, seed=args.seed,
        split=args.split, order=engine_order(check_order(args.order), threads), threads=threads,
        notify=progress.iteration,
    )
    progress.clear()

    if args.out is not None:
        write_vector(args.out, result.x.reshape(n) if vector else result.x)
    kind = system_kind(system.singular)
    factor = result.factor
    iterations = result.iterations
    lines = [
        ("matrix", args.matrix),
        ("dimension", f"{n}"),
        ("nonzeros", f"{system.nnz}"),
        ("system", kind),
        ("rhs", rhs_text),
        ("read time", f"{read_seconds:.3f} s"),
        ("factor time", f"{check_seconds + result.factor_seconds:.3f} s (checks included)"),
        (
            "factor",
            f"dimension {factor.internal_n}, {factor.n_steps} elimination steps"
            if factor is not None
            else "not built: the Jacobi preconditioner sufficed",
        ),
        ("method", result.method),
        ("solve time", f"{result.solve_seconds:.3f} s"),
        (
            "iterations",
            f"{int(iterations[0])}" if vector else f"{int(iterations.min())} to {int(iterations.max())}",
        ),
        (
            "residual",
            f"{float(result.residual.max()):.3e} (relative{'' if vector else ', largest'}; "
            f"tol {args.tol:g})",
        ),
        ("converged", "yes" if result.converged else f"no: {result.message}"),
        ("total time", f"{time.perf_counter() - start:.3f} s"),
    ]
    print_report(lines, args.out)
    if not result.converged:
        print(
            f"vorlane: {result.message} (residual {float(result.residual.max()):.3e})",
            file=sys.stderr,
        )
        return EXIT_NOT_CONVERGED
    return 0


def _run_demo(args: argparse.Namespace) -> int:
    from ._demo import run_demo
    from ._progress import Progress

    if args.size < 2:
        raise UsageError("--size must be at least 2")
    return run_demo(
        args.size,
        seed=args.seed,
        tol=args.tol,
        plain_maxiter=args.cg_maxiter,
        time_limit=args.time_limit,
        out=sys.stdout,
        progress=Progress(sys.stderr),
    )


def _fail(message: str, status: int) -> int:
    print(f"vorlane: error: {' '.join(message.split())}", file=sys.stderr)
    return status


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit status."""
    arguments: List[str] = list(sys.argv[1:] if argv is None else argv)
    try:
        args = build_parser().parse_args(arguments)
        if args.command is None:
            build_parser().print_help(sys.stderr)
            return EXIT_USAGE
        if args.command == "solve" and args.petsc:
            if args.order != "sequential" or args.threads is not None:
                return _fail("--order and --threads do not apply with --petsc (one factor per rank)", EXIT_USAGE)
            from .petsc._cli import run_solve

            return run_solve(args, _check_output_path)
        if args.command == "solve":
            return _run_solve(args)
        if args.command == "resistance":
            from .graph._cli import run_resistance

            return run_resistance(args, _check_output_path)
        return _run_demo(args)
    except UsageError as exc:
        return _fail(str(exc), EXIT_USAGE)
    except KeyboardInterrupt:
        print("\nvorlane: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (for example `| head`); say nothing more.
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return EXIT_ERROR
    except OSError as exc:
        name = f"{exc.filename}: " if exc.filename else ""
        return _fail(f"{name}{exc.strerror or exc}", EXIT_ERROR)
    except MemoryError as exc:
        from ._resources import InsufficientMemory

        # A declared size refused before allocation says what needed how much; any other
        # exhaustion has nothing more to say.
        detail = f": {exc}" if isinstance(exc, InsufficientMemory) else ""
        return _fail(f"out of memory{detail}", EXIT_ERROR)
    except (ValueError, TypeError, OverflowError, ImportError) as exc:
        return _fail(str(exc), EXIT_ERROR)
    except SystemExit:
        raise
    except BaseException as exc:  # an unexpected fault: still one line, never a traceback
        return _fail(f"internal error: {type(exc).__name__}: {exc}", EXIT_ERROR)


def _entry() -> NoReturn:
    sys.exit(main())


if __name__ == "__main__":
    _entry()
