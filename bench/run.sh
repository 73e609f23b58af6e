#!/usr/bin/env bash
# Times tarvo-qar -c and -u on a mod-like corpus against tar + pigz, zip and unzip, and prints
# wall time, compression ratio and peak memory of each; then checks the create targets
# (against pigz, peak memory, and a corpus twice the size) and the unpack targets (against
# unzip and tar x, peak memory, and the doubled corpus). Run by hand; see bench/README.md.
#
#   bench/run.sh [-q PATH_TO_TARVO_QAR] [-w WORK_DIR] [-x UNPACK_DIR] [-s CORPUS_MB] [-r] [-n ROUNDS] [-t]
#
#   -q  the program to time (default: a Release build in build-create-rel, built if missing)
#   -w  where the corpus and all outputs go (default /tmp/tarvo-bench; never the repository)
#   -x  where the unpack targets unpack (default: below WORK_DIR; /dev/shm leaves out the disk
#       file system's own costs, which vary from run to run)
#   -s  corpus size in MB (default 320)
#   -r  rebuild the corpus even if one of that size is there
#   -n  rounds of the target measurements (default 3; the best round of each command counts)
#   -t  the target measurements only, without the comparison table
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
qar=""
work=/tmp/tarvo-bench
size_mb=320
rebuild=0
rounds=3
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
    ninja -C "$build" -j "${JOBS:-2}" tarvo-qar >/dev/null
  fi
  qar="$build/qar/cli/tarvo-qar"
fi
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

# Floating-point helpers for the targets.
min_of() { printf '%s\n' "$@" | sort -g | head -1; }
max_of() { printf '%s\n' "$@" | sort -g | tail -1; }
ratio_of() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }
verdict() { if [[ $(echo "$1" | bc -l) == 1 ]]; then echo "met"; else echo "NOT MET"; fi; }
# target_row LABEL FIGURE OPERATOR BOUND: one row of a target table, with its verdict.
target_row() {
  printf '%-46s %8s %10s  %s\n' "$1" "$2" "$3 $4" "$(verdict "$2 $3 $4")"
}

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

if diff -r -q mod "$out/x_qar" >/dev/null; then
  echo "tarvo-qar -u gave back the corpus exactly"
else
  echo "run.sh: the unpacked tree differs from the corpus" >&2
  exit 1
fi
fi

# Create targets. The machine may be shared, so the commands that are compared take turns,
# round after round, and the best round of each counts: a round that other work slowed down
# says nothing about the program.
# The doubled corpus holds the corpus twice, as hard links (no extra disk, same page cache).
double="$work/corpus2x"
if [[ ! -e $double/.built-$size_mb || $rebuild == 1 ]]; then
  rm -rf "$double"
  mkdir -p "$double/mod"
  cp -al mod "$double/mod/a"
  cp -al mod "$double/mod/b"
  touch "$double/.built-$size_mb"
fi

printf '\nCreate targets, best of %s rounds (load average now %s)\n' "$rounds" "$(load_average)"
table_header
create_walls=()
create_cpus=()
pigz_walls=()
pigz_cpus=()
double_walls=()
double_cpus=()
peaks=()
for ((round = 1; round <= rounds; round++)); do
  measure "tarvo-qar -c (round $round)" "$out/mod.qar" "$qar" -c mod "$out/mod.qar"
  create_walls+=("$last_wall")
  create_cpus+=("$last_cpu")
  peaks+=("$last_peak")
  measure "tar cf - | pigz -6 -p $threads" "$out/mod.tar.gz" \
    bash -c "tar cf - mod | pigz -6 -p $threads > '$out/mod.tar.gz'"
  pigz_walls+=("$last_wall")
  pigz_cpus+=("$last_cpu")
  cd "$double"
  measure "tarvo-qar -c, doubled corpus" "$out/mod2x.qar" "$qar" -c mod "$out/mod2x.qar"
  cd "$corpus_parent"
  double_walls+=("$last_wall")
  double_cpus+=("$last_cpu")
  peaks+=("$last_peak")
done
best_create=$(min_of "${create_walls[@]}")
best_pigz=$(min_of "${pigz_walls[@]}")
best_double=$(min_of "${double_walls[@]}")
peak=$(max_of "${peaks[@]}")
against_pigz=$(ratio_of "$best_create" "$best_pigz")
scaling=$(ratio_of "$best_double" "$best_create")
printf '\n%-46s %8s %10s  %s\n' "target" "figure" "bound" "verdict"
target_row "create wall time / tar + pigz wall time" "$against_pigz" "<=" 0.80
target_row "create peak memory (MiB, both corpora)" "$peak" "<" 64
target_row "create wall time, doubled / single corpus" "$scaling" "<=" 2.00
printf '(best walls: create %s s, pigz %s s, doubled create %s s; load average at the end %s)\n' \
  "$best_create" "$best_pigz" "$best_double" "$(load_average)"
# Not targets, but what the wall times rest on: the processor time each needs for the work,
# which other work on the machine changes far less than the wall time.
cpu_create=$(min_of "${create_cpus[@]}")
cpu_pigz=$(min_of "${pigz_cpus[@]}")
cpu_double=$(min_of "${double_cpus[@]}")
printf 'Processor time (user + system), least of the rounds: create %s s, tar + pigz %s s (ratio %s),\n' \
  "$cpu_create" "$cpu_pigz" "$(ratio_of "$cpu_create" "$cpu_pigz")"
printf '  create on the doubled corpus %s s (ratio %s)\n' "$cpu_double" "$(ratio_of "$cpu_double" "$cpu_create")"

# Unpack targets, in turns like the create targets: tarvo-qar -u of the archive just made,
# unzip of zip -6 of the corpus, tar x of the plain tar (writing the files is the floor for
# all three), and tarvo-qar -u of the doubled corpus's archive.
[[ -e $out/mod.zip ]] || zip -6 -r -q "$out/mod.zip" mod
[[ -e $out/mod.tar ]] || tar cf "$out/mod.tar" mod
printf '\nUnpack targets, best of %s rounds (load average now %s)\n' "$rounds" "$(load_average)"
table_header
unpack_root=${unpack_dir:-$out}/unpack-targets
unpack_walls=()
unzip_walls=()
untar_walls=()
double_unpack_root=${unpack_dir:-$out}/unpack-targets
unpack_walls=()
unpack_peaks=()
for ((round = 1; round <= rounds; round++)); do
  # Every round unpacks into fresh folders and nothing is deleted until the rounds are over:
  # the first to create files after thousands were deleted pays the file system seconds for
  # passing over the freed inodes, whichever program it is.
  round_out="$unpack_root/round$round"
  mkdir -p "$round_out/tar"
  measure "tarvo-qar -u (round $round)" - "$qar" -u "$out/mod.qar" "$round_out/qar"
  unpack_walls+=("$last_wall")
  unpack_peaks+=("$last_peak")
  measure "unzip" - unzip -q "$out/mod.zip" -d "$round_out/zip"
  unzip_walls+=("$last_wall")
  measure "tar xf (plain tar)" - tar xf "$out/mod.tar" -C "$round_out/tar"
  untar_walls+=("$last_wall")
  measure "tarvo-qar -u, doubled corpus" - "$qar" -u "$out/mod2x.qar" "$round_out/qar2x"
  double_unpack_walls+=("$last_wall")
  unpack_peaks+=("$last_peak")
done
diff -r -q mod "$unpack_root/round1/qar" >/dev/null || { echo "run.sh: the unpacked tree differs from the corpus" >&2; exit 1; }
rm -rf "$unpack_root" "$out/mod2x.qar"

best_unpack=$(min_of "${unpack_walls[@]}")
best_unzip=$(min_of "${unzip_walls[@]}")
best_untar=$(min_of "${untar_walls[@]}")
best_double_unpack=$(min_of "${double_unpack_walls[@]}")
unpack_peak=$(max_of "${unpack_peaks[@]}")
against_unzip=$(ratio_of "$best_unpack" "$best_unzip")
against_untar=$(ratio_of "$best_unpack" "$best_untar")
unpack_scaling=$(ratio_of "$best_double_unpack" "$best_unpack")
printf '\n%-46s %8s %10s  %s\n' "target" "figure" "bound" "verdict"
target_row "unpack wall time / unzip wall time" "$against_unzip" "<=" 0.60
target_row "unpack wall time / tar x wall time" "$against_untar" "<=" 1.50
target_row "unpack peak memory (MiB, both corpora)" "$unpack_peak" "<" 64
target_row "unpack wall time, doubled / single corpus" "$unpack_scaling" "<=" 2.00
printf '(best walls: unpack %s s, unzip %s s, tar x %s s, doubled unpack %s s; load average at the end %s)\n' \
  "$best_unpack" "$best_unzip" "$best_untar" "$best_double_unpack" "$(load_average)"
echo "Outputs are in $out (remove with: rm -rf $work)"
