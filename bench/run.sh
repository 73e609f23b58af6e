#!/usr/bin/env bash
# Times tarvo-qar -c and -u on a mod-like corpus against tar + pigz, zip and unzip, and prints
# wall time, compression ratio and peak memory of each; then measures create against the floor
# that zlib's deflate sets (bench/deflate_floor.cpp) and unpack against tar x, round by round,
# with the load average of each round. Run by hand; see bench/README.md.
#
#   bench/run.sh [-q PATH_TO_TARVO_QAR] [-w WORK_DIR] [-x UNPACK_DIR] [-s CORPUS_MB] [-r] [-n ROUNDS] [-t]
#
#   -q  the program to time (default: a Release build in build-create-rel, built if missing)
#   -w  where the corpus and all outputs go (default /tmp/tarvo-bench; never the repository)
#   -x  where the unpack targets unpack (default: below WORK_DIR; /dev/shm leaves out the disk
#       file system's own costs, which vary from run to run)
#   -s  corpus size in MB (default 320)
#   -r  rebuild the corpus even if one of that size is there
#   -n  rounds of the target measurements (default 5; every round's ratio is printed)
#   -t  the target measurements only, without the comparison table
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
qar=""
work=/tmp/tarvo-bench
size_mb=320
rebuild=0
rounds=5
targets_only=0
unpack_dir=""
while getopts "q:w:x:s:rn:t" opt; do
  case $opt in
    q) qar=$OPTARG ;;
    w) work=$OPTARG ;;
    x) unpack_dir=$OPTARG ;;
    s) size_mb=$OPTARG ;;
    r) rebuild=1 ;;
    n) rounds=$OPTARG ;;
    t) targets_only=1 ;;
    *) sed -n '2,17p' "$0"; exit 2 ;;
  esac
done

for tool in pigz zip unzip tar python3 bc /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (Debian packages: pigz zip unzip time)" >&2; exit 1; }
done

if [[ -z $qar ]]; then
  build="$repo/build-create-rel"
  if [[ ! -x $build/qar/cli/tarvo-qar ]]; then
    echo "Building tarvo-qar (Release) in $build" >&2
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVO_BUILD_TESTS=OFF >/dev/null
    ninja -C "$build" -j "${JOBS:-2}" tarvo-qar tarvo-check >/dev/null
  fi
  qar="$build/qar/cli/tarvo-qar"
fi
# The deflate floor, built with the same Release flags as the program.
floor_build="$repo/build-bench"
cmake -S "$repo" -B "$floor_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVO_BUILD_TESTS=OFF -DTARVO_BUILD_BENCH=ON >/dev/null
ninja -C "$floor_build" -j "${JOBS:-2}" tarvo-deflate-floor >/dev/null
floor="$floor_build/bench/tarvo-deflate-floor"
qar=$(cd "$(dirname "$qar")" && pwd)/$(basename "$qar")

threads=$(nproc)
corpus_parent="$work/corpus"
marker="$corpus_parent/.built-$size_mb"
mkdir -p "$work"
if [[ $rebuild == 1 || ! -e $marker ]]; then
  echo "Building the corpus ($size_mb MB) in $corpus_parent/mod" >&2
  rm -rf "$corpus_parent"
  mkdir -p "$corpus_parent"
  python3 "$here/make_corpus.py" "$corpus_parent/mod" --size-mb "$size_mb"
  touch "$marker"
fi

out="$work/out"
rm -rf "$out"
mkdir -p "$out"
cd "$corpus_parent"

corpus_bytes=$(find mod -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
corpus_files=$(find mod -type f | wc -l)
# Every run below starts with the corpus in the page cache.
find mod -type f -exec cat {} + >/dev/null
# Not timed: a copy of the corpus takes the cost of the first file creations after the last
# run's outputs were deleted (see the unpack targets), which would otherwise fall on a step.
cp -r mod "$out/warm-up"

load_average() { cut -d' ' -f1-3 /proc/loadavg; }

printf '\nCorpus: %s files, %.1f MB; %s hardware threads; %s\n' "$corpus_files" \
  "$(echo "$corpus_bytes / 1000000" | bc -l)" "$threads" "$qar"
printf 'Load average at the start: %s\n\n' "$(load_average)"

# measure LABEL OUTPUT_FILE_OR_- COMMAND...: runs COMMAND under /usr/bin/time -v, prints a row
# of the table and leaves the figures in last_wall, last_cpu and last_peak.
last_wall=0
last_cpu=0
last_peak=0
measure() {
  local label=$1 output=$2
  shift 2
  # What the step before left to write back is written now, not during this step.
  sync
  if ! /usr/bin/time -v -o "$out/time.txt" "$@" >"$out/last.log" 2>&1; then
    echo "run.sh: '$label' failed; see $out/last.log" >&2
    tail -5 "$out/last.log" >&2
    exit 1
  fi
  local wall cpu peak size="-" ratio="-"
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {
           n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }' "$out/time.txt")
  cpu=$(awk -F': ' '/(User|System) time \(seconds\)/ { s += $2 } END { printf "%.2f", s }' "$out/time.txt")
  peak=$(awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$out/time.txt")
  if [[ $output != - ]]; then
    local bytes
    bytes=$(stat -c %s "$output")
    size=$(printf '%.1f' "$(echo "$bytes / 1000000" | bc -l)")
    ratio=$(printf '%.3f' "$(echo "$bytes / $corpus_bytes" | bc -l)")
  fi
  printf '%-34s %10.2f %10s %12s %8s %12s\n' "$label" "$wall" "$cpu" "$size" "$ratio" "$peak"
  last_wall=$wall
  last_cpu=$cpu
  last_peak=$peak
}

table_header() {
  printf '%-34s %10s %10s %12s %8s %12s\n' "step" "wall (s)" "cpu (s)" "output (MB)" "ratio" "peak (MiB)"
  printf '%-34s %10s %10s %12s %8s %12s\n' "----" "--------" "-------" "-----------" "-----" "----------"
}

# same_files CORPUS TREE: the same files with the same bytes; an archive holds no empty folder,
# so one that the corpus has and the tree lacks is no difference.
same_files() {
  local differences
  differences=$(diff -r -q "$1" "$2" | grep -v -x -F -f <(find "$1" -type d -empty -printf 'Only in %h: %f\n') || true)
  [[ -z $differences ]]
}

# Floating-point helpers for the targets.
min_of() { printf '%s\n' "$@" | sort -g | head -1; }
median_of() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
max_of() { printf '%s\n' "$@" | sort -g | tail -1; }
ratio_of() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }

if [[ $targets_only == 0 ]]; then
table_header
echo "Packing"
measure "tarvo-qar -c" "$out/mod.qar" "$qar" -c mod "$out/mod.qar"
measure "tar cf (plain tar)" "$out/mod.tar" tar cf "$out/mod.tar" mod
measure "tar cf - | pigz -6 -p $threads" "$out/mod.tar.gz" \
  bash -c "tar cf - mod | pigz -6 -p $threads > '$out/mod.tar.gz'"
measure "zip -6 -r" "$out/mod.zip" zip -6 -r -q "$out/mod.zip" mod

echo "Unpacking"
measure "tarvo-qar -u" - "$qar" -u "$out/mod.qar" "$out/x_qar"
measure "unzip" - unzip -q "$out/mod.zip" -d "$out/x_zip"
mkdir -p "$out/x_tar" "$out/x_tgz"
measure "tar xf (plain tar)" - tar xf "$out/mod.tar" -C "$out/x_tar"
measure "pigz -d | tar xf" - bash -c "pigz -d -c '$out/mod.tar.gz' | tar xf - -C '$out/x_tgz'"

if same_files mod "$out/x_qar"; then
  echo "tarvo-qar -u gave back the corpus exactly"
else
  echo "run.sh: the unpacked tree differs from the corpus" >&2
  exit 1
fi
fi

# Create against the floor that zlib sets: the floor program deflates every block of the corpus,
# already in memory, with one reused state per thread, on as many threads as create has workers
# (the same bytes as compress(); the first round checks that). Both run back to back in every
# round, taking turns at going first, and each round gives its own ratio: the machine's state
# changes from round to round as much as the gap between the two.
# The doubled corpus holds the corpus twice, as hard links (no extra disk, same page cache).
double="$work/corpus2x"
if [[ ! -e $double/.built-$size_mb || $rebuild == 1 ]]; then
  rm -rf "$double"
  mkdir -p "$double/mod"
  cp -al mod "$double/mod/a"
  cp -al mod "$double/mod/b"
  touch "$double/.built-$size_mb"
fi

# floor_wall ARGS...: runs the floor program, leaves its wall and processor time in floor_wall, floor_cpu.
floor_wall=0
floor_cpu=0
run_floor() {
  local line
  line=$("$floor" mod "$threads" "$@")
  floor_wall=$(echo "$line" | awk '{ print $2 }')
  floor_cpu=$(echo "$line" | awk '{ print $8 }')
}

printf '\nCreate against the deflate floor, %s rounds (load average now %s)\n' "$rounds" "$(load_average)"
printf '%-7s %10s %10s %10s %10s %10s %16s\n' "round" "first" "create (s)" "floor (s)" "ratio" "floor cpu" "load average"
ratios=()
peaks=()
for ((round = 1; round <= rounds; round++)); do
  check=()
  [[ $round == 1 ]] && check=(--check)
  sync
  if ((round % 2 == 1)); then
    first=floor
    run_floor "${check[@]}"
    measure "create" "$out/mod.qar" "$qar" -c mod "$out/mod.qar" >/dev/null
  else
    first=create
    measure "create" "$out/mod.qar" "$qar" -c mod "$out/mod.qar" >/dev/null
    run_floor "${check[@]}"
  fi
  peaks+=("$last_peak")
  ratio=$(ratio_of "$last_wall" "$floor_wall")
  ratios+=("$ratio")
  printf '%-7s %10s %10.2f %10.2f %10s %10.2f %16s\n' "$round" "$first" "$last_wall" "$floor_wall" "$ratio" "$floor_cpu" "$(load_average)"
done
cd "$double"
measure "tarvo-qar -c, doubled corpus" "$out/mod2x.qar" "$qar" -c mod "$out/mod2x.qar" >/dev/null
cd "$corpus_parent"
peaks+=("$last_peak")
printf 'create / floor: best %s, median %s, worst %s (targets: best <= 1.10, median <= 1.15)\n' \
  "$(min_of "${ratios[@]}")" "$(median_of "${ratios[@]}")" "$(max_of "${ratios[@]}")"
printf 'create peak memory: %s MiB (both corpora)\n' "$(max_of "${peaks[@]}")"

# Unpack against tar x, in turns: tarvo-qar -u of the archive just made and tar xf of a plain
# tar of the corpus (read from the page cache), each into a fresh folder on the same file system;
# the outputs are removed and the removal synced before the next round.
[[ -e $out/mod.tar ]] || tar cf "$out/mod.tar" mod
cat "$out/mod.tar" "$out/mod.qar" > /dev/null
printf '\nUnpack against tar x, %s rounds (load average now %s)\n' "$rounds" "$(load_average)"
printf '%-7s %10s %12s %10s %10s %16s\n' "round" "first" "unpack (s)" "tar x (s)" "ratio" "load average"
unpack_root=${unpack_dir:-$out}/unpack-targets
unpack_ratios=()
unpack_peaks=()
for ((round = 1; round <= rounds; round++)); do
  rm -rf "$unpack_root"
  mkdir -p "$unpack_root/tar"
  sync
  if ((round % 2 == 1)); then
    first=tar
    measure "tar" - tar xf "$out/mod.tar" -C "$unpack_root/tar" >/dev/null
    tar_wall=$last_wall
    measure "unpack" - "$qar" -u "$out/mod.qar" "$unpack_root/qar" >/dev/null
  else
    first=unpack
    measure "unpack" - "$qar" -u "$out/mod.qar" "$unpack_root/qar" >/dev/null
    unpack_wall=$last_wall
    measure "tar" - tar xf "$out/mod.tar" -C "$unpack_root/tar" >/dev/null
    tar_wall=$last_wall
    last_wall=$unpack_wall
  fi
  unpack_peaks+=("$last_peak")
  ratio=$(ratio_of "$last_wall" "$tar_wall")
  unpack_ratios+=("$ratio")
  printf '%-7s %10s %12.2f %10.2f %10s %16s\n' "$round" "$first" "$last_wall" "$tar_wall" "$ratio" "$(load_average)"
done
same_files mod "$unpack_root/qar" || { echo "run.sh: the unpacked tree differs from the corpus" >&2; exit 1; }
rm -rf "$unpack_root"
mkdir -p "$unpack_root"
sync
measure "unpack, single" - "$qar" -u "$out/mod.qar" "$unpack_root/single" >/dev/null
single_wall=$last_wall
measure "unpack, doubled" - "$qar" -u "$out/mod2x.qar" "$unpack_root/double" >/dev/null
unpack_peaks+=("$last_peak")
rm -rf "$unpack_root" "$out/mod2x.qar"
printf 'unpack / tar x: best %s, median %s, worst %s (targets: /dev/shm <= 1.25, disk <= 1.10, best of 5)\n' \
  "$(min_of "${unpack_ratios[@]}")" "$(median_of "${unpack_ratios[@]}")" "$(max_of "${unpack_ratios[@]}")"
printf 'unpack doubled / single corpus: %s (target <= 2.10); peak memory %s MiB\n' \
  "$(ratio_of "$last_wall" "$single_wall")" "$(max_of "${unpack_peaks[@]}")"
# tarvo-check of the archive against its unpack into memory (/dev/shm where there is one), in
# turns: the check decodes every block as unpack does and writes nothing.
check="$(dirname "$(dirname "$qar")")/check/tarvo-check"
shm=/dev/shm
[[ -d $shm && -w $shm ]] || shm=$out
if [[ -x $check ]]; then
  printf '\nCheck against unpack into %s, %s rounds\n' "$shm" "$rounds"
  printf '%-7s %10s %12s %10s %16s\n' "round" "check (s)" "unpack (s)" "ratio" "load average"
  check_ratios=()
  for ((round = 1; round <= rounds; round++)); do
    rm -rf "$shm/tarvo-bench-unpack"
    measure "check" - "$check" "$out/mod.qar" >/dev/null
    check_wall=$last_wall
    check_peak=$last_peak
    measure "unpack" - "$qar" -u "$out/mod.qar" "$shm/tarvo-bench-unpack" >/dev/null
    ratio=$(ratio_of "$check_wall" "$last_wall")
    check_ratios+=("$ratio")
    printf '%-7s %10.2f %12.2f %10s %16s\n' "$round" "$check_wall" "$last_wall" "$ratio" "$(load_average)"
  done
  rm -rf "$shm/tarvo-bench-unpack"
  printf 'check / unpack into memory: best %s, median %s (target <= 1.00); check peak memory %s MiB\n' \
    "$(min_of "${check_ratios[@]}")" "$(median_of "${check_ratios[@]}")" "$check_peak"
fi
echo "Outputs are in $out (remove with: rm -rf $work)"
