"""Loads the repository's own scripts (tools/, docs/_ext/) as modules, by path."""

import os
import sys
import types

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def load(relative_path):
    path = os.path.join(ROOT, relative_path)
    name = "repo_" + os.path.splitext(os.path.basename(path))[0]
    module = types.ModuleType(name)
    module.__file__ = path
    # Registered before it runs, as an import would: dataclasses look their module up there.
    sys.modules[name] = module
    with open(path, encoding="utf-8") as source:
        exec(compile(source.read(), path, "exec"), module.__dict__)
    return module
