#!/bin/sh
# Runs a command in a private mount namespace in which the list's host name
# points at 127.0.0.1, so that a server built with its default settings talks
# to a stand-in list on this machine. Two more names stand for lists with
# several addresses. Names that are not in the hosts file go to a name server
# on 127.0.0.1, which the tests may stand in for: no lookup leaves the machine.
# Exits 77 (skipped) where that cannot be had: it needs root, for the
# namespace and for ports 80 and 53, and a system that allows the namespace.
# Usage: in_namespace.sh HOST COMMAND [ARG...]
host=$1
shift
if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null; then
  echo "skipped: needs root and unshare" >&2
  exit 77
fi
if ! unshare --mount true 2>/dev/null; then
  echo "skipped: unshare --mount is not permitted here" >&2
  exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
{
  printf '127.0.0.1 localhost\n127.0.0.1 %s\n' "$host"
  for i in 2 3 4 5; do printf '127.0.0.%s four.example.net\n' "$i"; done
  for i in 2 3 4 5 6; do printf '127.0.0.%s five.example.net\n' "$i"; done
} > "$dir/hosts"
printf 'nameserver 127.0.0.1\noptions timeout:30 attempts:5\n' > "$dir/resolv.conf"
printf 'hosts: files dns\n' > "$dir/nsswitch.conf"
# Without resolv.conf the resolver asks 127.0.0.1 anyway, and without
# nsswitch.conf it asks the hosts file after a name server that refuses.
# Port 80 is the machine's: the list tests and the package checks of every
# build on it take turns through /tmp/port80.lock, which flock holds while the
# tests run (-o: the programs they start get no descriptor of it).
status=0
flock -o -E 75 -w 240 /tmp/port80.lock unshare --mount sh -c '
  mount --bind "$0/hosts" /etc/hosts || { echo "skipped: cannot bind /etc/hosts" >&2; exit 77; }
  for f in resolv.conf nsswitch.conf; do
    [ ! -e "/etc/$f" ] || mount --bind "$0/$f" "/etc/$f" || { echo "skipped: cannot bind /etc/$f" >&2; exit 77; }
  done
  exec "$@"' "$dir" "$@" || status=$?
if [ "$status" = 75 ]; then
  echo "FAILED: port 80 was not free within 240 s; /tmp/port80.lock is held by (PID command):" \
    "$(lslocks -n -o PID,COMMAND,PATH | grep -F /tmp/port80.lock | awk '{ print $1, $2 }' | xargs)" >&2
  exit 1
fi
exit "$status"
