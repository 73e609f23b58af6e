#!/usr/bin/env bash
# Tries the release packages of scripts/package.sh as a user would: each one is unpacked into an
# empty folder, and its programs pack the sample mod, unpack it, check the archive and show their
# version; the .exe files run under Wine, the Linux programs natively.
#
#   scripts/check-packages.sh WORK_DIR      (WORK_DIR: scratch space, the Wine prefix included)
#
# Environment: DIST_DIR (where the packages are, default dist).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:?usage: check-packages.sh WORK_DIR}
dist=${DIST_DIR:-$root/dist}
version=$(sed -nE 's/^project\(tarvo VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' "$root/CMakeLists.txt")
programs=(tarvo-qar tarvo-size tarvo-check)

fail() { echo "check-packages.sh: $*" >&2; exit 1; }

mkdir -p "$work"
work=$(cd "$work" && pwd)

# plain < OUTPUT: the ASCII of a program's output, whether it came as UTF-8 (Linux) or as
# UTF-16 text with Windows line ends (a Windows console program).
plain() { tr -d '\0\r'; }

# same_lines EXPECTED ACTUAL WHAT: the two texts hold the same lines.
same_lines() { [[ $1 == "$2" ]] || fail "$3: expected"$'\n'"$1"$'\n'"got"$'\n'"$2"; }

# try_programs DIR RUNNER...: the round trip of the sample mod with the programs in DIR, each
# started through RUNNER (nothing natively, wine-run.sh under Wine).
try_programs() {
  local dir=$1 ext=$2
  shift 2
  local runner=("$@") trip="$dir.trip"
  rm -rf "$trip"
  mkdir "$trip"
  cp -R "$root/scripts/sample/mod" "$trip/mod"
  seq 1 40000 >"$trip/mod/numbers.txt"  # several blocks, so the worker pool has work
  (
    cd "$trip"
    "${runner[@]}" "$dir/tarvo-qar$ext" -c mod >qar.log
    "${runner[@]}" "$dir/tarvo-qar$ext" -u mod.qar unpacked >>qar.log
  ) || fail "tarvo-qar$ext failed, see $trip/qar.log"
  diff -r "$trip/mod" "$trip/unpacked" || fail "tarvo-qar$ext: the unpacked tree differs"
  local status=0
  (cd "$trip" && "${runner[@]}" "$dir/tarvo-size$ext" >size.log 2>&1) || status=$?
  [[ $status -eq 1 ]] && plain <"$trip/size.log" | grep -q '^Usage: tarvo-size' || fail "tarvo-size$ext without arguments: status $status"
  if [[ " ${programs[*]} " == *" tarvo-check "* ]]; then
    (cd "$trip" && "${runner[@]}" "$dir/tarvo-check$ext" mod.qar >check.log) || fail "tarvo-check$ext mod.qar failed"
    [[ $(plain <"$trip/check.log" | tail -n 1) == OK ]] || fail "tarvo-check$ext mod.qar: no OK"
    local shown
    shown=$("${runner[@]}" "$dir/tarvo-check$ext" --version | plain)
    same_lines "tarvo-check $version" "$shown" "tarvo-check$ext --version"
  fi
  echo "$dir: the sample mod packed, unpacked and checked alike"
}

# Windows: the zip holds the programs and README.txt with Windows line ends.
zip="$dist/tarvo-$version-windows-x64.zip"
windows="$work/windows"
rm -rf "$windows"
mkdir "$windows"
unzip -q "$zip" -d "$windows"
expected=$( (printf '%s.exe\n' "${programs[@]}"; echo README.txt) | sort)
same_lines "$expected" "$(cd "$windows" && ls | sort)" "files in $zip"
grep -q $'[^\r]$' "$windows/README.txt" && fail "README.txt has a line without a Windows line end"
cmp -s <(tr -d '\r' <"$windows/README.txt") "$root/README.md" || fail "README.txt is not README.md"
for program in "${programs[@]}"; do
  shown=$(python3 - "$windows/$program.exe" <<'PY'
# Prints the version resource of a PE file: the fixed file and product versions, then each text.
import struct, sys
data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
optional = pe + 24
resource_rva = struct.unpack_from("<I", data, optional + 112 + 2 * 8)[0]  # PE32+: directory 2
def offset(rva):
    for s in range(sections):
        size, address, _, raw = struct.unpack_from("<IIII", data, optional + optional_size + 40 * s + 8)
        if address <= rva < address + size:
            return rva - address + raw
    sys.exit("no version resource")
base = offset(resource_rva)
def first_child(directory, wanted=None):
    named, numbered = struct.unpack_from("<HH", data, directory + 12)
    for i in range(named + numbered):
        ident, target = struct.unpack_from("<II", data, directory + 16 + 8 * i)
        if wanted is None or ident == wanted:
            return base + (target & 0x7FFFFFFF)
    sys.exit("no version resource")
language = first_child(first_child(first_child(base, 16)))  # RT_VERSION, its one name and language
rva, size = struct.unpack_from("<II", data, language)
info = data[offset(rva):offset(rva) + size]
def node(at):  # length, value length, type, key; the value and children start 4-aligned
    length, value_length, kind = struct.unpack_from("<HHH", info, at)
    end = info.index(b"\0\0", at + 6)
    end += (end - at) % 2  # the key's terminator lies on a character boundary
    key = info[at + 6:end].decode("utf-16-le")
    value = (end + 2 + 3) & ~3
    return at + length, key, value, value_length * (2 if kind == 1 else 1)
end, key, value, value_size = node(0)
fixed = struct.unpack_from("<I8I", info, value)
assert key == "VS_VERSION_INFO" and fixed[0] == 0xFEEF04BD, "not a version resource"
dotted = lambda high, low: "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)
print("file version", dotted(fixed[2], fixed[3]))
print("product version", dotted(fixed[4], fixed[5]))
def walk(at, end, depth):
    while at < end:
        next_at, key, value, value_size = node(at)
        if depth == 2:
            print(key + ":", info[value:value + value_size].decode("utf-16-le").rstrip("\0"))
        elif key == "StringFileInfo" or depth == 1:
            walk((value + value_size + 3) & ~3, next_at, depth + 1)
        at = (next_at + 3) & ~3
walk((value + value_size + 3) & ~3, end, 0)
PY
) || fail "$program.exe: no readable version resource"
  description=$(sed -nE "s/^set\\($program""_DESCRIPTION \"(.*)\"\\)/\\1/p" "$root/CMakeLists.txt")
  same_lines "file version $version.0
product version $version.0
FileDescription: $description
FileVersion: $version
InternalName: $program
OriginalFilename: $program.exe
ProductName: tarvo
ProductVersion: $version" "$shown" "version resource of $program.exe"
done
echo "$zip: files, README.txt and version resources as released"
try_programs "$windows" .exe "$root/scripts/wine-run.sh" "$work/wine-prefix"

# Linux: the tarball holds one folder with the programs and the README.
tarball="$dist/tarvo-$version-linux-x86_64.tar.gz"
rm -rf "$work/linux"
mkdir "$work/linux"
tar -C "$work/linux" -xzf "$tarball"
linux="$work/linux/tarvo-$version-linux-x86_64"
expected=$(printf '%s\n' "${programs[@]}" README.md | sort)
same_lines "$expected" "$(cd "$linux" && ls | sort)" "files in $tarball"
cmp -s "$linux/README.md" "$root/README.md" || fail "the tarball's README.md is not README.md"
# Only glibc's own libraries may be needed, and the README names the newest glibc version used.
newest=""
for program in "${programs[@]}"; do
  needed=$(objdump -p "$linux/$program" | awk '$1 == "NEEDED" { print $2 }' | grep -Ev '^(libc\.so\.6|libm\.so\.6|ld-linux-x86-64\.so\.2)$' || true)
  [[ -z $needed ]] || fail "$program needs $needed"
  newest=$( (echo "$newest"; objdump -T "$linux/$program" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//') | sort -V | tail -n 1)
done
grep -q "glibc $newest or newer" "$root/README.md" || fail "the README does not say: glibc $newest or newer"
echo "$tarball: files and libraries as released (glibc $newest or newer)"
try_programs "$linux" ""
