#!/bin/bash
# Removes the port-forwarding rules the gateway installs, so that applying the table again never
# piles up duplicates:
#   nat PREROUTING  ... -p tcp ... -j DNAT --to-destination <ip>:<port>
#   nat OUTPUT      ... -p tcp ... -j DNAT --to-destination <ip>:<port>
#   nat POSTROUTING -d <ip>/32 -p tcp ... -j MASQUERADE
#   FORWARD         ... -o eth1 ... -m state --state NEW,RELATED,ESTABLISHED -j ACCEPT
#   FORWARD         -i eth1 ... -m state --state RELATED,ESTABLISHED -j ACCEPT
# Rules of other shapes (the firewall's own chain and its jump, anything added by hand) stay.
IPT=${IPTABLES:-/usr/sbin/iptables}

delete_matching() {
    local table=$1 chain=$2 pattern=$3
    local rule
    # Order does not matter: each rule is deleted by repeating exactly the arguments that added it.
    "$IPT" -t "$table" -S "$chain" 2>/dev/null | grep -E -- "$pattern" | while read -r rule; do
        # "-A CHAIN spec..." becomes "-D CHAIN spec..."; the specs hold no quoted blanks.
        # shellcheck disable=SC2086
        "$IPT" -t "$table" -D ${rule#-A } || true
    done
}

delete_matching nat PREROUTING '^-A PREROUTING .*-p tcp .*-j DNAT --to-destination '
delete_matching nat OUTPUT '^-A OUTPUT .*-p tcp .*-j DNAT --to-destination '
delete_matching nat POSTROUTING '^-A POSTROUTING -d [0-9.]+/32 -p tcp .*-j MASQUERADE$'
delete_matching filter FORWARD '^-A FORWARD .*-o eth1 -p tcp .*-m state --state NEW,RELATED,ESTABLISHED -j ACCEPT$'
delete_matching filter FORWARD '^-A FORWARD .*-i eth1 .*-p tcp .*-m state --state RELATED,ESTABLISHED -j ACCEPT$'
exit 0
