#!/usr/bin/env bash
# Sanitizer checks, each required to report nothing:
#   1. the core and its unit tests built with AddressSanitizer (with LeakSanitizer) and
#      UndefinedBehaviorSanitizer, run through ctest;
#   2. the extension modules built with the same sanitizers and driven by the binding and
#      hardening tests, with the ASan runtime preloaded into the interpreter (leak detection
#      off there: the interpreter itself does not free everything at exit; tests that measure
#      memory or address-space limits skip themselves or are deselected, as ASan's quarantine
#      and shadow memory distort both);
#   3. the core's threaded code (the thread pool, elimination in rounds, parallel applies and
#      iterations) under ThreadSanitizer, through the unit tests that run it on several threads;
#   4. valgrind's memcheck over a Python driver of the installed module, failing on any error
#      or definite leak whose stack passes through the module, which covers the leaks that
#      step 2 cannot see.
# (The fuzz corpus runs under ASan+UBSan in tools/fuzz.sh, which replays it before fuzzing.)
# Installs what it needs on a fresh Debian machine. Usage: tools/sanitize.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD="$ROOT/build/sanitize"

SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v valgrind >/dev/null || missing+=(valgrind)
command -v g++ >/dev/null || missing+=(g++)
if [ "${#missing[@]}" -gt 0 ]; then
  $SUDO apt-get update -qq && $SUDO apt-get install -y -qq "${missing[@]}"
fi
python3 -m pip install -q cmake ninja
python3 -c "import numpy, scipy, pytest" 2>/dev/null || python3 -m pip install -q numpy scipy pytest
# The valgrind step drives the installed module.
(cd /tmp && python3 -c "import _vorlane") 2>/dev/null || python3 -m pip install -q .

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

stage() { echo "== sanitize [${SECONDS}s]: $*"; }
failed=()

stage "building the core, its tests and the module with ASan+UBSan"
# -O1 with line tables: quick to build, and reports still name files and lines.
CC=gcc CXX=g++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Sanitize \
  -DCMAKE_CXX_FLAGS_SANITIZE="-O1 -g1" \
  -DVORLANE_SANITIZE=ON -DVORLANE_BUILD_TESTS=ON -DVORLANE_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$BUILD"

stage "core unit tests"
timeout 900 ctest --test-dir "$BUILD" --output-on-failure --no-tests=error -j2 || failed+=("core unit tests")

stage "threaded core under ThreadSanitizer"
TSAN_BUILD="$ROOT/build/sanitize-threads"
CC=gcc CXX=g++ cmake -S . -B "$TSAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Sanitize \
  -DCMAKE_CXX_FLAGS_SANITIZE="-O1 -g1" -DVORLANE_SANITIZE_THREADS=ON -DVORLANE_BUILD_TESTS=ON >/dev/null
cmake --build "$TSAN_BUILD" --target vorlane_core_tests
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" timeout 900 "$TSAN_BUILD/vorlane/vorlane_core_tests" \
  --gtest_filter='*ThreadPool*:*Rounds*:*Parallel*:*Level*:*Threaded*:*RankElimination*' --gtest_brief=1 || failed+=("ThreadSanitizer")

stage "extension modules under ASan+UBSan"
MODULE_DIR=$(dirname "$(find "$BUILD/vorlane-py" -name '_vorlane*.so' | head -1)")
# The package from the source tree around the sanitized engine module, so that the tests that
# go through vorlane (the engine's checks, saved preconditioners) run on sanitized code too.
PACKAGE_DIR="$BUILD/package"
rm -rf "$PACKAGE_DIR" && mkdir -p "$PACKAGE_DIR"
cp -r python/vorlane "$PACKAGE_DIR/vorlane"
ln -s "$(find "$BUILD/vorlane-py" -name '_engine*.so' | head -1)" "$PACKAGE_DIR/vorlane/"
LIBASAN=$(gcc -print-file-name=libasan.so)
PYTHONPATH="$PACKAGE_DIR:$MODULE_DIR" LD_PRELOAD="$LIBASAN" ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
  PYTHONMALLOC=malloc python3 -c "import _vorlane, vorlane._engine as e
assert _vorlane.__file__.startswith('$MODULE_DIR'), _vorlane.__file__
assert e.__file__.startswith('$PACKAGE_DIR'), e.__file__"
PYTHONPATH="$PACKAGE_DIR:$MODULE_DIR" LD_PRELOAD="$LIBASAN" ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
  PYTHONMALLOC=malloc VORLANE_UNDER_SANITIZER=1 \
  timeout 900 python3 -m pytest -q -p no:cacheprovider --rootdir=. tests/binding tests/hardening \
  --deselect tests/binding/test_binding_leaks.py::test_repeated_calls_do_not_grow_memory \
  || failed+=("modules under ASan+UBSan")

stage "valgrind memcheck of the installed module"
PY=$(python3 -c "import sys; print(sys.executable)")
LOG="$BUILD/valgrind.log"
(cd tests && PYTHONMALLOC=malloc timeout 900 valgrind --leak-check=full --show-leak-kinds=definite \
  --num-callers=50 --log-file="$LOG" "$PY" hardening/valgrind_driver.py) || failed+=("valgrind driver")
python3 - "$LOG" <<'EOF' || failed+=("valgrind reports")
import re, sys
text = open(sys.argv[1]).read()
records = re.split(r"\n==\d+== \n", text)
ours = re.compile(r"_vorlane|vorlane::|vorlane_py")
kinds = re.compile(r"Invalid (read|write|free)|uninitialised|definitely lost|Mismatched free|overlap|Syscall param")
bad = [r for r in records if kinds.search(r) and ours.search(r)]
for r in bad:
    print(r, "\n")
print(f"valgrind: {len(bad)} reports through the module")
sys.exit(1 if bad else 0)
EOF
echo "sanitize: finished in ${SECONDS}s"
if [ "${#failed[@]}" -gt 0 ]; then
  printf 'sanitize: FAILED: %s\n' "${failed[@]}"
fi
# Five checks: core unit tests, ThreadSanitizer, module under ASan+UBSan, valgrind driver,
# valgrind reports.
echo "sanitize: $((5 - ${#failed[@]})) passed, ${#failed[@]} failed"
[ "${#failed[@]}" -eq 0 ]
