#!/usr/bin/env bash
# Installs built programs and their default files under /opt/kelvaworks/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/release}
root=/opt/kelvaworks
mkdir -p "$root"/{config/recipes,config/probes,runtime,log,data,web}
# The three programs live in bin/, where a firmware upgrade puts their new versions.
mkdir -p "$root/bin"
for prog in src/orvane-scada cloud_daemon/orvane-lte system_service/orvane-system; do
  if [ -x "$build/$prog" ]; then install -m 0755 "$build/$prog" "$root/bin/$(basename "$prog")"; fi
done
if [ -d "$here/dist/web" ]; then cp -rn "$here/dist/web/." "$root/web/"; fi
if [ -d "$here/dist/probes" ]; then cp -rn "$here/dist/probes/." "$root/config/probes/"; fi
if [ -d "$here/dist/script" ]; then mkdir -p "$root/script" && cp -r "$here/dist/script/." "$root/script/"; fi
for lib in "$build"/ipc/liborvane_ipc.so*; do
  [ -e "$lib" ] && cp -a "$lib" /usr/local/lib/
done
ldconfig || true
