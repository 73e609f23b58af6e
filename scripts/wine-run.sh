#!/usr/bin/env bash
# Runs one Windows program under Wine with a private prefix:  wine-run.sh PREFIX PROGRAM [ARGS...]
#
# CMake uses this as the emulator of the Windows cross build, so CTest starts every test
# executable through it. The prefix is created on first use (slow: tens of seconds) under a
# lock, so tests that start at the same time wait for one set-up instead of racing.
set -euo pipefail

if [[ $# -lt 2 ]]; then
  echo "usage: $0 WINEPREFIX PROGRAM [ARGS...]" >&2
  exit 2
fi

prefix=$1
shift

find_tool() {
  local candidate
  for candidate in "$@"; do
    if [[ -x $candidate ]]; then echo "$candidate"; return 0; fi
    if command -v "$candidate" >/dev/null 2>&1; then command -v "$candidate"; return 0; fi
  done
  return 1
}

# Debian's wine64 package puts the 64-bit loader outside PATH.
wine=$(find_tool "${TARVO_WINE:-/usr/lib/wine/wine64}" wine64 wine) || {
  echo "wine-run.sh: no wine64 found (Debian package: wine64)" >&2
  exit 127
}
wineserver=$(find_tool /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver wineserver) || {
  echo "wine-run.sh: no wineserver found" >&2
  exit 127
}

mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko installer dialogs: console programs need neither.
export WINEDLLOVERRIDES="mscoree=;mshtml=;${WINEDLLOVERRIDES:-}"
unset DISPLAY WAYLAND_DISPLAY
# Wine decodes arguments and file names with the locale's character set: make it UTF-8.
export LANG=C.UTF-8 LC_ALL=C.UTF-8

ready="$prefix/.tarvo-ready"
if [[ ! -e $ready ]]; then
  (
    flock 9
    if [[ ! -e $ready ]]; then
      # wineboot fills the prefix; wineserver -w waits until every process of the prefix,
      # the set-up included, has ended.
      "$wine" wineboot -i </dev/null >/dev/null 2>&1 || true
      "$wineserver" -w </dev/null >/dev/null 2>&1 || true
      if [[ ! -e $prefix/system.reg ]]; then
        echo "wine-run.sh: could not create the Wine prefix $prefix" >&2
        exit 1
      fi
      touch "$ready"
    fi
  ) 9>"$prefix.lock"
fi

# The first program of a Wine session also starts Wine's own background processes, which
# outlive it by seconds and inherit its output streams: a caller that reads the output through
# pipes (CTest) would wait for them. So the program writes into files; its standard output is
# passed on as it grows (a test executable runs for minutes), standard error once it has ended.
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.out.XXXXXX")
err=$(mktemp "${TMPDIR:-/tmp}/wine-run.err.XXXXXX")
child="" follower=""
finish() {
  [[ -n $child ]] && kill -TERM "$child" 2>/dev/null
  [[ -n $follower ]] && wait "$follower"
  cat "$err" >&2
  rm -f "$out" "$err"
}
trap 'finish; exit 143' TERM INT
"$wine" "$@" <&0 >"$out" 2>"$err" &
child=$!
# Ends once the program has ended and everything it wrote has been passed on.
tail -c +1 -s 0.1 -f --pid="$child" "$out" &
follower=$!
status=0
wait "$child" || status=$?
child=""
wait "$follower"
follower=""
trap - TERM INT
cat "$err" >&2
rm -f "$out" "$err"
exit "$status"
