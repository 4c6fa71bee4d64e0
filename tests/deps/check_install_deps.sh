#!/usr/bin/env bash
# scripts/install-deps and the make targets' use of it, installing nothing:
# the script runs with a PATH of stand-ins only (no build tool is found; `id`
# says who runs it, `apt-get` notes its arguments), and make -n shows the
# groups each target installs.
# Usage: check_install_deps.sh SOURCE_DIR
set -uo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }
stub() { printf '#!/bin/bash\n%s\n' "$2" >"$work/bin/$1" && chmod +x "$work/bin/$1"; }
mkdir "$work/bin"
stub apt-get "echo \"\$*\" >>$work/apt.log"
# deps UID ARG...: the script as user UID; exit code in $code, output in $out,
# what apt-get got in $apt.
deps() {
  stub id "echo $1"
  shift
  rm -f "$work/apt.log"
  out=$(PATH=$work/bin "$BASH" "$source_dir/scripts/install-deps" "$@" 2>&1)
  code=$?
  apt=$(cat "$work/apt.log" 2>/dev/null)
}
list() { PATH=$work/bin "$BASH" "$source_dir/scripts/install-deps" --list "$@"; }

deps 0 build
[ "$apt" = $'update\ninstall -y --no-install-recommends cmake ninja-build g++ make' ] \
  || fail "root, build: apt-get got: $apt"
deps 1000 build
[ $code -eq 1 ] && [ -z "$apt" ] || fail "not root, build: exit $code, apt-get got: $apt"
[[ $out == *"sudo apt-get install cmake ninja-build g++ make"* ]] || fail "not root, build: $out"
deps 0 build no-such-group
[ $code -eq 2 ] && [ -z "$apt" ] && [[ $out == *no-such-group* ]] || fail "unknown group: exit $code: $out"

# Nothing missing: done, without root and without apt-get.
for tool in cmake ninja g++ make; do stub "$tool" true; done
deps 1000 build
[ $code -eq 0 ] && [ -z "$apt" ] || fail "build installed: exit $code, apt-get got: $apt"
rm "$work/bin/cmake" "$work/bin/ninja" "$work/bin/g++" "$work/bin/make"

# Each package once, however often its groups are named; no group means all.
every=$(list all)
[ -z "$(sort <<<"$every" | uniq -d)" ] || fail "all lists twice: $(sort <<<"$every" | uniq -d)"
[ "$(list)" = "$every" ] || fail "no group lists other packages than all"
[ "$(list build tests build)" = "$(list build tests)" ] || fail "build twice: $(list build tests build)"

# The make targets: what each installs before it builds.
installs() {
  local groups
  groups=$(env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL make -s -n -C "$source_dir" "$1" 2>/dev/null |
    sed -n 's|^scripts/install-deps *||p' | tr '\n' ' ')
  # shellcheck disable=SC2086
  list $groups | sort -u | tr '\n' ' '
}
[ "$(installs run)" = "cmake g++ make ninja-build " ] || fail "make run installs: $(installs run)"
[[ $(installs build) == *" libgtest-dev "* ]] || fail "make build installs no GoogleTest: $(installs build)"
for target in build package; do
  for heavy in wine64 podman clang debootstrap; do
    [[ $(installs $target) == *" $heavy "* ]] && fail "make $target installs $heavy"
  done
done
[[ $(installs test-windows) == *" msitools "*" wixl "* ]] || fail "make test-windows installs no wixl and msitools: $(installs test-windows)"
[[ $(installs image) == *" podman "* ]] || fail "make image installs no podman: $(installs image)"
[ "$(installs test)" = "$(sort -u <<<"$every" | tr '\n' ' ')" ] || fail "make test installs less than all"

[ $status -eq 0 ] && echo "install-deps: all checks passed"
exit $status
