#!/usr/bin/env bash
# Runs a window test in a network namespace of its own with two links, the
# default route on the second, and a host name that resolves to loopback
# only, so address discovery finds two known addresses. Where namespaces
# cannot be made the test runs as it is, without TESSARY_TWO_LINKS, and skips
# what needs the two links.
set -euo pipefail
if [[ "${1:-}" != "--inside" ]]; then
    if command -v unshare >/dev/null && command -v ip >/dev/null &&
        unshare -n -m -u true 2>/dev/null; then
        exec unshare -n -m -u "$0" --inside "$@"
    fi
    echo "note: no network namespace here; the address choice is not tested" >&2
    unset TESSARY_TWO_LINKS
    exec "$@"
fi
shift
# sysfs shows the namespace that mounted it: mount it again for this one.
mount -t sysfs sysfs /sys 2>/dev/null || true
hostname localhost
ip link set lo up
# veth pairs rather than dummies: the dummy module is not always available.
ip link add tessa type veth peer name tessa-peer
ip link add tessb type veth peer name tessb-peer
ip addr add 198.51.100.7/24 dev tessa
ip addr add 203.0.113.9/24 dev tessb
for link in tessa-peer tessb-peer tessa tessb; do ip link set "$link" up; done
ip route add default via 203.0.113.1 dev tessb
export TESSARY_TWO_LINKS=1
exec "$@"
