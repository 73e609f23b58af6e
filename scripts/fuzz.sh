#!/usr/bin/env bash
# Coverage-guided fuzzing with libFuzzer of everything the programs read from outside:
#
#   archive       the archive reader and a full unpack into a scratch directory
#   patterns      the pattern list pipeline: split, build, compile, match
#   offset_line   the offset list of tarvo-size: lines, line matcher, offset conversion
#   list_readers  the -s= list files of both programs and the lookup of their names
#
#   scripts/fuzz.sh SECONDS                 every harness for SECONDS each
#   scripts/fuzz.sh SECONDS archive ...     only these harnesses
#
# Configures and builds the clang configuration with TARVO_FUZZ=ON (FUZZ_BUILD_DIR, default
# build/fuzz), replays the seeds and the saved crash inputs of tests/fuzz, then runs each harness
# for SECONDS on a scratch copy of its seed corpus, so the committed corpus never grows. Any
# crash, leak, timeout or sanitizer report fails the run (non-zero status); the input behind it
# is kept under FUZZ_BUILD_DIR/artifacts/HARNESS/ and belongs, once fixed, in
# tests/fuzz/regressions/HARNESS/.
#
# Environment: JOBS (parallel build jobs, default 2), FUZZ_BUILD_DIR, FUZZ_BUILD=0 to skip the
# configure and build steps, FUZZ_TIMEOUT (seconds one input may take, default 10).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

all_harnesses=(archive patterns offset_line list_readers)
if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ ]]; then
  echo "usage: scripts/fuzz.sh SECONDS [HARNESS...]   (harnesses: ${all_harnesses[*]})" >&2
  exit 2
fi
seconds=$1
shift
harnesses=("$@")
[[ ${#harnesses[@]} -gt 0 ]] || harnesses=("${all_harnesses[@]}")

# Longest input per harness: room for a few small files with compressed blocks, for a pattern
# list, and for a list file or offset list of some dozen lines.
declare -A max_len=([archive]=32768 [patterns]=2048 [offset_line]=4096 [list_readers]=4096)
for harness in "${harnesses[@]}"; do
  [[ -n ${max_len[$harness]:-} ]] || { echo "unknown harness: $harness (harnesses: ${all_harnesses[*]})" >&2; exit 2; }
done

jobs=${JOBS:-2}
build_dir=${FUZZ_BUILD_DIR:-build/fuzz}
timeout=${FUZZ_TIMEOUT:-10}

if [[ ${FUZZ_BUILD:-1} != 0 ]]; then
  "$root/scripts/ensure-packages.sh" cmake ninja-build clang libclang-rt-dev zlib1g-dev
  cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTARVO_FUZZ=ON -DTARVO_SANITIZERS=fuzzer-no-link,address,undefined -DTARVO_BUILD_TESTS=OFF
  cmake --build "$build_dir" -j "$jobs" --target $(printf 'fuzz_%s ' "${harnesses[@]}")
fi

# The harnesses write their scratch files below TMPDIR: a directory of this run, in memory
# where possible, removed at the end even when a crash left files behind.
scratch_parent=/dev/shm
[[ -d $scratch_parent && -w $scratch_parent ]] || scratch_parent=${TMPDIR:-/tmp}
scratch=$(mktemp -d "$scratch_parent/tarvo-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch

# The sanitizers' fixed memory layout needs the address space unrandomised on some kernels.
no_aslr=()
if setarch "$(uname -m)" -R true 2>/dev/null; then no_aslr=(setarch "$(uname -m)" -R); fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Anything a sanitizer or a harness reports; libFuzzer's status covers the rest.
report_pattern='ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|FINDING:|SUMMARY: '

failed=()
summary=()
for harness in "${harnesses[@]}"; do
  binary="$build_dir/tests/fuzz/fuzz_$harness"
  artifacts="$build_dir/artifacts/$harness"
  corpus="$scratch/corpus-$harness"
  log="$build_dir/fuzz-$harness.log"
  mkdir -p "$artifacts" "$corpus"
  : >"$log"
  cp -r "tests/fuzz/corpus/$harness/." "$corpus/"
  rm -f "$corpus"/README*

  echo
  echo "=== $harness: ${seconds}s, max_len ${max_len[$harness]} ==="
  status=0
  # The saved crash inputs first: each must run clean.
  regressions=()
  for file in "tests/fuzz/regressions/$harness"/*; do
    [[ -f $file && $(basename "$file") != README* ]] && regressions+=("$file")
  done
  if [[ ${#regressions[@]} -gt 0 ]]; then
    "${no_aslr[@]}" "$binary" -runs=1 -timeout="$timeout" "${regressions[@]}" >>"$log" 2>&1 || status=$?
  fi
  if [[ $status -eq 0 ]]; then
    "${no_aslr[@]}" "$binary" "$corpus" -max_total_time="$seconds" -max_len="${max_len[$harness]}" \
      -timeout="$timeout" -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
      >>"$log" 2>&1 || status=$?
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1 || true)
  features=$(grep -o 'stat::new_units_added: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1 || true)
  if [[ $status -ne 0 ]] || grep -Eq "$report_pattern" "$log"; then
    grep -E -A25 "$report_pattern" "$log" | cut -c1-200 | head -60 || true
    echo "$harness: FAILED (status $status); log $log, inputs in $artifacts/"
    failed+=("$harness")
    summary+=("$(printf '%-13s FAILED   %12s executions' "$harness" "${runs:-?}")")
  else
    echo "$harness: ${runs:-?} executions, ${features:-0} new corpus inputs, no findings"
    summary+=("$(printf '%-13s ok       %12s executions' "$harness" "${runs:-?}")")
  fi
done

echo
echo "== Fuzzing, ${seconds}s per harness =="
printf '  %s\n' "${summary[@]}"
[[ ${#failed[@]} -eq 0 ]]
