#!/usr/bin/env bash
# The pages over an emulated Wi-Fi link: the engine in a network namespace
# ("pc"), chromium and curl in another ("phone"), a veth pair between them
# whose rate tbf shapes in both directions, and a delay proxy in the phone's
# namespace that holds each direction's bytes for the one-way delay (this
# kernel has tbf but no netem). Packet loss cannot be emulated this way.
#
# Usage: bash bench/pages/wifi.sh [good] [poor]   (both when none is named)
#   good: 300 Mbit/s, 3 ms each way; poor: 20 Mbit/s, 30 ms each way.
# FILES (200), FILE_SIZE (3000000), BIG_MIB (1024) and TARGET (0.9) override.
# Needs root (namespaces, tc), a build and the browser test tools
# (scripts/deps.sh); about FILES x FILE_SIZE + 2 x BIG_MIB free in $TMPDIR.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
ENGINE=${ENGINE:-$ROOT/build/bin/TessaryEngine}
WEBROOT_TOOL=$ROOT/build/tests/bin/pages_webroot
KEY=wifibn
if [[ $(id -u) != 0 ]] || ! command -v tc >/dev/null || ! command -v ip >/dev/null; then
    echo "skipped: the link needs root, ip and tc" >&2
    exit 0
fi
[[ -x "$ENGINE" && -x "$WEBROOT_TOOL" ]] || { echo "build first (no $ENGINE or $WEBROOT_TOOL)" >&2; exit 1; }
LINKS=("$@")
[[ ${#LINKS[@]} -gt 0 ]] || LINKS=(good poor)

PC=tessary-wifi-pc-$$
PHONE=tessary-wifi-phone-$$
WORK=""
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    PIDS=()
    ip netns del "$PC" 2>/dev/null || true
    ip netns del "$PHONE" 2>/dev/null || true
    [[ -n "$WORK" ]] && rm -rf "$WORK"
    WORK=""
}
trap cleanup EXIT

status=0
for link in "${LINKS[@]}"; do
    case $link in
        good) RATE=300mbit BURST=300kb DELAY_MS=3 ;;
        poor) RATE=20mbit BURST=32kb DELAY_MS=30 ;;
        *) echo "unknown link $link (good or poor)" >&2; exit 2 ;;
    esac
    ip netns add "$PC"
    ip netns add "$PHONE"
    ip link add wifi-pc netns "$PC" type veth peer name wifi-phone netns "$PHONE"
    ip -n "$PC" addr add 10.77.0.1/24 dev wifi-pc
    ip -n "$PHONE" addr add 10.77.0.2/24 dev wifi-phone
    for ns in "$PC" "$PHONE"; do ip -n "$ns" link set lo up; done
    ip -n "$PC" link set wifi-pc up
    ip -n "$PHONE" link set wifi-phone up
    # The rate in each direction: what each end sends.
    ip netns exec "$PC" tc qdisc add dev wifi-pc root tbf rate $RATE burst $BURST latency 50ms
    ip netns exec "$PHONE" tc qdisc add dev wifi-phone root tbf rate $RATE burst $BURST latency 50ms

    WORK=$(mktemp -d "${TMPDIR:-/tmp}/tessary-wifi-XXXXXX")
    "$WEBROOT_TOOL" generate "$ROOT/build/bin/pdata" "$WORK" "$KEY"
    (cd "$WORK" && exec ip netns exec "$PC" "$ENGINE" "$KEY" ./wdoc --port 8016 --bind 10.77.0.1) &
    PIDS+=($!)
    ip netns exec "$PHONE" node bench/pages/delay-proxy.mjs 127.0.0.1:8016 10.77.0.1:8016 "$DELAY_MS" &
    PIDS+=($!)
    for _ in $(seq 100); do
        ip netns exec "$PHONE" curl -sf -o /dev/null "http://127.0.0.1:8016/index.html" && break
        sleep 0.1
    done
    echo "$link link: $RATE, $DELAY_MS ms each way (tbf and the delay proxy; no loss)"
    ip netns exec "$PHONE" env PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 BASE=http://127.0.0.1:8016 WORK="$WORK" \
        KEY="$KEY" LINK="$link" node bench/pages/wifi.mjs || status=1
    cleanup
done
exit $status
