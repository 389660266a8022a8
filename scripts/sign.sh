#!/usr/bin/env bash
# Authenticode signing of the Windows files (DLLs, lucsp.exe, the MSI) with osslsigncode.
#
#   scripts/sign.sh FILE...                  sign each file in place
#   scripts/sign.sh --verify CA.pem FILE...  check each file's signature and its chain up to CA.pem
#   scripts/sign.sh --make-test-cert DIR     a throwaway CA and code-signing certificate for CI:
#                                            DIR/ca.pem, DIR/signer.pem, DIR/signer.key
# Signing key, one of:
#   LUCSP_SIGN_CERT=cert.pem LUCSP_SIGN_KEY=key.pem [LUCSP_SIGN_PASS_FILE=file]   files (PEM or DER)
#   LUCSP_SIGN_CERT=cert.pem LUCSP_SIGN_PKCS11_URI='pkcs11:token=...;object=...'
#     LUCSP_SIGN_PKCS11_MODULE=/usr/lib/.../opensc-pkcs11.so                      a key on a token
# LUCSP_SIGN_CHAIN: more certificates (PEM) to embed; LUCSP_SIGN_TIMESTAMP_URL: an RFC 3161 time-stamp
# server (none by default: the build runs without network).
set -euo pipefail

# shellcheck source=lib/report.sh
source "$(dirname "$0")/lib/report.sh"
command -v osslsigncode >/dev/null || die "osslsigncode missing (apt-get install osslsigncode; scripts/setup.sh)"

make_test_cert() {
  local dir=$1
  mkdir -p "$dir"
  local ext=$dir/ext.cnf
  printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=codeSigning" "subjectKeyIdentifier=hash" "authorityKeyIdentifier=keyid" >"$ext"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/ca.key" -out "$dir/ca.pem" -days 2 \
    -subj "/O=Varno/CN=LUCSP Test Code Signing CA" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout "$dir/signer.key" -out "$dir/signer.csr" \
    -subj "/O=Varno/CN=LUCSP Test Code Signing" 2>/dev/null
  openssl x509 -req -in "$dir/signer.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial \
    -days 2 -extfile "$ext" -out "$dir/signer.pem" 2>/dev/null
  rm -f "$dir/signer.csr" "$ext"
}

verify() {
  local ca=$1 rc=0 f
  shift
  for f in "$@"; do
    if osslsigncode verify -CAfile "$ca" -in "$f" >"$f.verify.log" 2>&1; then
      echo "verified $f"
    else
      echo "NOT verified $f (see $f.verify.log)" >&2
      rc=1
    fi
  done
  return $rc
}

sign() {
  local cert=${LUCSP_SIGN_CERT:-}
  [[ -n $cert ]] || die "LUCSP_SIGN_CERT is not set"
  local args=(sign -certs "$cert" -h sha256 -n "Varno LUCSP Server")
  if [[ -n ${LUCSP_SIGN_PKCS11_URI:-} ]]; then
    [[ -n ${LUCSP_SIGN_PKCS11_MODULE:-} ]] || die "LUCSP_SIGN_PKCS11_MODULE is not set"
    args+=(-pkcs11module "$LUCSP_SIGN_PKCS11_MODULE" -key "$LUCSP_SIGN_PKCS11_URI")
  else
    [[ -n ${LUCSP_SIGN_KEY:-} ]] || die "LUCSP_SIGN_KEY (or LUCSP_SIGN_PKCS11_URI) is not set"
    args+=(-key "$LUCSP_SIGN_KEY")
    [[ -z ${LUCSP_SIGN_PASS_FILE:-} ]] || args+=(-readpass "$LUCSP_SIGN_PASS_FILE")
  fi
  [[ -z ${LUCSP_SIGN_CHAIN:-} ]] || args+=(-ac "$LUCSP_SIGN_CHAIN")
  [[ -z ${LUCSP_SIGN_TIMESTAMP_URL:-} ]] || args+=(-ts "$LUCSP_SIGN_TIMESTAMP_URL")
  local f
  for f in "$@"; do
    [[ -f $f ]] || die "no file $f"
    rm -f "$f.signed"
    osslsigncode "${args[@]}" -in "$f" -out "$f.signed" >/dev/null || die "signing $f failed"
    mv "$f.signed" "$f"
    echo "signed $f"
  done
}

[[ $# -ge 1 ]] || die "usage: $0 FILE... | --verify CA.pem FILE... | --make-test-cert DIR"
case "$1" in
--make-test-cert)
  [[ $# -eq 2 ]] || die "usage: $0 --make-test-cert DIR"
  make_test_cert "$2"
  ;;
--verify)
  [[ $# -ge 3 ]] || die "usage: $0 --verify CA.pem FILE..."
  shift
  verify "$@"
  ;;
*) sign "$@" ;;
esac
