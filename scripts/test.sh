#!/usr/bin/env bash
# Builds the project and passes its tests, on a fresh Debian 12 machine:
#   1. installs the dependencies of the build and of the tests (scripts/setup-test.sh),
#   2. builds and runs every test (bus tests side by side too: each brings up
#      its own simulator in network namespaces of its own),
#   3. rebuilds under AddressSanitizer + UBSan and runs the single-threaded tests,
#   4. rebuilds under ThreadSanitizer and runs the threaded tests,
#   5. builds the configuration fuzzer with clang and runs it for a bounded time.
# Bus tests need root (network namespaces and raw sockets).
set -euo pipefail
cd "$(dirname "$0")/.."

"$(pwd)/scripts/setup-test.sh"

JOBS="${JOBS:-2}"
# Tests at a time. Most of a test's time is spent waiting on a bus cycle, a
# timeout or a program it runs, so more tests than cores keep the machine
# busy without starving the cycle threads.
TEST_JOBS="${TEST_JOBS:-3}"
export CTEST_OUTPUT_ON_FAILURE=1

# Repeated builds (and the three builds of one tree) share compiled objects
# through ccache; paths are taken relative to the checkout, so a new clone
# in another folder still finds them.
LAUNCHER=()
if command -v ccache > /dev/null; then
  export CCACHE_BASEDIR="$(pwd)" CCACHE_NOHASHDIR=1
  LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

# Each stage's time, printed at the end (also when a stage fails).
STAGES=()
stage() {  # stage <name> <command...>
  local name="$1"; shift
  local t0=$SECONDS
  "$@"
  STAGES+=("$(printf '%-28s %4d s' "$name" $((SECONDS - t0)))")
}
print_stages() {
  [ "${#STAGES[@]}" -gt 0 ] || return 0
  echo "== stage times =="
  printf '%s\n' "${STAGES[@]}"
  printf '%-28s %4d s\n' "total" "$SECONDS"
}
trap print_stages EXIT

build() {  # build <dir> <cmake args...> [--target T]
  local dir="$1"; shift
  local target=()
  if [ "$#" -ge 2 ] && [ "${*: -2:1}" = "--target" ]; then
    target=(--target "${*: -1}")
    set -- "${@:1:$(($# - 2))}"
  fi
  # Ninja schedules the two cores better than make; a tree configured
  # before keeps its generator.
  local generator=()
  if command -v ninja > /dev/null && [ ! -f "$dir/CMakeCache.txt" ]; then generator=(-G Ninja); fi
  cmake -S . -B "$dir" "${generator[@]}" "${LAUNCHER[@]}" "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$JOBS" "${target[@]}"
}

run_ctest() {  # run_ctest <dir> <ctest args...>
  local dir="$1"; shift
  ctest --test-dir "$dir" --no-tests=error "$@"
}

mkdir -p build
stage "build (plain)" build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
stage "unit tests" run_ctest build -L unit -LE fuzz -j "$TEST_JOBS"
stage "bus tests" run_ctest build -L bus -j "$TEST_JOBS"
# The Debian packages: built, lintian, installed here, run as nobody, removed.
stage "package test" run_ctest build -L package

stage "build (ASan+UBSan)" build build-asan -DCMAKE_BUILD_TYPE=Debug -DZORVIK_SANITIZER=address -DZORVIK_BUILD_BENCHMARKS=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  stage "ASan+UBSan tests" run_ctest build-asan -LE 'threaded|fuzz' -j "$TEST_JOBS"

stage "build (TSan)" build build-tsan -DCMAKE_BUILD_TYPE=Debug -DZORVIK_SANITIZER=thread -DZORVIK_BUILD_BENCHMARKS=OFF --target threaded_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 stage "TSan tests" run_ctest build-tsan -L threaded -j "$JOBS"

# Only the fuzz target is built with clang; the rest is covered above.
stage "build (fuzzer)" build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DZORVIK_BUILD_FUZZERS=ON -DZORVIK_BUILD_BENCHMARKS=OFF --target config_fuzzer
stage "fuzzer" run_ctest build-fuzz -L fuzz
