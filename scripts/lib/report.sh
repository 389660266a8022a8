# shellcheck shell=bash
# The report and clean-up helpers of the scripts, sourced by each:
#   report_name NAME         the prefix of die's message ("NAME: ..."; the script's file name unless set)
#   pass NAME, fail NAME [DETAIL], check NAME COMMAND..., result NAME STATUS
#                            one "PASS"/"FAIL" line per check, counted in passed and failed
#   note TEXT                a "NOTE" line
#   summary_line             "N passed, N failed" (with expected_failures, those too)
#   step TITLE               a "=== TITLE (time)" heading
#   die TEXT                 the message on stderr, then report_die_hook TEXT when the script has one,
#                            then exit status 1
#   stop_process PID         ends a process the script started (nothing for an empty PID)
#   remove_work DIR KEEP     removes the work directory, or with KEEP 1 says where it was kept
passed=${passed:-0}
failed=${failed:-0}
report_prefix=${report_prefix:-$(basename "$0" .sh)}
report_name() { report_prefix=$1; }
pass() {
    passed=$((passed + 1))
    echo "PASS $1"
}
fail() {
    failed=$((failed + 1))
    echo "FAIL $1${2:+: $2}"
}
check() { # check NAME CONDITION-COMMAND...
    local name=$1
    shift
    if "$@" >/dev/null 2>&1; then pass "$name"; else fail "$name"; fi
}
result() { # result NAME STATUS
    if [[ $2 == 0 ]]; then pass "$1"; else fail "$1"; fi
}
note() { echo "NOTE $*"; }
summary_line() {
    if [[ ${expected_failures:-0} -gt 0 ]]; then
        echo "$passed passed, $failed failed, $expected_failures expected failures (pending compatibility)"
    else
        echo "$passed passed, $failed failed"
    fi
}
step() { printf '\n=== %s (%s)\n' "$1" "$(date +%H:%M:%S)"; }
die() {
    echo "$report_prefix: $*" >&2
    if declare -F report_die_hook >/dev/null; then report_die_hook "$*"; fi
    exit 1
}
stop_process() { # stop_process PID
    [[ -n ${1:-} ]] || return 0
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
remove_work() { # remove_work DIR KEEP
    [[ -n ${1:-} && -d $1 ]] || return 0
    if [[ $2 == 1 ]]; then echo "$report_prefix: kept $1" >&2; else rm -rf "$1"; fi
}
