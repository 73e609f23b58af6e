#!/usr/bin/env bash
# Times tarvo-qar -c and -u on a mod-like corpus against tar + pigz, zip and unzip, and prints
# wall time, compression ratio and peak memory of each. Run by hand; see bench/README.md.
#
#   bench/run.sh [-q PATH_TO_TARVO_QAR] [-w WORK_DIR] [-s CORPUS_MB] [-r]
#
#   -q  the program to time (default: a Release build in build-create-rel, built if missing)
#   -w  where the corpus and all outputs go (default /tmp/tarvo-bench; never the repository)
#   -s  corpus size in MB (default 320)
#   -r  rebuild the corpus even if one of that size is there
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
qar=""
work=/tmp/tarvo-bench
size_mb=320
rebuild=0
while getopts "q:w:s:r" opt; do
  case $opt in
    q) qar=$OPTARG ;;
    w) work=$OPTARG ;;
    s) size_mb=$OPTARG ;;
    r) rebuild=1 ;;
    *) sed -n '2,11p' "$0"; exit 2 ;;
  esac
done

for tool in pigz zip unzip tar python3 /usr/bin/time; do
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

printf '\nCorpus: %s files, %.1f MB; %s hardware threads; %s\n\n' "$corpus_files" \
  "$(echo "$corpus_bytes / 1000000" | bc -l)" "$threads" "$qar"
printf '%-34s %10s %12s %8s %12s\n' "step" "wall (s)" "output (MB)" "ratio" "peak (MiB)"
printf '%-34s %10s %12s %8s %12s\n' "----" "--------" "-----------" "-----" "----------"

# measure LABEL OUTPUT_FILE_OR_- COMMAND...: runs COMMAND under /usr/bin/time -v.
measure() {
  local label=$1 output=$2
  shift 2
  if ! /usr/bin/time -v -o "$out/time.txt" "$@" >"$out/last.log" 2>&1; then
    echo "run.sh: '$label' failed; see $out/last.log" >&2
    tail -5 "$out/last.log" >&2
    exit 1
  fi
  local wall peak size="-" ratio="-"
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {
           n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }' "$out/time.txt")
  peak=$(awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$out/time.txt")
  if [[ $output != - ]]; then
    local bytes
    bytes=$(stat -c %s "$output")
    size=$(printf '%.1f' "$(echo "$bytes / 1000000" | bc -l)")
    ratio=$(printf '%.3f' "$(echo "$bytes / $corpus_bytes" | bc -l)")
  fi
  printf '%-34s %10.2f %12s %8s %12s\n' "$label" "$wall" "$size" "$ratio" "$peak"
}

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
echo "Outputs are in $out (remove with: rm -rf $work)"
