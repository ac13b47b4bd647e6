#!/usr/bin/env bash
# Installs every Debian package the daemon and its tests need. Idempotent; safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev
  nlohmann-json3-dev libcpp-httplib-dev rapidjson-dev libboost-dev
  libmosquitto-dev mosquitto mosquitto-clients
  libgpiod-dev libsdbus-c++-dev libsystemd-dev dbus
  libtinyxml2-dev
  tshark openssl python3 clang libclang-rt-14-dev
  strace
)

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
