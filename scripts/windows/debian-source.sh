# Sourced by the Windows build scripts (build.sh, qt.sh).
#
# debian_source PACKAGE VERSION WORK: unpacks Debian's source package into
# WORK with apt-get source and prints the folder it made, checking it is the
# upstream version the build is keyed by.
debian_source() {
    local package=$1 version=$2 work=$3
    mkdir -p "$work"
    (cd "$work" && apt-get source -qq "$package" >/dev/null 2>&1) || {
        echo "apt-get source $package failed: is a deb-src entry configured? (bash scripts/deps.sh adds one)" >&2
        return 1
    }
    local dir
    dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "$package-$version*" | head -n1)
    if [[ -z "$dir" ]]; then
        echo "Debian's source of $package is not version $version:" >&2
        ls "$work" >&2
        return 1
    fi
    printf '%s\n' "$dir"
}
