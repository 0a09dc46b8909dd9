#!/usr/bin/env bash
# Installs everything the build, the tests and the simulated robot need, from
# Debian's packages, non-interactively. Safe to run again: packages already
# present are left alone.
set -euo pipefail

pkgs=(
  build-essential cmake pkg-config
  libyaml-cpp-dev
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  iproute2 tshark libpcap-dev
  clang libclang-rt-14-dev llvm
  nlohmann-json3-dev libtinyxml2-dev
  python3 python3-matplotlib python3-junitparser libxml2-utils chromium fonts-wqy-zenhei
  rt-tests
)

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  # tshark asks whether non-root users may capture; answer it up front.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
