# Debian package installs that survive a mirror in mid-sync. Sourced; the caller defines log.
#
# A suite's index of one architecture can be missing or stale for days (seen: bookworm-security's
# i386 Packages with the wrong size). apt-get update then fails although every other index is fine,
# and the Multi-Arch: same libraries resolve badly: amd64 candidates come from the security suite
# while their i386 twins, which must have the same version, exist only in the release.
#
# LUCSP_APT_OPTS: extra apt options for every call (e.g. other package lists, to try the ways below).

# shellcheck disable=SC2206
APT_OPTS=(-o DPkg::Lock::Timeout=600 -o Acquire::Retries=3 ${LUCSP_APT_OPTS:-})
APT_GET=(apt-get "${APT_OPTS[@]}")
export DEBIAN_FRONTEND=noninteractive

apt_release() {
    local VERSION_CODENAME=
    # shellcheck disable=SC1091
    . /etc/os-release
    echo "${VERSION_CODENAME:-bookworm}"
}

# apt_update LOGFILE: three tries; still failing, it says so and returns 1 (the lists that did come
# are used: apt keeps the old index of a suite that failed).
apt_update() {
    local logf=$1 i
    for i in 1 2 3; do
        "${APT_GET[@]}" update -q >"$logf" 2>&1 && return 0
        ((i < 3)) && sleep $((i * 5))
    done
    log "apt-get update failed three times ($(grep -m1 -E '^(E|W):' "$logf" | cut -c1-160)); going on with the package lists there are"
    return 1
}

# The installed Multi-Arch: same packages of the native architecture whose installed version is newer
# than any i386 twin in the package lists: installed from a suite whose i386 index is missing. Only
# these need moving back; an older one is upgraded by the install itself where a twin needs it.
apt_twinless() {
    local native tmp p v o others newer
    native=$(dpkg --print-architecture)
    tmp=$(mktemp -d /tmp/lucsp-apt-twins.XXXXXX)
    dpkg-query -W -f='${binary:Package} ${Version} ${Multi-Arch}\n' |
        awk -v a=":$native" '$3 == "same" && substr($1, length($1) - length(a) + 1) == a {
            sub(/:.*/, "", $1); print $1, $2 }' >"$tmp/installed"
    cut -d' ' -f1 "$tmp/installed" | sed 's/$/:i386/' | xargs -r apt-cache "${APT_OPTS[@]}" madison 2>/dev/null |
        awk -F' *[|] *' '{ sub(/^ */, "", $1); sub(/:i386$/, "", $1); print $1, $2 }' >"$tmp/i386"
    # Those without a twin of their very version, with each i386 version listed.
    awk 'NR == FNR { twin[$1 " " $2] = 1; vers[$1] = vers[$1] " " $2; next }
        !(($1 " " $2) in twin) && ($1 in vers) { print $1, $2 vers[$1] }' "$tmp/i386" "$tmp/installed" |
        while read -r p v others; do
            newer=1
            for o in $others; do dpkg --compare-versions "$v" gt "$o" || newer=0; done
            ((newer)) && echo "$p"
        done
    rm -rf "$tmp"
}

# apt_install LOGFILE PACKAGE...: installs without recommends, the first way that resolves:
#   1. as the lists stand;
#   2. pinned to the release (-t), so that new packages of both architectures come from one suite;
#   3. as 2, with the installed twinless libraries (above) moved to the release's version.
# Prints the way taken on stderr through log.
apt_install() {
    local logf=$1 rel pref twins
    shift
    rel=$(apt_release)
    local base=("${APT_GET[@]}" install -y -q --no-install-recommends)
    if "${base[@]}" -s "$@" >"$logf" 2>&1; then
        log "install: as the package lists stand"
        "${base[@]}" "$@" >>"$logf" 2>&1
        return
    fi
    if "${base[@]}" -t "$rel" -s "$@" >>"$logf" 2>&1; then
        log "install: pinned to $rel (-t $rel): the plain install could not pair multiarch twins"
        "${base[@]}" -t "$rel" "$@" >>"$logf" 2>&1
        return
    fi
    pref=$(mktemp /tmp/lucsp-apt-pref.XXXXXX)
    twins=$(apt_twinless | tr '\n' ' ')
    if [[ -z $twins ]]; then
        rm -f "$pref"
        log "install: no way resolves (see $logf)"
        return 1
    fi
    printf 'Package: %s\nPin: release n=%s\nPin-Priority: 1001\n' "$twins" "$rel" >"$pref"
    local rc=0
    if "${base[@]}" -t "$rel" --allow-downgrades -o "Dir::Etc::Preferences=$pref" -s "$@" >>"$logf" 2>&1; then
        log "install: pinned to $rel, with these installed libraries moved to $rel's version (newer than any i386 twin): $twins"
        "${base[@]}" -t "$rel" --allow-downgrades -o "Dir::Etc::Preferences=$pref" "$@" >>"$logf" 2>&1 || rc=$?
    else
        log "install: no way resolves (see $logf)"
        rc=1
    fi
    rm -f "$pref"
    return $rc
}
