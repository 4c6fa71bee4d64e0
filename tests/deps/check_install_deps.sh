#!/usr/bin/env bash
# scripts/install-deps and the make targets' use of it, without installing
# anything: the script runs with a PATH of stand-ins only (no build tool is
# found; `id` says who runs it, `apt-get` notes its arguments), and make -n
# shows which groups each target installs.
# Usage: check_install_deps.sh SOURCE_DIR
set -uo pipefail
source_dir=$1
script=$source_dir/scripts/install-deps
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() {
  echo "FAIL: $*"
  status=1
}

# stub NAME BODY: a stand-in command in $work/bin.
mkdir -p "$work/bin"
stub() {
  printf '#!/bin/bash\n%s\n' "$2" >"$work/bin/$1"
  chmod +x "$work/bin/$1"
}
stub apt-get "echo \"\$*\" >>$work/apt.log"
# deps UID ARG...: runs the script as user UID; its output in $work/out.
deps() {
  stub id "echo $1"
  shift
  rm -f "$work/apt.log"
  PATH=$work/bin "$BASH" "$script" "$@" >"$work/out" 2>&1
}
apt_calls() { cat "$work/apt.log" 2>/dev/null; }

# As root, the missing packages of the groups asked for, and only those, go to
# apt-get after an update.
deps 0 build
expected=$'update\ninstall -y --no-install-recommends cmake ninja-build g++ make'
[ "$(apt_calls)" = "$expected" ] || fail "root, build: apt-get got: $(apt_calls)"

# Not root: nothing is installed; the message names every missing package
# and the command that installs them.
deps 1000 build
code=$?
[ $code -eq 1 ] || fail "not root, build: exit $code, expected 1"
[ -z "$(apt_calls)" ] || fail "not root, build: apt-get was run"
grep -q 'sudo apt-get install cmake ninja-build g++ make' "$work/out" \
  || fail "not root, build: no install command in: $(cat "$work/out")"

# Nothing missing: done, without root and without apt-get.
for tool in cmake ninja g++ make; do stub "$tool" true; done
deps 1000 build
code=$?
[ $code -eq 0 ] || fail "build installed: exit $code: $(cat "$work/out")"
[ -z "$(apt_calls)" ] || fail "build installed: apt-get was run"
rm -f "$work/bin/cmake" "$work/bin/ninja" "$work/bin/g++" "$work/bin/make"

# An unknown group stops everything, also the groups before it.
deps 0 build no-such-group
code=$?
[ $code -eq 2 ] || fail "unknown group: exit $code, expected 2"
[ -z "$(apt_calls)" ] || fail "unknown group: apt-get was run"
grep -q 'no-such-group' "$work/out" || fail "unknown group: not named in: $(cat "$work/out")"

# A package asked for twice, by one group or by two, is listed once; no group
# and `all` both mean every group.
list() { PATH=$work/bin "$BASH" "$script" --list "$@"; }
[ "$(list build build | sort)" = "$(list build | sort)" ] || fail "build twice lists: $(list build build)"
every=$(list all)
[ -z "$(sort <<<"$every" | uniq -d)" ] || fail "all lists twice: $(sort <<<"$every" | uniq -d)"
[ "$(list)" = "$every" ] || fail "no group lists other packages than all"
[ "$(list windows build tests windows | sort -u)" = "$(list windows build tests | sort -u)" ] \
  || fail "groups repeated change the list"

# The make targets: what each installs before it builds.
installs() {
  local groups
  groups=$(make -s -n -C "$source_dir" "$1" 2>/dev/null | sed -n 's|^scripts/install-deps *||p' | tr '\n' ' ')
  # shellcheck disable=SC2086
  list $groups | sort -u
}
[ "$(installs run | tr '\n' ' ')" = "cmake g++ make ninja-build " ] \
  || fail "make run installs: $(installs run | tr '\n' ' ')"
installs build | grep -qx libgtest-dev || fail "make build does not install GoogleTest"
for target in run build package; do
  for heavy in wine64 podman clang g++-mingw-w64-x86-64-posix debootstrap; do
    installs "$target" | grep -qx "$heavy" && fail "make $target installs $heavy"
  done
done
installs image | grep -qx podman || fail "make image does not install podman"
[ "$(installs test)" = "$(sort -u <<<"$every")" ] || fail "make test does not install every group"

[ $status -eq 0 ] && echo "install-deps: all checks passed"
exit $status
