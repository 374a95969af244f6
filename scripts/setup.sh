#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing the gateway needs.
# Idempotent: packages already present are left alone.
set -euo pipefail

PACKAGES=(
  build-essential g++ cmake ninja-build pkg-config git
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libmodbus-dev
  libboost-dev libboost-system-dev
  nlohmann-json3-dev
  libspdlog-dev libfmt-dev
  libsqlite3-dev libsqlitecpp-dev sqlite3
  zlib1g-dev libcurl4-openssl-dev
  libpaho-mqtt-dev libpaho-mqttpp-dev
  bison flex
  libcrypt-dev
  mbpoll mosquitto mosquitto-clients curl wrk jq
  tshark
  util-linux iproute2 procps psmisc
  iptables
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi
