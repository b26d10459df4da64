"""Fixtures and import path shared by every Python test: the shared problem builders in
tests/problems.py, and the extension module."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture(scope="session")
def vl():
    import _vorlane

    return _vorlane
