#!/usr/bin/env bash
# Installs the Debian packages the daemon needs to build and run (the local
# default's stand-ins included); with --tests also those the tests add
# (googletest, tshark for the wire checks, clang for the fuzz step, strace
# for the benches). Idempotent; safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  nlohmann-json3-dev libcpp-httplib-dev rapidjson-dev libboost-dev
  libmosquitto-dev mosquitto mosquitto-clients
  libgpiod-dev libsdbus-c++-dev libsystemd-dev dbus
  libtinyxml2-dev
  openssl python3
)
test_packages=(
  googletest libgtest-dev libgmock-dev
  tshark clang libclang-rt-14-dev
  strace
)
case "${1:-}" in
  "") ;;
  --tests) packages+=("${test_packages[@]}") ;;
  *) echo "usage: install-deps.sh [--tests]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -q
  # tshark asks whether non-root users may capture; answer no without a prompt.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo_cmd debconf-set-selections
  $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
