#!/usr/bin/env bash
# Acceptance suite of the Windows DLL under Wine, with Wine's own CryptoAPI (advapi32, crypt32).
#
#   scripts/wine-acceptance.sh ARCH [WIN_BUILD_DIR [LINUX_BUILD_DIR]]
#     ARCH             i686 (the product, a 32-bit DLL in a 64-bit prefix's syswow64) or x86_64
#     WIN_BUILD_DIR    mingw build of that ARCH     (default $LUCSP_BUILD_ROOT/win-ARCH)
#     LINUX_BUILD_DIR  native build for the service (default $LUCSP_BUILD_ROOT/linux)
#   LUCSP_BUILD_ROOT defaults to build/ in the work tree. Missing build directories are configured.
#
# A fresh prefix per run: the DLL goes into the system directory and is installed with
# "regsvr32 /n /i" (DllInstall); the reference signing service runs natively on loopback with a fresh
# CA, key, certificate and token; CNX_ServiceHost and CNX_CAFile point the DLL at it. The programs of
# tests/wine then do what an installer and applications do, and every signature they made is verified
# here with OpenSSL. Prints one line per check and "N passed, N failed"; exit status 1 on any failure.
#
# Where the kernel runs no 32-bit x86 code (IA-32 emulation off), the 32-bit side of Wine runs under
# qemu-i386 user emulation; see tests/wine/emulation/README.md.
#
# Real clients run as well: crypt32's message and certificate signing, the call sequences of .NET's
# RSACryptoServiceProvider and Java's SunMSCAPI (tests/wine/clients), and OpenSSL's openssl.exe with its
# capi engine (dgst, cms, TLS 1.2 and TLS 1.0 client authentication against a native s_server).
#
# Environment: LUCSP_WINE_TIMEOUT (seconds per Wine call, default 300), LUCSP_WINE_KEEP=1 keeps the
# temporary directory (prefix, logs, signatures).
#   LUCSP_WINE_COMPAT=required (default) | pending: the checks of the client-compatibility features
#     (hashing in the provider, CALG_SSL3_SHAMD5, verify-only contexts, enumeration, KP_KEYLEN in bits, last
#     error kept by clean-up calls) count as every other check; "pending" prints XFAIL instead of FAIL.
#   LUCSP_WINE_OPENSSL_APPS=0 skips the openssl.exe client (its first build takes several minutes; cached).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=lib/wine-common.sh
source "$top/scripts/lib/wine-common.sh"
parse_arch_args "$@"
wine_timeout=${LUCSP_WINE_TIMEOUT:-300}
compat_mode=${LUCSP_WINE_COMPAT:-required}
case "$compat_mode" in pending | required) ;; *) echo "LUCSP_WINE_COMPAT: pending or required" >&2; exit 2 ;; esac
with_openssl_apps=${LUCSP_WINE_OPENSSL_APPS:-1}
t_start=$(ms)
passed=0
failed=0
expected_failures=0
# A check of a client-compatibility feature (see LUCSP_WINE_COMPAT).
compat_pass() {
    passed=$((passed + 1))
    if [[ $compat_mode == required ]]; then echo "PASS $1"; else echo "XPASS $1"; fi
}
compat_fail() {
    if [[ $compat_mode == required ]]; then
        fail "$@"
    else
        expected_failures=$((expected_failures + 1))
        echo "XFAIL $1${2:+: $2}"
    fi
}
compat_check() { # compat_check NAME CONDITION-COMMAND...
    local name=$1
    shift
    if "$@" >/dev/null 2>&1; then compat_pass "$name"; else compat_fail "$name"; fi
}
report_name wine-acceptance
report_die_hook() {
    fail "setup" "$1"
    summary_line
}

# ------------------------------------------------------------------------------------------------
# Wine for this architecture

# ------------------------------------------------------------------------------------------------
# Builds

build_targets() {
    build_wine_targets lucsp_wine_tests
    cmake --build "$windir" --target lucsp >/dev/null || die "building lucsp failed"
    TESTS=$windir/tests/wine/lucsp_wine_tests.exe
    LUCSP_EXE=$windir/tools/lucsp/lucsp.exe
    [[ -f $DLL && -f $TESTS && -f $LUCSP_EXE && -x $REFSERVICE ]] || die "build outputs missing"
}

# ------------------------------------------------------------------------------------------------
# Helpers for the run

reverse_bytes() { perl -0777 -ne 'print scalar reverse $_' <"$1" >"$2"; }

cleanup() {
    local rc=$?
    wine_cleanup $((${LUCSP_WINE_KEEP:-0} == 1 || failed > 0))
    exit $rc
}

# Runs one phase of the test program, folding its checks into the counts.
run_phase() {
    local phase=$1 rc=0 summary p f
    local log=$work/$phase.log
    w "$TESTS" "$phase" --cert "$(winpath "$work/signer.pem")" --token "$TOKEN" --serial "$SERIAL" \
        --msg "$(winpath "$work/message.txt")" --out "$(winpath "$work/out")" --compat "$compat_mode" \
        >"$log" 2>"$work/$phase.err" || rc=$?
    tr -d '\r' <"$log" | grep -E '^(PASS|FAIL|XPASS|XFAIL|NOTE) ' || true
    summary=$(tr -d '\r' <"$log" |
        sed -n "s/^$phase: \([0-9]*\) passed, \([0-9]*\) failed\(, \([0-9]*\) expected failures\)\{0,1\}\$/\1 \2 \4/p")
    if [[ -z $summary ]]; then
        fail "$phase" "ended without its summary (exit status $rc), see $work/$phase.err"
        tail -5 "$work/$phase.err" >&2 || true
        return
    fi
    read -r p f x <<<"$summary"
    passed=$((passed + p))
    failed=$((failed + f))
    expected_failures=$((expected_failures + ${x:-0}))
    [[ $rc -eq 0 || $f -gt 0 ]] || fail "$phase" "exit status $rc"
}

verify_signature() { # verify_signature FILE DIGEST [DIR [CHECK-NAME]]
    local sig=${3:-$work/out}/$1 be=${3:-$work/out}/$1.be name=${4:-openssl/$1}
    if [[ ! -s $sig ]]; then
        fail "$name" "missing"
        return
    fi
    reverse_bytes "$sig" "$be"
    if openssl dgst "-$2" -verify "$work/pub.pem" -signature "$be" "$work/message.txt" >/dev/null 2>&1; then
        pass "$name"
    else
        fail "$name" "OpenSSL rejects the signature over the message"
    fi
}

# lucsp.exe register --provider csp|ksp under Wine, through the installed DLL's export.
register_for() { # register_for csp|ksp KEY-PROVIDER-NAME
    local log=$work/register-$1.log
    if w "$LUCSP_EXE" register --cert "$(winpath "$work/signer.pem")" --token "$TOKEN" --provider "$1" \
        >"$log" 2>&1 && tr -d '\r' <"$log" | grep -qx "key provider $2"; then
        pass "register/Provider_$1"
    else
        fail "register/Provider_$1" "$(tr -d '\r' <"$log" | tail -1)"
    fi
}

# The KSP's signatures are in CNG's big-endian order: PKCS #1 and PSS (MGF1 with the same hash, the salt
# the caller asked for) over the message's digest, and TLS 1.0's MD5+SHA-1 without DigestInfo.
verify_ksp_signatures() {
    local f digest mode salt dir=$work/out
    while read -r f digest mode salt; do
        if [[ ! -s $dir/$f ]]; then
            fail "openssl/$f" "missing"
            continue
        fi
        openssl dgst "-$digest" -binary "$work/message.txt" >"$dir/$f.digest"
        local opts=(-pkeyopt "digest:$digest")
        [[ $mode == pss ]] && opts+=(-pkeyopt rsa_padding_mode:pss -pkeyopt "rsa_pss_saltlen:$salt")
        if openssl pkeyutl -verify -pubin -inkey "$work/pub.pem" -in "$dir/$f.digest" -sigfile "$dir/$f" \
            "${opts[@]}" >/dev/null 2>&1; then
            pass "openssl/$f"
        else
            fail "openssl/$f" "openssl pkeyutl rejects it"
        fi
    done <<'LIST'
ksp_pkcs1_sha256.bin sha256 pkcs1 0
ksp_pkcs1_sha1.bin sha1 pkcs1 0
ksp_pss_sha256.bin sha256 pss 32
ksp_pss_sha384.bin sha384 pss 48
ksp_pss0_sha256.bin sha256 pss 0
LIST
    local recovered expected
    recovered=$(openssl pkeyutl -verifyrecover -pubin -inkey "$work/pub.pem" -in "$dir/ksp_md5sha1.bin" 2>/dev/null |
        od -An -tx1 | tr -d ' \n')
    expected=$( (openssl dgst -md5 -binary "$work/message.txt"; openssl dgst -sha1 -binary "$work/message.txt") |
        od -An -tx1 | tr -d ' \n')
    [[ -n $recovered && $recovered == "$expected" ]] && pass "openssl/ksp_md5sha1.bin" ||
        fail "openssl/ksp_md5sha1.bin" "[$recovered]"
    # BCRYPT_RSAPUBLIC_BLOB: 24-byte header, the exponent (cbPublicExp at 8), then the modulus big-endian.
    local blob_modulus cert_modulus
    blob_modulus=$(perl -0777 -ne 'my $e = unpack("V", substr($_, 8, 4)); print uc unpack("H*", substr($_, 24 + $e))' \
        "$dir/ksp_rsapublic.blob" 2>/dev/null || true)
    cert_modulus=$(openssl x509 -in "$work/signer.pem" -noout -modulus | sed 's/^Modulus=//')
    [[ -n $blob_modulus && $blob_modulus == "$cert_modulus" ]] && pass "openssl/KspRsaPublicBlobModulus" ||
        fail "openssl/KspRsaPublicBlobModulus"
}

# The DLL carries no path of the build machine (Windows reads /var/cache/... as C:\var\cache\..., a
# place any user may create, and OpenSSL would take its configuration, engines and modules from there)
# and its libcurl no longer looks at SSLKEYLOGFILE.
check_dll_strings() {
    local text
    text=$(strings -a "$DLL")
    if grep -q '/var/cache' <<<"$text"; then
        fail "dll/NoBuildPaths" "$(grep -m3 '/var/cache' <<<"$text" | tr '\n' ' ')"
    else
        pass "dll/NoBuildPaths"
    fi
    if grep -q 'SSLKEYLOGFILE' <<<"$text"; then fail "dll/NoKeyLogVariable"; else pass "dll/NoKeyLogVariable"; fi
    note "OpenSSL directories compiled in: $(grep -E '^(OPENSSLDIR|ENGINESDIR|MODULESDIR): ' <<<"$text" | tr '\n' ' ')"
}

atime_of() { stat -c %X "$1"; }
# Sets a file's access time far back, below its modification time: reading it then moves the access
# time forward also on a relatime mount.
age_atime() { touch -a -d @1000000000 "$1"; }

# A signature made in a hostile environment: OPENSSL_CONF names a configuration that loads an engine
# and a provider module (and, were it applied, would leave no usable algorithm), SSLKEYLOGFILE names a
# key log. The signature must work, neither file may be read and no key log may appear.
hostile_environment() {
    local dir=$work/hostile
    local cnf=$dir/openssl.cnf module=$dir/evil.dll keylog=$dir/keys.log probe=$dir/probe
    mkdir -p "$dir/out"
    cp "$DLL" "$module"
    # Forward slashes: a backslash is an escape in OpenSSL's configuration syntax.
    local modpath="Z:$module"
    cat >"$cnf" <<EOF
openssl_conf = openssl_init
[openssl_init]
config_diagnostics = 1
engines = engine_section
providers = provider_section
alg_section = evp_properties
[engine_section]
evil = evil_engine
[evil_engine]
dynamic_path = $modpath
init = 1
[provider_section]
evil = evil_provider
[evil_provider]
module = $modpath
activate = 1
[evp_properties]
default_properties = fips=yes
EOF
    echo probe >"$probe"
    local f
    for f in "$cnf" "$module" "$probe"; do age_atime "$f"; done
    local probe_before cnf_before module_before atime_works=0
    probe_before=$(atime_of "$probe")
    cnf_before=$(atime_of "$cnf")
    module_before=$(atime_of "$module")
    cat "$probe" >/dev/null
    [[ $(atime_of "$probe") != "$probe_before" ]] && atime_works=1

    local seen
    seen=$(OPENSSL_CONF="Z:$cnf" w cmd /c 'echo %OPENSSL_CONF%' 2>/dev/null | tr -d '\r' | tail -1)
    [[ $seen == "Z:$cnf" ]] && pass "hostile/EnvironmentReachesWindows" ||
        fail "hostile/EnvironmentReachesWindows" "[$seen]"

    local rc=0 log=$dir/capi.log summary
    OPENSSL_CONF="Z:$cnf" OPENSSL_ENGINES="Z:$dir" OPENSSL_MODULES="Z:$dir" SSLKEYLOGFILE="$(winpath "$keylog")" \
        w "$TESTS" capi --cert "$(winpath "$work/signer.pem")" --token "$TOKEN" --serial "$SERIAL" \
        --msg "$(winpath "$work/message.txt")" --out "$(winpath "$dir/out")" >"$log" 2>"$dir/capi.err" || rc=$?
    summary=$(tr -d '\r' <"$log" | sed -n 's/^capi: \([0-9]*\) passed, \([0-9]*\) failed\(, .*\)\{0,1\}$/\1 \2/p')
    if [[ -n $summary && ${summary#* } == 0 && $rc -eq 0 ]]; then
        pass "hostile/CapiPhase"
    else
        fail "hostile/CapiPhase" "[$summary] exit status $rc, see $dir"
        tr -d '\r' <"$log" | grep '^FAIL ' | head -5 >&2 || true
    fi
    verify_signature sig_sha256.bin sha256 "$dir/out" hostile/SignatureVerifies
    [[ ! -e $keylog ]] && pass "hostile/NoKeyLog" || fail "hostile/NoKeyLog" "$(wc -l <"$keylog") lines written"
    if [[ $atime_works == 1 ]]; then
        [[ $(atime_of "$cnf") == "$cnf_before" ]] && pass "hostile/ConfigNotRead" || fail "hostile/ConfigNotRead"
        [[ $(atime_of "$module") == "$module_before" ]] && pass "hostile/ModuleNotLoaded" ||
            fail "hostile/ModuleNotLoaded"
    else
        note "access times are not kept on $(df --output=target "$dir" | tail -1): only the signature shows the configuration was ignored"
    fi
}

# ------------------------------------------------------------------------------------------------
# Real clients: their outputs checked with OpenSSL here

out_file() { [[ -s $work/out/$1 ]]; }

cms_verifies() { # cms_verifies FILE detached|attached
    local f=$work/out/$1
    out_file "$1" || return 1
    if [[ $2 == detached ]]; then
        openssl cms -verify -inform DER -in "$f" -content "$work/message.txt" -binary -CAfile "$work/ca.pem" \
            -out /dev/null
    else
        openssl cms -verify -inform DER -in "$f" -binary -CAfile "$work/ca.pem" -out "$f.content" &&
            cmp -s "$f.content" "$work/message.txt"
    fi
}

cms_has_signed_attributes() {
    out_file "$1" && openssl cms -cmsout -print -inform DER -in "$work/out/$1" | grep -q 'signingTime' &&
        openssl cms -cmsout -print -inform DER -in "$work/out/$1" | grep -q 'messageDigest'
}

# A big-endian signature over the message.
signature_verifies() { # signature_verifies FILE DIGEST
    out_file "$1" && openssl dgst "-$2" -verify "$work/pub.pem" -signature "$work/out/$1" "$work/message.txt"
}

# A little-endian (as CryptoAPI returns it) signature over the message or over a file.
le_signature_verifies() { # le_signature_verifies FILE DIGEST [SIGNED-FILE]
    out_file "$1" || return 1
    reverse_bytes "$work/out/$1" "$work/out/$1.be"
    openssl dgst "-$2" -verify "$work/pub.pem" -signature "$work/out/$1.be" "${3:-$work/message.txt}"
}

# A signature of 36 bytes without DigestInfo (SSL3 SHA-MD5): what the public key recovers is MD5 then SHA-1
# of the message. little|big: the byte order of the file.
shamd5_verifies() { # shamd5_verifies FILE little|big
    local f=$work/out/$1
    out_file "$1" || return 1
    if [[ $2 == little ]]; then reverse_bytes "$f" "$f.be"; else cp "$f" "$f.be"; fi
    openssl pkeyutl -verifyrecover -pubin -inkey "$work/pub.pem" -pkeyopt rsa_padding_mode:pkcs1 -in "$f.be" \
        -out "$f.recovered" && cmp -s "$f.recovered" "$work/out/md5sha1.bin"
}

# The self-signed certificate that crypt32 encoded: its own signature verifies, over the signer's key.
selfsigned_verifies() {
    local f=$work/out/cert_selfsigned.der
    out_file cert_selfsigned.der || return 1
    openssl x509 -inform DER -in "$f" -out "$f.pem" &&
        openssl verify -check_ss_sig -CAfile "$f.pem" "$f.pem" &&
        [[ $(openssl x509 -in "$f.pem" -noout -modulus) == "$(openssl x509 -in "$work/signer.pem" -noout -modulus)" ]]
}

check_client_outputs() {
    cat <(openssl dgst -md5 -binary "$work/message.txt") <(openssl dgst -sha1 -binary "$work/message.txt") \
        >"$work/out/md5sha1.bin"
    check "openssl/dotnet_SHA256" signature_verifies dotnet_sha256.sig sha256
    check "openssl/dotnet_SHA1" signature_verifies dotnet_sha1.sig sha1
    check "openssl/java_SHA256withRSA" signature_verifies java_sha256.sig sha256
    compat_check "openssl/java_NONEwithRSA_36" shamd5_verifies java_none36.sig big
    compat_check "openssl/cms_detached" cms_verifies cms_detached.p7s detached
    compat_check "openssl/cms_attached" cms_verifies cms_attached.p7s attached
    compat_check "openssl/cms_signed_attributes" cms_verifies cms_attrs.p7s detached
    compat_check "openssl/cms_signed_attributes_present" cms_has_signed_attributes cms_attrs.p7s
    compat_check "openssl/SignCertificate" le_signature_verifies cert_sig.bin sha256 "$work/out/cert_tbs.der"
    compat_check "openssl/SignAndEncodeCertificate" selfsigned_verifies
    compat_check "openssl/HashData_SHA256" le_signature_verifies sig_hashdata_sha256.bin sha256
    compat_check "openssl/SSL3_SHAMD5" shamd5_verifies sig_shamd5.bin little
}

# OpenSSL's own program with its capi engine, built from the sources of the product's libcrypto, finding
# the key by the certificate's subject in "MY" (the engine's default lookup).
ossl() { OPENSSL_CONF=$(winpath "$work/openssl.cnf") w "$work/openssl.exe" "$@"; }

# tls_handshake NAME SERVER-ARGS... -- CLIENT-ARGS...: one client-authenticated handshake of openssl.exe
# under Wine against a native s_server that demands a certificate from the test CA; the server's report
# is left in $work/NAME-server.log.
tls_handshake() {
    local name=$1 sargs=() cargs=() slog clog fifo hold spid port="" i
    shift
    while [[ $1 != -- ]]; do
        sargs+=("$1")
        shift
    done
    shift
    cargs=("$@")
    slog=$work/$name-server.log
    clog=$work/$name-client.log
    fifo=$work/$name.stdin
    # The server's input stays open (held here) until the handshake is over.
    mkfifo "$fifo"
    exec {hold}<>"$fifo"
    timeout 120 openssl s_server -accept 127.0.0.1:0 -naccept 1 -cert "$work/tls-server.pem" \
        -key "$work/tls-server.key" -CAfile "$work/ca.pem" -Verify 1 -verify_return_error "${sargs[@]}" \
        <"$fifo" >"$slog" 2>&1 &
    spid=$!
    for ((i = 0; i < 100; i++)); do
        port=$(sed -n 's/^ACCEPT 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$slog")
        [[ -n $port ]] && break
        sleep 0.1
    done
    if [[ -n $port ]]; then
        # Input arrives after the handshake has had its time; its end closes the connection.
        (sleep 3; echo "LUCSP-TLS-$name") | ossl s_client -connect "127.0.0.1:$port" -engine capi -keyform engine \
            -key "$CN" -cert "$(winpath "$work/signer.pem")" -brief "${cargs[@]}" >"$clog" 2>&1 || true
    fi
    wait "$spid" 2>/dev/null || true
    exec {hold}>&-
    [[ -n $port ]] && grep -q "LUCSP-TLS-$name" "$slog" && grep -q '^Peer signature type: RSA' "$slog" &&
        grep -q "^subject=.*$CN" "$slog"
}

run_openssl_capi() {
    if [[ $with_openssl_apps != 1 ]]; then
        note "openssl.exe client skipped (LUCSP_WINE_OPENSSL_APPS=0)"
        return
    fi
    local cache key exe t0
    cache=${LUCSP_DEPS_CACHE:-/var/cache/lucsp-deps}
    t0=$(ms)
    if ! LUCSP_DEPS_OPENSSL_APPS=1 "$top/scripts/deps/build-mingw-deps.sh" "$ARCH" >"$work/openssl-apps.log" 2>&1; then
        fail "capi/build" "see $work/openssl-apps.log"
        return
    fi
    key=$(readlink "$cache/current")
    exe=$cache/$key/$ARCH-apps/bin/openssl.exe
    [[ -f $exe ]] || {
        fail "capi/build" "$exe missing"
        return
    }
    note "openssl.exe with the capi engine ready in $(($(ms) - t0)) ms"
    cp "$exe" "$work/openssl.exe"
    : >"$work/openssl.cnf"
    CN=$(openssl x509 -in "$work/signer.pem" -noout -subject -nameopt multiline | sed -n 's/^ *commonName *= *//p')

    ossl engine capi >"$work/capi-engine.log" 2>&1 || true
    check "capi/engine" grep -q '(capi)' "$work/capi-engine.log"
    ossl dgst -sha256 -engine capi -keyform engine -sign "$CN" -out "$(winpath "$work/out/capi_dgst.sig")" \
        "$(winpath "$work/message.txt")" >"$work/capi-dgst.log" 2>&1 || true
    check "capi/dgst" signature_verifies capi_dgst.sig sha256
    ossl cms -sign -engine capi -keyform engine -inkey "$CN" -signer "$(winpath "$work/signer.pem")" -md sha256 \
        -binary -in "$(winpath "$work/message.txt")" -outform DER -out "$(winpath "$work/out/capi_cms.p7s")" \
        >"$work/capi-cms.log" 2>&1 || true
    check "capi/cms" cms_verifies capi_cms.p7s detached
    # csp_name and list_containers open a verify-only context without a container (after the engine's
    # initialisation, hence -t and -post).
    ossl engine -t -post "csp_name:Varno Base Cryptographic Provider Server" -post list_containers capi \
        >"$work/capi-containers.log" 2>&1 || true
    compat_check "capi/list_containers" grep -q "$SERIAL" "$work/capi-containers.log"

    openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 1 -keyout "$work/tls-server.key" \
        -out "$work/tls-server.pem" >/dev/null 2>&1
    # PKCS #1 v1.5 (the capi engine signs no PSS).
    if tls_handshake tls12 -tls1_2 -client_sigalgs RSA+SHA256 -- -tls1_2 &&
        grep -q '^Peer signing digest: SHA256' "$work/tls12-server.log"; then
        pass "capi/TLS1.2_ClientAuth"
    else
        fail "capi/TLS1.2_ClientAuth" "see $work/tls12-server.log and $work/tls12-client.log"
    fi
    # Debian's OpenSSL allows TLS 1.0 and its MD5+SHA-1 signature only at security level 0, on both sides.
    if tls_handshake tls10 -tls1 -cipher DEFAULT@SECLEVEL=0 -- -tls1 -cipher DEFAULT@SECLEVEL=0 &&
        grep -q '^Peer signing digest: MD5-SHA1' "$work/tls10-server.log"; then
        compat_pass "capi/TLS1.0_ClientAuth"
    else
        compat_fail "capi/TLS1.0_ClientAuth" "see $work/tls10-server.log and $work/tls10-client.log"
    fi
}

# ------------------------------------------------------------------------------------------------

main() {
    echo "=== Wine acceptance, $ARCH"
    build_targets
    check_dll_strings
    setup_wine
    note "Wine: $("$WINE" --version 2>/dev/null) via $WINE_MODE"

    work=$(mktemp -d /tmp/lucsp-wine-"$ARCH".XXXXXX)
    trap cleanup EXIT
    mkdir -p "$work/out"
    local sysdir regsvr32 view port t0
    make_prefix
    # Installed the way an administrator does.
    local provider_key='HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Varno Base Cryptographic Provider Server'
    t0=$(ms)
    if w "$regsvr32" /n /i Varno_LUCSP_Server.dll >"$work/regsvr32.log" 2>&1; then
        pass "install/regsvr32"
    else
        fail "install/regsvr32" "$(tr -d '\r' <"$work/regsvr32.log" | tail -1)"
    fi
    note "regsvr32 /n /i took $(($(ms) - t0)) ms"
    local image type
    image=$(reg_value "$provider_key" "Image Path" "$view")
    type=$(reg_value "$provider_key" "Type" "$view")
    [[ $image == Varno_LUCSP_Server.dll ]] && pass "install/ImagePath" || fail "install/ImagePath" "[$image]"
    [[ $type == 0x1 ]] && pass "install/Type" || fail "install/Type" "[$type]"

    start_service
    local conex='HKLM\SOFTWARE\Varno\Trelis_Server\Conex'
    [[ $(reg_value "$conex" CNX_ServiceHost 32) == "127.0.0.1:$port" ]] && pass "config/CNX_ServiceHost" ||
        fail "config/CNX_ServiceHost"
    [[ $(reg_value "$conex" CNX_CAFile 32) == "$(winpath "$work/ca.pem")" ]] && pass "config/CNX_CAFile" ||
        fail "config/CNX_CAFile"

    printf 'LUCSP acceptance under Wine, %s, %s\n' "$ARCH" "$(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$work/message.txt"

    local phase
    for phase in register capi certkey direct compat crypt32 dotnet java; do
        t0=$(ms)
        run_phase "$phase"
        note "phase $phase took $(($(ms) - t0)) ms"
    done
    # Registered again for the key storage provider: crypt32 shows its name with provider type and dwKeySpec 0, and
    # the KSP (and the CSP) open it; unregister takes it out; then the CSP's registration for the rest.
    register_for ksp "Varno Key Storage Provider Server"
    run_phase kspcert
    run_phase ksp
    local left
    w "$LUCSP_EXE" unregister --cert "$(winpath "$work/signer.pem")" >"$work/unregister-ksp.log" 2>&1 || true
    left=$(w "$LUCSP_EXE" list --serials 2>/dev/null | tr -d '\r')
    [[ -z $left ]] && pass "unregister/KspNamed" || fail "unregister/KspNamed" "still listed: [$left]"
    register_for csp "Varno Base Cryptographic Provider Server"

    # Every signature made through Wine, checked by OpenSSL over the message itself.
    openssl x509 -in "$work/signer.pem" -pubkey -noout >"$work/pub.pem"
    hostile_environment
    local digest
    for digest in sha1 sha256 sha384 sha512; do verify_signature "sig_$digest.bin" "$digest"; done
    verify_signature sig_context2_sha256.bin sha256
    verify_signature sig_certkey_sha256.bin sha256
    verify_ksp_signatures
    # CryptoAPI's order is little-endian: the bytes as returned must not verify unreversed.
    if [[ -s $work/out/sig_sha256.bin ]] && ! openssl dgst -sha256 -verify "$work/pub.pem" \
        -signature "$work/out/sig_sha256.bin" "$work/message.txt" >/dev/null 2>&1; then
        pass "openssl/LittleEndianAsReturned"
    else
        fail "openssl/LittleEndianAsReturned" "the signature verified without reversing"
    fi
    # The exported PUBLICKEYBLOB carries the certificate's modulus.
    local blob_modulus cert_modulus
    blob_modulus=$(perl -0777 -ne 'print uc unpack("H*", scalar reverse substr($_, 20))' "$work/out/pubkey.blob" 2>/dev/null || true)
    cert_modulus=$(openssl x509 -in "$work/signer.pem" -noout -modulus | sed 's/^Modulus=//')
    [[ -n $blob_modulus && $blob_modulus == "$cert_modulus" ]] && pass "openssl/PublicKeyBlobModulus" ||
        fail "openssl/PublicKeyBlobModulus"

    # The requests reached the service.
    if command -v curl >/dev/null; then
        local stats signed
        stats=$(curl -s --max-time 10 --cacert "$work/ca.pem" "https://127.0.0.1:$port/_control/stats" || true)
        signed=$(sed -n 's/.*"signed":\([0-9]*\).*/\1/p' <<<"$stats")
        [[ ${signed:-0} -ge 6 ]] && pass "service/SignRequests" || fail "service/SignRequests" "$stats"
        note "service counters: $(grep -o '"\(requests\|signed\|rejected\|faulted\)":[0-9]*' <<<"$stats" | tr '\n' ' ')"
    fi

    check_client_outputs
    run_openssl_capi

    # The compatibility features switched off: the provider refuses as before them.
    w reg add "$conex" /v CSP_Compatibility /t REG_DWORD /d 0 /f /reg:32 >/dev/null 2>&1 || true
    [[ $(reg_value "$conex" CSP_Compatibility 32) == 0x0 ]] && pass "config/CSP_Compatibility" ||
        fail "config/CSP_Compatibility"
    run_phase strict
    w reg delete "$conex" /v CSP_Compatibility /f /reg:32 >/dev/null 2>&1 || true

    run_phase unregister

    # The trace file, where the product writes it.
    local trace=$WINEPREFIX/drive_c/Varno/008/WIN32_LUKeyCSP.log
    check "trace/WIN32_LUKeyCSP.log" test -s "$trace"
    check "trace/DllInstall" grep -q '<DllInstall ' "$trace"
    check "trace/RegisterCertificate" grep -q '<TrelisServer_RegisterCertificate ' "$trace"
    check "trace/CPSignHash" grep -q '<CPSignHash ' "$trace"
    note "trace file: $(wc -l <"$trace" 2>/dev/null || echo 0) lines"

    # Uninstall. Wine's BCryptUnregisterProvider answers STATUS_NOT_IMPLEMENTED, so DllInstall reports
    # S_FALSE and regsvr32 a failure; the CSP keys are removed all the same.
    local rc=0
    w "$regsvr32" /u /n /i Varno_LUCSP_Server.dll >"$work/regsvr32-u.log" 2>&1 || rc=$?
    note "regsvr32 /u /n /i exit status $rc (Wine's BCryptUnregisterProvider is not implemented)"
    if w reg query "$provider_key" /reg:64 >/dev/null 2>&1 || w reg query "$provider_key" /reg:32 >/dev/null 2>&1; then
        fail "uninstall/ProviderKeysRemoved"
    else
        pass "uninstall/ProviderKeysRemoved"
    fi

    note "suite for $ARCH took $(($(ms) - t_start)) ms"
    summary_line
    [[ $failed -eq 0 ]]
}

# Sourced by the installer test for its Wine set-up and helpers; run, it is the acceptance suite.
if [[ ${BASH_SOURCE[0]} == "$0" ]]; then main; fi
