"""The command line: `python -m vorlane solve` on good and bad files, exit codes, messages."""

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest
import scipy.io
import scipy.sparse as sp

import problems
import vorlane


def report(stdout):
    """The 'label value' lines of a solve report as a dict."""
    return dict(line.split(None, 1) for line in stdout.splitlines() if line.strip())


def assert_one_line_error(result, status=1, *fragments):
    assert result.returncode == status, result.stderr
    assert "Traceback" not in result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("vorlane: error: ")
    for fragment in fragments:
        assert fragment in lines[0]


@pytest.fixture
def grid_file(tmp_path):
    A = problems.grid_laplacian(12, seed=5)
    path = tmp_path / "grid.mtx"
    scipy.io.mmwrite(str(path), A, symmetry="symmetric")
    return path, A


def test_solve_symmetric_storage_writes_checked_solution(run_cli, grid_file, tmp_path):
    path, A = grid_file
    assert "symmetric" in path.read_text().splitlines()[0]
    b = problems.zero_mean(np.random.default_rng(1).standard_normal(A.shape[0]))
    np.savetxt(tmp_path / "b.txt", b, fmt="%.17g")
    result = run_cli("solve", path, "--rhs", "b.txt", "--out", "x.npy", "--seed", 3, "--tol", 1e-10)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""  # no progress output when stderr is not a terminal
    fields = report(result.stdout)
    assert fields["dimension"] == "144" and fields["nonzeros"] == str(A.nnz)
    assert fields["converged"] == "yes" and int(fields["iterations"]) > 0
    for label in ("factor time", "total time", "residual"):
        assert any(line.startswith(label) for line in result.stdout.splitlines())
    x = np.load(tmp_path / "x.npy")
    assert np.linalg.norm(A @ x - b) <= 1e-10 * np.linalg.norm(b)
    assert float(fields["residual"].split()[0]) <= 1e-10


@pytest.mark.parametrize("rhs, out", [("b.txt", "x.mtx"), ("b.mtx", "x.npy"), ("b.npy", "x.txt")])
def test_integer_general_file_with_rhs_and_output_formats(run_cli, tmp_path, rhs, out):
    excess = np.zeros(25)
    excess[[0, 7]] = [1, 2]
    A = problems.grid_laplacian(5, weights="unit") * 3 + sp.diags(excess)
    A = sp.csr_matrix(A.astype(np.int64))
    scipy.io.mmwrite(str(tmp_path / "A.mtx"), A, field="integer")
    b = np.arange(25.0)
    {"b.txt": lambda p: np.savetxt(p, b), "b.npy": lambda p: np.save(p, b),
     "b.mtx": lambda p: scipy.io.mmwrite(str(p), b.reshape(-1, 1))}[rhs](tmp_path / rhs)
    result = run_cli("solve", "A.mtx", "--rhs", rhs, "--out", out, "--split", 2)
    assert result.returncode == 0, result.stderr
    path = tmp_path / out
    if out.endswith(".npy"):
        x = np.load(path)
    elif out.endswith(".mtx"):
        x = scipy.io.mmread(str(path)).ravel()
    else:
        x = np.loadtxt(path)
    assert np.linalg.norm(A @ x - b) <= 1e-8 * np.linalg.norm(b)
    assert sorted(os.listdir(tmp_path)) == sorted(["A.mtx", rhs, out])  # no temporary left


HEADER = "%%MatrixMarket matrix coordinate real"
MALFORMED = {
    "garbage.mtx": "hello world\n",
    "empty.mtx": "",
    "bad_value.mtx": "%%MatrixMarket matrix coordinate real general\n2 2 2\n1 1 2\n2 2 x\n",
    "truncated.mtx": "%%MatrixMarket matrix coordinate real general\n3 3 5\n1 1 2\n",
    "out_of_range.mtx": "%%MatrixMarket matrix coordinate real general\n3 3 1\n4 1 2\n",
    "bad_header.mtx": "%%MatrixMarket matrix coordinate real general\n3 3\n1 1 2\n",
    "non_square.mtx": "%%MatrixMarket matrix coordinate real general\n3 2 1\n1 1 2\n",
    "complex.mtx": "%%MatrixMarket matrix coordinate complex general\n1 1 1\n1 1 2 0\n",
    "pattern.mtx": "%%MatrixMarket matrix coordinate pattern symmetric\n2 2 1\n2 1\n",
    "skew.mtx": "%%MatrixMarket matrix coordinate real skew-symmetric\n2 2 1\n2 1 -1\n",
    "upper_only.mtx": HEADER + " general\n2 2 3\n1 1 1\n1 2 -1\n2 2 1\n",
    "positive.mtx": "%%MatrixMarket matrix coordinate real symmetric\n2 2 3\n1 1 1\n2 1 1\n2 2 1\n",
    "not_dominant.mtx": HEADER + " symmetric\n2 2 3\n1 1 1\n2 1 -2\n2 2 3\n",
    "infinite.mtx": "%%MatrixMarket matrix coordinate real general\n1 1 1\n1 1 inf\n",
}
EXPECTED = {
    "non_square.mtx": "not square (3 x 2)",
    "complex.mtx": "complex",
    "pattern.mtx": "pattern",
    "skew.mtx": "skew-symmetric",
    "upper_only.mtx": "not symmetric",
    "positive.mtx": "positive off-diagonal",
    "not_dominant.mtx": "not diagonally dominant",
    "infinite.mtx": "non-finite",
}


@pytest.mark.parametrize("name", sorted(MALFORMED))
def test_bad_matrix_files(run_cli, tmp_path, name):
    (tmp_path / name).write_text(MALFORMED[name])
    result = run_cli("solve", name)
    assert_one_line_error(result, 1, name, EXPECTED.get(name, ""))
    assert result.stdout == ""


def test_unreadable_paths(run_cli, tmp_path, grid_file):
    assert_one_line_error(run_cli("solve", "missing.mtx"), 1, "missing.mtx", "No such file")
    assert_one_line_error(run_cli("solve", tmp_path), 1, "Is a directory")
    (tmp_path / "binary.mtx").write_bytes(bytes(range(256)) * 4)
    assert_one_line_error(run_cli("solve", "binary.mtx"), 1, "binary.mtx")


@pytest.mark.parametrize(
    "rhs, content, fragment",
    [
        ("short.txt", "1\n2\n", "expected 144 rows of values, got 2"),
        ("words.txt", "one\ntwo\n", "cannot read a right-hand side"),
        ("ragged.txt", "1 2\n3\n", "cannot read a right-hand side"),
        ("nan.txt", "nan\n" * 144, "non-finite"),
        ("constant.txt", "1\n" * 144, "not in the range of A"),
        ("missing.txt", None, "No such file"),
    ],
)
def test_bad_rhs_files(run_cli, tmp_path, grid_file, rhs, content, fragment):
    if content is not None:
        (tmp_path / rhs).write_text(content)
    assert_one_line_error(run_cli("solve", grid_file[0], "--rhs", rhs), 1, fragment)


def test_output_path_is_checked_before_solving(run_cli, grid_file):
    result = run_cli("solve", grid_file[0], "--out", "no/such/dir/x.txt")
    assert_one_line_error(result, 1, "does not exist")
    assert result.stdout == ""


@pytest.mark.parametrize(
    "args, fragment",
    [
        (["solve", "grid.mtx", "--tol", "-1"], "--tol"),
        (["solve", "grid.mtx", "--split", "0"], "--split"),
        (["solve", "grid.mtx", "--seed", "x"], "--seed"),
        (["solve"], "required"),
        (["frobnicate"], "invalid choice"),
        (["demo", "--size", "1"], "--size"),
    ],
)
def test_usage_errors(run_cli, grid_file, args, fragment):
    assert_one_line_error(run_cli(*args), 2, fragment)


def test_not_converged_exits_with_status_3(run_cli, grid_file):
    result = run_cli("solve", grid_file[0], "--maxiter", 1)
    assert result.returncode == 3
    assert report(result.stdout)["converged"].startswith("no")
    assert result.stderr.splitlines() == [result.stderr.strip()]
    assert "did not converge within 1 iteration " in result.stderr


def test_help_version_and_console_script(run_cli):
    assert run_cli("--help").returncode == 0
    version = run_cli("--version")
    assert version.returncode == 0 and vorlane.__version__ in version.stdout
    no_command = run_cli()
    assert no_command.returncode == 2 and "usage" in no_command.stderr
    script = shutil.which("vorlane", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("console script not installed next to this interpreter")
    run = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and vorlane.__version__ in run.stdout


def test_read_matrix_market_expands_symmetric_storage(grid_file, tmp_path):
    path, A = grid_file
    B = vorlane.read_matrix_market(path)
    assert isinstance(B, sp.csr_matrix) and B.dtype == np.float64
    assert (B != A).nnz == 0
    dense = tmp_path / "dense.mtx"
    scipy.io.mmwrite(str(dense), A.toarray())
    assert (vorlane.read_matrix_market(dense) != A).nnz == 0


def test_progress_is_shown_on_a_terminal(grid_file, tmp_path):
    pty = pytest.importorskip("pty")
    leader, follower = pty.openpty()
    try:
        result = subprocess.run(
            [sys.executable, "-m", "vorlane", "solve", str(grid_file[0])],
            cwd=tmp_path,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=follower,
            timeout=120,
        )
        os.close(follower)
        follower = None
        shown = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the terminal is closed once everything is read
                break
            if not chunk:
                break
            shown += chunk
    finally:
        if follower is not None:
            os.close(follower)
        os.close(leader)
    assert result.returncode == 0
    assert b"reading" in shown and b"solving" in shown
    assert b"\r" in shown and b"error" not in shown
    assert b"reading" not in result.stdout  # the report itself stays clean


@pytest.mark.parametrize("rhs, out", [("B.npy", "X.npy"), ("B.mtx", "X.mtx"), ("B.txt", "X.txt")])
def test_several_right_hand_sides_in_and_out(run_cli, grid_file, tmp_path, rhs, out):
    path, A = grid_file
    B = np.random.default_rng(2).standard_normal((A.shape[0], 3))
    B -= B.mean(axis=0)
    {"B.npy": lambda p: np.save(p, B), "B.mtx": lambda p: scipy.io.mmwrite(str(p), B),
     "B.txt": lambda p: np.savetxt(p, B, fmt="%.17g")}[rhs](tmp_path / rhs)
    result = run_cli("solve", path, "--rhs", rhs, "--out", out, "--method", "factor")
    assert result.returncode == 0, result.stderr
    fields = report(result.stdout)
    assert "3 columns" in fields["rhs"] and fields["method"] == "factor"
    X = {"X.npy": np.load, "X.mtx": lambda p: scipy.io.mmread(str(p)), "X.txt": np.loadtxt}[out](tmp_path / out)
    assert X.shape == B.shape
    assert np.linalg.norm(A @ X - B, axis=0).max() <= 1e-8 * np.linalg.norm(B, axis=0).min()


@pytest.mark.parametrize("existing_mode", [None, 0o640])
def test_out_through_a_symlink_replaces_the_target_and_keeps_its_mode(run_cli, grid_file, tmp_path, existing_mode):
    """The link stays a link, the target gets the solution, an existing file keeps its mode,
    a new one gets what the umask allows, and no temporary file is left behind."""
    (tmp_path / "store").mkdir()
    target = tmp_path / "store" / "x.txt"
    if existing_mode is not None:
        target.write_text("old\n")
        target.chmod(existing_mode)
    (tmp_path / "link.txt").symlink_to(target)
    mask = os.umask(0o027)
    try:
        result = run_cli("solve", grid_file[0], "--out", "link.txt")
    finally:
        os.umask(mask)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "link.txt").is_symlink()
    assert np.loadtxt(target).shape == (grid_file[1].shape[0],)
    expected = 0o640 if existing_mode is not None else 0o666 & ~0o027
    assert target.stat().st_mode & 0o7777 == expected
    assert sorted(os.listdir(tmp_path / "store")) == ["x.txt"]


def test_solve_in_rounds_gives_one_solution_for_any_threads(run_cli, grid_file, tmp_path):
    path, A = grid_file
    solutions = []
    for threads in (1, 3):
        out = f"x{threads}.npy"
        result = run_cli("solve", path, "--method", "factor", "--order", "rounds", "--threads", threads, "--out", out)
        assert result.returncode == 0, result.stderr
        assert report(result.stdout)["converged"] == "yes"
        solutions.append(np.load(tmp_path / out))
    assert np.array_equal(*solutions)
    refused = run_cli("solve", path, "--petsc", "--order", "rounds")
    assert refused.returncode == 2 and "do not apply with --petsc" in refused.stderr
