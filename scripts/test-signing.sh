#!/usr/bin/env bash
# CI's signing check: a throwaway code-signing certificate, a signed build of the installer
# (scripts/build-msi.sh signs both DLLs, lucsp.exe and the MSI), and osslsigncode verify on each file,
# which must also refuse a tampered copy and a chain to another CA.
#   scripts/test-signing.sh        (LUCSP_BUILD_ROOT as for build-msi.sh)
# Prints one line per check and "N passed, N failed"; exit status 1 on any failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=${LUCSP_BUILD_ROOT:-$top/build}
# shellcheck source=lib/report.sh
source "$top/scripts/lib/report.sh"
work=$(mktemp -d /tmp/lucsp-signing.XXXXXX)
trap 'rm -rf "$work"' EXIT
t0=$(date +%s%3N)
"$top/scripts/sign.sh" --make-test-cert "$work/cert"
"$top/scripts/sign.sh" --make-test-cert "$work/other"
msi=$(LUCSP_SIGN_CERT=$work/cert/signer.pem LUCSP_SIGN_KEY=$work/cert/signer.key \
    "$top/scripts/build-msi.sh" "$work/Varno_LUCSP_Server.msi" | tail -1)
stage=$out/msi/stage
for f in "$stage/x86/Varno_LUCSP_Server.dll" "$stage/x64/Varno_LUCSP_Server.dll" "$stage/x64/lucsp.exe" "$msi"; do
    rc=0
    "$top/scripts/sign.sh" --verify "$work/cert/ca.pem" "$f" >/dev/null 2>&1 || rc=$?
    result "verify ${f#"$out/"}" $rc
    rc=0
    "$top/scripts/sign.sh" --verify "$work/other/ca.pem" "$f" >/dev/null 2>&1 || rc=$?
    result "refused with another CA: ${f##*/}" $((rc == 0))
done
# One byte changed inside the signed code: the digest no longer matches.
cp "$stage/x64/Varno_LUCSP_Server.dll" "$work/tampered.dll"
printf '\x90' | dd of="$work/tampered.dll" bs=1 seek=4096 conv=notrunc status=none
rc=0
"$top/scripts/sign.sh" --verify "$work/cert/ca.pem" "$work/tampered.dll" >/dev/null 2>&1 || rc=$?
result "refused after tampering" $((rc == 0))
note "signing suite took $(($(date +%s%3N) - t0)) ms"
summary_line
[[ $failed -eq 0 ]]
