#!/usr/bin/env bash
# The main job of tarvo-qar on a small mod tree: pack it into an archive, check the archive
# with tarvo-check, unpack it and check that the unpacked tree is identical to the original.
#
#   scripts/demo.sh
#
# Builds tarvo-qar and tarvo-check (Release, build/demo) first and installs missing Debian packages
# (as root or through sudo). The sample tree is scripts/sample/mod; two files of more than
# 64 KiB are generated into the copy so that archive blocks are filled, compressed or not.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build/demo}
jobs=${JOBS:-2}

"$root/scripts/ensure-packages.sh" cmake ninja-build g++ zlib1g-dev python3 diffutils

echo "== Building tarvo-qar (Release, $build_dir)"
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j "$jobs" --target tarvo-qar tarvo-check
qar="$build_dir/qar/cli/tarvo-qar"
check="$build_dir/qar/check/tarvo-check"

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvo-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp -R "$root/scripts/sample/mod" "$work/mod"

# A text of about 100 KiB (two blocks, compressible) and 65537 bytes of noise (a full block
# that zlib can't shrink, stored raw, and a last block of one byte). Fixed seed: same files
# on every run.
python3 - "$work/mod" <<'PY'
import os, random, sys
mod = sys.argv[1]
os.makedirs(os.path.join(mod, "text"), exist_ok=True)
lines = []
for i in range(2000):
    lines.append("npc_%04d: The lantern on the bridge burns for traveller %d.\n" % (i, i * 7 % 1000))
with open(os.path.join(mod, "text", "dialogue.txt"), "w", encoding="utf-8", newline="\n") as f:
    f.write("".join(lines))
with open(os.path.join(mod, "textures", "noise.bin"), "wb") as f:
    f.write(random.Random(20240601).randbytes(65537))
PY

echo
echo "== The sample tree ($work/mod)"
(cd "$work" && find mod -type f -printf '%10s  %p\n' | sort -k2)

# run LABEL COMMAND...: runs a step in the work directory and stops the demo, with the
# program's own output left on screen, when it fails.
run() {
  echo
  echo "== $1"
  shift
  echo "\$ tarvo-qar $*"
  local status=0
  (cd "$work" && "$qar" "$@") || status=$?
  if [[ $status -ne 0 ]]; then
    echo
    echo "Demo stopped: tarvo-qar $* ended with exit status $status (see its output above)."
    exit "$status"
  fi
}

run "Pack the tree into an archive" -c mod
ls -l "$work/mod.qar" | awk '{print "archive: mod.qar, " $5 " bytes"}'

echo
echo "== Check the archive against the tree, reading only"
echo "\$ tarvo-check mod.qar -l -d=mod"
if ! (cd "$work" && "$check" mod.qar -l -d=mod); then
  echo
  echo "Demo stopped: tarvo-check found the archive damaged or could not check it (see above)."
  exit 1
fi

run "Unpack the archive into another directory" -u mod.qar unpacked

echo
echo "== Compare the trees"
echo "\$ diff -r mod unpacked"
if (cd "$work" && diff -r mod unpacked); then
  count=$(cd "$work" && find mod -type f | wc -l)
  echo "The unpacked tree is identical to the original ($count files)."
else
  echo "Demo failed: the unpacked tree differs from the original."
  exit 1
fi
