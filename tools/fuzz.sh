#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a bounded time.
#   tools/fuzz.sh [SECONDS]    seconds per target, default 60 (CI); longer runs: tools/fuzz.sh 3600
# Targets: the libFuzzer harness of the core (clang, ASan+UBSan) and the atheris harness of the
# Python module. New inputs go to build/fuzz/corpus-*; crash reproducers to build/fuzz/artifacts
# (replay one with build/fuzz/core_fuzzer FILE, or python3 fuzz/python_fuzzer.py FILE).
# Installs what it needs on a fresh Debian machine.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SECONDS_EACH="${1:-60}"
BUILD="$ROOT/build/fuzz"

SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  $SUDO apt-get update -qq && $SUDO apt-get install -y -qq clang libclang-rt-14-dev
fi
python3 -m pip install -q cmake ninja
python3 -c "import atheris" 2>/dev/null || python3 -m pip install -q atheris
(cd /tmp && python3 -c "import _vorlane") 2>/dev/null || python3 -m pip install -q .

CC=clang CXX=clang++ cmake -S fuzz -B "$BUILD" -G Ninja >/dev/null
cmake --build "$BUILD"
mkdir -p "$BUILD/corpus-core" "$BUILD/corpus-python" "$BUILD/artifacts"

passed=0
failed=0
run() {  # name, command...: runs with a hard stop well past libFuzzer's own time limit
  local name=$1 rc=0; shift
  echo "== fuzz: $name for ${SECONDS_EACH}s"
  timeout $((SECONDS_EACH + 300)) "$@" > "$BUILD/$name.log" 2>&1 || rc=$?
  grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$BUILD/$name.log" || true
  if [ "$rc" -ne 0 ]; then
    echo "fuzz: $name FAILED (exit $rc); log tail:"
    tail -60 "$BUILD/$name.log"
  fi
  return "$rc"
}

run core "$BUILD/core_fuzzer" "$BUILD/corpus-core" fuzz/corpus/core \
  -max_total_time="$SECONDS_EACH" -max_len=4096 -timeout=30 -rss_limit_mb=2048 \
  -artifact_prefix="$BUILD/artifacts/core-" -print_final_stats=1 && passed=$((passed + 1)) || failed=$((failed + 1))
# From outside the source tree, so the installed module is the one fuzzed.
run python env -C /tmp python3 "$ROOT/fuzz/python_fuzzer.py" "$BUILD/corpus-python" "$ROOT/fuzz/corpus/python" \
  -max_total_time="$SECONDS_EACH" -max_len=4096 -timeout=30 -rss_limit_mb=2048 \
  -artifact_prefix="$BUILD/artifacts/python-" -print_final_stats=1 && passed=$((passed + 1)) || failed=$((failed + 1))

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
