#!/usr/bin/env bash
# The launcher's rules for placing the engine into the user's work folder,
# run against a program folder of the test's own: missing, same, differing,
# running, read-only home, full disk, no HOME. The installed "program" only
# records the arguments it was started with, so every case also checks that
# the program is started, with its arguments, whatever became of the engine.
#
#   launcher_test.sh <launcher>
set -uo pipefail
launcher=$(realpath -e -- "${1:?usage: launcher_test.sh <launcher>}")

root=$(mktemp -d "${TMPDIR:-/tmp}/tessary-launcher.XXXXXX")
running_pid=""
cleanup() {
    [[ -n "$running_pid" ]] && kill "$running_pid" 2>/dev/null
    # Read-only and full-disk cases mount inside a namespace of their own;
    # make sure nothing is left writable-protected here.
    chmod -R u+w "$root" 2>/dev/null
    rm -rf -- "$root"
}
trap cleanup EXIT

source "$(dirname "$0")/../support/checks.sh"

# An installed layout: prefix/bin/tessary beside prefix/lib/tessary/.
prefix="$root/prefix"
mkdir -p "$prefix/bin" "$prefix/lib/tessary"
cp "$launcher" "$prefix/bin/tessary"
cat >"$prefix/lib/tessary/Tessary" <<'EOF'
#!/bin/sh
printf '%s\n' "$@" >"$TESSARY_TEST_ARGS"
EOF
chmod 755 "$prefix/lib/tessary/Tessary" "$prefix/bin/tessary"
# A real executable, so an engine started from the work folder is a running
# program image (the kernel refuses writes into it while it runs), with
# bytes appended so each copy below differs from the others.
engine_from() { # marker, size of padding in KiB
    cat /bin/sleep
    head -c "$((${2:-0} * 1024))" /dev/zero
    printf '%s' "$1"
}
engine_from installed-3.10 >"$prefix/lib/tessary/TessaryEngine"
chmod 755 "$prefix/lib/tessary/TessaryEngine"
installed="$prefix/lib/tessary/TessaryEngine"

args_file="$root/args"
stderr_file="$root/stderr"
# Runs the launcher with a fresh environment: HOME and XDG_DATA_HOME as given.
launch() { # home, xdg_data_home ("" for unset), then the program's arguments
    local home=$1 xdg=$2
    shift 2
    rm -f "$args_file"
    env -i PATH="${launch_path:-$PATH}" FAKE_HOME="${FAKE_HOME:-}" \
        TESSARY_TEST_ARGS="$args_file" ${home:+HOME="$home"} ${xdg:+XDG_DATA_HOME="$xdg"} \
        "$prefix/bin/tessary" "$@" 2>"$stderr_file"
}
started_with() { # the arguments the program must have been started with
    [[ -f "$args_file" ]] && diff <(printf '%s\n' "$@") "$args_file" >/dev/null
}
no_message() { [[ ! -s "$stderr_file" ]]; }
message_says() { grep -q -- "$1" "$stderr_file"; }
no_temporary_left() { ! compgen -G "$1/.TessaryEngine.*" >/dev/null; }
inode() { stat -c %i -- "$1"; }

# --- missing: placed under ~/.local/share/Tessary/, program started --------
home="$root/home"
mkdir -p "$home"
work="$home/.local/share/Tessary"
launch "$home" "" "first arg" second
check "missing: program started with its arguments" started_with "first arg" second
check "missing: engine placed as an exact copy" cmp -s "$installed" "$work/TessaryEngine"
check "missing: engine executable" test -x "$work/TessaryEngine"
check "missing: no message" no_message
check "missing: no temporary file left" no_temporary_left "$work"

# --- same: left as it is (not rewritten) ------------------------------------
before=$(inode "$work/TessaryEngine")
touch -d '2001-01-01' "$work/TessaryEngine"
launch "$home" ""
check "same: program started" started_with
check "same: engine file not rewritten" \
    test "$(inode "$work/TessaryEngine")" = "$before" -a \
    "$(stat -c %Y "$work/TessaryEngine")" = "$(date -d 2001-01-01 +%s)"

# --- differing: replaced -----------------------------------------------------
engine_from older-3.09 >"$work/TessaryEngine"
launch "$home" ""
check "differing: engine replaced by the installed one" cmp -s "$installed" "$work/TessaryEngine"
check "differing: program started" started_with
check "differing: no temporary file left" no_temporary_left "$work"

# --- XDG_DATA_HOME: used when absolute, ignored when relative ----------------
launch "$home" "$root/data"
check "XDG_DATA_HOME: engine placed in \$XDG_DATA_HOME/Tessary" \
    cmp -s "$installed" "$root/data/Tessary/TessaryEngine"
rm -rf "$work"
(cd "$root" && launch "$home" "relative/data")
check "relative XDG_DATA_HOME: ignored, engine placed under the home" \
    cmp -s "$installed" "$work/TessaryEngine"
check "relative XDG_DATA_HOME: nothing made in the current folder" test ! -e "$root/relative"

# --- running engine: replaced by a rename, the running one unharmed ---------
old="$root/old-engine"
engine_from running-3.08 >"$old"
install -m 755 "$old" "$work/TessaryEngine"
"$work/TessaryEngine" 60 &
running_pid=$!
# Wait until the process runs the engine's image, not the shell's.
for _ in $(seq 100); do
    [[ "$(readlink "/proc/$running_pid/exe" 2>/dev/null)" == "$work/TessaryEngine" ]] && break
    sleep 0.05
done
launch "$home" ""
check "running: engine replaced by the installed one" cmp -s "$installed" "$work/TessaryEngine"
check "running: no message" no_message
check "running: program started" started_with
check "running: the running engine still runs" kill -0 "$running_pid"
check "running: it runs its own, unchanged image" cmp -s "$old" "/proc/$running_pid/exe"
check "running: which is no longer under the engine's name" \
    grep -q "(deleted)" <(readlink "/proc/$running_pid/exe")
kill "$running_pid"
wait "$running_pid" 2>/dev/null
running_pid=""

# --- a folder where the engine should be: left alone, program started --------
rm -rf "$work"
mkdir -p "$work/TessaryEngine"
launch "$home" ""
check "folder in the way: message on standard error" message_says "cannot place the engine"
check "folder in the way: says it starts without an engine" message_says "starting without an engine"
check "folder in the way: folder untouched" test -d "$work/TessaryEngine"
check "folder in the way: nothing moved into it" test -z "$(ls -A "$work/TessaryEngine")"
check "folder in the way: program started" started_with
check "folder in the way: no temporary file left" no_temporary_left "$work"

# --- no HOME: the user database's home, as the program takes it -------------
# A getent of the test's own stands in for the user database.
mkdir -p "$root/fakebin"
printf '#!/bin/sh\n[ -n "$FAKE_HOME" ] && echo "user:x:1000:1000::$FAKE_HOME:/bin/sh"\n' \
    >"$root/fakebin/getent"
chmod 755 "$root/fakebin/getent"
launch_path="$root/fakebin:$PATH" FAKE_HOME="$root/pwhome" launch "" ""
check "no HOME: engine placed under the user database's home" \
    cmp -s "$installed" "$root/pwhome/.local/share/Tessary/TessaryEngine"
check "no HOME: program started" started_with
launch_path="$root/fakebin:$PATH" FAKE_HOME="" launch "" ""
check "no home at all: message" message_says "no home folder"
check "no home at all: program started" started_with

# --- the installed engine missing: message, program started ------------------
mv "$installed" "$root/installed.away"
launch "$home" ""
check "installed engine missing: message" message_says "reinstall"
check "installed engine missing: program started" started_with
mv "$root/installed.away" "$installed"

# Read-only homes and full disks. As root (in CI), permission bits stop
# nothing, so a mount namespace of the test's own gives a read-only bind
# mount and a tiny tmpfs; otherwise the permission bits and a file-size
# limit stand in for them.
as_root=false
if [[ $(id -u) -eq 0 ]] && unshare -m true 2>/dev/null; then as_root=true; fi
in_namespace() { # a script, run in a mount namespace of its own when root
    if $as_root; then
        unshare -m --propagation private bash -c "$1"
    else
        bash -c "$1"
    fi
}
export -f launch
export prefix args_file stderr_file

# --- read-only home, no work folder yet ------------------------------------
rohome="$root/rohome"
mkdir -p "$rohome/.local/share"
if $as_root; then
    readonly_setup="mount --bind '$rohome' '$rohome' && mount -o remount,bind,ro '$rohome'"
else
    readonly_setup="chmod -R a-w '$rohome'"
fi
in_namespace "$readonly_setup && launch '$rohome' '' one"
check "read-only home: program started" started_with one
check "read-only home: says the work folder cannot be made" \
    message_says "cannot create the work folder $rohome/.local/share/Tessary"
check "read-only home: says it starts without an engine" message_says "starting without an engine"
check "read-only home: nothing written" test ! -e "$rohome/.local/share/Tessary"
chmod -R u+w "$rohome"

# --- read-only home with an older engine in place: kept, program started ----
mkdir -p "$rohome/.local/share/Tessary"
engine_from older-3.09 >"$rohome/.local/share/Tessary/TessaryEngine"
chmod 755 "$rohome/.local/share/Tessary/TessaryEngine"
cp "$rohome/.local/share/Tessary/TessaryEngine" "$root/older"
$as_root || readonly_setup="chmod -R a-w '$rohome'"
in_namespace "$readonly_setup && launch '$rohome' ''"
check "read-only, older engine: program started" started_with
check "read-only, older engine: says it cannot write" message_says "cannot write in the work folder"
check "read-only, older engine: says it keeps the older one" message_says "engine already in"
check "read-only, older engine: the older engine intact" \
    cmp -s "$root/older" "$rohome/.local/share/Tessary/TessaryEngine"
chmod -R u+w "$rohome"

# --- full disk: the copy fails half-way ------------------------------------
# The engine is padded beyond the room there is, so the copy starts and fails.
fullhome="$root/fullhome"
mkdir -p "$fullhome/.local/share/Tessary"
engine_from older-3.09 >"$fullhome/.local/share/Tessary/TessaryEngine"
cp "$fullhome/.local/share/Tessary/TessaryEngine" "$root/older"
engine_from installed-3.10 512 >"$installed"
if $as_root; then
    # Room for the older engine and a little more, not for the padded one.
    room=$(($(stat -c %s "$root/older") / 1024 + 96))
    full_setup="mount -t tmpfs -o size=${room}k tmpfs '$fullhome/.local/share/Tessary' &&
        cp '$root/older' '$fullhome/.local/share/Tessary/TessaryEngine' &&
        chmod 755 '$fullhome/.local/share/Tessary/TessaryEngine'"
    reason="No space left on device"
else
    # A file-size limit fails the write with EFBIG once the signal is ignored.
    full_setup="trap '' XFSZ && ulimit -f $(($(stat -c %s "$root/older") / 1024 + 96))"
    reason="File too large"
fi
# The tmpfs is gone once the namespace ends: what it holds is judged inside.
in_namespace "$full_setup && launch '$fullhome' ''
    cmp -s '$root/older' '$fullhome/.local/share/Tessary/TessaryEngine' &&
    ! compgen -G '$fullhome/.local/share/Tessary/.TessaryEngine.*' >/dev/null &&
    echo kept >'$root/full-kept'"
check "full disk: program started" started_with
check "full disk: the reason on standard error" message_says "$reason"
check "full disk: says it keeps the older engine" message_says "engine already in"
check "full disk: older engine intact, no temporary file left" test -f "$root/full-kept"

checks_summary
