#!/usr/bin/env bash
# Installs Debian's Wine for running the cross-built programs and tests: wine + wine64, and
# wine32:i386 for 32-bit PE programs where the kernel can run 32-bit x86 code at all.
# Quick and silent when everything is already in place.
#
# Some virtual machines run 64-bit user code only (IA-32 emulation off: every i386 execve fails
# with ENOEXEC). There wine32 cannot work, and worse, once installed it makes /usr/bin/wine pick
# the 32-bit loader and fail for 64-bit programs too; so on such a kernel it is left out (and
# removed if present) and only 64-bit programs can run.
#
# Usage: install-wine.sh [--selftest]
#   --selftest  also create a throwaway win64 prefix under /tmp, run a 64-bit (and, where the
#               kernel allows, a 32-bit) hello-world cross-compiled with mingw-w64, check the
#               32-bit registry view, and print timings
# Exit status: 0 ok; 1 failure. Prints "ia32=yes|no" last, so callers know whether 32-bit
# programs can run.
set -euo pipefail

LOGDIR=${LUCSP_WINE_LOGDIR:-/var/log/lucsp-wine}

log() { printf '[wine] %s\n' "$*" >&2; }
die() {
    log "ERROR: $*"
    exit 1
}
# shellcheck source=../lib/apt-common.sh
. "$(dirname "$0")/../lib/apt-common.sh"

SELFTEST=0
case "${1:-}" in
"") ;;
--selftest) SELFTEST=1 ;;
*)
    echo "usage: $0 [--selftest]" >&2
    exit 2
    ;;
esac
[[ $(id -u) -eq 0 ]] || die "must run as root"

# Runs a minimal static i386 ELF (exit(0) through int 0x80): the only reliable way to learn
# whether this kernel executes 32-bit x86 code.
ia32_ok() {
    local f rc
    f=$(mktemp /tmp/ia32probe.XXXXXX)
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$f"
    chmod 700 "$f"
    rc=0
    "$f" 2>/dev/null || rc=$?
    rm -f "$f"
    return $rc
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

IA32=no
ia32_ok && IA32=yes
# LUCSP_WINE_IA32=yes|no overrides the probe: to try the other kind of machine's install in a chroot.
IA32=${LUCSP_WINE_IA32:-$IA32}

wine_ready() {
    installed wine && installed wine64 && command -v wine >/dev/null || return 1
    if [[ $IA32 == yes ]]; then
        installed wine32:i386
    elif installed wine32:i386; then
        return 1
    fi
}

if ! wine_ready; then
    mkdir -p "$LOGDIR"
    t0=$(date +%s)
    pkgs=(wine wine64)
    if [[ $IA32 == yes ]]; then
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            log "dpkg --add-architecture i386"
            dpkg --add-architecture i386
        fi
        pkgs+=(wine32:i386)
    elif installed wine32:i386; then
        log "this kernel runs no 32-bit x86 code: removing wine32:i386 (it would break 64-bit wine too)"
        "${APT_GET[@]}" remove -y -q wine32:i386 >"$LOGDIR/apt-remove.log" 2>&1 ||
            die "apt-get remove wine32 failed, see $LOGDIR/apt-remove.log"
    fi
    log "apt-get update"
    apt_update "$LOGDIR/apt-update.log" || true
    # Recommends would add fonts, gstreamer and desktop bits that headless test runs never use.
    log "apt-get install ${pkgs[*]}"
    apt_install "$LOGDIR/apt-install.log" "${pkgs[@]}" || die "apt-get install failed, see $LOGDIR/apt-install.log"
    wine_ready || die "wine still incomplete after install"
    log "installed in $(($(date +%s) - t0))s: $(WINEDEBUG=-all wine --version)"
fi

if [[ $SELFTEST == 1 ]]; then
    for t in i686 x86_64; do
        command -v "$t-w64-mingw32-gcc" >/dev/null || die "$t-w64-mingw32-gcc missing (g++-mingw-w64-* packages)"
    done
    tmp=$(mktemp -d /tmp/lucsp-wine-selftest.XXXXXX)
    export WINEPREFIX="$tmp/prefix" WINEARCH=win64 WINEDEBUG=-all
    unset DISPLAY
    trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$tmp"' EXIT

    cat >"$tmp/hello.c" <<'EOF'
#include <stdio.h>
#include <windows.h>
int main(void) {
    BOOL wow = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow);
    printf("hello from a %d-bit program (wow64=%d)\n", (int)(sizeof(void *) * 8), (int)wow);
    return 0;
}
EOF
    i686-w64-mingw32-gcc -O2 -o "$tmp/hello32.exe" "$tmp/hello.c"
    x86_64-w64-mingw32-gcc -O2 -o "$tmp/hello64.exe" "$tmp/hello.c"

    ms() { date +%s%3N; }
    t0=$(ms)
    wine wineboot -i >"$tmp/wineboot.log" 2>&1 || die "wineboot failed: $(tail -5 "$tmp/wineboot.log")"
    wineserver -w
    t1=$(ms)
    log "win64 prefix created in $((t1 - t0)) ms"
    [[ -d "$WINEPREFIX/drive_c/windows/syswow64" ]] || die "no windows/syswow64 in the win64 prefix"

    t1=$(ms)
    out64=$(wine "$tmp/hello64.exe" | tr -d '\r')
    t2=$(ms)
    log "64-bit: '$out64' in $((t2 - t1)) ms"
    [[ "$out64" == "hello from a 64-bit program (wow64=0)" ]] || die "64-bit program did not run"

    if [[ $IA32 == yes ]]; then
        t2=$(ms)
        out32=$(wine "$tmp/hello32.exe" | tr -d '\r')
        t3=$(ms)
        log "32-bit: '$out32' in $((t3 - t2)) ms"
        [[ "$out32" == "hello from a 32-bit program (wow64=1)" ]] || die "32-bit program did not run"
    else
        log "32-bit: skipped, this kernel cannot run 32-bit x86 code"
    fi

    # A 32-bit process sees HKLM\SOFTWARE through Wow6432Node; reg.exe's /reg:32 writes that view.
    wine reg add 'HKLM\SOFTWARE\LucspWineProbe' /v View /t REG_SZ /d wow32 /reg:32 /f >/dev/null
    wine reg query 'HKLM\SOFTWARE\Wow6432Node\LucspWineProbe' /v View 2>/dev/null | tr -d '\r' |
        grep -q 'wow32' || die "reg add /reg:32 did not land in Wow6432Node"
    if wine reg query 'HKLM\SOFTWARE\LucspWineProbe' /v View /reg:64 >/dev/null 2>&1; then
        die "reg add /reg:32 leaked into the 64-bit view"
    fi
    log "reg add /reg:32 writes HKLM\\SOFTWARE\\Wow6432Node (the 32-bit view)"
    log "selftest OK ($(wine --version))"
fi
echo "ia32=$IA32"
