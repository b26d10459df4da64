#!/usr/bin/env bash
# Installs what the tests need, builds the core's unit tests and the package, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

# GoogleTest for the C++ tests; Eigen for the Eigen adapter's.
if [ ! -f /usr/include/gtest/gtest.h ] || [ ! -f /usr/include/eigen3/Eigen/Core ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq && $SUDO apt-get install -y -qq libgtest-dev libeigen3-dev
fi
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
python3 -m pip install -q cmake ninja
python3 -m pip install -q ".[test]"

cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORLANE_BUILD_TESTS=ON
cmake --build build/tests
ctest --test-dir build/tests --output-on-failure --no-tests=error -j2

# The installed package is the one under test: the source tree's python/ is not on the path.
set +e
python3 -m pytest -q -p no:cacheprovider --rootdir=. --ignore=tests/mpi tests
status=$?
set -e

# networkx's own tests against the networkx backend.
bash tools/test-networkx.sh || status=$?

# The MPI tests run in the PETSc environment; when it cannot be made they run here and are
# reported as skipped with the reason.
set +e
petsc_python="$(bash tools/petsc-env.sh | tail -n 1)"
petsc_status=$?
set -e
if [ "$petsc_status" -eq 0 ]; then
  "$petsc_python" -m pytest -q -rs -p no:cacheprovider --rootdir=. tests/mpi
elif [ "$petsc_status" -eq 3 ]; then
  VORLANE_PETSC_UNAVAILABLE="$(cat build/petsc-unavailable.txt)" \
    python3 -m pytest -q -rs -p no:cacheprovider --rootdir=. tests/mpi
else
  exit "$petsc_status"
fi
# Exit 5 means pytest collected nothing: a run that tested nothing is a failure.
if [ "$status" -eq 5 ]; then
  echo "pytest collected no tests" >&2
fi
exit "$status"
