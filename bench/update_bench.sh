#!/usr/bin/env bash
# Update benchmark, run by hand: patching one 1 MiB file in archives of about 100 MB and about
# 1 GB, the first update (which makes the reserve) and later ones, against re-creating the
# archive from scratch.
#
#   bench/update_bench.sh [PROGRAM] [WORK_DIR]
#   PEER=OTHER_PROGRAM bench/update_bench.sh ...
#
# PROGRAM defaults to build/qar/cli/tarvo-qar (build it in Release for figures worth quoting);
# WORK_DIR to a fresh folder below /tmp, removed at the end. Needs about 3.5 GB of disk.
# With PEER set, every later update is also run by that program on its own copy of the
# archive, in turns with PROGRAM, and the ratio of their medians is printed: with a build
# from before the rollback journal as the peer, it is what the journal costs.
# File contents are random, like the already-compressed data that game archives mostly hold.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build/qar/cli/tarvo-qar}
work=${2:-$(mktemp -d /tmp/tarvo-update-bench.XXXXXX)}
later_runs=${LATER_RUNS:-5}
peer=${PEER:-}
file_mib=4  # size of each filler file

[[ -x $program ]] || { echo "no program at $program" >&2; exit 1; }
[[ -z $peer || -x $peer ]] || { echo "no peer program at $peer" >&2; exit 1; }
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# A source tree of total_mib MiB: filler files and the 1 MiB file that every update patches,
# which sorts in the middle so that it is neither moved by the reserve nor last.
make_source() {
  local dir=$1 total_mib=$2 i
  mkdir -p "$dir"
  for ((i = 0; i < total_mib / file_mib; i++)); do
    head -c $((file_mib << 20)) /dev/urandom > "$dir/$(printf 'fill%05d.bin' "$i")"
  done
  head -c $((1 << 20)) /dev/urandom > "$dir/m_target.bin"
}

run_size() {
  local label=$1 total_mib=$2
  local dir="$work/$label" t0 t1 recreate first later=()
  make_source "$dir/source" "$total_mib"
  mkdir -p "$dir/patch"

  t0=$(now); "$program" -c "$dir/source" "$dir/game.qar" > /dev/null; t1=$(now)
  recreate=$(elapsed "$t0" "$t1")

  head -c $((1 << 20)) /dev/urandom > "$dir/patch/m_target.bin"
  t0=$(now); "$program" -r "$dir/patch" "$dir/game.qar" > /dev/null; t1=$(now)
  first=$(elapsed "$t0" "$t1")

  [[ -z $peer ]] || cp "$dir/game.qar" "$dir/peer.qar"
  local peer_later=()
  for ((i = 0; i < later_runs; i++)); do
    head -c $((1 << 20)) /dev/urandom > "$dir/patch/m_target.bin"
    t0=$(now); "$program" -r "$dir/patch" "$dir/game.qar" > /dev/null; t1=$(now)
    later+=("$(elapsed "$t0" "$t1")")
    if [[ -n $peer ]]; then
      t0=$(now); "$peer" -r "$dir/patch" "$dir/peer.qar" > /dev/null; t1=$(now)
      peer_later+=("$(elapsed "$t0" "$t1")")
    fi
  done
  local later_median peer_median=""
  later_median=$(printf '%s\n' "${later[@]}" | median)
  [[ -z $peer ]] || peer_median=$(printf '%s\n' "${peer_later[@]}" | median)
  printf '%-8s %10s %12s %12s %14s %12s\n' "$label" "$(du -m "$dir/game.qar" | cut -f1) MB" "$recreate s" "$first s" \
    "$later_median s" "${peer_median:+$peer_median s}"
  echo "$label $recreate $first $later_median ${peer_median:-0}" >> "$work/results"
  rm -rf "$dir"
}

printf '%-8s %10s %12s %12s %14s %12s\n' archive size re-create "first update" "later update" "${peer:+peer later}"
run_size 100MB 100
run_size 1GB 1000

awk '
  $1 == "100MB" { small_later = $4 }
  $1 == "1GB" { big_later = $4; big_recreate = $2 }
  END {
    printf "later update, 1 GB / 100 MB: %.2f (must stay below 1.5)\n", big_later / small_later
    printf "later update of 1 GB / re-create of 1 GB: %.2f%% (must stay below 5%%)\n", 100 * big_later / big_recreate
  }
  $5 > 0 { printf "later update of %s / the same by the peer: %.3f\n", $1, $4 / $5 }' "$work/results"
