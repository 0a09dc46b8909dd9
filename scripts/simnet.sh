#!/usr/bin/env bash
# Runs a command against the simulated DCU network of a configuration file.
#
#   scripts/simnet.sh [--sim PATH] [--sim-args "ARGS"] CONFIG.yaml -- COMMAND [ARGS...]
#
# Creates two network namespaces joined by a veth pair (IPv6 off on both
# ends), starts dcu_sim with CONFIG.yaml on one end, and runs COMMAND in the
# other namespace, where the master-side interface is named as the
# configuration's ZorvikController.ethercat.ifname. COMMAND finds the
# simulator's control socket in $DCU_SIM_CONTROL and the control client in
# $DCU_SIMCTL (e.g. "$DCU_SIMCTL" cable pull). Everything is removed again
# when the command ends, fails, or is interrupted with Ctrl-C.
#
# dcu_sim is taken from --sim, else $DCU_SIM, else build/simulator/dcu_sim;
# dcu_simctl from the same directory. Needs root.
#
# Exit status: that of COMMAND (130 after Ctrl-C); 2 when the network could
# not be set up (bad arguments, bad settings, missing programs).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
sim="${DCU_SIM:-$root/build/simulator/dcu_sim}"
sim_args=""

usage() {
  echo "usage: $0 [--sim PATH] [--sim-args \"ARGS\"] CONFIG.yaml -- COMMAND [ARGS...]" >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case "$1" in
    --sim) [ $# -ge 2 ] || usage; sim="$2"; shift 2 ;;
    --sim-args) [ $# -ge 2 ] || usage; sim_args="$2"; shift 2 ;;
    -h|--help) usage ;;
    --) usage ;;
    -*) echo "simnet: unknown option $1" >&2; usage ;;
    *) break ;;
  esac
done
[ $# -ge 3 ] || usage
config="$1"
[ "$2" = "--" ] || usage
shift 2

[ "$(id -u)" -eq 0 ] || { echo "simnet: needs root (network namespaces, raw sockets)" >&2; exit 2; }
[ -x "$sim" ] || { echo "simnet: no dcu_sim at $sim (build it, or give --sim PATH)" >&2; exit 2; }
simctl="$(dirname "$sim")/dcu_simctl"
[ -x "$simctl" ] || { echo "simnet: no dcu_simctl next to $sim" >&2; exit 2; }
[ -r "$config" ] || { echo "simnet: cannot read $config" >&2; exit 2; }
config="$(cd "$(dirname "$config")" && pwd)/$(basename "$config")"

ifname="$("$sim" --config "$config" --print-ifname)" || exit 2
if [ -z "$ifname" ] || [ "${#ifname}" -gt 15 ] || ! [[ "$ifname" =~ ^[A-Za-z0-9_.-]+$ ]]; then
  echo "simnet: ZorvikController.ethercat.ifname in $config must be an interface name of 1..15 characters" >&2
  exit 2
fi

tag="$$"
ns_master="dcusim-m$tag"
ns_sim="dcusim-s$tag"
link_master="dsm$tag"
link_sim="dss$tag"
sock="/run/dcu_sim/simnet-$tag.sock"
sim_pid=""
status=0

cleanup() {
  trap - EXIT INT TERM
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  ip netns del "$ns_master" 2>/dev/null || true
  ip netns del "$ns_sim" 2>/dev/null || true
  ip link del "$link_master" 2>/dev/null || true
  rm -f "$sock"
}
trap 'cleanup; exit "$status"' EXIT
trap 'status=130; exit 130' INT
trap 'status=143; exit 143' TERM

status=2
ip netns add "$ns_master"
ip netns add "$ns_sim"
ip link add "$link_master" type veth peer name "$link_sim"
ip link set "$link_sim" netns "$ns_sim"
ip link set "$link_master" netns "$ns_master"
ip -n "$ns_master" link set "$link_master" name "$ifname"
ip -n "$ns_sim" link set "$link_sim" name sim0
# No IPv6 chatter on the test link (absent on kernels without IPv6).
ip netns exec "$ns_master" sh -c "echo 1 > /proc/sys/net/ipv6/conf/$ifname/disable_ipv6" 2>/dev/null || true
ip netns exec "$ns_sim" sh -c "echo 1 > /proc/sys/net/ipv6/conf/sim0/disable_ipv6" 2>/dev/null || true
ip -n "$ns_master" link set lo up
ip -n "$ns_master" link set "$ifname" up
ip -n "$ns_sim" link set sim0 up

# The simulator runs in a session of its own, so that Ctrl-C reaches only
# the command (which may still want to talk to the boards before it exits).
# shellcheck disable=SC2086
ip netns exec "$ns_sim" setsid "$sim" --ifname sim0 --config "$config" --control "$sock" $sim_args &
sim_pid=$!
for _ in $(seq 1 500); do
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    wait "$sim_pid" 2>/dev/null || status=$?
    sim_pid=""
    echo "simnet: dcu_sim did not start" >&2
    [ "$status" -ne 0 ] || status=2
    exit "$status"
  fi
  "$simctl" --control "$sock" --timeout 1 ping >/dev/null 2>&1 && break
  sleep 0.02
done
"$simctl" --control "$sock" --timeout 1 ping >/dev/null 2>&1 || { echo "simnet: dcu_sim does not answer on $sock" >&2; exit 2; }

status=0
set +e
ip netns exec "$ns_master" env DCU_SIM_CONTROL="$sock" DCU_SIMCTL="$simctl" "$@"
status=$?
set -e
exit "$status"
