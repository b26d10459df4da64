"""The module surface: registration, documentation, re-import and interpreter rules."""

import inspect
import os
import subprocess
import sys
import textwrap

import pytest

MODULE_DOC = "Approximate Cholesky factorization for SDDM/Laplacian systems."


def run_python(code):
    """Runs code in a fresh interpreter that can import the module; returns its stdout."""
    env = dict(os.environ)
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        cwd=os.path.dirname(os.path.abspath(__file__)),
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_module_attributes(vl):
    assert vl.__doc__ == MODULE_DOC
    assert vl.__all__ == ["Config", "Factor", "factorize", "factorize_raw"]
    for name in vl.__all__:
        assert getattr(vl, name).__module__ in ("_vorlane", "builtins")
    assert vl.factorize.__module__ == "_vorlane"
    assert vl.factorize.__self__ is vl
    assert vl.factorize_raw.__self__ is vl


def test_reimport_gives_the_same_module():
    out = run_python(
        """
        import importlib, sys
        import _vorlane as first
        del sys.modules["_vorlane"]
        import _vorlane as second
        reloaded = importlib.reload(second)
        assert first is second is reloaded
        assert first.Factor is second.Factor and first.factorize is second.factorize
        assert first.__all__ == ["Config", "Factor", "factorize", "factorize_raw"]
        print("ok")
        """
    )
    assert out.strip() == "ok"


def test_import_does_not_import_numpy():
    out = run_python(
        """
        import sys
        import _vorlane
        assert "numpy" not in sys.modules
        config = _vorlane.Config(3, 2)
        assert (config.seed, config.split) == (3, 2)
        assert "numpy" not in sys.modules
        import scipy.sparse as sp  # imports numpy, but the C interface is loaded lazily
        factor = _vorlane.factorize(sp.csr_matrix([[1.0, -1.0], [-1.0, 1.0]]))
        print(factor.solve(sys.modules["numpy"].array([1.0, -1.0])).tolist())
        """
    )
    assert out.strip() == "[0.5, -0.5]"


def test_second_interpreter_is_refused():
    try:
        import _xxsubinterpreters  # noqa: F401
    except ImportError:
        pytest.skip("no subinterpreter support module in this Python")
    out = run_python(
        """
        import _xxsubinterpreters as interpreters
        import numpy as np
        import _vorlane
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import _vorlane")
        except Exception as error:
            print(type(error).__name__, error)
        else:
            print("imported")
        finally:
            interpreters.destroy(interp)
        import scipy.sparse as sp
        factor = _vorlane.factorize(sp.csr_matrix([[1.0, -1.0], [-1.0, 1.0]]))
        print(factor.solve(np.array([1.0, -1.0])).tolist())
        """
    )
    first, second = out.strip().splitlines()
    assert "ImportError" in first and "subinterpreters" in first
    assert second == "[0.5, -0.5]"


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        (
            "factorize",
            "(matrix, config=None)",
            "Factorize an SDDM matrix from a scipy.sparse CSR matrix.\n\nArgs:\n"
            "    matrix: A scipy.sparse.csr_matrix or csr_array.\n"
            "    config: Optional factorization configuration.",
        ),
        (
            "factorize_raw",
            "(row_ptrs, col_indices, values, n, config=None)",
            "Factorize an SDDM matrix from raw CSR arrays.\n\nArgs:\n"
            "    row_ptrs: CSR row pointer array (uint32).\n"
            "    col_indices: CSR column index array (uint32).\n"
            "    values: CSR value array (float64).\n"
            "    n: Matrix dimension.\n"
            "    config: Optional factorization configuration.",
        ),
    ],
)
def test_function_documentation(vl, name, signature, doc):
    function = getattr(vl, name)
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    assert function.__doc__ == doc


def test_class_documentation(vl):
    assert vl.Config.__text_signature__ == "(seed=0, split=None)"
    assert vl.Config.__doc__ == "Configuration for approximate Cholesky factorization."
    assert vl.Factor.__doc__ == (
        "Approximate Cholesky factor (LDL^T decomposition).\n\n"
        "Implements the scipy `LinearOperator` duck-type interface (`shape`, `matvec`,\n"
        "`rmatvec`, `dtype`) so it can be passed directly as `M=factor` to iterative\n"
        "solvers like `scipy.sparse.linalg.cg`."
    )
    for cls, name in ((vl.Config, "Config"), (vl.Factor, "Factor")):
        assert cls.__module__ == "builtins"
        assert cls.__name__ == cls.__qualname__ == name


def test_factor_member_documentation(vl):
    factor = vl.Factor
    assert factor.n.__doc__ == (
        "Internal factor dimension (may be larger than ``shape[0]`` if Gremban\n"
        "augmentation was applied).  Use this to size work buffers for\n"
        ":meth:`solve_into`."
    )
    assert factor.n_steps.__doc__ == "Number of elimination steps."
    assert factor.shape.__doc__ == (
        "Preconditioner shape `(n, n)` reflecting the original matrix dimension.\n\n"
        "Part of the scipy `LinearOperator` duck-type interface."
    )
    assert factor.dtype.__doc__ == (
        "Numpy dtype of output arrays (`numpy.float64`).\n\nPart of the scipy `LinearOperator` duck-type interface."
    )
    assert factor.matvec.__doc__ == (
        "Apply the preconditioner: solve LDL^T x = b, returning a vector of the\n"
        "original matrix dimension.\n\n"
        "Part of the scipy `LinearOperator` duck-type interface, enabling\n"
        "`M=factor` in iterative solvers like `scipy.sparse.linalg.cg`."
    )
    assert factor.rmatvec.__doc__ == (
        "Alias for `matvec` (the LDL^T factor is symmetric).\n\nPart of the scipy `LinearOperator` duck-type interface."
    )
    assert factor.solve.__doc__ == "Solve LDL^T x = b, returning a new numpy array of the original\nmatrix dimension."
    assert factor.solve_into.__doc__ == (
        "Solve LDL^T x = b, writing the result into an existing array.\n\n"
        "The `out` array must have length >= `original_n` (the original matrix\n"
        "dimension, i.e. `factor.shape[0]`)."
    )
    for method, signature in (("matvec", "($self, x)"), ("rmatvec", "($self, x)"), ("solve", "($self, b)"),
                              ("solve_into", "($self, b, out)")):
        assert getattr(factor, method).__text_signature__ == signature
    declared = [name for name in vars(factor) if not name.startswith("__")]
    assert declared == ["matvec", "rmatvec", "solve", "solve_into", "n", "n_steps", "shape", "dtype"]


def test_classes_are_closed(vl, grid_factor):
    with pytest.raises(TypeError) as info:
        vl.Factor()
    assert str(info.value) == "No constructor defined for Factor"
    for cls in (vl.Config, vl.Factor):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        with pytest.raises((TypeError, AttributeError)):
            cls.extra = 1
    for name in ("n", "n_steps", "shape", "dtype"):
        with pytest.raises(AttributeError):
            setattr(grid_factor, name, 1)
    with pytest.raises(AttributeError):
        grid_factor.anything = 1


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda vl: vl.factorize(), "factorize() missing 1 required positional argument: 'matrix'"),
        (lambda vl: vl.factorize(1, 2, 3), "factorize() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda vl: vl.factorize(1, matrix=1), "factorize() got multiple values for argument 'matrix'"),
        (lambda vl: vl.factorize(1, cfg=None), "factorize() got an unexpected keyword argument 'cfg'"),
        (lambda vl: vl.factorize_raw(1, 2),
         "factorize_raw() missing 2 required positional arguments: 'values' and 'n'"),
        (lambda vl: vl.factorize_raw(),
         "factorize_raw() missing 4 required positional arguments: 'row_ptrs', 'col_indices', 'values', and 'n'"),
        (lambda vl: vl.factorize_raw(1, 2, 3, 4, 5, 6),
         "factorize_raw() takes from 4 to 5 positional arguments but 6 were given"),
        (lambda vl: vl.Config(1, 2, 3), "Config() takes from 0 to 2 positional arguments but 3 were given"),
        (lambda vl: vl.Config(1, seed=2), "Config() got multiple values for argument 'seed'"),
        (lambda vl: vl.Config(splits=2), "Config() got an unexpected keyword argument 'splits'"),
    ],
)
def test_binding_errors_name_the_function(vl, call, message):
    with pytest.raises(TypeError) as info:
        call(vl)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f.solve(), "Factor.solve() missing 1 required positional argument: 'b'"),
        (lambda f: f.matvec(), "Factor.matvec() missing 1 required positional argument: 'x'"),
        (lambda f: f.rmatvec(1, 2), "Factor.rmatvec() takes 1 positional argument but 2 were given"),
        (lambda f: f.solve(b=1, x=2), "Factor.solve() got an unexpected keyword argument 'x'"),
        (lambda f: f.solve_into(1), "Factor.solve_into() missing 1 required positional argument: 'out'"),
        (lambda f: f.solve_into(1, 2, out=3), "Factor.solve_into() got multiple values for argument 'out'"),
    ],
)
def test_method_binding_errors(grid_factor, call, message):
    with pytest.raises(TypeError) as info:
        call(grid_factor)
    assert str(info.value) == message
