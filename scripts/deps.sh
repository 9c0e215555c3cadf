#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12; does nothing
# for what is already there, so it can run again and again.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    build-essential cmake ninja-build ccache pkg-config git
    qt6-base-dev qt6-svg-dev libqt6svg6 qt6-image-formats-plugins libgl-dev
    libzxing-dev libcurl4-openssl-dev uuid-dev libssl-dev
    libgtest-dev libgmock-dev googletest
    fonts-open-sans fonts-noto-core
    xvfb xauth xdg-utils
    chromium chromium-driver webkit2gtk-driver libwebkit2gtk-4.1-0 zbar-tools lighttpd attr iproute2 curl openssl valgrind
    locales dbus-daemon
    at-spi2-core python3-pyatspi
    clang libclang-rt-14-dev
    dpkg-dev lintian desktop-file-utils appstream qt6-base-dev-tools
    g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 wine nsis xdotool x11-utils imagemagick
    python3
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo=""
    [[ $(id -u) -eq 0 ]] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The Windows build compiles its libraries from Debian's source packages
# (apt-get source), so apt must also list deb-src entries. They are derived
# from the deb entries already configured, naming no host of their own.
if ! grep -Rqs -E '^[[:space:]]*(Types:.*deb-src|deb-src[[:space:]])' \
    /etc/apt/sources.list /etc/apt/sources.list.d/; then
    sudo=""
    [[ $(id -u) -eq 0 ]] || sudo="sudo"
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -f "$f" ]] || continue
        # deb822 stanzas: a copy of each one that has "deb" among its types.
        awk 'BEGIN { RS = ""; ORS = "\n\n" }
             /(^|\n)Types:[^\n]*deb([ \t]|\n|$)/ {
                 sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' "$f"
    done | $sudo tee /etc/apt/sources.list.d/tessary-deb-src.sources >/dev/null
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f "$f" && "$f" != */tessary-deb-src.list ]] || continue
        # One-line entries: "deb [options] uri suite components".
        sed -n -E 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f"
    done | $sudo tee /etc/apt/sources.list.d/tessary-deb-src.list >/dev/null
    $sudo apt-get update -qq
fi

# The date and number tests run in a German and a British locale.
wanted_locales=(de_DE.UTF-8 en_GB.UTF-8)
for loc in "${wanted_locales[@]}"; do
    if ! locale -a 2>/dev/null | grep -qix "${loc/UTF-8/utf8}"; then
        sudo=""
        [[ $(id -u) -eq 0 ]] || sudo="sudo"
        $sudo sed -i "s/^# *\(${loc} UTF-8\)/\1/" /etc/locale.gen
        grep -q "^${loc} UTF-8" /etc/locale.gen || echo "${loc} UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
        $sudo locale-gen >/dev/null
    fi
done

# Node.js drives the browser tests; Debian's nodejs is used when none is present.
if ! command -v node >/dev/null 2>&1; then
    sudo=""
    [[ $(id -u) -eq 0 ]] || sudo="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends nodejs npm
fi
browser_modules=(playwright-core axe-core @axe-core/playwright)
missing_modules=0
for m in "${browser_modules[@]}"; do
    [[ -d tests/browser/node_modules/$m ]] || missing_modules=1
done
if [[ -f tests/browser/package.json && $missing_modules -eq 1 ]]; then
    # Never let the test tool download a browser: Debian's chromium is used.
    (cd tests/browser && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm install --no-audit --no-fund --silent)
fi
