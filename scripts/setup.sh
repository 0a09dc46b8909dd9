#!/usr/bin/env bash
# Installs what the build and the demo need, from Debian's packages,
# non-interactively: the compiler and CMake, the libraries, iproute2 for the
# simulated bus, scdoc for the man pages, and dpkg-dev, file and libcap2-bin
# for the Debian package (cpack -G DEB) and its capabilities. The test-only
# packages come from scripts/setup-test.sh, which scripts/test.sh runs.
# Safe to run again: packages already present are left alone.
#
#   scripts/setup.sh [MORE_PACKAGES...]
set -euo pipefail

pkgs=(
  build-essential cmake pkg-config
  libyaml-cpp-dev
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  libpcap-dev
  nlohmann-json3-dev libtinyxml2-dev
  iproute2 python3
  scdoc dpkg-dev file libcap2-bin
  "$@"
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
