"""Sphinx extension: a warning (so, under -W, a failed build) for each public name that the
reference does not document, or documents through autodoc with an empty docstring.

Configuration: ``public_api_packages``, the packages to check (their public names as
``public_names`` finds them).
"""

from __future__ import annotations

import importlib
from typing import Any, Dict, List, Set

from sphinx.application import Sphinx
from sphinx.environment import BuildEnvironment
from sphinx.util import logging

from public_names import public_names

logger = logging.getLogger(__name__)


def _empty_docstrings(env: BuildEnvironment) -> Dict[str, Set[str]]:
    if not hasattr(env, "public_api_empty"):
        env.public_api_empty = {}
    return env.public_api_empty


def _note_docstring(app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: List[str]) -> None:
    if not any(line.strip() for line in lines):
        _empty_docstrings(app.env).setdefault(app.env.docname, set()).add(name)


def _purge(app: Sphinx, env: BuildEnvironment, docname: str) -> None:
    _empty_docstrings(env).pop(docname, None)


def _check(app: Sphinx, env: BuildEnvironment) -> None:
    documented = set(env.get_domain("py").objects)
    empty = set().union(*_empty_docstrings(env).values())
    for package in app.config.public_api_packages:
        for name in sorted(public_names(importlib.import_module(package))):
            if name not in documented:
                logger.warning("public name %s is not in the API reference (is its docstring missing?)", name)
            elif name in empty:
                logger.warning("public name %s has an empty docstring", name)


def setup(app: Sphinx) -> Dict[str, Any]:
    app.add_config_value("public_api_packages", [], "env")
    app.connect("autodoc-process-docstring", _note_docstring)
    app.connect("env-purge-doc", _purge)
    app.connect("env-check-consistency", _check)
    return {"parallel_read_safe": False, "env_version": 1}
