#!/usr/bin/env bash
# Sets everything up, builds orvane-scada in release mode, installs it under /opt/kelvaworks/
# and runs it in the foreground (Ctrl-C or SIGTERM stops it).
# Usage (as root on Debian 12): bash scripts/run-gateway.sh
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"

build="$here/build/release"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_TESTS=ON -DORVANE_SANITIZE=OFF
# The programs only (the simulated probe bus comes along for trying the gateway without hardware).
cmake --build "$build" -j "$(nproc)" --target orvane-scada orvane-lte orvane-system probe-sim

bash "$here/scripts/install.sh" "$build"
# exec keeps this process id for the gateway (or, off the device, for the namespace holding it).
echo "Starting /opt/kelvaworks/bin/orvane-scada, pid $$ (stop with Ctrl-C, or: kill -TERM $$)"
if [ "${ORVANE_ON_DEVICE:-0}" = 1 ]; then
  # On the gateway itself: firewall, Wi-Fi, services and clock are the program's to manage.
  cd /opt/kelvaworks && exec /opt/kelvaworks/bin/orvane-scada
fi
# Anywhere else the gateway would flush this machine's firewall, stop its Wi-Fi services and
# write /etc: it runs with those commands stubbed and /etc overlaid (see host-safe-run.sh).
exec unshare --mount --pid --fork --kill-child=SIGTERM --mount-proc \
  bash "$here/scripts/host-safe-run.sh" /opt/kelvaworks/bin/orvane-scada
