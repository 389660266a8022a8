# Shell functions shared by the scripts that run the Windows DLL under Wine (wine-acceptance.sh,
# wine-bench.sh), on the report helpers of report.sh. Sourced; the caller sets top and wine_timeout,
# calls parse_arch_args with its arguments, and sets work (a private directory) before make_prefix.

# shellcheck source=report.sh
source "$(dirname "${BASH_SOURCE[0]}")/report.sh"

ms() { date +%s%3N; }

# The end of a run: the reference service and the prefix's wineserver stopped, the work directory
# removed (kept with KEEP 1).
wine_cleanup() { # wine_cleanup KEEP
    stop_process "${SERVICE_PID:-}"
    if [[ -n ${WINEPREFIX:-} && -d ${WINEPREFIX:-/nonexistent} ]]; then
        timeout 60 "$WINESERVER_BIN" -k >/dev/null 2>&1 || true
    fi
    remove_work "${work:-}" "$1"
}

# ARCH [WIN_BUILD_DIR [LINUX_BUILD_DIR]]: sets ARCH, out, windir, linuxdir.
parse_arch_args() {
    if [[ $# -lt 1 || ( $1 != i686 && $1 != x86_64 ) ]]; then
        echo "usage: $0 i686|x86_64 [WIN_BUILD_DIR [LINUX_BUILD_DIR]]" >&2
        exit 2
    fi
    ARCH=$1
    out=${LUCSP_BUILD_ROOT:-$top/build}
    windir=${2:-$out/win-$ARCH}
    linuxdir=${3:-$out/linux}
}

# A minimal static i386 ELF (exit(0) through int 0x80): tells whether this kernel runs 32-bit code.
ia32_native() {
    local f rc=0
    f=$(mktemp /tmp/lucsp-ia32probe.XXXXXX)
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$f"
    chmod 700 "$f"
    "$f" 2>/dev/null || rc=$?
    rm -f "$f"
    return $rc
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# The 32-bit half of Wine under qemu-i386, kept apart from the system's wine: its own loader tree whose
# 32-bit loader is a script that starts Debian's i386 loader under qemu. Cached per Wine version.
setup_emulated_wine32() {
    local version cache lock
    version=$(dpkg-query -W -f='${Version}' wine64)
    cache=/var/cache/lucsp-wine/emulated-$version
    if [[ ! -f $cache/.complete ]]; then
        mkdir -p /var/cache/lucsp-wine
        exec {lock}>/var/cache/lucsp-wine/.lock
        flock "$lock"
        if [[ ! -f $cache/.complete ]]; then
            log() { note "$@"; }
            # shellcheck source=apt-common.sh
            . "$top/scripts/lib/apt-common.sh"
            mkdir -p /var/log/lucsp-wine
            if ! dpkg --print-foreign-architectures | grep -qx i386; then
                dpkg --add-architecture i386
                apt_update /var/log/lucsp-wine/apt-update-i386.log || true
            fi
            # libwine:i386 holds the 32-bit Wine; wine32:i386 itself would make /usr/bin/wine pick a
            # loader this kernel cannot start, so only its loader binary is taken, into the cache.
            if ! installed "libwine:i386" || ! installed qemu-user-static; then
                apt_install /var/log/lucsp-wine/apt-install-i386.log "libwine:i386=$version" qemu-user-static || {
                    apt_update /var/log/lucsp-wine/apt-update-i386.log || true
                    apt_install /var/log/lucsp-wine/apt-install-i386.log "libwine:i386=$version" qemu-user-static
                } || die "libwine:i386 could not be installed, see /var/log/lucsp-wine/apt-install-i386.log"
            fi
            rm -rf "$cache.tmp"
            mkdir -p "$cache.tmp/deb"
            (cd "$cache.tmp/deb" && apt-get download -q "wine32:i386=$version" >/dev/null 2>&1) ||
                die "apt-get download wine32:i386=$version failed"
            dpkg-deb -x "$cache.tmp"/deb/wine32_*.deb "$cache.tmp/deb/root"
            local t=$cache.tmp/tree
            mkdir -p "$t/usr/lib/wine" "$t/usr/lib/i386-linux-gnu" "$t/usr/lib/x86_64-linux-gnu" "$t/usr/share"
            cp "$cache.tmp/deb/root/usr/lib/wine/wine" "$t/usr/lib/wine/wine.i386"
            # A copy, not a link: Wine finds its other loader beside the one it was started from.
            cp /usr/lib/wine/wine64 "$t/usr/lib/wine/wine64"
            ln -s /usr/lib/wine/wineserver64 "$t/usr/lib/wine/wineserver"
            ln -s /usr/lib/i386-linux-gnu/wine "$t/usr/lib/i386-linux-gnu/wine"
            ln -s /usr/lib/x86_64-linux-gnu/wine "$t/usr/lib/x86_64-linux-gnu/wine"
            ln -s /usr/share/wine "$t/usr/share/wine"
            cat >"$t/usr/lib/wine/wine" <<'EOF'
#!/bin/sh
exec /usr/bin/qemu-i386-static -0 "$0" "$(dirname "$0")/wine.i386" "$@"
EOF
            chmod 755 "$t/usr/lib/wine/wine"
            # The preload shim; $LIB picks it by the process's architecture, the 64-bit one is empty.
            mkdir -p "$t/preload/lib/i386-linux-gnu" "$t/preload/lib/x86_64-linux-gnu"
            gcc -m32 -O2 -shared -fPIC -nostdlib -fno-stack-protector -Wall -Werror \
                -o "$t/preload/lib/i386-linux-gnu/liblucspwinemmap.so" "$top/tests/wine/emulation/lucspWineMmap.c"
            echo 'int lucsp_wine_mmap_none;' >"$cache.tmp/none.c"
            gcc -O2 -shared -fPIC -o "$t/preload/lib/x86_64-linux-gnu/liblucspwinemmap.so" "$cache.tmp/none.c"
            rm -rf "$cache"
            mv "$t" "$cache"
            rm -rf "$cache.tmp"
            touch "$cache/.complete"
        fi
        flock -u "$lock"
    fi
    WINE=$cache/usr/lib/wine/wine64
    WINESERVER_BIN=/usr/lib/wine/wineserver64
    export WINESERVER=$WINESERVER_BIN
    export WINEDLLPATH=/usr/lib/i386-linux-gnu/wine
    # Single quotes: the dynamic loader expands $LIB itself.
    export LD_PRELOAD="$cache/preload/\$LIB/liblucspwinemmap.so${LD_PRELOAD:+ $LD_PRELOAD}"
}

setup_wine() {
    command -v wine >/dev/null && [[ -x /usr/lib/wine/wine64 ]] || "$top/scripts/deps/install-wine.sh" >/dev/null ||
        die "Wine could not be installed"
    WINE=/usr/lib/wine/wine64
    WINESERVER_BIN=/usr/lib/wine/wineserver64
    unset WINESERVER WINEDLLPATH WINELOADER
    WINE_MODE="wine64 (win64 prefix)"
    if [[ $ARCH == i686 ]]; then
        if ia32_native; then
            installed "wine32:i386" || "$top/scripts/deps/install-wine.sh" >/dev/null || die "wine32 missing"
            installed "wine32:i386" || die "wine32:i386 is not installed"
            WINE=/usr/lib/wine/wine
            # The 64-bit side looks for the 32-bit builtin DLLs here when it starts 32-bit programs
            # whose files syswow64 does not hold yet (while the prefix is being made).
            export WINEDLLPATH=/usr/lib/i386-linux-gnu/wine
            WINE_MODE="wine32 + wine64 (win64 prefix, native 32-bit)"
        else
            setup_emulated_wine32
            WINE_MODE="wine64 + Debian's i386 Wine under qemu-i386 (win64 prefix, this kernel runs no 32-bit code)"
            # Under qemu-user a Wine thread that ends takes the process down with it (its server
            # connection breaks); the programs leave out what needs threads to end.
            export LUCSP_WINE_EMULATED=1
        fi
    fi
}

winpath() { # a Linux path as Wine's Z: path
    local p=$1
    printf 'Z:%s' "${p//\//\\}"
}

w() { # a Wine call, bounded
    timeout --kill-after=10 "$wine_timeout" "$WINE" "$@"
}

reg_value() { # reg_value KEY VALUE VIEW(32|64): prints the data
    w reg query "$1" /v "$2" "/reg:$3" 2>/dev/null | tr -d '\r' | awk -v v="$2" '
        { line = $0; sub(/^ +/, "", line) }
        index(line, v " ") == 1 { n = split(line, f, /    /); print f[n]; exit }'
}

# A fresh win64 prefix in $work/prefix with one Wine server for the whole run, the provider DLL in its
# system directory. Sets sysdir, regsvr32 and view (the registry view of the DLL's architecture); the
# caller declares them local.
make_prefix() {
    local t0 t1
    export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
    # No Mono or Gecko installers in a test prefix, and no display.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY

    t0=$(ms)
    mkdir -p "$WINEPREFIX"
    # One server for the whole run keeps the prefix's services up between the calls.
    "$WINESERVER_BIN" -p
    timeout --kill-after=10 "$wine_timeout" "$WINE" wineboot -i >"$work/wineboot.log" 2>&1 ||
        die "wineboot failed, see $work/wineboot.log"
    t1=$(ms)
    note "prefix created in $((t1 - t0)) ms"
    if [[ $ARCH == i686 ]]; then
        sysdir=$WINEPREFIX/drive_c/windows/syswow64
        regsvr32='C:\windows\syswow64\regsvr32.exe'
        view=32
    else
        sysdir=$WINEPREFIX/drive_c/windows/system32
        regsvr32=regsvr32
        view=64
    fi
    [[ -d $sysdir ]] || die "$sysdir missing"
    cp "$DLL" "$sysdir/Varno_LUCSP_Server.dll"
    if [[ -f ${KSPDLL:-} ]]; then cp "$KSPDLL" "$sysdir/Varno_LUKSP_Server.dll"; fi
}

# The reference signing service on loopback with a fresh CA, key, certificate and token, and the
# provider's endpoint settings pointing at it. Sets TOKEN, SERIAL, SERVICE_PID and port (declared local
# by the caller).
start_service() {
    local i
    # The signing service: fresh CA, key, certificate and token.
    TOKEN=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
    "$REFSERVICE" --port 0 --ca-out "$work/ca.pem" --cert-out "$work/signer.pem" --token "$TOKEN" \
        --die-with-parent >"$work/service.out" 2>"$work/service.err" &
    SERVICE_PID=$!
    port=""
    for ((i = 0; i < 200; i++)); do
        # The service's shell may not have created its output file yet.
        port=$(sed -n 's/^LISTENING 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/service.out" 2>/dev/null || true)
        [[ -n $port ]] && break
        kill -0 "$SERVICE_PID" 2>/dev/null || break
        sleep 0.1
    done
    [[ -n $port ]] || die "the reference service did not start: $(tail -3 "$work/service.err")"
    SERIAL=$(sed -n 's/^KEY SERIAL=\([0-9A-F]*\) .*/\1/p' "$work/service.out" | head -1)
    [[ -n $SERIAL ]] || die "no KEY line from the reference service"
    note "service on 127.0.0.1:$port, certificate serial $SERIAL"

    # The settings live in the 32-bit view, also for the 64-bit DLL (the group is opened with
    # KEY_WOW64_32KEY): HKLM\SOFTWARE\WOW6432Node\Varno\Trelis_Server\Conex.
    local conex='HKLM\SOFTWARE\Varno\Trelis_Server\Conex'
    w reg add "$conex" /v CNX_ServiceHost /t REG_SZ /d "127.0.0.1:$port" /f /reg:32 >/dev/null 2>&1 || true
    w reg add "$conex" /v CNX_CAFile /t REG_SZ /d "$(winpath "$work/ca.pem")" /f /reg:32 >/dev/null 2>&1 || true
}

# WINDOWS_TARGET: builds it in $windir (configuring that tree on first use) and the reference service
# in $linuxdir; sets DLL and REFSERVICE.
build_wine_targets() {
    local target=$1
    if [[ ! -f $windir/CMakeCache.txt ]]; then
        "$top/scripts/deps/build-mingw-deps.sh" "$ARCH" >/dev/null
        cmake -S "$top" -B "$windir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-$ARCH.cmake" >/dev/null
    fi
    cmake --build "$windir" --target "$target" >/dev/null || die "building $target failed"
    if [[ ! -f $linuxdir/CMakeCache.txt ]]; then
        cmake -S "$top" -B "$linuxdir" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
    fi
    cmake --build "$linuxdir" --target lucsp-refservice >/dev/null || die "building lucsp-refservice failed"
    DLL=$windir/src/dll/Varno_LUCSP_Server.dll
    KSPDLL=$windir/src/dll/Varno_LUKSP_Server.dll
    REFSERVICE=$linuxdir/tools/refservice/lucsp-refservice
}
