#!/bin/bash
# scripts/wine-run's account of how a program ended, with /bin/sh standing in
# for Wine: exit codes, signals, programs that print nothing, and --exec.
# Usage: wine_run_test.sh WINE_RUN
set -euo pipefail
wine_run=$1
export WINEPREFIX=/nowhere WINE=/bin/sh
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
# expect STATUS STDOUT STDERR_REGEX SCRIPT: runs `sh -c SCRIPT` through wine-run.
expect() {
  local status=0 out err
  out=$("$wine_run" -c "$4" 2>"$tmp/err") || status=$?
  err=$(cat "$tmp/err")
  if [ "$status" != "$1" ] || [ "$out" != "$2" ] || ! [[ $err =~ $3 ]]; then
    printf 'FAILED: sh -c %q\n  exit status %s (expected %s)\n  stdout %q (expected %q)\n  stderr %q (expected /%s/)\n' \
      "$4" "$status" "$1" "$out" "$2" "$err" "$3" >&2
    failures=$((failures + 1))
  fi
}
expect 0 ok '^$' 'echo ok'
expect 3 ok '^wine-run: -c echo ok; exit 3 ended with exit code 3 after [0-9]+ ms$' 'echo ok; exit 3'
# A test program that prints nothing has not run its tests, whatever its exit code.
expect 1 '' '^wine-run: -c exit 0 ended with exit code 0 after [0-9]+ ms and printed nothing \(Wine prefix /nowhere\)$' 'exit 0'
expect 53 '' 'ended with exit code 53 after [0-9]+ ms and printed nothing' 'echo "wine: failed to open" >&2; exit 53'
expect 137 '' '^wine-run: .* was killed by signal 9 \(SIGKILL\) after [0-9]+ ms and printed nothing' 'kill -9 $$'
expect 143 half 'was killed by signal 15 \(SIGTERM\) after [0-9]+ ms$' 'echo half; kill -TERM $$'
# What the program prints passes through whole and unchanged.
expect 0 "$(printf 'x%.0s' $(seq 70000))" '^$' 'printf "x%.0s" $(seq 70000)'
# --exec: the program is the process that was started.
"$wine_run" --exec -c 'echo $$' >"$tmp/pid" &
started=$!
wait "$started"
[ "$(cat "$tmp/pid")" = "$started" ] || { echo "FAILED: --exec ran the program as $(cat "$tmp/pid"), not $started" >&2; failures=$((failures + 1)); }
[ "$failures" = 0 ]
