#!/usr/bin/env bash
# Builds and tests every configuration, stopping at the first failure:
#
#   release  Linux, g++, Release                               build/release
#   asan     Linux, g++, Debug, AddressSanitizer + UBSan,       build/asan
#   tsan     Linux, clang, RelWithDebInfo, ThreadSanitizer      build/tsan
#            (only the tests where threads meet, see TSAN_TESTS below)
#   windows  MinGW-w64 cross build, tests under Wine, then once  build/windows
#            more with every absolute path in the long form
#   package  the release packages (scripts/package.sh), tried   build/package-*, dist
#            as a user would (scripts/check-packages.sh)
#   fuzz     clang libFuzzer harnesses, 15 s each               build/fuzz
#
#   scripts/test.sh                 every stage
#   scripts/test.sh release tsan    only these stages, in the order given
#
# Environment: JOBS (parallel jobs, default 2), TSAN_TESTS (ctest -R regex for the tsan stage),
# BUILD_ROOT (where the build trees go, default build).
# Missing Debian packages are installed first (as root or through sudo).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-2}
build_root=${BUILD_ROOT:-build}

# ThreadSanitizer runs the tests where threads meet: the worker pool, the block reader and writer,
# and the modes that compress (create, update) or read archives (unpack, check), plus the
# command-line scenarios that run the create mode of the real program.
tsan_tests=${TSAN_TESTS:-'WorkerPool|Pool|BlockReader|Tsan|BlockWriter|CreateMode|UpdateMode|Unpack|Check\.|tarvo-qar\.cli\.create'}

all_stages=(release asan tsan windows package fuzz)
default_stages=(release asan tsan windows package fuzz)
stages=("$@")
[[ ${#stages[@]} -gt 0 ]] || stages=("${default_stages[@]}")
for stage in "${stages[@]}"; do
  case $stage in release | asan | tsan | windows | package | fuzz) ;; *) echo "unknown stage: $stage (stages: ${all_stages[*]})" >&2; exit 2 ;; esac
done

packages=(cmake ninja-build g++ libgtest-dev zlib1g-dev python3)
for stage in "${stages[@]}"; do
  case $stage in
  tsan | fuzz) packages+=(clang libclang-rt-dev) ;;
  windows) packages+=(googletest g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64) ;;
  package) packages+=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64 binutils unzip diffutils) ;;
  esac
done
# Each package once, though several stages need it.
mapfile -t packages < <(printf '%s\n' "${packages[@]}" | awk '!seen[$0]++')
"$root/scripts/ensure-packages.sh" "${packages[@]}"

summary=()
current=""
stage_start=$SECONDS
on_exit() {
  local status=$?
  if [[ $status -ne 0 && -n $current ]]; then
    local took=$((SECONDS - stage_start))
    summary+=("$(printf '%-8s FAILED (status %d) after %dm%02ds' "$current:" "$status" $((took / 60)) $((took % 60)))")
  fi
  if [[ ${#summary[@]} -gt 0 ]]; then
    echo
    echo "== Summary =="
    printf '  %s\n' "${summary[@]}"
  fi
}
trap on_exit EXIT

banner() { echo; echo "=== $* ==="; }

# Some kernels randomise the address space more than the sanitizers' fixed memory layout
# allows; running without address randomisation avoids that where the system permits it.
no_aslr=()
if setarch "$(uname -m)" -R true 2>/dev/null; then no_aslr=(setarch "$(uname -m)" -R); fi

# run_ctest BUILD_DIR [ctest arguments...]: runs the tests and notes the result line.
run_ctest() {
  local build_dir=$1
  shift
  local log="$build_dir/ctest.log"
  (cd "$build_dir" && "${ctest_prefix[@]}" ctest --output-on-failure --no-tests=error -j "$jobs" "$@") 2>&1 | tee "$log"
  result=$(grep -E 'tests passed' "$log" | tail -1 | sed -E 's/.*out of ([0-9]+).*/\1 tests, none failed/' || true)
  skipped=$(grep -c '\*\*\*Skipped' "$log" || true)
  if [[ $skipped -gt 0 ]]; then result+=", $skipped skipped"; fi
}

# note NAME RESULT: the stage's line in the summary, with its time so far.
note() {
  local took=$((SECONDS - stage_start))
  summary+=("$(printf '%-8s %-46s %3dm%02ds' "$1:" "$2" $((took / 60)) $((took % 60)))")
}

# stage NAME BUILD_DIR CONFIGURE_ARGS... -- CTEST_ARGS...
stage() {
  local name=$1 build_dir=$2
  shift 2
  local configure=() ctest_args=()
  while [[ $# -gt 0 && $1 != -- ]]; do configure+=("$1"); shift; done
  [[ $# -gt 0 ]] && shift
  ctest_args=("$@")

  banner "$name: configure ($build_dir)"
  cmake -S "$root" -B "$build_dir" -G Ninja "${configure[@]}"
  banner "$name: build"
  cmake --build "$build_dir" -j "$jobs"
  banner "$name: test"
  run_ctest "$build_dir" "${ctest_args[@]}"
  note "$name" "$result"
  current=""
}

total_start=$SECONDS
for name in "${stages[@]}"; do
  current=$name
  stage_start=$SECONDS
  ctest_prefix=()
  case $name in asan | tsan) ctest_prefix=("${no_aslr[@]}") ;; esac
  case $name in
  release)
    stage release "$build_root/release" -DCMAKE_BUILD_TYPE=Release
    ;;
  asan)
    ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:check_initialization_order=1} \
    UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
      stage asan "$build_root/asan" -DCMAKE_BUILD_TYPE=Debug -DTARVO_SANITIZERS=address,undefined
    ;;
  tsan)
    TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/support/tsan.supp} \
      stage tsan "$build_root/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_SANITIZERS=thread \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -- -R "$tsan_tests"
    ;;
  windows)
    banner "windows: GoogleTest for Windows"
    "$root/scripts/windows-deps.sh" "$build_root/windows"
    # -V: a Wine start runs a whole test executable, so each test's lines are shown as it runs.
    stage windows "$build_root/windows" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -- -V
    # Wine has no length limit on paths, so the long form would never be tried: once more with
    # every absolute path in it.
    current=windows-long
    stage_start=$SECONDS
    banner "windows: test again, every absolute path in the long form"
    TARVO_TEST_LONG_PATHS=1 run_ctest "$build_root/windows" -V
    note windows "$result, long paths"
    current=""
    ;;
  package)
    banner "package: build the release packages"
    PACKAGE_BUILD_ROOT="$build_root" JOBS="$jobs" "$root/scripts/package.sh"
    banner "package: try them as a user would"
    "$root/scripts/check-packages.sh" "$build_root/package-check"
    note package "both packages built and tried"
    current=""
    ;;
  fuzz)
    # A short bounded run of every harness; longer runs: scripts/fuzz.sh SECONDS.
    banner "fuzz: build, replay the corpora, 15 s per harness"
    FUZZ_BUILD_DIR="$build_root/fuzz" JOBS="$jobs" "$root/scripts/fuzz.sh" 15
    note fuzz "4 harnesses x 15s, no findings"
    current=""
    ;;
  esac
done
took=$((SECONDS - total_start))
summary+=("$(printf 'all stages passed in %dm%02ds' $((took / 60)) $((took % 60)))")
# The size of the test suite against the code (scripts/test-ratio.sh).
summary+=("$("$root/scripts/test-ratio.sh")")
