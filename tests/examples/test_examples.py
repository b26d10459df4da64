"""The example scripts run as a user runs them, on small sizes, so that they cannot rot."""

import os
import subprocess
import sys

import pytest

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")


@pytest.mark.parametrize(
    "script, args, needs, expected",
    [
        ("random_walker_segmentation.py", ["--size", "96"], ["skimage", "pyamg", "matplotlib"], ["vorlane", "mode=cg_mg", "mode=cg "]),
        ("road_resistances.py", ["--size", "2000", "--check-size", "60", "--sample", "20"], ["networkx", "matplotlib"], ["check", "sketch", "exact"]),
        ("graph_embedding.py", ["--size", "1500"], ["matplotlib"], ["embedding", "unrolled"]),
        ("poisson3d.py", ["--size", "12"], ["pyamg"], ["vorlane", "PyAMG classical"]),
    ],
)
def test_example_runs_and_reports(tmp_path, script, args, needs, expected):
    for module in needs:
        pytest.importorskip(module)
    png = tmp_path / "figure.png"
    extra = [] if script == "poisson3d.py" else ["--out", str(png)]
    result = subprocess.run(
        [sys.executable, os.path.join(EXAMPLES, script), *args, *extra],
        cwd=tmp_path,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stderr
    for word in expected:
        assert word in result.stdout, result.stdout
    if extra:
        assert png.stat().st_size > 10_000
