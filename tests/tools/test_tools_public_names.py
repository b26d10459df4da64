"""The documentation's public-name check finds every name the reference must document."""

import sys
import textwrap

import pytest

from repo_scripts import load

public_names = load("docs/_ext/public_names.py")


@pytest.fixture
def package(tmp_path, monkeypatch):
    """Writes a package named sample from {relative path: source} and imports it."""

    def make(files):
        for relative, source in files.items():
            path = tmp_path / "sample" / relative
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(textwrap.dedent(source))
        monkeypatch.syspath_prepend(str(tmp_path))
        for name in [name for name in sys.modules if name == "sample" or name.startswith("sample.")]:
            monkeypatch.delitem(sys.modules, name)
        import sample

        return sample

    return make


CLASS = '''
    from ._impl import helper

    __all__ = ["Thing", "make", "VALUE"]
    VALUE = 3


    def make():
        """Makes."""


    class Thing:
        """A thing."""

        size: int
        _hidden: int

        def __init__(self):
            self.count = 0
            self._cache = None

        def grow(self, by):
            self.count += by
            self.last: int = by

        def _private(self):
            pass

        @property
        def area(self):
            return 1
'''


def test_names_of_a_module_and_of_its_classes(package):
    names = public_names.public_names(package({"__init__.py": CLASS, "_impl.py": "def helper(): pass\n"}))
    assert sorted(names) == [
        "sample.Thing", "sample.Thing.area", "sample.Thing.count", "sample.Thing.grow",
        "sample.Thing.last", "sample.Thing.size", "sample.VALUE", "sample.make",
    ]


def test_public_subpackages_count_and_private_modules_do_not(package):
    sample = package({
        "__init__.py": '__all__ = ["sub"]\nfrom . import sub\n',
        "sub/__init__.py": '__all__ = ["f"]\nfrom ._f import f\n',
        "sub/_f.py": 'def f():\n    """F."""\n',
        "_private/__init__.py": '__all__ = ["g"]\ndef g(): pass\n',
    })
    assert sorted(public_names.public_names(sample)) == ["sample.sub.f"]


def test_a_public_module_without_all_is_refused(package):
    sample = package({"__init__.py": '__all__ = []\n', "loose.py": "def f(): pass\n"})
    with pytest.raises(ValueError, match="sample.loose has no __all__"):
        public_names.public_names(sample)


def test_compiled_classes_contribute_their_own_members(vl):
    names = public_names.class_members(vl.Factor)
    assert {"solve", "solve_into", "shape", "n"} <= set(names)
    assert not [name for name in names if name.startswith("_")]
