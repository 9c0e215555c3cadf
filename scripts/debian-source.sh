# Sourced by the build scripts (mhd.sh, windows/build.sh, windows/qt.sh).
#
# debian_source PACKAGE VERSION WORK [SUITE]: unpacks Debian's source
# package into WORK with apt-get source and prints the folder it made,
# checking it is the upstream version the build is keyed by. With SUITE, the
# package comes from that release of Debian instead of the system's own,
# through an apt state of the project's (the system's sources stay as they
# are), from the archive the system already uses.
debian_source() {
    local package=$1 version=$2 work=$3 suite=${4:-}
    local apt_options=()
    if [[ -n "$suite" ]]; then
        apt_suite_options "$suite" apt_options || return 1
    fi
    mkdir -p "$work"
    fetch_source() { (cd "$work" && apt-get "${apt_options[@]}" source -qq "$package" >/dev/null 2>&1); }
    # A suite's index may be out of date: a newer revision replaced the one
    # it names, so it is fetched again once.
    if ! fetch_source && ! { [[ -n "$suite" ]] && apt_suite_update "$suite" && fetch_source; }; then
        echo "apt-get source $package failed: is a deb-src entry configured? (bash scripts/deps.sh adds one)" >&2
        return 1
    fi
    local dir
    dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "$package-$version*" | head -n1)
    if [[ -z "$dir" ]]; then
        echo "Debian's source of $package is not version $version:" >&2
        ls "$work" >&2
        return 1
    fi
    printf '%s\n' "$dir"
}

apt_suite_state() {
    printf '%s\n' "${XDG_CACHE_HOME:-$HOME/.cache}/tessary-apt/$1"
}

# The Debian archive the system installs from (the first deb entry that is
# not the security archive).
debian_archive_uri() {
    local uri
    uri=$(grep -hs -E '^[[:space:]]*URIs:' /etc/apt/sources.list.d/*.sources |
        awk '{ print $2 }' | grep -v -- '-security' | head -n1)
    if [[ -z "$uri" ]]; then
        uri=$(grep -hs -E '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
            sed -E 's/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?//' | awk '{ print $1 }' |
            grep -v -- '-security' | head -n1)
    fi
    printf '%s\n' "${uri:-http://deb.debian.org/debian}"
}

# apt_suite_flags SUITE ARRAY: fills ARRAY with the apt options that use the
# suite's own state.
apt_suite_flags() {
    local state
    state=$(apt_suite_state "$1")
    local -n flags=$2
    flags=(-o "Dir::Etc::sourcelist=$state/sources.list" -o "Dir::Etc::sourceparts=$state/parts"
        -o "Dir::State::Lists=$state/lists" -o "Dir::Cache=$state/cache")
}

# apt_suite_options SUITE ARRAY: the same, fetching the suite's index the
# first time.
apt_suite_options() {
    apt_suite_flags "$1" "$2"
    [[ -f "$(apt_suite_state "$1")/updated" ]] || apt_suite_update "$1"
}

apt_suite_update() {
    local suite=$1 state suite_flags=()
    state=$(apt_suite_state "$suite")
    mkdir -p "$state/parts" "$state/lists/partial" "$state/cache/archives/partial"
    printf 'deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s main\n' \
        "$(debian_archive_uri)" "$suite" >"$state/sources.list"
    apt_suite_flags "$suite" suite_flags
    apt-get -qq "${suite_flags[@]}" update >/dev/null 2>&1 || {
        echo "apt-get update for Debian's $suite sources failed" >&2
        return 1
    }
    touch "$state/updated"
}

# libmicrohttpd, the engine's HTTP library: Debian 13's 1.0.1, which parses
# requests strictly (Debian 12's 0.9.75 answers a malformed Content-Length
# with its reply's head twice and waits 20 s on lines ended by a bare CR),
# with the project's patch that answers its last silent refusals with a 400.
mhd_version=1.0.1
mhd_suite=trixie
mhd_patch="$(dirname "${BASH_SOURCE[0]}")/mhd/answer-malformed-requests.patch"
# Part of both caches' keys, so a changed patch builds the library again.
mhd_patch_id=$(sha256sum <"$mhd_patch" | cut -c1-16)

# mhd_source WORK: the patched source, unpacked into WORK; prints its folder.
mhd_source() {
    local dir
    dir=$(debian_source libmicrohttpd "$mhd_version" "$1" "$mhd_suite") || return 1
    patch -s -p1 -d "$dir" <"$mhd_patch" || {
        echo "the libmicrohttpd patch $mhd_patch does not apply" >&2
        return 1
    }
    printf '%s\n' "$dir"
}

# mhd_build SOURCE PREFIX [CONFIGURE ARGUMENTS...]: configures the library
# as the engine uses it (static, no TLS: the engine speaks plain HTTP; its
# messages for the engine's log), builds it and installs it into PREFIX.
mhd_build() {
    local source=$1 prefix=$2
    shift 2
    (
        cd "$source"
        nice -n 10 ./configure -q --prefix="$prefix" \
            --enable-static --disable-shared --disable-doc --disable-examples \
            --disable-curl --disable-https --without-gnutls --disable-dauth \
            --enable-messages "$@" >configure.out 2>&1 || {
            cat configure.out >&2
            exit 1
        }
        nice -n 10 make -s -j"$(nproc)" -C src/microhttpd install >/dev/null
        make -s -C src/include install >/dev/null
        make -s install-pkgconfigDATA >/dev/null
    )
}
