#!/usr/bin/env bash
# Installs built programs and their default files under /opt/kelvaworks/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/release}
root=/opt/kelvaworks
mkdir -p "$root"/{config/recipes,config/probes,runtime,log,data,web}
install -m 0755 "$build/src/orvane-scada" "$root/orvane-scada"
if [ -x "$build/cloud_daemon/orvane-lte" ]; then install -m 0755 "$build/cloud_daemon/orvane-lte" "$root/orvane-lte"; fi
if [ -x "$build/system_service/orvane-system" ]; then
  mkdir -p "$root/bin" && install -m 0755 "$build/system_service/orvane-system" "$root/bin/orvane-system"
fi
if [ -d "$here/dist/web" ]; then cp -rn "$here/dist/web/." "$root/web/"; fi
if [ -d "$here/dist/probes" ]; then cp -rn "$here/dist/probes/." "$root/config/probes/"; fi
if [ -d "$here/dist/script" ]; then mkdir -p "$root/script" && cp -r "$here/dist/script/." "$root/script/"; fi
for lib in "$build"/ipc/liborvane_ipc.so*; do
  [ -e "$lib" ] && cp -a "$lib" /usr/local/lib/
done
ldconfig || true
