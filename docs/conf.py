"""Sphinx configuration of vorlane's documentation site (built by tools/docs.sh)."""

import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "_ext"))


def _version() -> str:
    # The one version source, the project() line of CMakeLists.txt, read as the package
    # metadata reads it.
    with open(os.path.join(HERE, "..", "CMakeLists.txt"), encoding="utf-8") as cmake:
        return re.search(r"project\(vorlane VERSION ([0-9][0-9.]*)", cmake.read()).group(1)


project = "vorlane"
author = "The vorlane developers"
copyright = "2026, The vorlane developers"
release = version = _version()

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "myst_parser",
    "public_api",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
# _generated/ holds what run_examples.py wrote, included by examples.md.
exclude_patterns = ["_build", "_generated", "_ext"]
templates_path: list = []

html_theme = "furo"
html_title = f"vorlane {release}"

# The reference imports the installed package; PETSc and MPI are only needed when PETSc calls in.
autodoc_mock_imports = ["petsc4py", "mpi4py"]
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_inherit_docstrings = False
autodoc_default_options = {"members": True}
napoleon_google_docstring = True
napoleon_numpy_docstring = True
public_api_packages = ["vorlane"]

myst_heading_anchors = 3
# Guide pages take their sections from the README, whose section levels start below a page title.
suppress_warnings = ["myst.header"]
