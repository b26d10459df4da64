#!/usr/bin/env bash
# Runs the Python tests of the module, the package and the graph functions against NumPy 1.x,
# in a virtual environment of their own, so that both NumPy ABIs stay covered.
set -euo pipefail
cd "$(dirname "$0")/.."
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
VENV=build/venv-numpy1
python3 -m venv --clear "$VENV"
"$VENV/bin/python" -m pip install -q "numpy==1.26.4" "scipy<1.17" pytest networkx
"$VENV/bin/python" -m pip install -q .
"$VENV/bin/python" -c "import numpy; assert numpy.__version__.startswith('1.'), numpy.__version__"
"$VENV/bin/python" -m pytest -q -p no:cacheprovider --rootdir=. tests/binding tests/package tests/graph
