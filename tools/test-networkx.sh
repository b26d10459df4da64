#!/usr/bin/env bash
# Runs networkx's own tests of the functions the vorlane backend implements, with every
# networkx graph converted to the backend (what networkx does not hand over runs in networkx).
set -euo pipefail
cd "$(dirname "$0")/.."
nx_root="$(python3 -c 'import networkx, os; print(os.path.dirname(networkx.__file__))')"
# importlib mode keeps networkx's tree off sys.path, so that the vorlane under test is the one
# whose entry points networkx finds.
NETWORKX_TEST_BACKEND=vorlane NETWORKX_FALLBACK_TO_NX=True NETWORKX_WARNINGS_TO_IGNORE=cache \
  python3 -m pytest -q -p no:cacheprovider --import-mode=importlib \
  "$nx_root/algorithms/tests/test_distance_measures.py" \
  "$nx_root/linalg/tests/test_algebraic_connectivity.py" \
  "$nx_root/algorithms/centrality/tests/test_current_flow_betweenness_centrality.py" \
  "$nx_root/algorithms/centrality/tests/test_current_flow_closeness.py"
