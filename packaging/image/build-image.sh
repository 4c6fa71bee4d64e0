#!/bin/bash
# Builds the container image TAG from the server program PROGRAM: stages a
# root file system in STAGE (the program and gameserver-probe, built beside
# it, stripped; the shared libraries ldd finds for them and their loader; the
# user the server runs as) and builds
# packaging/image/Containerfile on it with podman, or else docker; the first
# that is installed and answers. ENGINE=docker (or podman) chooses. With
# ARCHIVE, also saves the image there, for `podman load` / `docker load`.
# Usage: build-image.sh PROGRAM TAG STAGE [ARCHIVE]
set -euo pipefail
program=$1 tag=$2 stage=$3 archive=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
version=${tag##*:}

engine=${ENGINE:-}
if [ -z "$engine" ]; then
  for candidate in podman docker; do
    if command -v "$candidate" >/dev/null && "$candidate" info >/dev/null 2>&1; then
      engine=$candidate
      break
    fi
  done
fi
if [ -z "$engine" ]; then
  echo "No container engine: install podman (apt-get install podman), or docker with its daemon running" >&2
  exit 1
fi

probe=$(dirname "$program")/gameserver-probe
[ -x "$probe" ] || { echo "$probe is missing: build the target gameserver-probe" >&2; exit 1; }

rm -rf "$stage"
root=$stage/rootfs
mkdir -p "$root/usr/bin" "$root/etc"
strip -o "$root/usr/bin/gameserver" "$program"
# The health check runs it as the image's own command: no shell needed.
strip -o "$root/gameserver-probe" "$probe"
# Each library at the path the loader looks in (the loader itself at the
# program's interpreter path), the file itself rather than the link to it.
linked=$(ldd "$program" "$probe") || { echo "ldd $program $probe failed: not dynamically linked programs?" >&2; exit 1; }
if grep -q 'not found' <<<"$linked"; then
  echo "$program needs libraries this host lacks:" >&2
  grep 'not found' <<<"$linked" >&2
  exit 1
fi
for lib in $(grep -o '/[^ ]*' <<<"$linked" | grep -v ':$' | sort -u); do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done
# The server runs as this user. The list host's name is looked up in the
# hosts file (--add-host) first, then by DNS; glibc has both built in.
printf 'root:x:0:0:root:/:/nonexistent\ngameserver:x:10001:10001:gameserver:/:/nonexistent\n' >"$root/etc/passwd"
printf 'root:x:0:\ngameserver:x:10001:\n' >"$root/etc/group"
printf 'hosts: files dns\n' >"$root/etc/nsswitch.conf"

old=$("$engine" image inspect --format '{{.Id}}' "$tag" 2>/dev/null || true)
# The health check is part of the Docker image format only: podman's own
# default (OCI) would leave it out.
format=()
[ "$engine" != podman ] || format=(--format docker)
"$engine" build "${format[@]}" --build-arg "VERSION=$version" --tag "$tag" --file "$here/Containerfile" "$stage"
new=$("$engine" image inspect --format '{{.Id}}' "$tag")
# The image this one replaces, unless something still uses it.
[ -z "$old" ] || [ "$old" = "$new" ] || "$engine" image rm "$old" >/dev/null 2>&1 || true
if [ -n "$archive" ]; then
  mkdir -p "$(dirname "$archive")"
  rm -f "$archive"
  "$engine" save --output "$archive" "$tag"
fi
echo "Built $tag with $engine${archive:+, saved in $archive}"
