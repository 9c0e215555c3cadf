#!/usr/bin/env bash
# Runs a command in a network namespace of its own, with loopback up and a
# virtual Ethernet pair carrying a documentation address, so a test can start the
# whole program (its engine listens on port 8016 on every interface) without
# touching the machine's network, and address discovery gives a known address.
# Exits 77 (ctest's skip code) where namespaces cannot be made.
set -euo pipefail
address="${TESSARY_TEST_ADDRESS:-198.51.100.7}"
if [[ "${1:-}" != "--inside" ]]; then
    if ! command -v unshare >/dev/null || ! command -v ip >/dev/null; then
        echo "SKIP: unshare or ip is missing; cannot make a network namespace" >&2
        exit 77
    fi
    if ! unshare -n -m true 2>/dev/null; then
        if unshare -r -n -m true 2>/dev/null; then
            exec unshare -r -n -m "$0" --inside "$@"
        fi
        echo "SKIP: network namespaces cannot be made here (needs root or user namespaces)" >&2
        exit 77
    fi
    exec unshare -n -m "$0" --inside "$@"
fi
shift
# sysfs shows the namespace that mounted it: mount it again for this one.
mount -t sysfs sysfs /sys 2>/dev/null || true
ip link set lo up
# A veth pair rather than a dummy interface: the dummy module is not always
# available, and a veth with its peer up reports a real "up" state.
ip link add tess0 type veth peer name tess1
ip addr add "$address/24" dev tess0
ip link set tess1 up
ip link set tess0 up
exec "$@"
