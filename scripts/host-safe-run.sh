#!/usr/bin/env bash
# Runs a gateway program so that it cannot change the machine it is tried on. Started by
# run-gateway.sh as the first process of private mount and PID namespaces (the network is the
# host's, so its ports are reachable as usual). SIGTERM, SIGINT or SIGHUP to it is passed on to
# the program as SIGTERM; it ends with the program's exit status. Inside:
#   - /etc is an overlay: writes (iptables rules, hostapd.conf, network files) land in a
#     throw-away layer; where no overlay can be mounted there, a throw-away copy of /etc on the
#     private /run takes its place (one line on stderr says so);
#   - iptables, iptables-save, killall, systemctl, reboot, hwclock, ping and `date -s` are stubs
#     that only log what they would have done to /opt/kelvaworks/log/host-safe.log;
#   - /proc is the namespace's own, so nothing outside can be signalled by name;
#   - /sys/class/gpio (where it exists) is an empty tmpfs.
# Usage: host-safe-run.sh <program> [args...]   (needs root)
set -euo pipefail
. "$(cd "$(dirname "$0")" && pwd)/wait-child.sh"
mount --make-rprivate /
# A private /run holds the stubs, so nothing is written on the host.
mount -t tmpfs tmpfs /run
box=/run/host-safe
mkdir -p "$box/bin" "$box/etc-up" "$box/etc-work" "$box/etc-copy"
log=/opt/kelvaworks/log/host-safe.log
mkdir -p "$(dirname "$log")"

stub() {  # stub <name> <exit status>: logs the command line it was called with ($0 is its path)
    printf '#!/bin/sh\necho "would run: $0 $*" >> %s\nexit %s\n' "$log" "$2" > "$box/bin/$1"
    chmod 755 "$box/bin/$1"
}
for p in iptables iptables-save killall systemctl reboot hwclock; do stub "$p" 0; done
stub ping 1  # no probe of the Internet from here: the gateway shows "not connected"
# date: reading the time stays real; setting it is only logged.
cp "$(readlink -f "$(command -v date)")" "$box/bin/date.real"
printf '#!/bin/sh\nfor a in "$@"; do case "$a" in -s|--set*) echo "would run: date $*" >> %s; exit 0;; esac; done\nexec %s "$@"\n' \
    "$log" "$box/bin/date.real" > "$box/bin/date"
chmod 755 "$box/bin/date"

# Programs named by absolute path are covered by binding a stub over them (a symbolic link is
# followed, so a multi-call program behind several names is stubbed for all of them).
for target in /usr/sbin/iptables /usr/sbin/iptables-save /usr/bin/killall /usr/bin/systemctl \
              /usr/sbin/reboot /usr/sbin/hwclock /usr/bin/ping /usr/bin/date; do
    if [ -e "$target" ]; then mount --bind "$box/bin/$(basename "$target")" "$target"; fi
done
export PATH="$box/bin:$PATH"

if ! mount -t overlay overlay -o "lowerdir=/etc,upperdir=$box/etc-up,workdir=$box/etc-work" /etc 2>/dev/null; then
    # The kernel stacks overlays only two deep: where /etc is two deep already (a test sandbox's
    # overlay on a container's root file system), a copy with its links and modes on the private
    # tmpfs instead.
    cp -a /etc/. "$box/etc-copy/"
    mount --bind "$box/etc-copy" /etc
    echo "host-safe-run: no overlay possible over /etc, it is a throw-away copy on tmpfs" >&2
fi
# Folders the device has and a development machine may lack (the saved firewall rules).
mkdir -p /etc/iptables
if [ -d /sys/class/gpio ]; then mount -t tmpfs tmpfs /sys/class/gpio; fi

cd /opt/kelvaworks
"$@" &
child=$!
trap 'kill -TERM "$child" 2>/dev/null || true' TERM INT HUP
wait_child "$child"
exit "$status"
