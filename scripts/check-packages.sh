#!/usr/bin/env bash
# Tries the release packages of scripts/package.sh as a user would: unpacked into an empty folder,
# their programs pack the sample mod, unpack it, check the archive and show their version (the .exe
# files under Wine). Usage: check-packages.sh WORK_DIR (scratch space, the Wine prefix included);
# DIST_DIR: where the packages are (default dist).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mkdir -p "${1:?usage: check-packages.sh WORK_DIR}" && cd "$1" && pwd)
dist=${DIST_DIR:-$root/dist}
version=$(sed -nE 's/^project\(tarvo VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' "$root/CMakeLists.txt")
programs=(tarvo-qar tarvo-size tarvo-check)

fail() { echo "check-packages.sh: $*" >&2; exit 1; }

# same_lines EXPECTED ACTUAL WHAT: the two texts hold the same lines.
same_lines() { [[ $1 == "$2" ]] || fail "$3: expected"$'\n'"$1"$'\n'"got"$'\n'"$2"; }

# try_programs DIR EXT RUNNER...: the sample mod's round trip with the programs in DIR, started
# through RUNNER (if any). Windows programs write UTF-16 with CRLF: `tr -d '\0\r'` leaves the ASCII.
try_programs() (
  dir=$1 ext=$2 status=0
  shift 2
  rm -rf "$dir.trip"
  mkdir "$dir.trip"
  cd "$dir.trip"
  cp -R "$root/scripts/sample/mod" mod
  seq 1 40000 >mod/numbers.txt  # several blocks, so the worker pool has work
  "$@" "$dir/tarvo-qar$ext" -c mod >qar.log && "$@" "$dir/tarvo-qar$ext" -u mod.qar unpacked >>qar.log ||
    fail "tarvo-qar$ext failed, see $PWD/qar.log"
  diff -r mod unpacked || fail "tarvo-qar$ext: the unpacked tree differs"
  "$@" "$dir/tarvo-size$ext" >size.log 2>&1 || status=$?
  [[ $status -eq 1 ]] && tr -d '\0\r' <size.log | grep -q '^Usage: tarvo-size' || fail "tarvo-size$ext without arguments: status $status"
  "$@" "$dir/tarvo-check$ext" mod.qar >check.log || fail "tarvo-check$ext mod.qar failed"
  [[ $(tr -d '\0\r' <check.log | tail -n 1) == OK ]] || fail "tarvo-check$ext mod.qar: no OK"
  same_lines "tarvo-check $version" "$("$@" "$dir/tarvo-check$ext" --version | tr -d '\0\r')" "tarvo-check$ext --version"
  echo "$dir: the sample mod packed, unpacked and checked alike"
)

# Windows: the zip holds the programs, each with the version resource Explorer shows and the
# manifest byte for byte as resource 1 of type 24, and the texts.
zip="$dist/tarvo-$version-windows-x64.zip"
windows="$work/windows"
rm -rf "$windows"
unzip -q "$zip" -d "$windows"
expected=$( (printf '%s.exe\n' "${programs[@]}"; printf '%s.txt\n' README REFERENCE LICENSE THIRD_PARTY_NOTICES) | sort)
same_lines "$expected" "$(cd "$windows" && ls | sort)" "files in $zip"
for program in "${programs[@]}"; do
  shown=$(strings -el "$windows/$program.exe" | grep -A1 -x -e FileVersion -e LegalCopyright -e OriginalFilename -e ProductVersion |
    grep -vx -- --)
  same_lines "FileVersion"$'\n'"$version"$'\n'"LegalCopyright"$'\n'"Copyright (c) 2026 The tarvo authors"$'\n'"OriginalFilename"$'\n'"$program.exe"$'\n'"ProductVersion"$'\n'"$version" "$shown" "version resource of $program.exe"
  x86_64-w64-mingw32-windres -i "$windows/$program.exe" -O rc | grep -qx '1 24 /\* RT_MANIFEST \*/' &&
    python3 -c 'import sys; sys.exit(open(sys.argv[2], "rb").read().find(open(sys.argv[1], "rb").read()) < 0)' \
      "$root/cmake/tarvo.manifest" "$windows/$program.exe" || fail "$program.exe: no manifest, or another one"
done
try_programs "$windows" .exe "$root/scripts/wine-run.sh" "$work/wine-prefix"

# Linux: the tarball holds one folder with the programs and the README.
tarball="$dist/tarvo-$version-linux-x86_64.tar.gz"
rm -rf "$work/linux"
mkdir "$work/linux"
tar -C "$work/linux" -xzf "$tarball"
linux="$work/linux/tarvo-$version-linux-x86_64"
expected=$(printf '%s\n' "${programs[@]}" README.md REFERENCE.md LICENSE THIRD_PARTY_NOTICES.txt | sort)
same_lines "$expected" "$(cd "$linux" && ls | sort)" "files in $tarball"
# Only glibc's own libraries may be needed, and the README names the newest glibc version used.
newest=""
for program in "${programs[@]}"; do
  needed=$(objdump -p "$linux/$program" | awk '$1 == "NEEDED" { print $2 }' | grep -Ev '^(libc\.so\.6|libm\.so\.6|ld-linux-x86-64\.so\.2)$' || true)
  [[ -z $needed ]] || fail "$program needs $needed"
  newest=$( (echo "$newest"; objdump -T "$linux/$program" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//') | sort -V | tail -n 1)
done
grep -q "glibc $newest or newer" "$root/README.md" || fail "the README does not say: glibc $newest or newer"
try_programs "$linux" ""
