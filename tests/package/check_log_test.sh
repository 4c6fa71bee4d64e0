#!/bin/bash
# check_log.sh in made-up checks: what a passed, a failed, a skipped and a
# killed run leave in the log folder and print.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(mktemp -d)
trap 'rm -rf "$build"' EXIT
logs=$build/package-logs
failures=0
expect() { "$@" || { echo "FAILED at line ${BASH_LINENO[0]}: $*" >&2; failures=$((failures + 1)); }; }
printed() { grep -qF -- "$1" "$build/out"; }
unprinted() { ! printed "$1"; }
# A check whose body is BODY; it reports its state and cleans up as the
# package checks do, waiting for what it started.
check() {
  printf '%s\n' '#!/bin/bash' 'set -euo pipefail' ". '$here/check_log.sh' '$build' demo \"\$@\"" \
    'check_state() { echo "state: the server was gone"; }' \
    "check_cleanup() { wait; echo cleaned >'$build/cleaned'; }" "$1" >"$build/check.sh"
  chmod +x "$build/check.sh"
  rm -f "$build/cleaned"
  status=0
  timeout 20 "$build/check.sh" >"$build/out" 2>&1 || status=$?
}

check 'sleep 0.1 & echo "image: 5 MB"'
expect [ "$status" = 0 ]
expect [ "$(cat "$build/out")" = "image: 5 MB" ]
expect [ -f "$build/cleaned" ]
expect [ "$(tail -n 1 "$logs/demo.log")" = "---- ended with exit status 0" ]

check 'echo before; ls /nonexistent; echo after'
expect [ "$status" = 2 ]
expect printed "FAILED: check.sh line 6: ls /nonexistent"
expect printed "state: the server was gone"
expect printed "---- the last 100 lines of the log of this failed run, kept in $logs/demo.failed-"
expect grep -q 'check.sh:6: ls /nonexistent' "$logs"/demo.failed-*.log
expect [ -f "$build/cleaned" ]
expect unprinted after

check 'exit 77'
expect [ "$status" = 77 ]
expect [ ! -s "$build/out" ]
expect [ "$(ls "$logs" | grep -c failed)" = 1 ]

# Killed as CTest kills a check that runs out of time: the whole tree at once.
check 'echo running; sleep 60' 2>/dev/null &
for _ in $(seq 200); do grep -qsx running "$logs/demo.log" && break; sleep 0.05; done
tree() { echo "$1"; for child in $(cat /proc/"$1"/task/*/children 2>/dev/null); do tree "$child"; done; }
kill -9 $(tree "$(cat /proc/$!/task/*/children)")
wait
check true
expect printed "The previous run of this check did not end; its log is kept in $logs/demo.killed-"
expect grep -qx running "$logs"/demo.killed-*.log
[ "$failures" = 0 ]
