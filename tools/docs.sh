#!/usr/bin/env bash
# Builds the documentation site into build/docs/html, in a virtual environment of its own with
# the package installed from WHEEL or, without one, from this clone. The examples run first,
# for their output and figures; any Sphinx warning fails the build.
#
# Usage: bash tools/docs.sh [WHEEL]
set -euo pipefail
cd "$(dirname "$0")/.."
target="${1:-.}"
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
VENV=build/venv-docs
python3 -m venv --clear "$VENV"
"$VENV/bin/python" -m pip install -q "$target[docs,examples]"
"$VENV/bin/python" docs/run_examples.py
rm -rf build/docs
"$VENV/bin/python" -m sphinx -W --keep-going -E -b html docs build/docs/html
echo "documentation: build/docs/html/index.html"
