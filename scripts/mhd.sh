#!/usr/bin/env bash
# Builds libmicrohttpd for the Linux engine once, from Debian's source
# package with the project's patch (scripts/debian-source.sh says why not
# Debian 12's own), into a cache outside the tree keyed by its version,
# compiler and patch; prints the install prefix. Static, so the engine
# carries it and the package needs no other version installed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source "$root/scripts/debian-source.sh"

# Raise when the way the library is built changes.
recipe=1
key_text="mhd $mhd_version; $(gcc --version | head -n1); recipe $recipe; patch $mhd_patch_id"
key="linux-$mhd_version-$(printf '%s' "$key_text" | sha256sum | cut -c1-12)"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/tessary-mhd/$key"
prefix="$cache/prefix"

mkdir -p "$cache"
# Two builds at once (two worktrees) take turns; the second finds it done.
exec 9>"$cache.lock"
flock 9
if [[ ! -f "$cache/complete" ]]; then
    started=$SECONDS
    work="$cache/work"
    rm -rf "$work" "$prefix"
    mkdir -p "$work" "$prefix"
    cc=gcc
    if command -v ccache >/dev/null 2>&1; then cc="ccache gcc"; fi
    src=$(mhd_source "$work")
    mhd_build "$src" "$prefix" CC="$cc" CFLAGS="-O2 -g"
    rm -rf "$work"
    printf '%s\n' "$key_text" >"$cache/versions.txt"
    touch "$cache/complete"
    echo "libmicrohttpd $mhd_version built in $((SECONDS - started)) s into $cache" >&2
fi
printf '%s\n' "$prefix"
