# Sourced by the package checks, after `set -euo pipefail`, with their own
# arguments:
#   . check_log.sh BUILD_DIR NAME "$@"
# Every run of a check leaves its log in BUILD_DIR/package-logs/NAME.log:
# each command the check ran, with the time and the line, and everything it
# and its commands printed. When the check fails (an exit status other than
# 0 and 77), the log also gets the check's account of the state at that
# moment (its function check_state, if it has one), is kept as
# NAME.failed-DATE.log, and its end is printed with the kept log's path: a
# failed run explains itself in CTest's output and in LastTest.log, and later
# runs do not overwrite its log. The log of a run that was killed (a CTest
# time-out) is kept by the next run as NAME.killed-DATE.log. The last 10 kept
# logs of each kind stay.
# A check that cleans up defines check_cleanup instead of an EXIT trap of its
# own; it runs after check_state.
#
# The check runs twice over: this process starts it again, with everything it
# prints going through tee into the log, waits for it and then sees to the
# log. No descriptor of this process's reaches the check's commands but the
# log's (7), so nothing they leave running holds CTest's output open.
if [ "${CHECK_LOG:-}" != "$1/package-logs/$2.log" ]; then
  check_log=$1/package-logs/$2.log
  mkdir -p "$1/package-logs"
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
  echo "---- $2 check, started $(date '+%F %T') (epoch ${EPOCHREALTIME%.*}) on $(uname -n): $0" >"$check_log"
  [ -z "$check_killed" ] ||
    echo "The previous run of this check did not end; its log is kept in $check_killed" | tee -a "$check_log"
  set +e
  CHECK_LOG=$check_log "$BASH" "$0" "${@:3}" 2>&1 7>>"$check_log" | tee -a "$check_log"
  check_status=${PIPESTATUS[0]}
  set -e
  echo "---- ended with exit status $check_status" >>"$check_log"
  if [ "$check_status" != 0 ] && [ "$check_status" != 77 ]; then
    check_kept=$(check_keep failed)
    echo "---- the last 100 lines of the log of this failed run, kept in $check_kept:"
    tail -n 100 "$check_kept"
  fi
  exit "$check_status"
fi

trap 'echo "FAILED: ${BASH_SOURCE##*/} line $LINENO: $BASH_COMMAND" >&2' ERR
check_finish() {
  local status=$?
  set +x
  trap - ERR
  if [ "$status" != 0 ] && [ "$status" != 77 ] && declare -F check_state >/dev/null; then
    echo "---- state at the failure"
    check_state 2>&1 || true
  fi >&7
  if declare -F check_cleanup >/dev/null; then check_cleanup >&7 2>&1 || true; fi
  exit "$status"
}
trap check_finish EXIT
BASH_XTRACEFD=7
PS4='+ ${EPOCHREALTIME} ${BASH_SOURCE##*/}:${LINENO}: '
set -x
