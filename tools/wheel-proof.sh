#!/usr/bin/env bash
# Proves a built wheel: a fresh virtual environment, on a PATH without a C or C++ compiler and
# without CMake, installs the wheel from its file alone (no index) and runs the Python tests and
# the demo against it. Its dependencies and the tests' come from the index, as wheels only.
#
# Usage: bash tools/wheel-proof.sh WHEEL   (tools/dist.sh leaves one in dist/wheelhouse/)
set -euo pipefail
cd "$(dirname "$0")/.."
wheel="$(realpath "${1:?usage: bash tools/wheel-proof.sh WHEEL}")"
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
VENV="$PWD/build/venv-wheel"
python3 -m venv --clear "$VENV"
"$VENV/bin/python" tools/wheel_requirements.py "$wheel" test > build/wheel-requirements.txt
"$VENV/bin/python" -m pip install -q --only-binary :all: -r build/wheel-requirements.txt

# Every program on PATH except compilers and CMake, as links in one directory.
bare="$PWD/build/bare-path"
rm -rf "$bare" && mkdir -p "$bare"
IFS=: read -r -a dirs <<< "$PATH"
for dir in "${dirs[@]}"; do
  [ -d "$dir" ] || continue
  for program in "$dir"/*; do
    name="$(basename "$program")"
    case "$name" in
      cc | c++ | cpp | c89 | c99 | gcc | g++ | gcc-* | g++-* | *-gcc | *-g++ | *-gcc-* | *-g++-* \
        | clang | clang++ | clang-* | clang++-* | tcc | icc | icpx | cmake | ctest | cpack | ccmake | cmake-gui)
        continue ;;
    esac
    [ -x "$program" ] && [ ! -d "$program" ] && [ ! -e "$bare/$name" ] && ln -s "$program" "$bare/$name"
  done
done
export PATH="$VENV/bin:$bare"
for tool in cc c++ gcc g++ clang clang++ cmake; do
  if command -v "$tool" > /dev/null; then
    echo "wheel-proof: $tool is still on PATH ($(command -v "$tool"))" >&2
    exit 1
  fi
done

python -m pip install -q --no-index "$wheel"
python -c "import sys, vorlane; assert vorlane.__file__.startswith(sys.prefix), vorlane.__file__; print('vorlane', vorlane.__version__, 'from', vorlane.__file__)"
python -m vorlane demo --size 200
# The installed wheel is the one under test: the source tree's python/ is not on the path.
set +e
python -m pytest -q -p no:cacheprovider --rootdir=. --ignore=tests/mpi tests
status=$?
set -e
if [ "$status" -eq 5 ]; then
  echo "wheel-proof: pytest collected no tests" >&2
fi
exit "$status"
