"""The public names of a package, as the reference must document them.

A public module is the package or a module below it with no part of its dotted name starting
with an underscore; its public names are those in its ``__all__``. A public class adds the
members it defines itself whose names do not start with an underscore: methods, properties,
class attributes, annotated fields, and the attributes its methods assign to ``self``.
Names are keyed as the reference shows them: ``module.name`` and ``module.Class.member``.
"""

from __future__ import annotations

import ast
import importlib
import inspect
import pkgutil
import textwrap
import types
from typing import Dict, Iterator, List


def public_modules(package: types.ModuleType) -> Iterator[types.ModuleType]:
    """The package and its public submodules, depth first."""
    yield package
    for info in pkgutil.iter_modules(getattr(package, "__path__", []), package.__name__ + "."):
        if info.name.rpartition(".")[2].startswith("_"):
            continue
        module = importlib.import_module(info.name)
        yield from public_modules(module) if info.ispkg else [module]


def self_attributes(cls: type) -> List[str]:
    """Public attributes that the methods of cls assign to ``self`` (none for a compiled class)."""
    try:
        source = textwrap.dedent(inspect.getsource(cls))
    except (OSError, TypeError):
        return []
    names = []
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, (ast.Assign, ast.AnnAssign, ast.AugAssign)):
            targets = node.targets if isinstance(node, ast.Assign) else [node.target]
            for target in targets:
                if (
                    isinstance(target, ast.Attribute)
                    and isinstance(target.value, ast.Name)
                    and target.value.id == "self"
                    and not target.attr.startswith("_")
                    and target.attr not in names
                ):
                    names.append(target.attr)
    return names


def class_members(cls: type) -> List[str]:
    """Public members that cls defines itself."""
    names = [name for name in vars(cls) if not name.startswith("_")]
    names += [name for name in vars(cls).get("__annotations__", {}) if not name.startswith("_")]
    names += self_attributes(cls)
    return list(dict.fromkeys(names))


def public_names(package: types.ModuleType) -> Dict[str, object]:
    """Every public name of the package, by the dotted name the reference gives it."""
    names: Dict[str, object] = {}
    for module in public_modules(package):
        exported = getattr(module, "__all__", None)
        if exported is None:
            raise ValueError(f"public module {module.__name__} has no __all__")
        for name in exported:
            value = getattr(module, name)
            if isinstance(value, types.ModuleType):
                continue
            qualified = f"{module.__name__}.{name}"
            names[qualified] = value
            if inspect.isclass(value):
                for member in class_members(value):
                    names[f"{qualified}.{member}"] = vars(value).get(member)
    return names
