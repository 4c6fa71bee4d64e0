# Sourced by the package checks (check_*.sh, after `set -euo pipefail`):
#   . check_log.sh BUILD_DIR NAME
# Every run of a check leaves its log in BUILD_DIR/package-logs/NAME.log:
# each command the check ran, with the time and the line, and everything it
# and its commands printed. When the check fails (an exit status other than
# 0 and 77), the log also gets the check's account of the state at that
# moment (its function check_state, if it has one), is kept as
# NAME.failed-DATE.log, and its end is printed on standard error with the
# kept log's path: a failed run explains itself in CTest's output and in
# LastTest.log, and later runs do not overwrite its log. The log of a run that
# was killed (a CTest time-out) is kept by the next run as
# NAME.killed-DATE.log. The last 10 kept logs of each kind stay.
# A check that cleans up defines check_cleanup instead of an EXIT trap of its
# own; it runs after check_state.
check_logs=$1/package-logs
check_log=$check_logs/$2.log
mkdir -p "$check_logs"
check_keep() {  # KIND: keeps the log as NAME.KIND-DATE.log, and the last 10 of that kind
  local kept
  kept=${check_log%.log}.$1-$(date -r "$check_log" +%Y%m%d-%H%M%S).log
  cp "$check_log" "$kept"
  ls -1t "${check_log%.log}.$1"-*.log | tail -n +11 | xargs -r rm -f
  echo "$kept"
}
check_killed=
if [ -s "$check_log" ] && ! tail -n 1 "$check_log" | grep -q '^---- ended with exit status'; then
  check_killed=$(check_keep killed)
fi
: >"$check_log"
exec 5>&1 6>&2 7>>"$check_log"
exec > >(tee -a /dev/fd/7)
check_tee_out=$!
exec 2> >(tee -a /dev/fd/7 >&2)
check_tee_err=$!
echo "---- $2 check, started $(date '+%F %T') (epoch ${EPOCHREALTIME%.*}) on $(uname -n): $0" >&7
[ -z "$check_killed" ] || echo "The previous run of this check did not end; its log is kept in $check_killed"
trap 'echo "FAILED: ${BASH_SOURCE##*/} line $LINENO: $BASH_COMMAND" >&2' ERR

check_finish() {
  local status=$? kept
  set +x
  trap - ERR
  if [ "$status" != 0 ] && [ "$status" != 77 ] && declare -F check_state >/dev/null; then
    echo "---- state at the failure"
    check_state 2>&1 || true
  fi >&7
  if declare -F check_cleanup >/dev/null; then check_cleanup >&7 2>&1 || true; fi
  # The copies into the log end once nothing writes to the check's streams.
  exec 1>&5 2>&6
  for _ in $(seq 40); do
    kill -0 "$check_tee_out" 2>/dev/null || kill -0 "$check_tee_err" 2>/dev/null || break
    sleep 0.05
  done
  echo "---- ended with exit status $status" >&7
  if [ "$status" != 0 ] && [ "$status" != 77 ]; then
    kept=$(check_keep failed)
    echo "---- the last 100 lines of the log of this failed run, kept in $kept:" >&2
    tail -n 100 "$kept" >&2
  fi
  exit "$status"
}
trap check_finish EXIT
BASH_XTRACEFD=7
PS4='+ ${EPOCHREALTIME} ${BASH_SOURCE##*/}:${LINENO}: '
set -x
