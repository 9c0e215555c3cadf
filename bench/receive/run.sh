#!/usr/bin/env bash
# Benchmarks of receiving and publishing, each against its own target:
#  - publishing a 2 GiB file against cp --reflink=auto of the same file
#    (target: at most 1.1 times the time of cp); a published copy is not
#    flushed to the disk (it lives only for the run), like cp's; cp followed
#    by sync is shown as well;
#  - finished upload -> visible in the receiving folder over 50 uploads
#    (target: within the one-second tick plus 100 ms).
# Usage: bench/receive/run.sh [work folder on the disk to measure]
set -euo pipefail
cd "$(dirname "$0")/../.."

bash scripts/build.sh --configure-only
cmake --build build --target publish_bench upload_latency_bench >/dev/null

work=$(mktemp -d "${1:-${TMPDIR:-/tmp}}/tessary-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

seconds() { # runs a command, prints its wall time in seconds
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}

echo "== publishing a 2 GiB file ($(stat -f -c %T "$work"))"
head -c $((2 * 1024 * 1024 * 1024)) /dev/urandom >"$work/big.bin"
sync "$work/big.bin"
best_cp=""; best_cp_sync=""; best_pub=""
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }
for round in 1 2 3; do
    mkdir -p "$work/cp" "$work/pub"
    t_cp=$(seconds cp --reflink=auto "$work/big.bin" "$work/cp/big.bin")
    rm -f "$work/cp/big.bin"; sync
    t_cp_sync=$(seconds sh -c "cp --reflink=auto '$work/big.bin' '$work/cp/big.bin' && sync '$work/cp/big.bin'")
    rm -f "$work/cp/big.bin"; sync
    t_pub=$(build/bin/publish_bench "$work/big.bin" "$work/pub")
    rm -rf "$work/pub"; sync
    printf 'round %d: cp %.3f s, cp+sync %.3f s, PublishSelectedFiles %.3f s\n' \
        "$round" "$t_cp" "$t_cp_sync" "$t_pub"
    best_cp=$(min "$best_cp" "$t_cp"); best_cp_sync=$(min "$best_cp_sync" "$t_cp_sync")
    best_pub=$(min "$best_pub" "$t_pub")
done
printf 'best: cp %.3f s, cp+sync %.3f s, publish %.3f s\n' "$best_cp" "$best_cp_sync" "$best_pub"
printf 'ratio publish / cp: %.2f (target <= 1.10)\n' "$(awk -v a="$best_pub" -v b="$best_cp" 'BEGIN { print a / b }')"
printf 'ratio publish / (cp + sync): %.2f\n' "$(awk -v a="$best_pub" -v b="$best_cp_sync" 'BEGIN { print a / b }')"
rm -f "$work/big.bin"

echo "== upload finished -> in the receiving folder, 50 uploads, 1000 ms tick"
mkdir -p "$work/latency"
build/bin/upload_latency_bench "$work/latency" 50
echo "target: latency_max_ms <= 1100"
