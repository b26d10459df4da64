"""The installed distribution's metadata: the version from its one source, the license."""

import os
import re
from importlib import metadata

import vorlane

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def test_version_is_the_project_line_of_cmakelists(run_cli):
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as cmake:
        expected = re.search(r"project\(vorlane VERSION ([0-9][0-9.]*)", cmake.read()).group(1)
    assert vorlane.__version__ == metadata.version("vorlane") == expected
    assert run_cli("--version").stdout.strip() == f"vorlane {expected}"


def test_distribution_carries_its_license_and_classifiers():
    distribution = metadata.distribution("vorlane")
    licenses = [str(path) for path in distribution.files if os.path.basename(str(path)) == "LICENSE"]
    assert licenses, "no LICENSE in the installed distribution"
    with open(distribution.locate_file(licenses[0]), encoding="utf-8") as handle:
        assert handle.read().startswith("MIT License")
    classifiers = distribution.metadata.get_all("Classifier")
    assert "License :: OSI Approved :: MIT License" in classifiers
