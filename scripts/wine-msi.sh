#!/usr/bin/env bash
# The installer under Wine, as an administrator uses it: a silent per-machine install in a fresh win64
# prefix with the service settings as properties, a signature from a 64-bit and a 32-bit program
# through advapi32, lucsp doctor, an upgrade by a newer version, and a silent uninstall after which
# nothing of the provider is left (files, CSP entries of both views, certificates, tokens).
#
#   scripts/wine-msi.sh
#   LUCSP_BUILD_ROOT   build trees win-i686, win-x86_64 (Release) and linux (the service); made when missing
#   LUCSP_WINE_TIMEOUT, LUCSP_WINE_KEEP as for scripts/wine-acceptance.sh
# Prints one line per check and "N passed, N failed"; exit status 1 on any failure.
set -euo pipefail
msi_top=$(cd "$(dirname "$0")/.." && pwd)
msi_out=${LUCSP_BUILD_ROOT:-$msi_top/build}
# The Wine set-up (native or emulated 32-bit side) and the helpers of the acceptance suite.
# shellcheck source=wine-acceptance.sh
source "$msi_top/scripts/wine-acceptance.sh" i686 "$msi_out/win-i686" "$msi_out/linux"

msiexec() { # msiexec LOGNAME ARGS...: bounded, with a verbose log in the work directory
    local name=$1
    shift
    w msiexec "$@" /l*v "$(winpath "$work/$name.log")" >"$work/$name.out" 2>&1
}

product_count() { # installed products named "Varno LUCSP Server"
    w reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64 2>/dev/null |
        tr -d '\r' | grep -c 'DisplayName.*Varno LUCSP Server' || true
}

sign_and_verify() { # sign_and_verify NAME TOOL: a SHA-256 signature of the message, checked by OpenSSL
    local name=$1 tool=$2 hash sig=$work/$1.sig
    hash=$(sha256sum "$work/message.txt" | cut -d' ' -f1)
    if w "$tool" sign --container "$SERIAL" --alg sha256 --hash "$hash" --order big-endian --format raw \
        --out "$(winpath "$sig")" >"$work/$name.out" 2>&1 &&
        openssl dgst -sha256 -verify "$work/pub.pem" -signature "$sig" "$work/message.txt" >/dev/null 2>&1; then
        pass "sign/$name"
    else
        fail "sign/$name" "$(tr -d '\r' <"$work/$name.out" | tail -1)"
    fi
}

provider_gone() {
    ! w reg query "$provider_key" /reg:64 >/dev/null 2>&1 && ! w reg query "$provider_key" /reg:32 >/dev/null 2>&1
}

main_msi() {
    echo "=== Installer under Wine"
    local t0 msi1 msi2
    t0=$(ms)
    msi1=$(LUCSP_MSI_VERSION=1.0.0 "$msi_top/scripts/build-msi.sh" "$msi_out/msi/test/Varno_LUCSP_Server-1.0.0.msi" | tail -1)
    msi2=$(LUCSP_MSI_VERSION=1.0.1 "$msi_top/scripts/build-msi.sh" "$msi_out/msi/test/Varno_LUCSP_Server-1.0.1.msi" | tail -1)
    [[ -f $msi1 && -f $msi2 ]] || die "building the MSI failed"
    note "two MSIs built in $(($(ms) - t0)) ms ($(stat -c %s "$msi1") bytes)"
    if [[ ! -f $linuxdir/CMakeCache.txt ]]; then
        cmake -S "$msi_top" -B "$linuxdir" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
    fi
    cmake --build "$linuxdir" --target lucsp-refservice lucsp-connect-proxy >/dev/null ||
        die "building lucsp-refservice and lucsp-connect-proxy failed"
    REFSERVICE=$linuxdir/tools/refservice/lucsp-refservice
    local tool32=$msi_out/win-i686/tools/lucsp/lucsp.exe tool64build=$msi_out/win-x86_64/tools/lucsp/lucsp.exe

    setup_wine
    note "Wine: $("$WINE" --version 2>/dev/null) via $WINE_MODE"
    work=$(mktemp -d /tmp/lucsp-wine-msi.XXXXXX)
    trap cleanup EXIT
    export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    mkdir -p "$WINEPREFIX"
    "$WINESERVER_BIN" -p
    t0=$(ms)
    w wineboot -i >"$work/wineboot.log" 2>&1 || die "wineboot failed, see $work/wineboot.log"
    note "prefix created in $(($(ms) - t0)) ms"
    local sys64=$WINEPREFIX/drive_c/windows/system32 sys32=$WINEPREFIX/drive_c/windows/syswow64
    local tool='C:\Program Files\Varno\LUCSP\lucsp.exe' toolfile=$WINEPREFIX/drive_c/Program\ Files/Varno/LUCSP/lucsp.exe
    provider_key='HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Varno Base Cryptographic Provider Server'

    TOKEN=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
    "$REFSERVICE" --port 0 --ca-out "$work/ca.pem" --cert-out "$work/signer.pem" --token "$TOKEN" \
        --die-with-parent >"$work/service.out" 2>"$work/service.err" &
    SERVICE_PID=$!
    local i port=""
    for ((i = 0; i < 200; i++)); do
        port=$(sed -n 's/^LISTENING 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/service.out")
        [[ -n $port ]] && break
        sleep 0.1
    done
    [[ -n $port ]] || die "the reference service did not start"
    SERIAL=$(sed -n 's/^KEY SERIAL=\([0-9A-F]*\) .*/\1/p' "$work/service.out" | head -1)
    openssl x509 -in "$work/signer.pem" -pubkey -noout >"$work/pub.pem"
    printf 'LUCSP installer test under Wine, %s\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$work/message.txt"

    # Silent per-machine install with the settings as public properties.
    t0=$(ms)
    if msiexec install /i "$(winpath "$msi1")" /qn ALLUSERS=1 "SERVICEHOST=127.0.0.1:$port" \
        "CAFILE=$(winpath "$work/ca.pem")"; then
        pass "install/msiexec"
    else
        fail "install/msiexec" "see $work/install.log"
    fi
    note "msiexec /i /qn took $(($(ms) - t0)) ms"
    check "install/System32 holds the 64-bit DLL" cmp "$sys64/Varno_LUCSP_Server.dll" "$msi_out/msi/stage/x64/Varno_LUCSP_Server.dll"
    check "install/SysWOW64 holds the 32-bit DLL" cmp "$sys32/Varno_LUCSP_Server.dll" "$msi_out/msi/stage/x86/Varno_LUCSP_Server.dll"
    check "install/System32 holds the 64-bit KSP" cmp "$sys64/Varno_LUKSP_Server.dll" "$msi_out/msi/stage/x64/Varno_LUKSP_Server.dll"
    check "install/SysWOW64 holds the 32-bit KSP" cmp "$sys32/Varno_LUKSP_Server.dll" "$msi_out/msi/stage/x86/Varno_LUKSP_Server.dll"
    check "install/lucsp.exe" test -f "$toolfile"
    local view
    for view in 64 32; do
        [[ $(reg_value "$provider_key" "Image Path" "$view") == Varno_LUCSP_Server.dll ]] &&
            pass "install/CSP entry, $view-bit view" || fail "install/CSP entry, $view-bit view"
    done
    local conex='HKLM\SOFTWARE\Varno\Trelis_Server\Conex'
    [[ $(reg_value "$conex" CNX_ServiceHost 32) == "127.0.0.1:$port" ]] && pass "install/SERVICEHOST" ||
        fail "install/SERVICEHOST" "[$(reg_value "$conex" CNX_ServiceHost 32)]"
    [[ $(reg_value "$conex" CNX_CAFile 32) == "$(winpath "$work/ca.pem")" ]] && pass "install/CAFILE" ||
        fail "install/CAFILE"
    [[ $(reg_value 'HKLM\SOFTWARE\Varno\Trelis_Server' VersionInstall 32) == 1.0.0 ]] && pass "install/VersionInstall" ||
        fail "install/VersionInstall"

    # The user's certificate and token, then a signature from each bitness through advapi32.
    if w "$tool" register --cert "$(winpath "$work/signer.pem")" --token "$TOKEN" >"$work/register.out" 2>&1; then
        pass "register"
    else
        fail "register" "$(tr -d '\r' <"$work/register.out" | tail -1)"
    fi
    t0=$(ms)
    sign_and_verify "64-bit program" "$tool"
    note "64-bit signature took $(($(ms) - t0)) ms"
    t0=$(ms)
    sign_and_verify "32-bit program" "$(winpath "$tool32")"
    note "32-bit signature took $(($(ms) - t0)) ms"
    t0=$(ms)
    if w "$tool" doctor >"$work/doctor.out" 2>&1; then
        pass "doctor/good installation"
    else
        fail "doctor/good installation" "$(tr -d '\r' <"$work/doctor.out" | grep -m1 '^FAIL' || tail -1 "$work/doctor.out")"
    fi
    tr -d '\r' <"$work/doctor.out" | sed 's/^/  doctor: /'
    note "doctor took $(($(ms) - t0)) ms"

    # Through a CONNECT proxy on loopback: first the system's (Wine's WinHTTP default configuration
    # takes http_proxy; libcurl itself reads only https_proxy for HTTPS), then the one CNX_Proxy names.
    "$linuxdir/tests/lucsp-connect-proxy" >"$work/proxy.out" 2>&1 &
    local proxy_pid=$! pport=""
    for ((i = 0; i < 100; i++)); do
        pport=$(sed -n 's/^LISTENING 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/proxy.out")
        [[ -n $pport ]] && break
        sleep 0.1
    done
    [[ -n $pport ]] || die "the CONNECT proxy did not start"
    local connect="REQUEST CONNECT 127.0.0.1:$port HTTP/1.1"
    http_proxy=http://127.0.0.1:$pport sign_and_verify "through the system proxy (WinHTTP)" "$tool"
    proxy_only_connect() { # every request the proxy saw was a CONNECT to the service, each tunnel TLS
        local n
        n=$(grep -c '^REQUEST ' "$work/proxy.out" || true)
        [[ $n -ge $1 ]] && [[ $(grep '^REQUEST ' "$work/proxy.out" | grep -vcxF "$connect" || true) == 0 ]] &&
            [[ $(grep '^TUNNEL ' "$work/proxy.out" | grep -vcx 'TUNNEL first=0x16' || true) == 0 ]]
    }
    sleep 0.2
    check "proxy/system proxy saw only a CONNECT" proxy_only_connect 1
    w "$tool" config set CNX_Proxy "http://127.0.0.1:$pport" >/dev/null 2>&1 || true
    sign_and_verify "through CNX_Proxy" "$tool"
    sleep 0.2
    check "proxy/CNX_Proxy saw only CONNECTs" proxy_only_connect 2
    w "$tool" config set CNX_Proxy "" >/dev/null 2>&1 || true
    kill "$proxy_pid" 2>/dev/null || true
    note "proxy requests: $(grep -c '^REQUEST ' "$work/proxy.out" || true)"

    # A newer version replaces the older one and keeps the registration, settings and certificates.
    t0=$(ms)
    msiexec upgrade /i "$(winpath "$msi2")" /qn && pass "upgrade/msiexec" || fail "upgrade/msiexec" "see $work/upgrade.log"
    note "upgrade took $(($(ms) - t0)) ms"
    [[ $(product_count) == 1 ]] && pass "upgrade/one product installed" || fail "upgrade/one product installed" "$(product_count)"
    [[ $(reg_value 'HKLM\SOFTWARE\Varno\Trelis_Server' VersionInstall 32) == 1.0.1 ]] && pass "upgrade/VersionInstall" ||
        fail "upgrade/VersionInstall"
    [[ $(reg_value "$provider_key" "Image Path" 64) == Varno_LUCSP_Server.dll ]] && pass "upgrade/CSP entry kept" ||
        fail "upgrade/CSP entry kept"
    [[ $(reg_value "$conex" CNX_ServiceHost 32) == "127.0.0.1:$port" ]] && pass "upgrade/settings kept" ||
        fail "upgrade/settings kept"
    # Windows runs the older product's removal with UPGRADINGPRODUCTCODE set, and the removal then
    # leaves the users' certificates alone. Wine's RemoveExistingProducts does not set it: there the
    # older version's removal takes them out, and they are registered again.
    if w "$tool" list --serials 2>/dev/null | tr -d '\r' | grep -qx "$SERIAL"; then
        pass "upgrade/certificates kept"
    else
        note "upgrade: Wine ran the older version's removal without UPGRADINGPRODUCTCODE; registering again"
        w "$tool" register --cert "$(winpath "$work/signer.pem")" --token "$TOKEN" >/dev/null 2>&1 || true
    fi
    sign_and_verify "after upgrade" "$tool"

    # Silent uninstall: nothing of the provider stays.
    t0=$(ms)
    msiexec uninstall /x "$(winpath "$msi2")" /qn && pass "uninstall/msiexec" || fail "uninstall/msiexec" "see $work/uninstall.log"
    note "msiexec /x /qn took $(($(ms) - t0)) ms"
    check "uninstall/64-bit DLL removed" test ! -e "$sys64/Varno_LUCSP_Server.dll"
    check "uninstall/32-bit DLL removed" test ! -e "$sys32/Varno_LUCSP_Server.dll"
    check "uninstall/KSP DLLs removed" test ! -e "$sys64/Varno_LUKSP_Server.dll" -a ! -e "$sys32/Varno_LUKSP_Server.dll"
    check "uninstall/lucsp.exe removed" test ! -e "$toolfile"
    check "uninstall/CSP entries removed (both views)" provider_gone
    [[ $(product_count) == 0 ]] && pass "uninstall/product unregistered" || fail "uninstall/product unregistered"
    local left
    left=$(w "$(winpath "$tool64build")" list --serials 2>/dev/null | tr -d '\r' || true)
    [[ -z $left ]] && pass "uninstall/certificates removed" || fail "uninstall/certificates removed" "$left"
    if w reg query "HKCU\\SOFTWARE\\Varno\\Trelis_Server\\$SERIAL" /reg:64 >/dev/null 2>&1 ||
        w reg query "HKCU\\SOFTWARE\\Varno\\Trelis_Server\\$SERIAL" /reg:32 >/dev/null 2>&1; then
        fail "uninstall/tokens removed"
    else
        pass "uninstall/tokens removed"
    fi

    note "installer suite took $(($(ms) - t_start)) ms"
    summary_line
    [[ $failed -eq 0 ]]
}

main_msi
