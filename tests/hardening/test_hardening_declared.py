"""Inputs that declare far more than they hold: refused by the numbers, before any allocation.

Every case runs in a fresh interpreter under an address-space limit of its current size plus
a little, so reading, converting or solving in proportion to the declared size would end in
a bare MemoryError instead of the one-line refusal each case expects.
"""

import gzip
import textwrap

import pytest
from hardening_support import UNDER_SANITIZER, run_python

pytestmark = pytest.mark.skipif(UNDER_SANITIZER, reason="needs a real address-space limit")

BANNER = "%%MatrixMarket matrix coordinate real symmetric\n"
ARRAY = "%%MatrixMarket matrix array real general\n"
SMALL = BANNER + "3 3 3\n1 1 1\n2 2 1\n3 3 1\n"

# Runs `body` with the address space limited to the current size plus `headroom` bytes.
LIMITED = """
import contextlib, io, resource
import numpy as np, scipy.sparse as sp
import vorlane
from vorlane.__main__ import main

def vm_size():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * resource.getpagesize()

def cli(*args):
    err = io.StringIO()
    with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
        status = main(list(args))
    print(f"{status} {err.getvalue().strip()}".strip())

def call(function, *args):
    try:
        function(*args)
    except (ValueError, MemoryError) as exc:
        print(type(exc).__name__ + ":", exc)
    else:
        print("accepted")

soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm_size() + {headroom}, hard))
"""


def run_limited(tmp_path, body, headroom=256 << 20):
    code = textwrap.dedent(LIMITED).replace("{headroom}", str(headroom)) + textwrap.dedent(body)
    result = run_python(f"import os; os.chdir({str(tmp_path)!r})\n" + code)
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout.splitlines()


# ---- Matrix Market files ----


@pytest.mark.parametrize(
    "content, fragments",
    [
        (BANNER + "5000000000 5000000000 1\n1 1 1.0\n",
         ["declares dimension 5000000000", "largest supported (4294967294)"]),
        (BANNER + "2 2 1000000000\n1 1 1.0\n", ["declares 1000000000 entries", "the body holds at most"]),
        ("%%MatrixMarket matrix coordinate integer general\n% a comment\n\n9 9 400000000\n1 2 3\n",
         ["declares 400000000 entries"]),
        (ARRAY + "100000 100000\n1\n2\n", ["declares 10000000000 entries"]),
        (BANNER + "200000000 200000000 1\n1 1 1.0\n",
         ["declares 200000000 rows", "reach at most 2 of them", "199999998 empty rows"]),
    ],
    ids=["dimension", "entries", "entries after comments", "array values", "empty rows"],
)
def test_matrix_market_header_beyond_its_body(tmp_path, content, fragments):
    (tmp_path / "A.mtx").write_text(content)
    (tmp_path / "A.mtx.gz").write_bytes(gzip.compress(content.encode()))
    lines = run_limited(
        tmp_path,
        """
        call(vorlane.read_matrix_market, "A.mtx")
        cli("solve", "A.mtx")
        cli("solve", "--graph", "A.mtx.gz")
        cli("resistance", "A.mtx")
        """,
    )
    assert len(lines) == 4, lines
    assert lines[0].startswith("ValueError: A.mtx: the header declares")
    for line, name in zip(lines[1:], ("A.mtx", "A.mtx.gz", "A.mtx")):
        assert line.startswith(f"1 vorlane: error: {name}: the header declares"), line
    for line in lines:
        for fragment in fragments:
            assert fragment in line, line


def test_right_hand_sides_whose_headers_lie(tmp_path):
    import numpy as np

    (tmp_path / "A.mtx").write_text(SMALL)
    (tmp_path / "rows.mtx").write_text(ARRAY + "300000000 1\n1\n")
    (tmp_path / "columns.mtx").write_text(ARRAY + "3 100000000\n1\n")
    np.save(tmp_path / "b.npy", np.ones(3))
    with open(tmp_path / "lying.npy", "wb") as handle:  # a header promising 10^9 values, then three
        header = {"descr": "<f8", "fortran_order": False, "shape": (10**9,)}
        np.lib.format.write_array_header_1_0(handle, header)
        handle.write(np.ones(3).tobytes())
    lines = run_limited(
        tmp_path,
        """
        for rhs in ("rows.mtx", "columns.mtx", "lying.npy", "b.npy"):
            cli("solve", "A.mtx", "--rhs", rhs)
        """,
    )
    assert lines[0] == "1 vorlane: error: rows.mtx: expected 3 rows of values, the header declares 300000000"
    assert lines[1].startswith("1 vorlane: error: columns.mtx: the header declares 300000000 entries")
    assert lines[2].startswith("1 vorlane: error: lying.npy: cannot read a right-hand side")
    assert lines[3] == "0"


def test_dimension_beyond_the_memory_available(tmp_path):
    # 2^24 rows are not mostly empty by the file's rule, but a solve needs over a gigabyte.
    (tmp_path / "A.mtx").write_text(BANNER + f"{2**24} {2**24} 1\n1 1 1.0\n")
    lines = run_limited(tmp_path, 'call(vorlane.read_matrix_market, "A.mtx")\ncli("solve", "A.mtx")\n')
    assert lines[0].startswith("InsufficientMemory: A.mtx (16777216 rows, 2 stored entries) needs at least 1.07 GB")
    assert lines[1].startswith("1 vorlane: error: out of memory: A.mtx (16777216 rows, 2 stored entries) needs")
    assert "available" in lines[1]


# ---- CSR arrays ----


def test_csr_declaring_more_entries_than_memory_holds(tmp_path):
    lines = run_limited(
        tmp_path,
        """
        m = 2**31 + 5
        indices = np.broadcast_to(np.int64(0), (m,))   # zero-copy: no memory behind them
        data = np.broadcast_to(1.0, (m,))
        A = sp.csr_matrix((data, indices, np.array([0, m])), shape=(1, 1), copy=False)
        call(vorlane.solve, A, np.ones(1))
        call(vorlane.Preconditioner, A)
        # The same arrays under an indptr declaring three entries: only those are read.
        A.indptr = np.array([0, 3])
        x, info = vorlane.solve(A, np.ones(1))
        print(x, info.converged)
        """,
    )
    for line in lines[:2]:
        assert line.startswith("InsufficientMemory: A (1 rows, 2147483653 stored entries) needs at least 68.7 GB")
    assert lines[2] == "[0.33333333] True"
