#!/usr/bin/env bash
# Fuzzes the engine's pure functions that meet untrusted bytes, each target
# under ASan and UBSan with libFuzzer, from the seed corpus in corpus/<target>.
#   bash bench/fuzz/run.sh [SECONDS]   (default 600 per target)
# Builds with clang into build-fuzz/. New inputs found go to build-fuzz/found/
# (the seed corpus in the tree stays as it is); a crash or a broken property
# is saved as build-fuzz/crashes/<target>-crash-... and fails the run.
# Exits 77 (a skip for ctest) where clang's libFuzzer is missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${1:-600}"
targets=(request_path query_value name_cleaner byte_range upload_request)

# libFuzzer lies in the compiler's own resource folder: lib/linux/ with the
# architecture in the name, or, in newer layouts, lib/<target triple>/.
libfuzzer_of_clang() {
    local resource triple arch library
    resource=$(clang++ -print-resource-dir) && triple=$(clang++ -dumpmachine) || return 1
    arch=${triple%%-*}
    [[ "$arch" == i?86 ]] && arch=i386
    for library in "$resource/lib/linux/libclang_rt.fuzzer-$arch.a" \
        "$resource/lib/$triple/libclang_rt.fuzzer.a"; do
        [[ -f "$library" ]] && return 0
    done
    return 1
}
if ! command -v clang++ >/dev/null || ! libfuzzer_of_clang; then
    echo "SKIPPED: clang's libFuzzer is missing (apt-get install clang libclang-rt-14-dev)"
    exit 77
fi

if [[ ! -f build-fuzz/build.ninja ]]; then
    cmake -S bench/fuzz -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
fi
cmake --build build-fuzz

mkdir -p build-fuzz/crashes
failed=()
for target in "${targets[@]}"; do
    found="build-fuzz/found/$target"
    mkdir -p "$found"
    echo "== fuzz_$target for ${seconds}s"
    if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "build-fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="build-fuzz/crashes/$target-" "$found" "bench/fuzz/corpus/$target" \
        2>"build-fuzz/$target.log"; then
        failed+=("$target")
        tail -n 40 "build-fuzz/$target.log"
    fi
    grep -E '^stat::(number_of_executed_units|new_units_added)' "build-fuzz/$target.log" || true
done

if ((${#failed[@]})); then
    echo "FAILED: ${failed[*]} (inputs in build-fuzz/crashes/)"
    exit 1
fi
echo "no crash, no broken property"
