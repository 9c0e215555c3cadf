#!/usr/bin/env bash
# The Debian package as a user gets it: built by scripts/package.sh from the
# build tree, its contents and metadata checked (dpkg-deb, desktop-file-
# validate, appstreamcli, lintian), installed with dpkg -i, started through
# /usr/bin/tessary with a temporary home in a network namespace of its own
# (the engine listens on port 8016 on every interface), and removed again.
# The machine is left as it was found, also when a check fails.
#
#   package_test.sh <source folder> <build folder>
#
# Exits 77 (ctest's skip code) when not root or without network namespaces.
set -uo pipefail
source_dir=$(realpath -e -- "${1:?usage: package_test.sh <source> <build>}")
build_dir=$(realpath -e -- "${2:?usage: package_test.sh <source> <build>}")
address="${TESSARY_TEST_ADDRESS:-198.51.100.7}"

# installed, config-files, not-installed ...; nothing when dpkg never knew it.
package_state() { dpkg-query -W -f='${db:Status-Status}' tessary 2>/dev/null; }

if [[ "${3:-}" != "--inside" ]]; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "SKIP: installing a package needs root (dpkg -i); run as root, as CI does" >&2
        exit 77
    fi
    if [[ "$(package_state)" != "" && "$(package_state)" != not-installed ]]; then
        echo "SKIP: tessary is installed on this machine; the test will not replace it" >&2
        exit 77
    fi
    # The helper makes the namespace (or skips with 77) and runs us inside it.
    exec "$source_dir/tests/e2e/netns-run.sh" "$0" "$source_dir" "$build_dir" --inside
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tessary-package-test.XXXXXX")
home="$work/home"
mkdir -p "$home" "$work/tmp"
installed_by_us=false
program_pid=""

source "$(dirname "$0")/../support/checks.sh"
# Every process running a program of the package or of the test's home
# (one find over /proc: the machine may run hundreds of processes).
package_processes() {
    find /proc/[0-9]*/exe -maxdepth 0 \( -lname '/usr/lib/tessary/*' -o -lname "$home/*" \) \
        2>/dev/null | cut -d/ -f3
}
# dpkg waits for nobody: another package tool holding the lock is retried.
dpkg_retry() {
    local attempt
    for attempt in $(seq 30); do
        if DEBIAN_FRONTEND=noninteractive dpkg "$@" >"$work/dpkg.log" 2>&1; then return 0; fi
        grep -q "lock" "$work/dpkg.log" || break
        sleep 2
    done
    cat "$work/dpkg.log" >&2
    return 1
}
cleanup() {
    local pids
    [[ -n "$program_pid" ]] && kill -KILL "$program_pid" 2>/dev/null
    pids=$(package_processes)
    [[ -n "$pids" ]] && kill -KILL $pids 2>/dev/null
    if $installed_by_us && [[ "$(package_state)" != "" && "$(package_state)" != not-installed ]]; then
        dpkg_retry --purge tessary || echo "cleanup: could not remove tessary" >&2
    fi
    rm -rf -- "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# --- build ------------------------------------------------------------------
started=$(date +%s)
if ! deb=$(bash "$source_dir/scripts/package.sh" --prebuilt "$build_dir" --output "$work/out"); then
    echo "FAIL: scripts/package.sh failed" >&2
    exit 1
fi
echo "package built in $(($(date +%s) - started)) s: $(basename "$deb")"
version=$(sed -n 's/^project(Tessary VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
arch=$(dpkg --print-architecture)
check "named tessary_<version>_<arch>.deb" test "$(basename "$deb")" = "tessary_${version}_${arch}.deb"

# --- contents ---------------------------------------------------------------
dpkg-deb -c "$deb" >"$work/contents"
listed() { # path, mode
    awk -v p="./$1" -v m="$2" '$6 == p && $1 == m && $2 == "root/root" { found = 1 }
        END { exit !found }' "$work/contents"
}
for program in usr/bin/tessary usr/lib/tessary/Tessary usr/lib/tessary/TessaryEngine \
    usr/lib/tessary/pdata/pskl; do
    check "contents: $program, an executable owned by root" listed "$program" -rwxr-xr-x
done
for file in usr/lib/tessary/pdata/{uindex,dindex,dfilelist,mindex}.dat \
    usr/share/applications/tessary.desktop usr/share/metainfo/example.tessary.Tessary.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/tessary.svg \
    usr/share/icons/hicolor/{48x48,128x128,256x256}/apps/tessary.png \
    usr/share/man/man1/tessary.1.gz usr/share/doc/tessary/{copyright,changelog.gz}; do
    check "contents: $file" listed "$file" -rw-r--r--
done
outside=$(awk '$6 !~ /^\.\/usr\/(bin\/tessary|lib\/tessary\/|share\/(applications|metainfo|icons\/hicolor|man|doc\/tessary)\/)/ &&
    $6 !~ /\/$/ { print $6 }' "$work/contents")
check "contents: nothing outside the package's own places (${outside:-none})" test -z "$outside"

# --- metadata ---------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
check "control: Package tessary" test "$(field Package)" = tessary
check "control: Version $version" test "$(field Version)" = "$version"
check "control: Architecture $arch" test "$(field Architecture)" = "$arch"
depends=$(field Depends)
# The libraries come from dpkg-shlibdeps (the window's Qt, the update
# download's libcurl); plugins and fonts are named. The engine carries its
# own HTTP library, so Debian's older one is not asked for.
for dependency in libqt6widgets6 libcurl4 libc6 qt6-qpa-plugins fonts-open-sans \
    fonts-noto-core; do
    check "Depends names $dependency" grep -qE "(^|, )$dependency( |,|$)" <<<"$depends"
done
check "Depends leaves out libmicrohttpd" test -z "$(grep -o libmicrohttpd <<<"$depends")"
dpkg-deb -x "$deb" "$work/x"
build_id() { readelf -n "$1" | sed -n 's/.*Build ID: //p'; }
check "the packaged engine is the build's, stripped" test -n "$(build_id "$build_dir/bin/TessaryEngine")" -a \
    "$(build_id "$build_dir/bin/TessaryEngine")" = "$(build_id "$work/x/usr/lib/tessary/TessaryEngine")"
check "the packaged binaries carry no debugging sections" \
    test -z "$(readelf -S "$work"/x/usr/lib/tessary/{Tessary,TessaryEngine,pdata/pskl} | grep debug_info)"
check "desktop-file-validate accepts the desktop entry" \
    desktop-file-validate "$work/x/usr/share/applications/tessary.desktop"
check "the desktop entry is in Network and FileTransfer" \
    grep -qx "Categories=Network;FileTransfer;" "$work/x/usr/share/applications/tessary.desktop"
check "appstreamcli validates the metainfo" \
    appstreamcli validate --no-net "$work/x/usr/share/metainfo/example.tessary.Tessary.metainfo.xml"
png_size() { # width x height from a PNG's header
    local hex
    hex=$(od -An -tx1 -j16 -N8 "$1" | tr -d ' \n')
    echo "$((16#${hex:0:8}))x$((16#${hex:8:8}))"
}
for size in 48 128 256; do
    check "icon ${size}x${size} is a PNG of that size" \
        test "$(png_size "$work/x/usr/share/icons/hicolor/${size}x${size}/apps/tessary.png")" = "${size}x${size}"
done
lintian --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1
errors=$(grep '^E:' "$work/lintian")
check "lintian reports no errors${errors:+: $errors}" test -z "$errors"
grep -E '^(W|I):' "$work/lintian" | sed 's/^/lintian: /'

# --- install ----------------------------------------------------------------
installed_by_us=true
check "dpkg -i installs the package" dpkg_retry -i "$deb"
check "dpkg knows it as installed" test "$(package_state)" = installed

# --- start it from the launcher with a home of its own ----------------------
# No display is needed: Qt's offscreen platform draws the window in memory.
env -i PATH=/usr/bin:/bin HOME="$home" TMPDIR="$work/tmp" LANG=C.UTF-8 \
    QT_QPA_PLATFORM=offscreen /usr/bin/tessary >"$work/program.log" 2>&1 &
program_pid=$!
work_dir="$home/.local/share/Tessary"
engine_pid=""
deadline=$((SECONDS + 60))
while ((SECONDS < deadline)); do
    engine_pid=$(find /proc/[0-9]*/exe -maxdepth 0 -lname "$work_dir/TessaryEngine" 2>/dev/null |
        cut -d/ -f3 | head -n 1)
    [[ -n "$engine_pid" ]] && break
    sleep 0.2
done
check "the launcher started the program itself (same process)" \
    test "$(readlink "/proc/$program_pid/exe")" = /usr/lib/tessary/Tessary
check "the engine was placed in the home's work folder" \
    cmp -s /usr/lib/tessary/TessaryEngine "$work_dir/TessaryEngine"
check "the engine runs from there" test -n "$engine_pid"
check "the engine's working folder is the work folder" \
    test "$(readlink "/proc/${engine_pid:-0}/cwd")" = "${work_dir}"
page=$(find "$work_dir/wdoc/u" -maxdepth 1 -name '??????.html' | head -n 1)
check "the program wrote this run's upload page" test -n "$page"
served=""
deadline=$((SECONDS + 30))
while [[ -n "$engine_pid" && -n "$page" ]] && ((SECONDS < deadline)); do
    if curl -sf --max-time 5 --noproxy '*' -o "$work/served" \
        "http://$address:8016/u/$(basename "$page")"; then
        served=yes
        break
    fi
    sleep 0.1
done
check "the engine serves the upload page on port 8016" test -n "$served"
check "what it serves is the page as written" cmp -s "$page" "$work/served"
check "the launcher said nothing" test -z "$(grep '^tessary:' "$work/program.log")"

# --- close it ---------------------------------------------------------------
# A stop signal closes the program as its window's close does: it ends its
# engine and removes this run's pages itself, before anything else could.
kill -TERM "$program_pid"
# Ended means gone or a zombie: the program is this shell's child until waited for.
ended() { [[ ! -e "/proc/$1" || "$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null)" == Z ]]; }
deadline=$((SECONDS + 20))
while ! ended "$program_pid" && ((SECONDS < deadline)); do sleep 0.2; done
check "the program ended on SIGTERM" ended "$program_pid"
kill -KILL "$program_pid" 2>/dev/null
wait "$program_pid"
exit_status=$?
program_pid=""
check "the program exited with status 0 (got $exit_status)" test "$exit_status" -eq 0
deadline=$((SECONDS + 5))
while [[ -n "$(package_processes)" ]] && ((SECONDS < deadline)); do sleep 0.2; done
check "the program ended its engine itself" test -z "$(package_processes)"
port_closed() { ! curl -s --max-time 2 --noproxy '*' -o /dev/null "http://$address:8016/"; }
check "port 8016 is closed" port_closed
check "the program removed this run's page" test -n "$page" -a ! -e "$page"

# --- remove -----------------------------------------------------------------
check "dpkg --purge removes the package" dpkg_retry --purge tessary
check "dpkg knows it as gone" test "$(package_state)" = "" -o "$(package_state)" = not-installed
left=""
while read -r path; do
    path=${path#.}
    # Folders shared with other packages (/usr/share/icons/...) stay.
    [[ "$path" == */ ]] && continue
    [[ -e "$path" || -L "$path" ]] && left+=" $path"
done < <(awk '{ print $6 }' "$work/contents")
[[ -e /usr/share/doc/tessary ]] && left+=" /usr/share/doc/tessary/"
check "nothing of the package left outside the home:${left:- nothing}" test -z "$left"
check "the program folder is gone" test ! -e /usr/lib/tessary
check "the engine copy stays in the home" test -x "$work_dir/TessaryEngine"

checks_summary
