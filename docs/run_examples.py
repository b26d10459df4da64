"""Runs each example on a small size and writes docs/_generated/examples.md, which
docs/examples.md includes: the example's description, the command, what it printed and the
figure it drew, then its source (paths relative to docs/, the including page's directory).

Usage: python docs/run_examples.py   (tools/docs.sh runs it before Sphinx)
"""

from __future__ import annotations

import ast
import os
import subprocess
import sys
from typing import List, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "examples")
OUT = os.path.join(HERE, "_generated")

# (script, arguments, whether it draws a figure); sizes that run in seconds.
RUNS: List[Tuple[str, List[str], bool]] = [
    ("random_walker_segmentation.py", ["--size", "192", "--skip-cg"], True),
    ("road_resistances.py", ["--size", "20000", "--check-size", "100", "--sample", "50"], True),
    ("graph_embedding.py", ["--size", "4000"], True),
    ("poisson3d.py", ["--size", "30"], False),
]


def _section(script: str, args: List[str], draws: bool) -> str:
    path = os.path.join(EXAMPLES, script)
    stem = os.path.splitext(script)[0]
    with open(path, encoding="utf-8") as handle:
        description = ast.get_docstring(ast.parse(handle.read())) or ""
    command = [sys.executable, path, *args] + (["--out", os.path.join(OUT, stem + ".png")] if draws else [])
    run = subprocess.run(command, cwd=OUT, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=900)
    if run.returncode != 0:
        raise SystemExit(f"{script} failed ({run.returncode}):\n{run.stderr}")
    with open(os.path.join(OUT, stem + ".txt"), "w", encoding="utf-8") as handle:
        handle.write(run.stdout)
    title, _, body = description.partition("\n\n")
    lines = [
        f"## {stem}", "", title, "", body, "",
        "Run here as", "", "```sh", f"python examples/{script} {' '.join(args)}", "```", "",
        "which printed", "", f"```{{literalinclude}} _generated/{stem}.txt", ":language: text", "```", "",
    ]
    if draws:
        lines += [f"```{{image}} _generated/{stem}.png", f":alt: the figure {script} draws", "```", ""]
    lines += [f"```{{literalinclude}} ../examples/{script}", ":language: python", ":caption: source", "```", ""]
    return "\n".join(lines)


def main() -> None:
    os.makedirs(OUT, exist_ok=True)
    sections = [_section(*run) for run in RUNS]
    with open(os.path.join(OUT, "examples.md"), "w", encoding="utf-8") as handle:
        handle.write("\n".join(sections))


if __name__ == "__main__":
    main()
