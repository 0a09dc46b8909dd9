#!/usr/bin/env bash
# Builds the project and passes its tests, on a fresh Debian 12 machine:
#   1. installs the dependencies of the build and of the tests (scripts/setup-test.sh),
#   2. builds and runs every test (unit tests in parallel, bus tests one by one),
#   3. rebuilds under AddressSanitizer + UBSan and runs the single-threaded tests,
#   4. rebuilds under ThreadSanitizer and runs the threaded tests,
#   5. builds the configuration fuzzer with clang and runs it for a bounded time.
# Bus tests need root (network namespaces and raw sockets).
set -euo pipefail
cd "$(dirname "$0")/.."

"$(pwd)/scripts/setup-test.sh"

JOBS="${JOBS:-2}"
export CTEST_OUTPUT_ON_FAILURE=1

build() {  # build <dir> <cmake args...> [--target T]
  local dir="$1"; shift
  local target=()
  if [ "$#" -ge 2 ] && [ "${*: -2:1}" = "--target" ]; then
    target=(--target "${*: -1}")
    set -- "${@:1:$(($# - 2))}"
  fi
  cmake -S . -B "$dir" "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$JOBS" "${target[@]}"
}

run_ctest() {  # run_ctest <dir> <ctest args...>
  local dir="$1"; shift
  ctest --test-dir "$dir" --no-tests=error "$@"
}

mkdir -p build
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_ctest build -L unit -LE fuzz -j "$JOBS"
run_ctest build -L bus
# The Debian packages: built, lintian, installed here, run as nobody, removed.
run_ctest build -L package

build build-asan -DCMAKE_BUILD_TYPE=Debug -DZORVIK_SANITIZER=address -DZORVIK_BUILD_BENCHMARKS=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build-asan -LE 'threaded|fuzz' -j "$JOBS"

build build-tsan -DCMAKE_BUILD_TYPE=Debug -DZORVIK_SANITIZER=thread -DZORVIK_BUILD_BENCHMARKS=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -L threaded

# Only the fuzz target is built with clang; the rest is covered above.
build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DZORVIK_BUILD_FUZZERS=ON -DZORVIK_BUILD_BENCHMARKS=OFF --target config_fuzzer
run_ctest build-fuzz -L fuzz
