#!/usr/bin/env bash
# The Windows program as a Windows user gets it, run whole under Wine: the
# installer (build-win/Tessary-Setup-<version>.exe, made by package.sh) in a
# fresh Wine prefix on Xvfb, inside a network namespace of its own, with
# Debian's chromium as the phone:
#
#   install silently; start the program; read its QR code from a screenshot;
#   upload a picture through the page to the engine under Wine; publish a
#   file through the open-file dialog and download it; Close; install again
#   over the running program; uninstall.
#
# Screenshots of the window's pages go to build-win/screenshots/. Exits 77
# (skipped) when Qt for Windows is not in the dependency cache: building it
# costs about 40 minutes once, so only scripts/windows/package.sh starts it.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

if [[ "${1:-}" != "--inside" ]]; then
    if ! bash scripts/windows/qt.sh --if-built >/dev/null; then
        echo "SKIP: the Windows end-to-end test did not run: Qt for Windows is not in the" \
            "dependency cache (~/.cache/tessary-win/qt6.4.2-*). Build it once (about 40 minutes" \
            "on 2 cores) with: bash scripts/windows/package.sh"
        exit 77
    fi
    for tool in Xvfb xdotool xwininfo import zbarimg node wine python3 curl; do
        if ! command -v "$tool" >/dev/null; then
            echo "test-e2e.sh: $tool is missing; run bash scripts/deps.sh" >&2
            exit 1
        fi
    done
    if [[ ! -d tests/browser/node_modules/playwright-core ]]; then
        echo "test-e2e.sh: the phone's driver (playwright-core) is missing; run bash scripts/deps.sh" >&2
        exit 1
    fi
    bash scripts/windows/package.sh
    exec tests/e2e/netns-run.sh "$0" --inside
fi

# ---------------------------------------------------------------- inside ----
started=$SECONDS
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-win/CMakeCache.txt)
build_number=$(sed -n 's/.*ProgramBuild = "\([0-9]*\)".*/\1/p' src/app/MainUnit.h)
setup="$root/build-win/Tessary-Setup-$version.exe"
caption="Tessary v$version build $build_number"
address="${TESSARY_TEST_ADDRESS:-198.51.100.7}"
shots="$root/build-win/screenshots"
picture="python3 $root/tests/e2e-win/picture.py"
rm -rf "$shots"
mkdir -p "$shots"

work=$(mktemp -d /tmp/tessary-e2e-win.XXXXXX)
# Wine links the prefix's Documents to the home folder's: the test's own.
export HOME="$work/home"
mkdir -p "$HOME"
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
# No Mono or Gecko installers: the program needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
xvfb_pid=""
cleanup() {
    wineserver -k 2>/dev/null || true
    [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

step() { printf '[%3d s] %s\n' "$((SECONDS - started))" "$*"; }
fail() {
    echo "FAIL: $*" >&2
    import -window root "$shots/failure.png" 2>/dev/null || true
    exit 1
}
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.2
    done
}
shot() { import -window root "$shots/$1" 2>/dev/null; }
# Clicks at a point of the window's client area.
click() {
    xdotool mousemove --window "$window" "$1" "$2" click "${3:-1}"
    sleep 0.5
}
# The text of every QR code on the screen.
scan() {
    import -window root "$work/scan.png" 2>/dev/null
    zbarimg --quiet --raw "$work/scan.png" 2>/dev/null || true
}
tessary_running() { pgrep -f 'Programs.Tessary.Tessary\.exe' >/dev/null; }
engine_running() { pgrep -f 'TessaryEngine\.exe' >/dev/null; }
registry() { wine reg query "$@" 2>/dev/null | tr -d '\r'; }

step "Xvfb and a fresh Wine prefix"
# -noreset: a server that resets when its last client leaves refuses the
# next one for a moment.
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp -noreset 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
wait_for 20 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$work/display")"
wine wineboot --init >/dev/null 2>&1 || fail "wineboot failed"
# Wine's dialogs, menus and message boxes ask for Tahoma, which Debian's Wine
# lacks (a serif face stands in): a sans face, so screenshots look like
# Windows. The window's own "Segoe UI" finds Open Sans by itself.
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Tahoma /d 'Open Sans' /f >/dev/null 2>&1 ||
    fail "could not set Wine's font replacement"
users=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n1)
user=$(basename "$users")
program_dir="$users/AppData/Local/Programs/Tessary"
program_win="C:\\users\\$user\\AppData\\Local\\Programs\\Tessary"
work_dir="$users/AppData/Roaming/Tessary"
shortcut="$users/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Tessary.lnk"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tessary'

# --------------------------------------------------------------- install ----
step "install with /S"
wine "$setup" /S || fail "the installer failed"
[[ -f "$program_dir/Tessary.exe" && -f "$program_dir/pdata/pskl.exe" &&
    -f "$program_dir/pdata/uindex.dat" && -f "$program_dir/platforms/qwindows.dll" ]] ||
    fail "the program folder is incomplete: $(ls -R "$program_dir" 2>&1 | head -20)"
[[ ! -e "$program_dir/TessaryEngine.exe" ]] || fail "the engine was put into the program folder"
[[ -f "$work_dir/TessaryEngine.exe" ]] || fail "WorkDir holds no engine"
[[ -f "$shortcut" ]] || fail "no Start-menu shortcut"
entry=$(registry "$uninstall_key") || fail "no uninstall entry"
for value in "DisplayName.*Tessary" "DisplayVersion.*$version" "Publisher.*Tessary" \
    "DisplayIcon.*Tessary.exe" "UninstallString.*Uninstall.exe" "EstimatedSize.*0x"; do
    grep -q "$value" <<<"$entry" || fail "the uninstall entry lacks $value: $entry"
done

# ----------------------------------------------------------------- start ----
start_tessary() {
    wine "$program_win\\Tessary.exe" >"$work/tessary.log" 2>&1 &
    tessary_pid=$!
    window=$(timeout 60 xdotool search --sync --name "^$caption\$" | head -n1) ||
        fail "no window captioned \"$caption\""
    xdotool windowfocus --sync "$window" 2>/dev/null || true
    tessary_running || fail "Tessary.exe is not among the processes"
    wait_for 20 engine_running || fail "the engine did not start"
}
step "start Tessary.exe"
start_tessary
[[ "$(xdotool getwindowname "$window")" == "$caption" ]] || fail "caption differs"
size=$(xwininfo -id "$window" | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w "x" h }')
[[ "$size" == "1324x832" ]] || fail "the client area is $size, not 1324x832"
documents=$(readlink -f "$users/Documents")
receive_dir="$documents/Tessary/$(date +%Y%m%d)"
wait_for 10 test -d "$receive_dir" || fail "no dated receiving folder $receive_dir"
# Wine shows a Windows process's command line as its Windows path.
engine_line=$(pgrep -af 'TessaryEngine\.exe' | head -n1)
grep -qi "AppData.Roaming.Tessary.TessaryEngine\.exe" <<<"$engine_line" ||
    fail "the engine does not run from WorkDir: $engine_line"
click 151 104 # "Welcome"
sleep 1
shot welcome.png

step "read the upload page's QR code"
click 346 104 # "Phone to PC"
upload_url=$(scan)
[[ "$upload_url" =~ ^http://${address//./\\.}:8016/u/([a-z]{6})\.html$ ]] ||
    fail "the QR code reads \"$upload_url\", not this PC's upload page"
key=${BASH_REMATCH[1]}
# This run's page, served by the engine from the web root in WorkDir.
curl -sf -o "$work/upload.html" "$upload_url" || fail "the engine does not serve $upload_url"
cmp -s "$work/upload.html" "$work_dir/wdoc/u/$key.html" || fail "the page served is not this run's"
# The right-click menu says what blocks the phone, where Wine tells.
click 265 383 3
shot qr-menu.png
xdotool key Escape
sleep 0.5

step "the phone uploads a picture through the page"
$picture png "$work/magenta.png" ff00ff 96
node tests/e2e/phone.mjs upload "$upload_url" "$work/magenta.png" ||
    fail "the phone could not upload"
wait_for 20 test -f "$receive_dir/magenta.png" || fail "the upload did not reach $receive_dir"
arrived=$SECONDS
cmp -s "$work/magenta.png" "$receive_dir/magenta.png" || fail "the received file differs"
shows() {
    import -window root -depth 8 "$work/view.ppm" 2>/dev/null
    (($($picture count "$work/view.ppm" ff00ff) > 1000))
}
wait_for 3 shows || fail "the window did not show the received picture within 3 s"
step "the received picture showed in the window $((SECONDS - arrived)) s after it arrived"
shot phone-to-pc.png

step "publish a file through the open-file dialog"
head -c 300000 /dev/urandom >"$work/publish.bin"
click 537 104 # "PC to Phone"
click 849 240 # "Step 2 - Click Here to Select Files ..."
# Qt's own dialog (it holds the picture preview), captioned as Qt does.
dialog=$(timeout 30 xdotool search --sync --onlyvisible --name '^Open$' | head -n1) ||
    fail "no open-file dialog appeared"
xdotool windowfocus --sync "$dialog" 2>/dev/null || true
sleep 1
xdotool type --delay 30 "Z:${work//\//\\}\\publish.bin"
# The name box's list of matching names opens under it. Qt keeps that popup
# open when Return closes the dialog beneath it, and it would then swallow the
# window's next click; Escape closes only the list.
sleep 2
if xdotool search --onlyvisible --name '^Tessary$' >/dev/null 2>&1; then
    xdotool key Escape
    sleep 0.5
fi
shot open-dialog.png
xdotool key Return
wait_for 30 test -f "$work_dir/wdoc/d/dfiles/publish.bin" || fail "the file was not published"
sleep 1
download_url=$(scan)
[[ "$download_url" == "http://$address:8016/d/$key.html" ]] ||
    fail "the QR code reads \"$download_url\", not this run's download page"
shot pc-to-phone.png
mkdir -p "$work/phone"
node tests/e2e/phone.mjs download "$download_url" "$work/phone" 1 ||
    fail "the phone could not download"
cmp -s "$work/publish.bin" "$work/phone/publish.bin" || fail "the downloaded file differs"

step "Close"
click 121 801 # "Close"
wait_for 30 eval '! kill -0 "$tessary_pid" 2>/dev/null' || fail "the window did not close"
closed=$SECONDS
wait_for 30 eval '! engine_running' ||
    fail "the engine still runs 30 s after Close: $(pgrep -af 'pskl|TessaryEngine')"
step "the engine ended $((SECONDS - closed)) s after the window"
[[ ! -e "$work_dir/wdoc/u/$key.html" && ! -e "$work_dir/wdoc/d/$key.html" ]] ||
    fail "this run's pages were left behind"

step "install again over the running program"
session_before=$(registry 'HKCU\Software\Tessary' /v RandomSessionID | grep RandomSessionID) ||
    fail "the program kept no session id"
start_tessary
wine "$setup" /S || fail "the update failed"
wait_for 15 eval '! tessary_running' || fail "the running program was not asked to close"
wait_for 10 eval '! engine_running' || fail "the engine still runs after the update"
[[ -f "$program_dir/Tessary.exe" && -f "$work_dir/TessaryEngine.exe" ]] ||
    fail "the update left the program incomplete"
session_after=$(registry 'HKCU\Software\Tessary' /v RandomSessionID | grep RandomSessionID)
[[ "$session_after" == "$session_before" ]] || fail "the update lost the session id"

step "uninstall"
# The uninstaller copies itself out of the program folder and runs from there.
wine "$program_win\\Uninstall.exe" /S || fail "the uninstaller failed"
wait_for 60 eval '[[ ! -e "$program_dir" ]]' || fail "the program folder is still there"
wineserver -w
! tessary_running || fail "Tessary.exe still runs"
[[ ! -e "$work_dir/TessaryEngine.exe" ]] || fail "the engine is still there"
[[ ! -e "$shortcut" ]] || fail "the Start-menu shortcut is still there"
! registry "$uninstall_key" >/dev/null || fail "the uninstall entry is still there"
cmp -s "$work/magenta.png" "$receive_dir/magenta.png" || fail "the received file was not kept"
registry 'HKCU\Software\Tessary' /v RandomSessionID | grep -q RandomSessionID ||
    fail "the uninstaller removed the session id"

step "passed; screenshots in $shots"
