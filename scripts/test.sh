#!/usr/bin/env bash
# Builds everything and runs every test. Used by CI through .ci/run.
#
# Stages, each timed, all run even after one fails; the script fails when any stage failed:
#   1. normal build (GCC) and the test suite
#   2. the suite again under ASan + LeakSanitizer + UBSan   (scripts/sanitizers.sh address)
#   3. the suite again under TSan                            (scripts/sanitizers.sh thread)
#   4. the libFuzzer targets, each for TELVANE_FUZZ_SECONDS (default 60)   (scripts/fuzz.sh)
# The sanitizer and fuzz builds use folders of their own (build-asan, build-tsan, build-fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
jobs=$(nproc)

# Chained with &&: a function called where its status is tested runs without set -e.
# shellcheck disable=SC2317  # called through stage
normal_suite() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build build -j"$jobs" &&
    ctest --test-dir build --output-on-failure --no-tests=error -j"$jobs"
}

summary=()
failed=0
# A failed stage's summary line is followed by the tests CTest recorded as failed in its build
# folder, so that the end of a long log alone says what to look at.
stage() {  # stage <name> <build dir or -> <command...>
  local name=$1 dir=$2 start=$SECONDS rc=0
  shift 2
  echo "==== $name"
  rm -f -- "$dir/Testing/Temporary/LastTestsFailed.log"
  "$@" || rc=$?
  local took=$((SECONDS - start))
  if [ "$rc" -eq 0 ]; then
    summary+=("$(printf '%-28s passed  %4dm%02ds' "$name" $((took / 60)) $((took % 60)))")
  else
    summary+=("$(printf '%-28s FAILED  %4dm%02ds' "$name" $((took / 60)) $((took % 60)))")
    failed=1
    local log="$dir/Testing/Temporary/LastTestsFailed.log" line
    if [ -f "$log" ]; then
      while IFS= read -r line; do summary+=("    failed test ${line#*:}"); done <"$log"
    fi
  fi
}

stage "build and tests" build normal_suite
stage "client libraries" - bash scripts/clients-test.sh
stage "ASan+UBSan build and tests" build-asan bash scripts/sanitizers.sh address
stage "TSan build and tests" build-tsan bash scripts/sanitizers.sh thread
stage "fuzz targets" - bash scripts/fuzz.sh "${TELVANE_FUZZ_SECONDS:-60}"

echo "==== summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
