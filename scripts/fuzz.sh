#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with ASan and UBSan) and runs each for a bounded time.
# Used by scripts/test.sh; fuzz/README.md explains the targets and their inputs.
#
#   scripts/fuzz.sh [seconds-per-target] [build-dir]      defaults: 60, build-fuzz
#
# Each target starts from a copy of its corpus in fuzz/corpus/<name>/ in a temporary folder, so a
# run never writes into the checkout. Targets run side by side, one per core. Any crash, sanitizer
# report, leak, timeout or broken property fails the run and prints the input that caused it and
# the command that replays it; the input is kept under the printed folder.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=${2:-build-fuzz}
jobs=$(nproc)
repo=$(pwd)

export CC=clang CXX=clang++
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVANE_FUZZ=ON -DTELVANE_SANITIZE=address \
  -DTELVANE_TESTS=OFF -DTELVANE_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target telvane_fuzz

work=$(mktemp -d /tmp/telvane-fuzz-XXXXXX)
keep=0
cleanup() { [ "$keep" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT

# LeakSanitizer needs ptrace; without it libFuzzer would stop at its first leak check.
leaks=1
printf 'int main() { int* p = new int[4]; p[0] = 1; p = nullptr; return 0; }\n' >"$work/probe.cpp"
clang++ -g -fsanitize=address "$work/probe.cpp" -o "$work/probe"
if ASAN_OPTIONS=detect_leaks=1 "$work/probe" >"$work/probe.out" 2>&1 || ! grep -q "detected memory leaks" "$work/probe.out"; then
  echo "fuzz: WARNING: LeakSanitizer does not work here (ptrace refused?); leak checks are OFF" >&2
  leaks=0
fi
export ASAN_OPTIONS="detect_leaks=$leaks:halt_on_error=1:abort_on_error=0:check_initialization_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

# run_target <name>: fuzzes one target; its output goes to $work/<name>.log.
run_target() {
  local name=$1 dir="$work/$1"
  mkdir -p "$dir/corpus" "$dir/crashes"
  cp -R "fuzz/corpus/${name#fuzz_}/." "$dir/corpus/"
  local dict=()
  [ -f "fuzz/dict/${name#fuzz_}.dict" ] && dict=("-dict=fuzz/dict/${name#fuzz_}.dict")
  "$build/$name" "$dir/corpus" "${dict[@]}" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
    -detect_leaks="$leaks" -artifact_prefix="$dir/crashes/" -print_final_stats=1 >"$work/$name.log" 2>&1
}

targets=()
for src in fuzz/fuzz_*.cpp; do
  targets+=("$(basename "$src" .cpp)")
done

# One target per core; each leaves its exit status in $work/<name>.rc.
for name in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  (
    rc=0
    run_target "$name" || rc=$?
    echo "$rc" >"$work/$name.rc"
  ) &
done
wait
failed=()
for name in "${targets[@]}"; do
  if [ "$(cat "$work/$name.rc" 2>/dev/null)" = 0 ]; then
    echo "fuzz: $name: $(awk '/^stat::number_of_executed_units/ {print $2}' "$work/$name.log") inputs in ${seconds}s, no finding"
  else
    failed+=("$name")
  fi
done

for name in "${failed[@]}"; do
  keep=1
  echo "==== fuzz: $name FAILED; its output:" >&2
  grep -v -E '^#[0-9]+[[:space:]]' "$work/$name.log" | tail -n 80 >&2 || true
  for crash in "$work/$name/crashes"/*; do
    [ -f "$crash" ] || continue
    echo "---- input $crash ($(wc -c <"$crash") bytes), as printable text:" >&2
    od -An -c "$crash" | head -n 40 >&2
    echo "---- replay: $repo/$build/$name $crash" >&2
  done
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: FAILED: ${failed[*]} (inputs kept in $work)" >&2
  exit 1
fi
echo "fuzz: passed"
