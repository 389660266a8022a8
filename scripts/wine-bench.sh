#!/usr/bin/env bash
# Sign benchmark of the Windows DLL under Wine, through advapi32's CryptoAPI, beside the floor (the same
# sign request POSTed with the same static libcurl over one kept-alive connection, in the same prefix).
#
#   scripts/wine-bench.sh ARCH [WIN_BUILD_DIR [LINUX_BUILD_DIR]]     ARCH: i686 or x86_64
#
# Makes a fresh prefix, installs the DLL with "regsvr32 /n /i", starts the reference signing service on
# loopback and registers its certificate, as scripts/wine-acceptance.sh does; then runs
# lucsp_wine_bench.exe once with the trace at its default and once with it off. A benchmark: figures
# are printed, nothing is asserted.
# Environment: LUCSP_BENCH_DLL (another build of the DLL, e.g. an older one, measured with this
# program), LUCSP_BENCH_SIGNATURES (per pattern, default 200), LUCSP_BENCH_THREADS (default 8,32,64:
# the threads of the own-contexts pattern are the first; the pattern against a service with 20 ms
# latency runs each, beside as many direct POSTs in as many threads, as the Linux benchmark does),
# LUCSP_BENCH_PATTERNS (a comma-separated list of same, ksp, another, alone, contexts, threads,
# latency; default all), LUCSP_BENCH_TRACE (default, off or both: the trace settings measured; both),
# LUCSP_BENCH_RELAY=1 also counts the Win32 calls per signature of the same-context pattern with
# WINEDEBUG=+relay (slow; =only for the counts alone), LUCSP_WINE_TIMEOUT (seconds per Wine call, default 1800), LUCSP_WINE_KEEP=1.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=lib/wine-common.sh
source "$top/scripts/lib/wine-common.sh"
parse_arch_args "$@"
wine_timeout=${LUCSP_WINE_TIMEOUT:-1800}
signatures=${LUCSP_BENCH_SIGNATURES:-200}
threads=${LUCSP_BENCH_THREADS:-8,32,64}
report_name wine-bench

cleanup() {
    local rc=$?
    wine_cleanup $((${LUCSP_WINE_KEEP:-0} == 1 || rc != 0))
    exit $rc
}

build_targets() {
    build_wine_targets lucsp_wine_bench
    DLL=${LUCSP_BENCH_DLL:-$DLL}
    BENCH=$windir/bench/lucsp_wine_bench.exe
    [[ -f $DLL && -f $BENCH && -x $REFSERVICE ]] || die "build outputs missing"
}

# The sign path of the reference service (TRefSigningService::SignPath).
SIGN_PATH=/Service/Microservice/PSC/api/v1/integracaopsc/Encrypt

run_bench() { # run_bench LABEL [ARGS...]: later arguments override the counts
    local label=$1
    shift
    w "$BENCH" --cert "$(winpath "$work/signer.pem")" --token "$TOKEN" --serial "$SERIAL" \
        --url "https://127.0.0.1:$port$SIGN_PATH" --ca "$(winpath "$work/ca.pem")" --trace "$label" \
        --signatures "$signatures" --threads "$threads" --patterns "${LUCSP_BENCH_PATTERNS:-all}" "$@" | tr -d '\r'
}

set_trace() { # set_trace 1|0
    w reg add 'HKLM\SOFTWARE\Varno\Trelis_Server\Log' /v LOG_Enabled /t REG_DWORD /d "$1" /f /reg:32 \
        >/dev/null 2>&1 || die "LOG_Enabled not written"
}

main() {
    echo "=== Wine benchmark, $ARCH"
    build_targets
    setup_wine
    note "Wine: $("$WINE" --version 2>/dev/null) via $WINE_MODE"
    work=$(mktemp -d /tmp/lucsp-winebench-"$ARCH".XXXXXX)
    trap cleanup EXIT
    local sysdir regsvr32 view port
    make_prefix
    w "$regsvr32" /n /i Varno_LUCSP_Server.dll >"$work/regsvr32.log" 2>&1 || die "regsvr32 /n /i failed"
    start_service
    if [[ ${LUCSP_BENCH_RELAY:-0} != only ]]; then
        if [[ ${LUCSP_BENCH_TRACE:-both} != off ]]; then
            set_trace 1
            run_bench default
        fi
        if [[ ${LUCSP_BENCH_TRACE:-both} != default ]]; then
            set_trace 0
            run_bench off
        fi
    fi
    if [[ ${LUCSP_BENCH_RELAY:-0} != 0 ]]; then
        # Two short runs of the same-context pattern; their difference is the cost of ten signatures.
        set_trace 1
        local a b fn
        WINEDEBUG=${LUCSP_BENCH_RELAY_CHANNELS:-+relay} run_bench relay --signatures 5 --floor-requests 3 --patterns same >/dev/null 2>"$work/relay5.log" || true
        WINEDEBUG=${LUCSP_BENCH_RELAY_CHANNELS:-+relay} run_bench relay --signatures 15 --floor-requests 3 --patterns same >/dev/null 2>"$work/relay15.log" || true
        for fn in WaitForSingleObject ReleaseMutex CreateMutexW WriteFile RtlAcquireSRWLockExclusive \
            SleepConditionVariableSRW RtlEnterCriticalSection; do
            a=$(grep -c "Call [A-Za-z0-9]*\.$fn(" "$work/relay5.log" || true)
            b=$(grep -c "Call [A-Za-z0-9]*\.$fn(" "$work/relay15.log" || true)
            # The second run makes ten signatures more, in its one context.
            awk -v f="relay $fn" -v a="$a" -v b="$b" 'BEGIN { printf "%-44s %10.1f calls per signature\n", f, (b - a) / 10 }'
        done
    fi
}

main
