#!/usr/bin/env bash
# Sets everything up, builds orvane-scada in release mode, installs it under /opt/kelvaworks/
# and runs it in the foreground. Ctrl-C, or SIGTERM to the process id it prints, stops the
# gateway; the script waits for it and ends with its exit status.
# Usage (as root on Debian 12): bash scripts/run-gateway.sh
# ORVANE_BUILD_DIR=<build folder> installs the programs already built there instead (no package
# set-up, no build).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

if [ -n "${ORVANE_BUILD_DIR:-}" ]; then
  build=$ORVANE_BUILD_DIR
else
  bash "$here/scripts/setup.sh"
  build="$here/build/release"
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_TESTS=ON -DORVANE_SANITIZE=OFF
  # The programs only (the simulated probe bus comes along for trying the gateway without hardware).
  cmake --build "$build" -j "$(nproc)" --target orvane-scada orvane-lte orvane-system probe-sim
fi

bash "$here/scripts/install.sh" "$build"
echo "Starting /opt/kelvaworks/bin/orvane-scada, pid $$ (stop with Ctrl-C, or: kill -TERM $$)"
if [ "${ORVANE_ON_DEVICE:-0}" = 1 ]; then
  # On the gateway itself: firewall, Wi-Fi, services and clock are the program's to manage.
  # exec keeps the printed process id for the gateway.
  cd /opt/kelvaworks && exec /opt/kelvaworks/bin/orvane-scada
fi

# Anywhere else the gateway would flush this machine's firewall, stop its Wi-Fi services and
# write /etc: it runs with those commands stubbed and /etc overlaid (see host-safe-run.sh), in
# private mount and PID namespaces. unshare itself ignores SIGTERM, so this script stays in
# front: it hands SIGTERM (and Ctrl-C) to the namespace's first process, which passes it on to
# the gateway, and waits for the end.
unshare --mount --pid --fork --kill-child=SIGTERM --mount-proc \
  bash "$here/scripts/host-safe-run.sh" /opt/kelvaworks/bin/orvane-scada &
ns=$!

stop() {
  local inner="" tries=0
  # The namespace's first process is unshare's only child; it may not exist for a moment.
  while [ -z "$inner" ] && kill -0 "$ns" 2>/dev/null && [ "$tries" -lt 50 ]; do
    inner=$(cat /proc/"$ns"/task/*/children 2>/dev/null | tr -s ' ' '\n' | head -n 1)
    [ -n "$inner" ] || { sleep 0.1; tries=$((tries + 1)); }
  done
  if [ -n "$inner" ]; then kill -TERM "$inner" 2>/dev/null || true; fi
}
trap stop TERM INT HUP

# End with the namespace's status (the gateway's).
. "$here/scripts/wait-child.sh"
wait_child "$ns"
exit "$status"
