"""solve_into with right-hand side and output taken as views of one and the same buffer."""

import numpy as np
import pytest

SENTINEL = -7.25


def f64_view(raw, offset_bytes, count):
    """count doubles starting offset_bytes into the byte buffer raw (possibly misaligned)."""
    return np.frombuffer(raw.data, dtype=np.float64, count=count, offset=offset_bytes)


# Each layout maps (buffer of 4n + 8 doubles, its bytes, n) to (b, out). The outcome is None
# for a solve that must succeed, or the ValueError message it must raise.
LAYOUTS = {
    "adjacent, b first": (lambda buf, raw, n: (buf[:n], buf[n:2 * n]), None),
    "adjacent, out first": (lambda buf, raw, n: (buf[n:2 * n], buf[:n]), None),
    "far apart": (lambda buf, raw, n: (buf[:n], buf[3 * n:4 * n]), None),
    "rows of a matrix": (lambda buf, raw, n: (buf[:2 * n].reshape(2, n)[0], buf[:2 * n].reshape(2, n)[1]), None),
    "empty b inside out": (lambda buf, raw, n: (buf[3:3], buf[:n]), None),
    "out longer than needed": (lambda buf, raw, n: (buf[:n], buf[n:4 * n]), None),
    "misaligned out, disjoint": (lambda buf, raw, n: (buf[:n], f64_view(raw, 8 * n + 12, n)), None),
    "misaligned b, disjoint": (lambda buf, raw, n: (f64_view(raw, 8 * n + 12, n), buf[:n]), None),
    "same array": (lambda buf, raw, n: (buf[:n], buf[:n]), "b and out must not overlap"),
    "same memory, two views": (lambda buf, raw, n: (buf[:n], buf[:n].view()), "b and out must not overlap"),
    "overlap by one element": (lambda buf, raw, n: (buf[:n], buf[n - 1:2 * n - 1]), "b and out must not overlap"),
    "out one element later": (lambda buf, raw, n: (buf[1:n + 1], buf[:n]), "b and out must not overlap"),
    "b inside out": (lambda buf, raw, n: (buf[n:n + 2], buf[:3 * n]), "b and out must not overlap"),
    "overlap by four bytes": (lambda buf, raw, n: (buf[:n], f64_view(raw, 8 * n - 4, n)), "b and out must not overlap"),
    "overlap by one byte": (lambda buf, raw, n: (f64_view(raw, 8 * n - 1, n), buf[:n]), "b and out must not overlap"),
    "touching at a misaligned edge": (lambda buf, raw, n: (f64_view(raw, 8 * n + 3, n), f64_view(raw, 3, n)), None),
    "reversed out": (lambda buf, raw, n: (buf[:n], buf[2 * n:n:-1]), "out must be contiguous"),
    "strided out": (lambda buf, raw, n: (buf[:n], buf[n::2][:n]), "out must be contiguous"),
    "strided b": (lambda buf, raw, n: (buf[n::2][:n], buf[:n]), "b must be contiguous"),
    "zero-stride out": (lambda buf, raw, n: (buf[:n], np.lib.stride_tricks.as_strided(buf[n:], (n,), (0,))),
                        "out must be contiguous"),
    "zero-stride b": (lambda buf, raw, n: (np.lib.stride_tricks.as_strided(buf[n:], (n,), (0,)), buf[:n]),
                      "b must be contiguous"),
    "column of a matrix": (lambda buf, raw, n: (buf[:n], buf[:2 * n].reshape(n, 2)[:, 1]), "out must be contiguous"),
}


@pytest.fixture(params=["grid", "sddm"])
def factor(request, vl, grid, sddm):
    return vl.factorize(grid if request.param == "grid" else sddm)


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_views_of_one_buffer(factor, layout):
    make, outcome = LAYOUTS[layout]
    n = factor.shape[0]
    buf = np.full(4 * n + 8, SENTINEL)
    raw = buf.view(np.uint8)
    rng = np.random.default_rng(3)
    b, out = make(buf, raw, n)
    b[...] = rng.standard_normal(b.shape)  # views alias buf, so set b through the view
    b_before = b.copy()
    buf_before = buf.copy()
    if outcome is None:
        expected = factor.solve(np.ascontiguousarray(b_before))
        factor.solve_into(b, out)
        assert np.asarray(out[:n]).tobytes() == expected.tobytes()
        assert np.asarray(b).tobytes() == b_before.tobytes()
        # Nothing outside out[:n] changed.
        touched = np.zeros(buf.nbytes, dtype=bool)
        start = out.__array_interface__["data"][0] - buf.__array_interface__["data"][0]
        touched[start:start + 8 * n] = True
        assert np.array_equal(buf.view(np.uint8)[~touched], buf_before.view(np.uint8)[~touched])
    else:
        with pytest.raises(ValueError) as info:
            factor.solve_into(b, out)
        assert str(info.value) == outcome
        assert buf.tobytes() == buf_before.tobytes()
    # Whatever happened, the accesses are released: the same arrays work in a clean call.
    fresh = np.empty(n)
    factor.solve_into(np.ascontiguousarray(b), fresh)


def test_views_of_a_solve_result(factor):
    """Result arrays are views of an owned buffer; using them as b and out follows the same rules."""
    n = factor.shape[0]
    x = factor.solve(np.linspace(-1, 1, n))
    y = factor.solve(np.linspace(1, 2, n))
    with pytest.raises(ValueError, match="^b and out must not overlap$"):
        factor.solve_into(x[1:], x)
    expected = factor.solve(x.copy())
    factor.solve_into(x, y)
    assert y.tobytes() == expected.tobytes()
    halves = factor.solve(np.zeros(n))
    del x  # y no longer needs x's buffer; halves keeps its own
    factor.solve_into(halves[: n // 2], y)
    assert y.tobytes() == factor.solve(halves[: n // 2].copy()).tobytes()


def test_read_only_views(factor):
    n = factor.shape[0]
    frozen = np.zeros(2 * n)
    frozen.flags.writeable = False
    with pytest.raises(ValueError, match="^out must be writeable$"):
        factor.solve_into(np.ones(n), frozen[n:])
    with pytest.raises(ValueError, match="^out must be writeable$"):
        factor.solve_into(np.ones(n), np.frombuffer(bytes(8 * n)))
    # A read-only right-hand side is fine, also next to the output in one buffer.
    buf = np.zeros(2 * n)
    b = buf[:n]
    b[...] = 1.0
    ro_b = b.view()
    ro_b.flags.writeable = False
    factor.solve_into(ro_b, buf[n:])
    assert buf[n:].tobytes() == factor.solve(np.ones(n)).tobytes()
