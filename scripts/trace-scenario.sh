#!/usr/bin/env bash
# The library's trace of one fixed scenario, compared with the recorded one: a change that only
# rewrites how the code says things must leave every trace line as it was.
#   scripts/trace-scenario.sh [BUILD]            compare (BUILD: the Linux build, default build/linux)
#   scripts/trace-scenario.sh --record [BUILD]   write tests/data/trace-scenario.expected anew
# The scenario (register, sign, sign again, sign SHA-1, verify, an unknown container, unregister) runs
# through lucsp against the reference service with a fixed key, once at the default level and once
# with every level on (wire trace included); ids, times, addresses, ports and what the TLS handshake
# makes new each run are masked. The line header holds ids, time and level, not the code's function
# names, which move when a function is split.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
record=0
if [ "${1:-}" = "--record" ]; then
  record=1
  shift
fi
build=${1:-$top/build/linux}
expected=$top/tests/data/trace-scenario.expected
keys=$top/tests/data/trace-scenario
serial=4D78D6FB2DB4C152AB4AA01AC6F9D527
lucsp=$build/tools/lucsp/lucsp
export LUCSP_LIBRARY=$build/src/dll/Varno_LUCSP_Server.so
[ -x "$lucsp" ] && [ -f "$LUCSP_LIBRARY" ] || {
  echo "trace-scenario: build lucsp and Varno_LUCSP_Server in $build first" >&2
  exit 2
}

work=$(mktemp -d "${TMPDIR:-/tmp}/lucsp-trace-XXXXXX")
service_pid=""
# shellcheck source=lib/report.sh
source "$top/scripts/lib/report.sh"
cleanup() {
  stop_process "$service_pid"
  remove_work "$work" 0
}
trap cleanup EXIT

# The service keeps the fixed key's files; a copy, since it may write beside them.
cp -r "$keys" "$work/keys"
"$lucsp" serve --keys-dir "$work/keys" --ca-out "$work/ca.pem" --die-with-parent >"$work/serve.out" \
  2>"$work/serve.err" &
service_pid=$!
for _ in $(seq 1 600); do
  grep -q '^LISTENING ' "$work/serve.out" 2>/dev/null && break
  kill -0 "$service_pid" 2>/dev/null || break
  sleep 0.1
done
port=$(sed -n 's/^LISTENING 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/serve.out")
[ -n "$port" ] || {
  cat "$work/serve.err" >&2
  echo "trace-scenario: the reference service did not start" >&2
  exit 1
}

hash256=$(printf 'trace scenario document\n' | openssl dgst -sha256 -r | cut -d' ' -f1)
hash1=$(printf 'trace scenario document\n' | openssl dgst -sha1 -r | cut -d' ' -f1)

# One run of the scenario at LOG_Level $1 in a fresh root; its masked trace on stdout.
scenario() {
  export LUCSP_ROOT=$work/root-$1
  mkdir -p "$LUCSP_ROOT"
  {
    "$lucsp" config set CNX_ServiceHost "127.0.0.1:$port"
    "$lucsp" config set CNX_CAFile "$work/ca.pem"
    "$lucsp" config set LOG_HeadInfo 7
    "$lucsp" config set LOG_Level "$1"
  } >/dev/null
  local log
  log=$("$lucsp" log --path)
  rm -f "$log"
  local sig=$work/sig-$1
  "$lucsp" register --cert "$keys/$serial.crt" --token-file "$keys/$serial.token" >/dev/null
  "$lucsp" sign --container "$serial" --alg sha256 --hash "$hash256" --format hex --out "$sig" >/dev/null 2>&1
  "$lucsp" sign --container "$serial" --alg sha256 --hash "$hash256" >/dev/null
  "$lucsp" sign --container "$serial" --alg sha1 --hash "$hash1" >/dev/null
  "$lucsp" verify --container "$serial" --alg sha256 --hash "$hash256" --signature-file "$sig" \
    --format hex >/dev/null
  if "$lucsp" sign --container 00112233445566778899AABBCCDDEEFF --alg sha256 --hash "$hash256" \
    >/dev/null 2>&1; then
    echo "trace-scenario: an unknown container signed" >&2
    exit 1
  fi
  "$lucsp" unregister --cert "$keys/$serial.crt" >/dev/null
  echo "=== LOG_Level $1"
  mask <"$log"
}

# Thread and process ids, times, addresses, the service's port and work folder, and the wire trace's
# per-run handshake values.
mask() {
  sed -E \
    -e 's/\[TID_[0-9A-Fa-f]+\]/[TID_x]/g' \
    -e 's/\[PID_[0-9A-Fa-f]+\]/[PID_x]/g' \
    -e 's/\[[0-9]{8}_[0-9]{6}\.[0-9]+\]/[TIME]/g' \
    -e 's/0x[0-9a-f]{9,16}/0xADDR/g' \
    -e 's/( (pb|pdw|pcb|buff)[A-Za-z]*)=\[-?[0-9A-F]{5,}\]/\1=[ADDR]/g' \
    -e 's/\(nil\)/0xADDR/g' \
    -e "s#$work#WORK#g" \
    -e "s/127\.0\.0\.1:$port/127.0.0.1:PORT/g" \
    -e "s/port $port/port PORT/g" \
    -e 's/[A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9:]{8} GMT/DATE/g' \
    -e 's/[A-Z][a-z]{2} +[0-9]{1,2} [0-9:]{8} [0-9]{4} GMT/DATE/g' |
    # The bytes of TLS records are new each run; their lengths stay.
    awk '/ SSL data, /{ssl=1; print; next} ssl && /---> \[0x[0-9A-F]+\]:/{sub(/:[^:]*$/, ":TLS"); print; next} {ssl=0; print}'
}

out=$work/trace.txt
{
  scenario 271
  scenario 0x5000030F
} >"$out"

if [ "$record" = 1 ]; then
  cp "$out" "$expected"
  echo "trace-scenario: recorded $(wc -l <"$expected") lines in ${expected#"$top/"}"
  exit 0
fi
if diff -u "$expected" "$out" >"$work/diff"; then
  echo "trace-scenario: the trace is as recorded ($(wc -l <"$out") lines)"
else
  head -200 "$work/diff"
  echo "trace-scenario: the trace differs from ${expected#"$top/"}" >&2
  exit 1
fi
