"""Loads the repository's own scripts (tools/, docs/_ext/) as modules, by path."""

import importlib.util
import os

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def load(relative_path):
    path = os.path.join(ROOT, relative_path)
    name = "repo_" + os.path.splitext(os.path.basename(path))[0]
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
