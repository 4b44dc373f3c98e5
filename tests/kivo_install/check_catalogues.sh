#!/usr/bin/env bash
# Installs the build with `cmake --install --prefix` into a scratch prefix that is not the
# configured one, and checks that the installed kivo speaks German from the installed
# catalogue, names that catalogue directory as its default, and still does both after
# the whole prefix has moved.
#   check_catalogues.sh BUILD_DIR
set -uo pipefail
build=$1
work=$(mktemp -d /tmp/kivo8-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; echo "FAIL: cmake --install"; exit 1; }
cvt=$(find "$work/prefix" -name localmsgs.cvt -path '*/de/*' | head -n1)
[ -n "$cvt" ] || fail "the German catalogue is not installed under the prefix"

check() {  # check PREFIX
  local kivo=$1/bin/kivo
  local help
  help=$(env -u LD_LIBRARY_PATH -u LANGUAGE -u LC_ALL -u LC_MESSAGES LANG=C.UTF-8 HOME="$work" \
           "$kivo" --lang de --help 2>"$work/err")
  [[ $help == "Aufruf: kivo "* ]] || fail "$kivo --lang de --help is not German: ${help:0:80} $(cat "$work/err")"
  [ -s "$work/err" ] && fail "$kivo --lang de warns: $(cat "$work/err")"
  local datadir
  datadir=$(dirname "$(dirname "$(find "$1" -name localmsgs.cvt -path '*/de/*' | head -n1)")")
  env -u LD_LIBRARY_PATH LANG=C.UTF-8 HOME="$work" "$kivo" --help | grep -qF "(default $datadir)" ||
    fail "$kivo --help does not name $datadir as its catalogue directory"
}
check "$work/prefix"
mv "$work/prefix" "$work/moved"
check "$work/moved"
[ $status -eq 0 ] && echo "installed kivo finds its catalogues"
exit $status
