#!/usr/bin/env bash
# Installs the Debian packages given as arguments that are not installed yet:
#   scripts/ensure-packages.sh cmake ninja-build g++
# Runs apt-get (after apt-get update) only when something is missing, as root or through sudo.
set -euo pipefail

missing=()
for package in "$@"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing missing packages: ${missing[*]}"
if [[ $(id -u) -eq 0 ]]; then
  run_as_root=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  run_as_root=(sudo)
else
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them (apt-get install ${missing[*]}) or run this script as root." >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${run_as_root[@]}" apt-get update -q
"${run_as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
