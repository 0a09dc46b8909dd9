#!/usr/bin/env bash
# The main job on a machine without a robot: builds the self-test programs and
# the simulated DCU network, then runs dcu_selftest and robot_selftest against
# the simulated robot of an example configuration (default examples/robot.yaml).
# Needs root (network namespaces and raw sockets).
set -euo pipefail
cd "$(dirname "$0")/.."

config="${1:-examples/robot.yaml}"
"$(pwd)/scripts/setup.sh"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > build.configure.log 2>&1 || { cat build.configure.log; exit 1; }
cmake --build build -j "${JOBS:-2}" --target dcu_sim dcu_simctl dcu_selftest robot_selftest

for prog in dcu_selftest robot_selftest; do
  echo "=== $prog $config (simulated robot) ==="
  scripts/simnet.sh --sim build/simulator/dcu_sim "$config" -- "build/tools/$prog" "$config"
done
