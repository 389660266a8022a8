#!/usr/bin/env bash
# Valgrind memcheck over the tests that load the provider library as a host process does: the
# library-level suites and the lucsp end-to-end suite, every child process traced. It runs on the plain
# debug build because some faults only exist there (the ASan build lays out and frees memory its own way):
# a write at exit into an object that an exit handler had already destroyed is the case in point.
#   scripts/valgrind-tests.sh BUILD_DIR
# Each suite counts its tests plus one check that none of its processes reported a memory error; the
# last line is "N passed, N failed". Leaks are left to the ASan stage.
set -uo pipefail
# The checker's options below hold patterns meant for it, not for the shell.
set -f
cd "$(dirname "$0")/.."
top=$(pwd)
build=${1:?usage: scripts/valgrind-tests.sh BUILD_DIR}
build=$(cd "$build" && pwd)

# name; how: "all" runs the test process and its children under the checker (the library is loaded in
# the test process), "children" only the processes it starts (the library is loaded there; the test
# process only runs the signing service); test binary below the build directory; test filter.
# Under the checker every process costs seconds, so the suites whose library loads in the test process
# run a representative subset: signatures, service failures, registration, handle abuse, unloading.
suites=(
  "dll           children  tests/dll_processExitTests     ProcessExit.*"
  "sign          all       tests/dll_signEntryPointTests  SignEntryPoints.SignaturesVerifyWithOpenSSLForEveryHash:SignEntryPoints.EveryServiceFailureHasTheCodeOfItsClassAndTheNextCallWorks:SignEntryPoints.EncryptIsNoDecryptionOracle:CertificateExports.*"
  "driver        all       tests/dll_cspDriverTests       CspDriver.RandomAndStaleHandlesNeverReachAnObject:CspDriver.HandlesOfAnotherKindAreRefusedAndHarmNothing:CspDriver.UnloadOfThePinnedLibraryKeepsItsContextsAndTheLastError:CspCompat.HashDataAccumulatesUntilTheValueIsRead"
  "install       all       tests/dll_installTests         DllInstallTest.*"
  "crashreport   all       tests/dll_crashReportTests     DllCrashReport.*"
  "lucsp         children  tools/lucsp/tests/lucsp_tests  LucspEndToEnd.*"
)

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
passed=0
failed=0
for entry in "${suites[@]}"; do
  read -r name how binary filter <<<"$entry"
  mkdir -p "$logs/$name"
  start=$(date +%s)
  checker="valgrind --tool=memcheck -q --error-exitcode=97 --num-callers=40 --trace-children=yes
    --child-silent-after-fork=yes --trace-children-skip=*/python3*,*/sh,*/bash,*/openssl
    --suppressions=$top/scripts/valgrind.supp --log-file=$logs/$name/%p.log"
  # The exit test's processes are the slow part under the checker; a few show the fault. The checker
  # slows every process some tenfold, the tests' time limits with it.
  export LUCSP_EXIT_LOOPS=${LUCSP_VALGRIND_EXIT_LOOPS:-3} LUCSP_TEST_TIME_SCALE=10
  if [ "$how" = all ]; then
    # One process per test, as ctest runs them: the library stays loaded once a context opened, so
    # tests sharing a process would see each other's state.
    rc=0
    : >"$logs/$name/out.txt"
    for t in $("$build/$binary" --gtest_list_tests --gtest_filter="$filter" |
      awk '/^[^ ]/ {suite = $1} /^  / {print suite $1}'); do
      # shellcheck disable=SC2086
      $checker "$build/$binary" --gtest_filter="$t" >>"$logs/$name/out.txt" 2>&1 || rc=$?
    done
  else
    rc=0
    LUCSP_TEST_CHILD_WRAPPER=$checker "$build/$binary" --gtest_filter="$filter" >"$logs/$name/out.txt" 2>&1 || rc=$?
  fi
  ok=$(grep -cE '^\[ +(OK|SKIPPED) +\] .*\([0-9]+ ms\)$' "$logs/$name/out.txt")
  bad=$(grep -cE '^\[ +FAILED +\] .*\([0-9]+ ms\)$' "$logs/$name/out.txt")
  processes=$(find "$logs/$name" -name '[0-9]*.log' | wc -l)
  dirty=$(find "$logs/$name" -name '[0-9]*.log' -size +0 | wc -l)
  if [ "$rc" -ne 0 ] && [ "$bad" -eq 0 ] && [ "$dirty" -eq 0 ]; then
    # Ended early (signal, crash in set-up): the run itself is the failure.
    bad=1
  fi
  if [ "$bad" -gt 0 ] || [ "$ok" -eq 0 ]; then
    sed -n '/^\[ RUN/,$p' "$logs/$name/out.txt" | grep -vE '^\[ +(RUN|OK) +\]' | head -60
  fi
  if [ "$dirty" -eq 0 ] && [ "$ok" -gt 0 ]; then
    passed=$((passed + ok + 1))
  else
    passed=$((passed + ok))
    failed=$((failed + 1))
    for f in $(find "$logs/$name" -name '[0-9]*.log' -size +0 | head -5); do
      echo "--- memory errors in process $(basename "$f" .log):"
      head -80 "$f"
    done
  fi
  failed=$((failed + bad))
  printf 'valgrind %-13s %3d passed, %d failed, %d of %d processes with memory errors (%ds)\n' \
    "$name" "$ok" "$bad" "$dirty" "$processes" $(($(date +%s) - start))
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
