#!/bin/bash
# Builds the Windows .zip from the MinGW build tree and checks that it holds
# gameserver.exe and the README, and that the unpacked program starts under
# Wine, listens, and ends with exit code 0 on "exit".
# Exits 77 (skipped) where Wine is missing.
# Usage: check_zip.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1 build=$2
here=$(cd "$(dirname "$0")" && pwd)
# Its log: build-mingw/package-logs/zip.log.
. "$here/check_log.sh" "$build" zip "$@"

wine=$(command -v wine64 || true)
[ -n "$wine" ] || [ ! -x /usr/lib/wine/wine64 ] || wine=/usr/lib/wine/wine64
if [ -z "$wine" ]; then
  echo "skipped: Wine (wine64) is not installed" >&2
  exit 77
fi

scratch=$(mktemp -d "$build/zip-check.XXXXXX")
server=
check_cleanup() {
  [ -z "$server" ] || kill -9 "$server" 2>/dev/null || true
  rm -rf "$scratch"
}
fail() { echo "FAILED: $*" >&2; [ ! -f "$scratch/out" ] || sed 's/^/server: /' "$scratch/out" >&2; exit 1; }

if ! "$cpack" --config "$build/CPackConfig.cmake" -G ZIP -B "$scratch" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  fail "cpack could not build the .zip"
fi
zips=("$scratch"/gameserver-*-win64.zip)
[ ${#zips[@]} = 1 ] && [ -f "${zips[0]}" ] || fail "expected one gameserver-*-win64.zip, got: ${zips[*]}"
mkdir "$scratch/unzipped"
(cd "$scratch/unzipped" && cmake -E tar xf "${zips[0]}")
files=$(cd "$scratch/unzipped" && find . -type f | sort)
top=./$(basename "${zips[0]}" .zip)
[ "$files" = "$(printf '%s\n' "$top/README.md" "$top/gameserver.exe")" ] || fail "the .zip holds: $files"

# Started as an operator starts it from the unpacked folder: no MinGW DLLs
# beside it, a Wine prefix of its own build tree. Wine's error messages go
# with the server's output.
export WINEPREFIX=$build/wine-prefix WINE=$wine WINEDEBUG=-all,err+all
mkfifo "$scratch/console"
exec 3<>"$scratch/console"
cd "$scratch/unzipped/$top"
# Console lines end in CR LF on Windows.
printed() { tr -d '\r' <"$scratch/out" | grep -qx "$1"; }
for attempt in 1 2 3 4 5; do
  port=$((20000 + (RANDOM * 32768 + RANDOM) % 12000))
  "$here/../../scripts/wine-run" --exec ./gameserver.exe -onlylan -port "$port" <&3 >"$scratch/out" 2>&1 &
  server=$!
  # Wine sets up its prefix on first use: the limit is generous.
  for _ in $(seq 1800); do
    printed "Waiting for connections on port $port" && break 2
    kill -0 "$server" 2>/dev/null || break
    tr -d '\r' <"$scratch/out" | grep -q '^establish listener' && break
    sleep 0.1
  done
  # Another program took the port in the meantime: try another one.
  tr -d '\r' <"$scratch/out" | grep -q '^establish listener' || fail "gameserver.exe did not start listening under Wine"
  kill -9 "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  server=
done
[ -n "$server" ] || fail "no free port found"

echo exit >&3
for _ in $(seq 300); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
kill -0 "$server" 2>/dev/null && fail "gameserver.exe did not end on exit"
rc=0
wait "$server" || rc=$?
server=
[ "$rc" = 0 ] || fail "gameserver.exe ended with exit code $rc"
printed "Stopping server..." || fail "no \"Stopping server...\" line"
