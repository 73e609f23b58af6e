#!/usr/bin/env bash
# Builds the release packages from clean build trees of their own:
#
#   dist/tarvo-VERSION-windows-x64.zip       the .exe files, README.txt (the modder's guide),
#                                            REFERENCE.txt (this repository's README), LICENSE.txt
#                                            and THIRD_PARTY_NOTICES.txt, all with Windows line ends
#   dist/tarvo-VERSION-linux-x86_64.tar.gz   the programs, README.md (the guide), REFERENCE.md,
#                                            LICENSE and THIRD_PARTY_NOTICES.txt in
#                                            tarvo-VERSION-linux-x86_64/
#
#   scripts/package.sh
#
# VERSION is the project version of the top CMakeLists.txt. The programs are Release builds
# without tests, with zlib, the C++ runtime and libgcc linked in (TARVO_PACKAGE). The same
# sources give byte-identical packages wherever they are built: the programs carry no build path,
# link time or build id, and every file in the packages has a fixed time, owner, mode and order.
#
# Environment: JOBS (parallel jobs, default 2), PACKAGE_BUILD_ROOT (where the two build trees
# go, default build), DIST_DIR (where the packages go, default dist).
# Missing Debian packages are installed first (as root or through sudo).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-2}
build_root=${PACKAGE_BUILD_ROOT:-$root/build}
dist=${DIST_DIR:-$root/dist}

"$root/scripts/ensure-packages.sh" cmake ninja-build g++ zlib1g-dev python3 \
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev

version=$(sed -nE 's/^project\(tarvo VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' CMakeLists.txt)
[[ -n $version ]] || { echo "package.sh: no project version in CMakeLists.txt" >&2; exit 1; }

# Where each program lands in a build tree.
programs=(qar/cli/tarvo-qar size/tarvo-size qar/check/tarvo-check)

# build PLATFORM CONFIGURE_ARGS...: a Release build of the programs in a fresh tree.
build() {
  local dir="$build_root/package-$1"
  shift
  rm -rf "$dir"
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DTARVO_BUILD_TESTS=OFF -DTARVO_PACKAGE=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" --target "${programs[@]##*/}"
}

echo "== tarvo $version: Linux build"
build linux
echo "== tarvo $version: Windows build"
build windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake"

mkdir -p "$dist"
stage=$(mktemp -d "${TMPDIR:-/tmp}/tarvo-package.XXXXXX")
trap 'rm -rf "$stage"' EXIT

# Linux: one folder, so that unpacking never scatters files into the current one.
linux_name="tarvo-$version-linux-x86_64"
mkdir "$stage/$linux_name"
for program in "${programs[@]}"; do
  install -m 755 "$build_root/package-linux/$program" "$stage/$linux_name/"
done
install -m 644 docs/guide.md "$stage/$linux_name/README.md"
install -m 644 README.md "$stage/$linux_name/REFERENCE.md"
install -m 644 LICENSE THIRD_PARTY_NOTICES.txt "$stage/$linux_name/"
tar -C "$stage" --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner --format=gnu \
  -cf - "$linux_name" | gzip -9n >"$dist/$linux_name.tar.gz"

# Windows: the files at the top of the zip, as Explorer's "Extract all" makes the folder itself.
windows_name="tarvo-$version-windows-x64"
files=()
for program in "${programs[@]}"; do files+=("$build_root/package-windows/$program.exe"); done
# The texts as NAME=PATH, each with Windows line ends, then "--" and the programs.
python3 - "$dist/$windows_name.zip" README.txt=docs/guide.md REFERENCE.txt=README.md LICENSE.txt=LICENSE \
  THIRD_PARTY_NOTICES.txt=THIRD_PARTY_NOTICES.txt -- "${files[@]}" <<'PY'
import os, sys, zipfile
split = sys.argv.index("--")
zip_path, texts, programs = sys.argv[1], [a.split("=", 1) for a in sys.argv[2:split]], sys.argv[split + 1:]
entries = {os.path.basename(p): open(p, "rb").read() for p in programs}
for name, path in texts:
    entries[name] = open(path, "rb").read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
with zipfile.ZipFile(zip_path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
    for name in sorted(entries):
        # The oldest time a zip can hold, and plain read/write permissions for unzip on Unix.
        info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 3
        info.external_attr = 0o100644 << 16
        archive.writestr(info, entries[name])
PY

echo "== Packages"
(cd "$dist" && ls -l "$linux_name.tar.gz" "$windows_name.zip" && sha256sum "$linux_name.tar.gz" "$windows_name.zip")
