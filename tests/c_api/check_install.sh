#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks the library from a C user's side.
set -euo pipefail
build=$1
here=$2
work=$(mktemp -d /tmp/kivo8-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libkivo8.so' | head -n1)")
[ -n "$libdir" ] || { echo "libkivo8.so not installed"; exit 1; }
[ -f "$libdir/libkivo8.a" ] || { echo "libkivo8.a not installed"; exit 1; }
[ -d "$prefix/include/kivo8" ] || { echo "headers not installed"; exit 1; }

# SONAME and version.
soname=$(readelf -d "$libdir/libkivo8.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libkivo8.so.8" ] || { echo "unexpected SONAME '$soname'"; exit 1; }

# Route 1: pkg-config, strict C99.
export PKG_CONFIG_PATH=$libdir/pkgconfig
gcc -std=c99 -Wall -Wextra -Werror -pedantic-errors "$here/consumer.c" -o "$work/c1" \
  $(pkg-config --cflags --libs kivo8)
LD_LIBRARY_PATH=$libdir "$work/c1"

# Route 2: find_package(kivo8) giving kivo8::kivo8.
cmake -S "$here/consumer" -B "$work/c2" -G Ninja -DCMAKE_C_COMPILER=gcc \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/c2" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/c2/consumer"

# The shared library exports the interface and nothing else: every listed name is
# there, every name marked '!' is not, and no C++ or underscore-internal name leaks.
exported=$(nm -D --defined-only "$libdir/libkivo8.so" | awk '{print $3}' | sort -u)
status=0
for list in "$here"/symbols/*.txt; do
  while read -r name; do
    case "$name" in
      ""|"#"*) continue ;;
      "!"*) if grep -qx "${name#!}" <<<"$exported"; then echo "internal name exported: ${name#!}"; status=1; fi ;;
      *) if ! grep -qx "$name" <<<"$exported"; then echo "missing export: $name ($(basename "$list"))"; status=1; fi ;;
    esac
  done < "$list"
done
leaked=$(grep -E '^(_|_Z)' <<<"$exported" | grep -vE '^(_init|_fini|_edata|_end|__bss_start)$' || true)
if [ -n "$leaked" ]; then echo "names that must stay hidden are exported:"; echo "$leaked"; status=1; fi
[ $status -eq 0 ] && echo "installed library ok: $(wc -l <<<"$exported") exported names"
exit $status
