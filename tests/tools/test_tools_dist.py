"""The release checks: what an sdist may hold, and which requirements a wheel declares."""

import pytest

from repo_scripts import load

sdist = load("tools/sdist_contents.py")
wheel = load("tools/wheel_requirements.py")

BUILD_INPUTS = [
    "PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "CHANGELOG.md",
    "cmake/install.cmake", "vorlane/CMakeLists.txt", "vorlane/include/vorlane/vorlane.hpp",
    "vorlane/internal/vorlane/csr.hpp", "vorlane/src/csr.cpp",
    "vorlane/problems/vorlane_problems/matrices.hpp", "vorlane-py/CMakeLists.txt",
    "vorlane-py/common/core_exceptions.hpp", "vorlane-py/src/module.cpp", "vorlane-py/engine/py_cg.cpp",
    "python/vorlane/__init__.py", "python/vorlane/graph/__init__.py", "python/_vorlane-stubs/__init__.pyi",
]


def members(paths):
    return ["vorlane-0.1.0/" + path for path in paths]


@pytest.mark.parametrize(
    "paths, expected",
    [
        (BUILD_INPUTS, []),
        (BUILD_INPUTS + ["bench/results/full.png"], ["unexpected: bench/results/full.png"]),
        (BUILD_INPUTS + ["tests/conftest.py", "vorlane/tests/test_csr.cpp"],
         ["unexpected: tests/conftest.py", "unexpected: vorlane/tests/test_csr.cpp"]),
        (BUILD_INPUTS + ["python/vorlane/__pycache__/x.cpython-311.pyc"],
         ["not a build input: python/vorlane/__pycache__/x.cpython-311.pyc"]),
        ([p for p in BUILD_INPUTS if not p.startswith("vorlane/src/")], ["missing: vorlane/src"]),
        ([p for p in BUILD_INPUTS if p != "LICENSE"], ["missing: LICENSE"]),
        # A prefix of an allowed name is not that name.
        (BUILD_INPUTS + ["vorlane-python/x.py", "LICENSE.old"], ["unexpected: vorlane-python/x.py", "unexpected: LICENSE.old"]),
    ],
)
def test_sdist_holds_the_build_inputs_and_nothing_else(paths, expected):
    assert sdist.problems(members(paths)) == expected


METADATA = """Metadata-Version: 2.1
Name: vorlane
Version: 0.1.0
Requires-Dist: numpy>=1.21
Requires-Dist: scipy>=1.8
Requires-Dist: tomli; python_version < "3.11"
Requires-Dist: networkx>=2.6; extra == "graph"
Requires-Dist: pytest>=7; extra == 'test'
Requires-Dist: hypothesis>=6; extra == "test"
Requires-Dist: networkx<3.7,>=3.6; python_version >= "3.11" and extra == "test"
Requires-Dist: networkx>=2.6; extra == "test" and python_version < "3.11"

A description.
"""


@pytest.mark.parametrize(
    "extras, expected",
    [
        ([], ["numpy>=1.21", "scipy>=1.8", 'tomli; python_version < "3.11"']),
        (["test"], ["numpy>=1.21", "scipy>=1.8", 'tomli; python_version < "3.11"', "pytest>=7", "hypothesis>=6",
                    'networkx<3.7,>=3.6; python_version >= "3.11"', 'networkx>=2.6; python_version < "3.11"']),
        (["graph"], ["numpy>=1.21", "scipy>=1.8", 'tomli; python_version < "3.11"', "networkx>=2.6"]),
    ],
)
def test_wheel_requirements_keep_the_base_and_the_named_extras(extras, expected):
    assert list(wheel.requirements(METADATA, extras)) == expected


def test_wheel_requirements_refuse_a_marker_they_cannot_evaluate():
    for marker in ['extra == "test" or python_version < "3.10"', 'python_version < "3.10" and extra == "a" or extra == "b"']:
        text = f"Metadata-Version: 2.1\nName: x\nRequires-Dist: y; {marker}\n\n"
        with pytest.raises(ValueError, match="cannot evaluate"):
            list(wheel.requirements(text, ["test"]))
