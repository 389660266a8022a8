#!/usr/bin/env bash
# The main job, end to end on this machine: installs what is missing, builds the provider library and the
# lucsp tool, starts the reference signing service on loopback with a fresh CA, key, certificate and
# token, points the library at it, registers the certificate and token, signs a hash through the
# provider, verifies the signature with OpenSSL, and prints each step and the figures.
#   scripts/demo.sh                 everything (LUCSP_DEMO_KEEP=1 keeps the temporary directory)
#   LUCSP_DEMO_SIGNS=N scripts/demo.sh   signatures for the timing figures (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
# shellcheck source=lib/report.sh
source "$top/scripts/lib/report.sh"
out=${LUCSP_BUILD_ROOT:-$top/build}
build="$out/linux"
jobs=${LUCSP_JOBS:-$(nproc)}
signs=${LUCSP_DEMO_SIGNS:-20}

n=0
# The demo numbers its steps.
step() {
  n=$((n + 1))
  printf '\n=== %d. %s\n' "$n" "$1"
}
run() {
  local shown="$*"
  shown=${shown//"$lucsp"/lucsp}
  shown=${shown//"$work"/\$work}
  printf '$ %s\n' "$shown"
  "$@"
}

step "packages"
scripts/setup.sh

step "build the provider library and the lucsp tool (Linux, $build)"
t0=$(date +%s)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j"$jobs" --target lucsp Varno_LUCSP_Server Varno_LUKSP_Server
echo "built in $(($(date +%s) - t0)) s"
lucsp="$build/tools/lucsp/lucsp"
export LUCSP_LIBRARY="$build/src/dll/Varno_LUCSP_Server.so"

# Everything the library keeps (registry, certificate store, trace log) lives below a private root.
work=$(mktemp -d "${TMPDIR:-/tmp}/lucsp-demo-XXXXXX")
export LUCSP_ROOT="$work/root"
mkdir -p "$LUCSP_ROOT"
service_pid=""
cleanup() {
  stop_process "$service_pid"
  if [ "${LUCSP_DEMO_KEEP:-0}" = "1" ]; then
    echo "kept $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
echo "working directory $work (LUCSP_ROOT=$LUCSP_ROOT)"

step "start the reference signing service on loopback (fresh CA, signing key, certificate and token)"
printf '$ %s\n' "lucsp serve --ca-out \$work/ca.pem --cert-out \$work/signer.pem --token-out \$work/signer.token &"
"$lucsp" serve --ca-out "$work/ca.pem" --cert-out "$work/signer.pem" --token-out "$work/signer.token" \
  --die-with-parent >"$work/serve.out" 2>"$work/serve.err" &
service_pid=$!
for _ in $(seq 1 600); do
  grep -q '^LISTENING ' "$work/serve.out" 2>/dev/null && break
  if ! kill -0 "$service_pid" 2>/dev/null; then
    cat "$work/serve.err" >&2
    echo "demo: the signing service did not start" >&2
    exit 1
  fi
  sleep 0.1
done
grep -q '^LISTENING ' "$work/serve.out" || {
  echo "demo: the signing service did not report LISTENING within 60 s" >&2
  exit 1
}
cat "$work/serve.out"
port=$(sed -n 's/^LISTENING 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/serve.out")
serial=$(sed -n 's/^KEY SERIAL=\([0-9A-F]*\) .*/\1/p' "$work/serve.out" | head -1)
echo "service at https://127.0.0.1:$port, certificate serial (the key container) $serial"

step "point the library at the service (settings of the library)"
run "$lucsp" config set CNX_ServiceHost "127.0.0.1:$port"
run "$lucsp" config set CNX_CAFile "$work/ca.pem"

step "register the certificate and its token (TrelisServer_RegisterCertificate)"
run "$lucsp" register --cert "$work/signer.pem" --token-file "$work/signer.token"
run "$lucsp" list

step "hash a document (OpenSSL) and sign the hash through the provider"
printf 'Varno LUCSP demo document, %s\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$work/document.txt"
hash=$(openssl dgst -sha256 -r "$work/document.txt" | cut -d' ' -f1)
echo "SHA-256 of document.txt: $hash"
run "$lucsp" sign --container "$serial" --alg sha256 --hash "$hash" --order big-endian --format raw \
  --out "$work/document.sig" --stats
echo "signature (first 32 bytes): $(od -An -tx1 -N32 "$work/document.sig" | tr -d ' \n')..."

step "verify the signature with OpenSSL against the certificate"
openssl x509 -in "$work/signer.pem" -pubkey -noout >"$work/cert-pubkey.pem"
run openssl dgst -sha256 -verify "$work/cert-pubkey.pem" -signature "$work/document.sig" "$work/document.txt"
# The same with the key the provider exports (CryptExportKey PUBLICKEYBLOB, converted to PEM).
run "$lucsp" export-pubkey --container "$serial" --out "$work/provider-pubkey.pem"
if cmp -s "$work/cert-pubkey.pem" "$work/provider-pubkey.pem"; then
  echo "the provider's public key is the certificate's"
else
  echo "demo: the provider exported another public key than the certificate's" >&2
  exit 1
fi
openssl dgst -sha256 -binary "$work/document.txt" >"$work/document.hash"
run openssl pkeyutl -verify -pubin -inkey "$work/provider-pubkey.pem" -in "$work/document.hash" \
  -sigfile "$work/document.sig" -pkeyopt digest:sha256

step "verify through the provider (CryptVerifySignature)"
run "$lucsp" verify --container "$serial" --alg sha256 --file "$work/document.txt" \
  --signature-file "$work/document.sig" --format raw --order big-endian

step "an RSA-PSS signature through the CNG key storage provider, verified with OpenSSL"
run "$lucsp" sign --container "$serial" --alg sha256 --hash "$hash" --provider ksp --padding pss \
  --order big-endian --format raw --out "$work/document.pss"
run openssl pkeyutl -verify -pubin -inkey "$work/cert-pubkey.pem" -in "$work/document.hash" \
  -sigfile "$work/document.pss" -pkeyopt digest:sha256 -pkeyopt rsa_padding_mode:pss -pkeyopt rsa_pss_saltlen:32

step "figures: $signs signatures, each in a new context (acquire, hash, remote sign, release)"
"$lucsp" sign --container "$serial" --alg sha256 --hash "$hash" --repeat "$signs" >/dev/null

step "the library's trace log"
run "$lucsp" log --lines 6

step "clean up"
run "$lucsp" unregister --cert "$work/signer.pem"
kill -TERM "$service_pid" && wait "$service_pid" 2>/dev/null || true
service_pid=""
echo "signing service stopped"
printf '\ndemo: the provider signed a hash through the remote service and OpenSSL verified it.\n'
