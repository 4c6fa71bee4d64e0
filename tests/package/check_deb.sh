#!/bin/bash
# Builds the .deb from a build tree and checks it the way an operator gets it:
# its metadata and contents, its systemd units, and the unpacked program run
# with its console on a FIFO as the socket unit gives it.
# Exits 77 (skipped) where the Debian tools or systemd-analyze are missing.
# Usage: check_deb.sh CPACK BUILD_DIR CONSOLE_FIFO_TEST
set -euo pipefail
cpack=$1 build=$2 fifo_test=$3
here=$(cd "$(dirname "$0")" && pwd)
# Its log: build/package-logs/deb.log.
. "$here/check_log.sh" "$build" deb "$@"

for tool in dpkg-deb dpkg systemd-analyze; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed" >&2
    exit 77
  fi
done

scratch=$(mktemp -d "$build/deb-check.XXXXXX")
check_cleanup() { rm -rf "$scratch"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  fail "cpack could not build the .deb"
fi
debs=("$scratch"/gameserver_*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "expected one gameserver_*.deb, got: ${debs[*]}"
deb=${debs[0]}

# Metadata.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = gameserver ] || fail "package name is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture is '$(field Architecture)'"
[ -n "$(field Version)" ] && [ -n "$(field Maintainer)" ] && [ -n "$(field Description)" ] ||
  fail "Version, Maintainer or Description is empty"
depends=", $(field Depends),"
for lib in libc6 libstdc++6; do
  [[ $depends == *", $lib "* || $depends == *", $lib,"* ]] || fail "Depends does not name $lib: $(field Depends)"
done

# Contents.
listing=$(dpkg-deb -c "$deb" | awk '{ print $1, $NF }')
for want in '-rwxr-xr-x ./usr/bin/gameserver' \
            '-rwxr-xr-x ./usr/bin/gameserver-probe' \
            '-rw-r--r-- ./usr/share/doc/gameserver/README.md' \
            '-rw-r--r-- ./etc/default/gameserver' \
            '-rw-r--r-- ./usr/lib/systemd/system/gameserver.service' \
            '-rw-r--r-- ./usr/lib/systemd/system/gameserver.socket' \
            '-rw-r--r-- ./usr/lib/systemd/system/gameserver@.service' \
            '-rw-r--r-- ./usr/lib/systemd/system/gameserver@.socket'; do
  grep -qxF -- "$want" <<<"$listing" || fail "missing from the package: $want"
done
dpkg-deb -e "$deb" "$scratch/control"
[ "$(cat "$scratch/control/conffiles")" = /etc/default/gameserver ] || fail "conffiles: $(cat "$scratch/control/conffiles")"
for script in postinst prerm postrm; do
  sh -n "$scratch/control/$script" || fail "$script does not parse"
done

# The units, unpacked. systemd-analyze checks them against the unpacked tree
# (the program they start must exist there) and needs the host's targets.
root=$scratch/root
dpkg -x "$deb" "$root"
units=$root/usr/lib/systemd/system
for dir in /usr/lib/systemd/system /lib/systemd/system; do
  if [ -f "$dir/sysinit.target" ]; then
    cp "$dir"/*.target "$units/"
    break
  fi
done
# The system's programs the units call beside the server (a reload runs two).
mkdir -p "$root/bin"
cp /bin/sh /bin/systemd-notify "$root/bin/"
if ! out=$(systemd-analyze verify --man=no --root="$root" \
             gameserver.service gameserver.socket gameserver@lobby.service gameserver@lobby.socket 2>&1) ||
   [ -n "$out" ]; then
  echo "$out" >&2
  fail "systemd-analyze verify"
fi
# What verify cannot see: the console reaches the server, its output the
# journal, and only root writes commands.
for service in gameserver.service gameserver@.service; do
  for line in StandardInput=socket StandardOutput=journal StandardError=journal DynamicUser=yes; do
    grep -qxF "$line" "$units/$service" || fail "$service lacks $line"
  done
done
# The options reach the program: every variable its command line uses is one
# the options file sets, and the service reads the file the package ships.
grep -qxF EnvironmentFile=-/etc/default/gameserver "$units/gameserver.service" ||
  fail "gameserver.service does not read /etc/default/gameserver"
grep -qxF EnvironmentFile=/etc/gameserver/%i.conf "$units/gameserver@.service" ||
  fail "gameserver@.service does not read /etc/gameserver/NAME.conf"
for service in gameserver.service gameserver@.service; do
  exec_start=$(grep '^ExecStart=/usr/bin/gameserver ' "$units/$service") || fail "$service: ExecStart"
  used=$(grep -oE '\$\{?[A-Z_]+' <<<"$exec_start" | tr -d '${' | sort -u)
  [ -n "$used" ] || fail "$service passes no options"
  for var in $used; do
    grep -qE "^$var=" "$root/etc/default/gameserver" || fail "$service uses $var, which the options file lacks"
  done
done
grep -qxF ListenFIFO=/run/gameserver/console "$units/gameserver.socket" || fail "gameserver.socket: console path"
grep -qxF ListenFIFO=/run/gameserver/%i.console "$units/gameserver@.socket" || fail "gameserver@.socket: console path"
grep -qxF SocketMode=0600 "$units/gameserver.socket" && grep -qxF SocketMode=0600 "$units/gameserver@.socket" ||
  fail "a console FIFO is not root's alone"

# The unpacked program with its console on a FIFO.
mkfifo -m 600 "$scratch/console"
GAMESERVER_PACKAGED_BIN=$root/usr/bin/gameserver GAMESERVER_CONSOLE_FIFO=$scratch/console \
  GAMESERVER_COMMAND=$here/console_on_fifo.sh "$fifo_test"
