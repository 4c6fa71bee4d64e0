#!/bin/bash
# Builds the container image as `make image` does and checks it as operators
# run it, with podman: its settings and size (printed), then image_test.cpp
# (clients through a published port, the console on standard input, podman
# stop, the list host from the environment, the compose example, the
# Kubernetes manifest played by podman).
# Exits 77 (skipped) where podman is missing or cannot run containers here.
# Usage: check_image.sh BUILD_IMAGE PROGRAM VERSION BUILD_DIR COMPOSE_FILE IMAGE_TEST KUBE_FILE
set -euo pipefail
build_image=$1 program=$2 version=$3 build=$4 compose_file=$5 image_test=$6 kube_file=$7
here=$(cd "$(dirname "$0")" && pwd)
tag=gameserver:$version
skip() { echo "skipped: $*" >&2; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }
# Its log: build/package-logs/image.log.
. "$here/check_log.sh" "$build" image "$@"

command -v podman >/dev/null || skip "podman is not installed"
command -v podman-compose >/dev/null || skip "podman-compose is not installed"

# Everything a run creates is named after its process: gameserver-check-PID-.
# A run that was killed (a time-out) leaves its containers running, and their
# podman monitors (conmon) hold any descriptor the run had open, its lock
# too. What belongs to a run that no longer runs goes.
for pid in $({ podman ps -a --format '{{.Names}}'; podman network ls --format '{{.Name}}'; } |
             sed -n 's/^gameserver-check-\([0-9]*\)-.*/\1/p' | sort -u); do
  grep -qsF check_image.sh "/proc/$pid/cmdline" && continue
  echo "Removing what the image check $pid left behind:" \
    "$(podman ps -a --filter "name=^gameserver-check-$pid-" --format '{{.Names}}' | xargs)"
  podman pod ls --filter "name=^gameserver-check-$pid-" --format '{{.Name}}' | xargs -r podman pod rm -f >&7 2>&1
  podman ps -a --filter "name=^gameserver-check-$pid-" --format '{{.Names}}' | xargs -r podman rm -f >&7 2>&1
  podman network ls --filter "name=^gameserver-check-$pid-" --format '{{.Name}}' | xargs -r podman network rm >&7 2>&1
done

# One check at a time on a machine: each builds and tags gameserver:VERSION.
# The lock's descriptor (9) is closed for every command that starts
# containers, so that no container holds it.
lock=${TMPDIR:-/tmp}/gameserver-image-check.lock
exec 9>"$lock"
holders() { lslocks -n -o PID,COMMAND,PATH | grep -F "$1" | awk '{ print $1, $2 }' | xargs; }
flock -w 300 9 || fail "$lock is still held after 300 s, by (PID command): $(holders "$lock")"
scratch=$(mktemp -d "$build/image-check.XXXXXX")
prefix=gameserver-check-$$
# What podman has on this machine, the last lines of this run's containers,
# and who holds port 80.
check_state() {
  echo "-- containers"
  podman ps -a --format '{{.Names}}  {{.Image}}  {{.Status}}  {{.Ports}}'
  podman ps -a --filter "name=^$prefix" --format '{{.Names}}' | while read -r name; do
    echo "-- podman logs --tail 40 $name"
    podman logs --tail 40 "$name"
  done
  echo "-- networks"
  podman network ls
  echo "-- images"
  podman images
  echo "-- port 80"
  ss -ltnp 'sport = :80'
}
check_cleanup() {
  podman pod ls --filter "name=^$prefix" --format '{{.Name}}' | xargs -r podman pod rm -f
  podman ps -a --filter "name=^$prefix" --format '{{.Names}}' | xargs -r podman rm -f
  podman network ls --filter "name=^$prefix" --format '{{.Name}}' | xargs -r podman network rm
  rm -rf "$scratch"
}

# podman's settings for this check alone: runc, where installed (crun refuses
# some hosts' cgroup layout), and resource limits no higher than this
# process's own, which an unprivileged container may not raise.
nofile=$(ulimit -n) nproc=$(ulimit -u)
[ "$nproc" != unlimited ] && [ "$nproc" -lt 4096 ] || nproc=4096
{
  printf '[containers]\ndefault_ulimits = ["nofile=%s:%s", "nproc=%s:%s"]\n' "$nofile" "$nofile" "$nproc" "$nproc"
  if command -v runc >/dev/null; then printf '[engine]\nruntime = "runc"\n'; fi
} >"$scratch/containers.conf"
export CONTAINERS_CONF=$scratch/containers.conf

# Whether podman runs containers here at all, with nothing of ours but the
# dynamic loader (which runs on its own).
mkdir "$scratch/probe"
cp -L /lib64/ld-linux-x86-64.so.2 "$scratch/probe/ld.so"
if ! out=$(podman run --rm --network none --rootfs "$scratch/probe" /ld.so --version 2>&1 9>&-); then
  skip "podman cannot run containers here: $out"
fi

ENGINE=podman "$build_image" "$program" "$tag" "$scratch/stage" >"$scratch/build.log" 2>&1 9>&- ||
  { cat "$scratch/build.log" >&2; fail "the image did not build"; }
settings=$(podman image inspect --format \
  '{{.Config.User}} {{json .Config.ExposedPorts}} {{.Config.StopSignal}} {{json .Config.Entrypoint}}' "$tag")
[ "$settings" = 'gameserver:gameserver {"50505/tcp":{},"9150/tcp":{}} SIGTERM ["/usr/bin/gameserver"]' ] ||
  fail "image settings: $settings"
size=$(podman image inspect --format '{{.Size}}' "$tag")
echo "image $tag: $size bytes ($((size / 1000))kB)"
[ "$size" -lt 10000000 ] || fail "the image is not under 10 MB"
# The compose example names the image just built; a name podman lacks would
# send it to a registry.
grep -qxF "    image: $tag" "$compose_file" || fail "$compose_file does not name $tag"

# Port 80, where one test's stand-in list listens, is the machine's: the list
# tests and the service check of every build on it take turns through
# /tmp/port80.lock, which flock holds (-o: the tests' containers get no
# descriptor of it).
status=0
GAMESERVER_IMAGE=$(podman image inspect --format '{{.Id}}' "$tag") GAMESERVER_CONTAINER_PREFIX=$prefix \
  GAMESERVER_COMPOSE_FILE=$compose_file GAMESERVER_KUBE_FILE=$kube_file GAMESERVER_COMMAND=$here/run_in_container.sh \
  flock -o -E 75 -w 200 /tmp/port80.lock "$image_test" 9>&- || status=$?
[ "$status" != 75 ] || fail "port 80 was not free within 200 s: /tmp/port80.lock is held by (PID command): $(holders /tmp/port80.lock)"
[ "$status" = 0 ] || fail "image_tests failed (exit status $status)"
