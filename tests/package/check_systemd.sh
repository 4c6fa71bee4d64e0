#!/bin/bash
# Follows the README's "Running it as a service" under a real systemd: a
# minimal Debian booted with systemd-nspawn gets the .deb through apt, and
# its servers are started, spoken to, upgraded in place, stopped, restarted
# after a crash and removed the way an operator does it. The container shares
# the host's network, so clients and the stand-in list (service_peer) run on
# the host's loopback.
# The Debian root is made once with debootstrap, from the mirror the host's
# apt uses, and kept in BUILD_DIR/nspawn/ with the .deb of release 1.0.0, built
# once from SOURCE_DIR's history; every run boots a copy of the root.
# Exits 77 (skipped) where no container can be booted or the root cannot be
# fetched.
# Usage: check_systemd.sh CPACK BUILD_DIR SERVICE_PEER SOURCE_DIR CRASHING_SERVER
# where CRASHING_SERVER is a build of the server that crashes while it takes
# over.
set -euo pipefail
cpack=$1 build=$2 peer=$3 source=$4 crashing=$5
suite=bookworm
# The last release without the upgrade in place.
old_release=1.0.0 old_commit=2e67e7f

skip() { echo "skipped: $*" >&2; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }
# Its log: build/package-logs/systemd.log.
. "$(dirname "$0")/check_log.sh" "$build" systemd "$@"
[ "$(id -u)" = 0 ] || skip "needs root"
for tool in systemd-nspawn debootstrap nsenter flock timeout; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done

# The URI of the host's $suite sources, one-line or deb822 format.
mirror() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && awk -v suite="$suite" '{ sub(/\[[^]]*\]/, "") }
        $1 == "deb" && $3 == suite { print $2; exit }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && awk -v suite="$suite" 'BEGIN { RS = "" } {
        deb = 0; ok = 0; uri = ""
        n = split($0, lines, "\n")
        for (l = 1; l <= n; l++) {
          k = split(lines[l], w, /[ \t]+/)
          if (w[1] == "Types:") for (j = 2; j <= k; j++) if (w[j] == "deb") deb = 1
          if (w[1] == "Suites:") for (j = 2; j <= k; j++) if (w[j] == suite) ok = 1
          if (w[1] == "URIs:" && uri == "") uri = w[2]
        }
        if (deb && ok && uri != "") { print uri; exit } }' "$f"
  done
}

# The pristine root, made once. A second run in the same build folder waits
# for this one to end.
cache=$build/nspawn/$suite
mkdir -p "$build/nspawn"
exec 8>"$build/nspawn/lock"
flock -w 900 8 || fail "another run holds $build/nspawn/lock"
if [ ! -x "$cache/usr/lib/systemd/systemd" ]; then
  uri=$(mirror | head -n 1)
  [ -n "$uri" ] || skip "the host's apt configuration names no $suite source"
  echo "Making the Debian root in $cache (once)"
  rm -rf "$cache.new"
  if ! timeout 800 debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus \
         "$suite" "$cache.new" "$uri" >"$build/nspawn/debootstrap.log" 2>&1; then
    tail -n 5 "$build/nspawn/debootstrap.log" >&2
    rm -rf "$cache.new"
    skip "debootstrap could not make the root (log: $build/nspawn/debootstrap.log)"
  fi
  # No name look-up may leave the machine: the container asks 127.0.0.1.
  rm -f "$cache.new/etc/resolv.conf"
  echo 'nameserver 127.0.0.1' >"$cache.new/etc/resolv.conf"
  mv "$cache.new" "$cache"
fi

# Release 1.0.0's .deb, built once from its commit. Where the history lacks it
# (a shallow clone), the upgrade from it is left out.
old_deb=$build/nspawn/gameserver_$old_release.deb
if [ ! -f "$old_deb" ] && git -C "$source" cat-file -e "$old_commit^{commit}" 2>/dev/null; then
  echo "Building the .deb of release $old_release (once)"
  old=$build/nspawn/old.new
  rm -rf "$old"
  mkdir -p "$old/src"
  git -C "$source" archive "$old_commit" | tar -x -C "$old/src"
  if { cmake -S "$old/src" -B "$old/build" -G Ninja -DGAMESERVER_TESTS=OFF &&
       cmake --build "$old/build" -j 2 --target gameserver &&
       (cd "$old/build" && "$cpack" -G DEB); } >"$build/nspawn/old-release.log" 2>&1; then
    mv "$old"/build/packages/gameserver_"$old_release"_*.deb "$old_deb"
  else
    tail -n 20 "$build/nspawn/old-release.log" >&2
    fail "release $old_release did not build (log: $build/nspawn/old-release.log)"
  fi
  rm -rf "$old"
fi
[ -f "$old_deb" ] || echo "Not shown: the upgrade from $old_release (commit $old_commit is not in $source's history)"

# What a run that was killed outright left behind.
rm -rf "$build"/nspawn/run.*
scratch=$(mktemp -d "$build/nspawn/run.XXXXXX")
nspawn_pid='' list_pid='' clients=() leader=''
# The container's console, its failed units and journal, and who holds port 80.
check_state() {
  echo "-- the container's console (last 40 lines)"
  tail -n 40 "$scratch/boot.log"
  if [ -n "$leader" ] && kill -0 "$leader" 2>/dev/null; then
    echo "-- failed units"
    inside systemctl --failed --no-pager
    echo "-- journal of this boot (last 80 lines)"
    inside journalctl -b --no-pager -n 80
  fi
  echo "-- port 80"
  ss -ltnp 'sport = :80'
}
check_cleanup() {
  set +e
  for pid in "${clients[@]}" $list_pid; do kill "$pid" 2>/dev/null; done
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    kill -TERM "$nspawn_pid"  # a clean shutdown of the container
    timeout 30 tail --pid="$nspawn_pid" -f /dev/null || kill -KILL "$nspawn_pid"
  fi
  wait 2>/dev/null
  rm -rf "$scratch"
}
trap 'exit 1' INT TERM

# The package, and the same build as a newer release to upgrade to.
if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/deb" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  fail "cpack could not build the .deb"
fi
version=$(dpkg-deb -f "$scratch"/deb/gameserver_*.deb Version)
newer=$(awk -F. -v OFS=. '{ $NF = $NF + 1; print }' <<<"$version")
if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -R "$newer" -B "$scratch/newer" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  fail "cpack could not build the .deb of $newer"
fi
# The newer .deb as the next releases: one whose program crashes while it
# takes over, and a good one after it.
next() { awk -F. -v OFS=. '{ $NF = $NF + 1; print }' <<<"$1"; }
failing=$(next "$newer") good=$(next "$(next "$newer")")
# Repacks the newer .deb as release VERSION into OUT, with PROGRAM, if given,
# as its /usr/bin/gameserver.
repack() {
  local out=$1 release=$2 program=${3:-} tree=$scratch/repack sum
  rm -rf "$tree"
  dpkg-deb -R "$scratch"/newer/gameserver_*.deb "$tree"
  sed -i "s/^Version: .*/Version: $release/" "$tree/DEBIAN/control"
  if [ -n "$program" ]; then
    install -m 755 "$program" "$tree/usr/bin/gameserver"
    strip "$tree/usr/bin/gameserver"
    if [ -f "$tree/DEBIAN/md5sums" ]; then
      sum=$(cd "$tree" && md5sum usr/bin/gameserver)
      sed -i "s|^[0-9a-f]*  usr/bin/gameserver\$|$sum|" "$tree/DEBIAN/md5sums"
      grep -qxF "$sum" "$tree/DEBIAN/md5sums" || fail "md5sums of the repacked .deb lacks usr/bin/gameserver"
    fi
  fi
  dpkg-deb --root-owner-group -b "$tree" "$out" >/dev/null || fail "dpkg-deb could not build the .deb of $release"
  rm -rf "$tree"
}
root=$scratch/root
mkdir "$root"
cp -a --reflink=auto "$cache/." "$root/"
cp "$scratch"/deb/gameserver_*.deb "$root/root/gameserver.deb"
cp "$scratch"/newer/gameserver_*.deb "$root/root/gameserver-newer.deb"
[ ! -f "$old_deb" ] || cp "$old_deb" "$root/root/gameserver-old.deb"
repack "$root/root/gameserver-crashing.deb" "$failing" "$crashing"
repack "$root/root/gameserver-good.deb" "$good"

# Runs a command in the container as root there, within a time limit.
inside() { timeout 60 nsenter --target "$leader" --all -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
# Boots the container and waits for its systemd to be up; on failure calls
# the given function (skip at the first boot, fail later). This machine's own
# systemd, if any, is not asked to register or move the container.
boot() {
  local on_failure=$1 began=$SECONDS state='' child
  systemd-nspawn --quiet --register=no --keep-unit --resolv-conf=off --timezone=off \
    --console=passive -D "$root" --boot >"$scratch/boot.log" 2>&1 &
  nspawn_pid=$!
  # The container's init is the child of systemd-nspawn that runs systemd
  # (an intermediate child comes and goes before it).
  leader=''
  for _ in $(seq 300); do
    for child in $(cat "/proc/$nspawn_pid/task/$nspawn_pid/children" 2>/dev/null); do
      [ "$(cat "/proc/$child/comm" 2>/dev/null)" = systemd ] && leader=$child
    done
    [ -n "$leader" ] && break
    kill -0 "$nspawn_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$leader" ]; then
    cat "$scratch/boot.log" >&2
    $on_failure "systemd-nspawn cannot boot a container here"
  fi
  for _ in $(seq 120); do
    state=$(inside systemctl is-system-running 2>/dev/null) || true
    [[ $state == running || $state == degraded ]] && break
    kill -0 "$nspawn_pid" 2>/dev/null || break
    sleep 0.5
  done
  if [[ $state != running && $state != degraded ]]; then
    cat "$scratch/boot.log" >&2
    $on_failure "the container's systemd did not come up (state: '$state')"
  fi
  echo "Booted in $((SECONDS - began)) s ($state)"
}
started=$SECONDS
boot skip

# Waits until the unit's journal of this boot holds a line (-o cat: the
# message alone) that many times.
journal_has() {
  local unit=$1 text=$2 times=${3:-1}
  for _ in $(seq 60); do
    [ "$(inside journalctl -b -u "$unit" -o cat --no-pager | grep -cxF -- "$text")" -ge "$times" ] && return 0
    sleep 0.5
  done
  echo "--- journal of $unit:" >&2
  inside journalctl -b -u "$unit" -o cat --no-pager >&2
  fail "$unit's journal lacks '$text' (${times}x)"
}
console() { inside timeout 10 sh -c 'printf "%s\n" "$1" >"$2"' - "$1" "$2"; }
file_has() {
  for _ in $(seq 120); do grep -qsF -- "$2" "$1" && return 0; sleep 0.5; done
  cat "$1" >&2
  fail "'$2' not in $1"
}
prop() { inside systemctl show -P "$2" "$1"; }
# Fails with the unit's last journal lines.
fail_unit() {
  echo "--- journal of $1:" >&2
  inside journalctl -b -u "$1" -o cat --no-pager -n 40 >&2
  fail "$2"
}
# The file the unit's server runs now, as the kernel names it (" (deleted)"
# once the file at that path was replaced).
program_of() { inside readlink "/proc/$(prop "$1" MainPID)/exe"; }
# Milliseconds since the epoch.
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# apt-get in the container; its output goes to apt.log, the last command's to
# apt-last.log too, shown on failure.
apt_in() {
  local status=0
  inside apt-get -y "$@" >"$scratch/apt-last.log" 2>&1 || status=$?
  cat "$scratch/apt-last.log" >>"$scratch/apt.log"
  [ $status = 0 ] || { cat "$scratch/apt-last.log" >&2; fail "apt-get $*"; }
}
# Fails unless the last apt-get printed the line (what the package's scripts
# print reaches it through a terminal, with CR LF line ends).
apt_said() { tr -d '\r' <"$scratch/apt-last.log" | grep -qxF -- "$1" || { cat "$scratch/apt-last.log" >&2; fail "$2"; }; }

read -r port port1 port2 port3 < <("$peer" ports 4 | xargs)

# A server of release 1.0.0 cannot hand over: the upgrade restarts it, so it
# runs the new program and is not left stopped.
if [ -f "$old_deb" ]; then
  apt_in install /root/gameserver-old.deb
  mkdir -p "$root/etc/gameserver"
  printf '%s\n' "GAMESERVER_OPTS=\"-port $port3 -onlylan\"" >"$root/etc/gameserver/old.conf"
  inside systemctl start gameserver@old
  journal_has gameserver@old "Waiting for connections on port $port3"
  old_pid=$(prop gameserver@old MainPID)
fi

apt_in install /root/gameserver.deb
[ -x "$root/usr/bin/gameserver" ] || fail "the package installed no /usr/bin/gameserver"

if [ -f "$old_deb" ]; then
  [ "$(prop gameserver@old ActiveState)" = active ] ||
    fail_unit gameserver@old "the server of $old_release is $(prop gameserver@old ActiveState) after the upgrade"
  [ "$(prop gameserver@old MainPID)" != "$old_pid" ] && [ "$(program_of gameserver@old)" = /usr/bin/gameserver ] ||
    fail_unit gameserver@old "the server of $old_release was not restarted: it runs $(program_of gameserver@old)"
  journal_has gameserver@old "Stopping server..."
  journal_has gameserver@old "Waiting for connections on port $port3" 2
  grep -qF "Restarting gameserver@old.service" "$scratch/apt.log" || fail "the upgrade did not say it restarted gameserver@old"
  inside systemctl stop gameserver@old
  echo "The upgrade from $old_release restarted its server"
fi

exposure=$(inside systemd-analyze security --no-pager gameserver.service | grep 'Overall exposure level' || true)
echo "${exposure#→ }"
score=$(grep -oE '[0-9]+\.[0-9]+' <<<"$exposure" | head -n 1)
[ -n "$score" ] || fail "systemd-analyze security gave no exposure level"
awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }' || fail "exposure $score is above 2.0"

# One server, announced on a list at 127.0.0.1, which only one test on this
# machine may stand in for at a time.
exec 9>/tmp/port80.lock
waited=$SECONDS
flock -w 300 9 || fail "port 80 stayed taken: /tmp/port80.lock is held by (PID command): $(lslocks -n -o PID,COMMAND,PATH | grep -F /tmp/port80.lock | awk '{ print $1, $2 }' | xargs)"
echo "Port 80 had to be waited for $((SECONDS - waited)) s"
"$peer" list >"$scratch/list.log" &
list_pid=$!
file_has "$scratch/list.log" listening
cat >"$root/etc/default/gameserver" <<EOF
GAMESERVER_NAME="Service test"
GAMESERVER_OPTS="-port $port -maxplayers 8"
GAMESERVER_MASTER_HOST=127.0.0.1
EOF
inside systemctl enable --now gameserver
[ "$(inside systemctl is-enabled gameserver)" = enabled ] || fail "gameserver is not enabled"
journal_has gameserver "Waiting for connections on port $port"
file_has "$scratch/list.log" "GET /add.php?name=Service"
file_has "$scratch/list.log" "&port=$port&"
# The dynamic user: neither root nor a user of the root's passwd file.
uid=$(inside awk '/^Uid:/ { print $2 }' "/proc/$(prop gameserver MainPID)/status")
[ "$uid" -ge 61184 ] && [ "$uid" -le 65519 ] || fail "the server runs as uid $uid"

"$peer" client "$port" alice "Restart in 5 minutes" "Still here after the reload" \
  "Still here after the upgrade" "Still here after the failed upgrade" "Still here after the next upgrade" \
  >"$scratch/alice.log" &
clients+=($!)
file_has "$scratch/alice.log" "logged in"
journal_has gameserver 'Player "alice" connected.'
console players /run/gameserver/console
journal_has gameserver $'1\talice'
console "say Restart in 5 minutes" /run/gameserver/console
file_has "$scratch/alice.log" "chat: Restart in 5 minutes"

# An upgrade in place: systemctl reload returns once it is over, and the
# process, alice's connection and session, and the list entry stay.
pid=$(prop gameserver MainPID)
began=$(now_ms)
inside systemctl reload gameserver || fail_unit gameserver "systemctl reload gameserver failed"
echo "systemctl reload gameserver took $(($(now_ms) - began)) ms"
state=$(prop gameserver ActiveState)
[ "$state" = active ] || fail_unit gameserver "systemctl reload returned with the service $state"
[ "$(prop gameserver MainPID)" = "$pid" ] || fail_unit gameserver "the reload changed the main PID from $pid to $(prop gameserver MainPID)"
journal_has gameserver "Server upgraded to release $version, 1 client kept."
console "say Still here after the reload" /run/gameserver/console
file_has "$scratch/alice.log" "chat: Still here after the reload"

# A newer package: the server upgrades in place to its program.
began=$(now_ms)
apt_in install /root/gameserver-newer.deb
echo "Installing $newer over $version took $(($(now_ms) - began)) ms"
apt_said "Upgraded gameserver.service in place." "the upgrade to $newer did not say it upgraded gameserver"
[ "$(prop gameserver MainPID)" = "$pid" ] || fail_unit gameserver "the upgrade changed the main PID from $pid to $(prop gameserver MainPID)"
[ "$(program_of gameserver)" = /usr/bin/gameserver ] || fail_unit gameserver "after the upgrade the server runs $(program_of gameserver)"
console "say Still here after the upgrade" /run/gameserver/console
file_has "$scratch/alice.log" "chat: Still here after the upgrade"
! grep -qF "GET /delete.php" "$scratch/list.log" || fail "the server left the list during an upgrade"

# A newer package whose program crashes while it takes over: the server runs
# its old program again, in the same process, and the package leaves it
# serving, alice still there, rather than restart it and drop her.
began=$(now_ms)
apt_in install /root/gameserver-crashing.deb
echo "Installing $failing, whose program crashes while it takes over, took $(($(now_ms) - began)) ms"
apt_said "gameserver.service could not upgrade in place and serves on with its old program, so as not to drop its players (journalctl -u gameserver.service says why); restart it (systemctl restart gameserver.service) when its lobby is empty." \
  "the failed upgrade to $failing did not say that gameserver serves on with its old program"
[ "$(prop gameserver MainPID)" = "$pid" ] || fail_unit gameserver "the failed upgrade changed the main PID from $pid to $(prop gameserver MainPID)"
journal_has gameserver "Upgrade failed: /usr/bin/gameserver (release $version) crashed with signal 11 while taking over; the server serves on."
[ "$(program_of gameserver)" = "/usr/bin/gameserver (deleted)" ] ||
  fail_unit gameserver "after the failed upgrade the server runs $(program_of gameserver), not its old program"
console "say Still here after the failed upgrade" /run/gameserver/console
file_has "$scratch/alice.log" "chat: Still here after the failed upgrade"
! grep -qF "GET /delete.php" "$scratch/list.log" || fail "the server left the list during the failed upgrade"

# A good program after it takes over as usual.
apt_in install /root/gameserver-good.deb
apt_said "Upgraded gameserver.service in place." "the upgrade to $good did not say it upgraded gameserver"
[ "$(prop gameserver MainPID)" = "$pid" ] || fail_unit gameserver "the upgrade to $good changed the main PID from $pid to $(prop gameserver MainPID)"
[ "$(program_of gameserver)" = /usr/bin/gameserver ] || fail_unit gameserver "after the upgrade to $good the server runs $(program_of gameserver)"
journal_has gameserver "Server upgraded to release $version, 1 client kept." 3
console "say Still here after the next upgrade" /run/gameserver/console
file_has "$scratch/alice.log" "chat: Still here after the next upgrade"

inside systemctl stop gameserver
journal_has gameserver "Stopping server..."
[ "$(prop gameserver ExecMainStatus)" = 0 ] && [ "$(prop gameserver Result)" = success ] ||
  fail "the stop ended with status $(prop gameserver ExecMainStatus), result $(prop gameserver Result)"
file_has "$scratch/list.log" "GET /delete.php"
kill "$list_pid"
wait "$list_pid" || true
list_pid=''
flock -u 9

# Off the list from now on: the options changed, the server restarted.
sed -i 's/^GAMESERVER_OPTS=.*/GAMESERVER_OPTS="-port '"$port"' -onlylan"/' "$root/etc/default/gameserver"
inside systemctl restart gameserver
journal_has gameserver "Waiting for connections on port $port" 2

# Two more from the templates, each on its own port.
mkdir -p "$root/etc/gameserver"
printf '%s\n' 'GAMESERVER_NAME="Lobby one"' "GAMESERVER_OPTS=\"-port $port1 -onlylan\"" >"$root/etc/gameserver/lobby1.conf"
printf '%s\n' "GAMESERVER_OPTS=\"-port $port2 -onlylan -maxplayers 8\"" >"$root/etc/gameserver/lobby2.conf"
inside systemctl enable --now gameserver@lobby1 gameserver@lobby2
journal_has gameserver@lobby1 "Waiting for connections on port $port1"
journal_has gameserver@lobby2 "Waiting for connections on port $port2"
"$peer" client "$port2" bob "Lobby two closes" >"$scratch/bob.log" &
clients+=($!)
file_has "$scratch/bob.log" "logged in"
journal_has gameserver@lobby2 'Player "bob" connected.'
console players /run/gameserver/lobby2.console
journal_has gameserver@lobby2 $'1\tbob'
console "say Lobby two closes" /run/gameserver/lobby2.console
file_has "$scratch/bob.log" "chat: Lobby two closes"

# Enabled means started at boot: the container is powered off and booted
# again.
inside systemctl poweroff || true
timeout 60 tail --pid="$nspawn_pid" -f /dev/null || fail "the container did not power off"
wait "$nspawn_pid" || true
boot fail
journal_has gameserver "Waiting for connections on port $port"
journal_has gameserver@lobby1 "Waiting for connections on port $port1"
journal_has gameserver@lobby2 "Waiting for connections on port $port2"

# A crash: systemd starts the server again.
crashed=$(prop gameserver@lobby1 MainPID)
inside sh -c 'kill -9 "$1"' - "$crashed"
journal_has gameserver@lobby1 "Waiting for connections on port $port1" 2
[ "$(prop gameserver@lobby1 NRestarts)" = 1 ] || fail "lobby1 restarted $(prop gameserver@lobby1 NRestarts) times"

# The options file is the operator's: a reinstall keeps the edits, a purge
# deletes it, and the instances' files stay. The reinstall replaces the
# program file: the template's servers upgrade in place too.
"$peer" client "$port2" carol "Still here after the reinstall" >"$scratch/carol.log" &
clients+=($!)
file_has "$scratch/carol.log" "logged in"
lobby2_pid=$(prop gameserver@lobby2 MainPID)
apt_in install --reinstall /root/gameserver-good.deb
grep -qxF "GAMESERVER_OPTS=\"-port $port -onlylan\"" "$root/etc/default/gameserver" ||
  fail "the reinstall did not keep the edited options file"
for unit in gameserver gameserver@lobby1 gameserver@lobby2; do
  [ "$(program_of $unit)" = /usr/bin/gameserver ] || fail_unit $unit "after the reinstall $unit runs $(program_of $unit)"
done
[ "$(prop gameserver@lobby2 MainPID)" = "$lobby2_pid" ] || fail_unit gameserver@lobby2 "the reinstall changed lobby2's main PID"
console "say Still here after the reinstall" /run/gameserver/lobby2.console
file_has "$scratch/carol.log" "chat: Still here after the reinstall"

apt_in remove gameserver
for unit in gameserver gameserver@lobby1 gameserver@lobby2; do
  [ "$(prop "$unit" ActiveState)" = inactive ] || fail "$unit is $(prop "$unit" ActiveState) after apt remove"
done
journal_has gameserver "Stopping server..."
journal_has gameserver@lobby1 "Stopping server..."
journal_has gameserver@lobby2 "Stopping server..."
! inside sh -c 'cat /proc/[0-9]*/comm' | grep -qx gameserver || fail "a gameserver process is left"
apt_in purge gameserver
[ ! -e "$root/etc/default/gameserver" ] || fail "the purge left /etc/default/gameserver"
[ -f "$root/etc/gameserver/lobby1.conf" ] || fail "the purge took /etc/gameserver/lobby1.conf"
echo "All steps passed in $((SECONDS - started)) s"
