#!/bin/bash
# Builds the Windows installer from gameserver.wxs with wixl and checks the
# tables it wrote: wixl writes some custom actions and relative scheduling
# wrongly and still ends with exit code 0. A package that fails the check is
# not left behind.
# Usage: build-msi.sh WXS GAMESERVER_EXE README VERSION STRIP OUTPUT_MSI
set -euo pipefail
if [ $# != 6 ]; then
  echo "usage: build-msi.sh WXS GAMESERVER_EXE README VERSION STRIP OUTPUT_MSI" >&2
  exit 2
fi
wxs=$(realpath "$1") exe=$2 readme=$3 version=$4 strip=$5 out=$6
for tool in wixl msiinfo; do
  command -v "$tool" >/dev/null || { echo "build-msi: $tool is not installed (Debian packages wixl, msitools)" >&2; exit 1; }
done
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "build-msi: version \"$version\" is not MAJOR.MINOR.PATCH" >&2; exit 1; }

mkdir -p "$(dirname "$out")"
stage=$(mktemp -d "$(dirname "$out")/msi-stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
# wixl takes the files' paths relative to where it runs.
"$strip" -o "$stage/gameserver.exe" "$exe"
cp "$readme" "$stage/README.md"
(cd "$stage" && wixl -a x64 -D Version="$version" -D Exe=gameserver.exe -D Readme=README.md -o package.msi "$wxs")

fail() { echo "build-msi: the package is wrong: $*" >&2; exit 1; }
table() { msiinfo export "$stage/package.msi" "$1" | tail -n +4 | tr -d '\r'; }
# row TABLE KEY: the row whose first column is KEY.
row() { table "$1" | awk -F'\t' -v key="$2" '$1 == key'; }
sequence() { row InstallExecuteSequence "$1" | awk -F'\t' '{print $3}'; }

# The stop-and-wait actions run the installed program (type 18: an .exe
# installed by this package), with the service's name.
for action in StopForUpgrade StopForRemoval; do
  line=$(row CustomAction "$action")
  [ -n "$line" ] || fail "no custom action $action"
  type=$(cut -f2 <<<"$line") source=$(cut -f3 <<<"$line") target=$(cut -f4 <<<"$line")
  [ $((type & 63)) = 18 ] || fail "$action has type $type, not an installed program (18)"
  [ "$((type & 0x400))" = 0 ] || fail "$action is deferred (type $type): it must run before anything is removed"
  [ "$source" = GameserverExe ] || fail "$action runs \"$source\", not GameserverExe"
  [ "$target" = "-stopservice [SERVICENAME]" ] || fail "$action has the command \"$target\""
  seq=$(sequence "$action")
  [ -n "$seq" ] || fail "$action is not in the install sequence"
  [ "$seq" -gt "$(sequence CostFinalize)" ] || fail "$action ($seq) runs before CostFinalize resolves the program's path"
  for later in InstallValidate RemoveExistingProducts StopServices DeleteServices RemoveFiles; do
    [ "$seq" -lt "$(sequence $later)" ] || fail "$action ($seq) runs after $later"
  done
done
row InstallExecuteSequence StopForUpgrade | grep -q $'\tWIX_UPGRADE_DETECTED AND NOT REMOVE\t' ||
  fail "StopForUpgrade does not run on an upgrade only"
row InstallExecuteSequence StopForRemoval | grep -q $'\tREMOVE = "ALL"\t' || fail "StopForRemoval does not run on a removal only"
# Columns: key, name, display name, type, start type, ..., arguments (11th).
service=$(row ServiceInstall Service)
[ "$(cut -f2,5 <<<"$service")" = $'[SERVICENAME]\t2' ] || fail "the service is not [SERVICENAME], started automatically: $service"
[[ $(cut -f11 <<<"$service") == "-service [SERVICENAME] "* ]] || fail "the service's command does not start with -service [SERVICENAME]: $service"
[ "$(row Property ProductVersion | cut -f2)" = "$version" ] || fail "the product version is not $version"

mv "$stage/package.msi" "$out"
echo "build-msi: $out"
