#!/bin/sh
# Runs a command in a private mount namespace in which the list's host name
# points at 127.0.0.1, so that a server built with its default settings talks
# to a stand-in list on this machine. Exits 77 (skipped) where that cannot be
# had: it needs root, for the namespace and for port 80.
# Usage: in_namespace.sh HOST COMMAND [ARG...]
host=$1
shift
if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null; then
  echo "skipped: needs root and unshare" >&2
  exit 77
fi
hosts=$(mktemp)
trap 'rm -f "$hosts"' EXIT
printf '127.0.0.1 localhost\n127.0.0.1 %s\n' "$host" > "$hosts"
unshare --mount sh -c 'mount --bind "$0" /etc/hosts && exec "$@"' "$hosts" "$@"
rc=$?
exit $rc
