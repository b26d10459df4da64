#!/usr/bin/env bash
# Builds the C++ library as a consumer would: installed into a temporary prefix, then the
# examples in examples/cpp built against it with find_package(vorlane) and run, one program
# built with pkg-config, and one project that takes the source tree with add_subdirectory.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$PWD"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
stage() { echo "== cpp-consumers [${SECONDS}s]: $*"; }

stage "building and installing the library into a temporary prefix"
cmake -S . -B "$work/build" -G Ninja >/dev/null
cmake --build "$work/build"
cmake --install "$work/build" --prefix "$work/prefix" >/dev/null
test -f "$work/prefix/include/vorlane/vorlane.hpp"
test ! -e "$work/prefix/include/vorlane/decomposition.hpp"

stage "examples/cpp/plain against the installed package"
cmake -S examples/cpp/plain -B "$work/plain" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/plain"
"$work/plain/grid_solve" 100

stage "examples/cpp/eigen against the installed package"
cmake -S examples/cpp/eigen -B "$work/eigen" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/eigen"
"$work/eigen/eigen_grid_solve" 100

stage "the plain example built with pkg-config"
pc_dir="$(dirname "$(find "$work/prefix" -name vorlane.pc)")"
# shellcheck disable=SC2046
g++ -o "$work/grid_solve_pc" examples/cpp/plain/grid_solve.cpp $(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs vorlane)
"$work/grid_solve_pc" 50

stage "a project that adds the source tree with add_subdirectory"
mkdir -p "$work/parent"
cat > "$work/parent/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.20)
project(parent LANGUAGES CXX)
add_subdirectory("$repo" vorlane)
add_executable(grid_solve "$repo/examples/cpp/plain/grid_solve.cpp")
target_link_libraries(grid_solve PRIVATE vorlane::vorlane)
CMAKE
cmake -S "$work/parent" -B "$work/parent/build" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build "$work/parent/build"
"$work/parent/build/grid_solve" 50
# The parent's build type is its own, and the library's warning and floating-point flags do not
# reach the parent's code.
if grep -q '^CMAKE_BUILD_TYPE:STRING=.' "$work/parent/build/CMakeCache.txt"; then
  echo "vorlane set the parent project's CMAKE_BUILD_TYPE" >&2
  exit 1
fi
if python3 - "$work/parent/build/compile_commands.json" <<'PY'
import json, sys
commands = [c["command"] for c in json.load(open(sys.argv[1])) if c["file"].endswith("examples/cpp/plain/grid_solve.cpp")]
sys.exit(0 if any(flag in c for c in commands for flag in ("-Wconversion", "-ffp-contract", "-fsanitize")) else 1)
PY
then
  echo "vorlane's own compile flags reached the parent project's code" >&2
  exit 1
fi
stage "done"
