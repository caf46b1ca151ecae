# shellcheck shell=bash
# Debian package helpers shared by the setup scripts. They work as root (CI) and through sudo
# otherwise, and keep apt's chatter in a log shown only when something fails.

apt_sudo=()
[ "$(id -u)" -ne 0 ] && apt_sudo=(sudo)

# apt_as_root COMMAND...: runs COMMAND as root, non-interactively.
apt_as_root() {
    "${apt_sudo[@]}" env DEBIAN_FRONTEND=noninteractive "$@"
}

# apt_quietly TAG WHAT COMMAND...: runs COMMAND with its output in a log; on failure shows the
# log and "TAG: could not WHAT" on stderr and returns 1.
apt_quietly() {
    local tag=$1 what=$2 log
    shift 2
    log=$(mktemp)
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "$tag: could not $what" >&2
        return 1
    fi
    rm -f "$log"
}

# apt_missing PACKAGE...: sets APT_MISSING to the packages (arch-qualified names allowed) that
# are not installed.
apt_missing() {
    APT_MISSING=()
    local p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            APT_MISSING+=("$p")
        fi
    done
}

# apt_install_missing TAG PACKAGE...: installs those of PACKAGE not installed yet, after
# refreshing the lists; sets APT_MISSING to what it installed.
apt_install_missing() {
    local tag=$1
    shift
    apt_missing "$@"
    [ ${#APT_MISSING[@]} -eq 0 ] && return 0
    apt_quietly "$tag" "install ${APT_MISSING[*]}" apt_update_and_install "${APT_MISSING[@]}"
}

apt_update_and_install() {
    apt_as_root apt-get update -qq &&
        apt_as_root apt-get install -y -qq --no-install-recommends "$@"
}
