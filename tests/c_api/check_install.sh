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

# Route 1: pkg-config, strict C99. The prefix is not a system one, so the program is
# given the library's directory as its run path, as the README advises.
export PKG_CONFIG_PATH=$libdir/pkgconfig
gcc -std=c99 -Wall -Wextra -Werror -pedantic-errors "$here/consumer.c" -o "$work/c1" \
  $(pkg-config --cflags --libs kivo8) -Wl,-rpath,"$libdir"
env -u LD_LIBRARY_PATH "$work/c1"

# Route 1, static: `pkg-config --static` must name everything the archive needs (the C++
# runtime among it) for a program linked by the C compiler.
static_libs=$(pkg-config --static --libs kivo8 | sed 's/-lkivo8/-Wl,-Bstatic -lkivo8 -Wl,-Bdynamic/')
gcc -std=c99 -Wall -Wextra -Werror -pedantic-errors "$here/static_consumer.c" -o "$work/s1" \
  $(pkg-config --cflags kivo8) $static_libs
env -u LD_LIBRARY_PATH "$work/s1"

# Route 2: find_package(kivo8) in a C-only project, giving kivo8::kivo8 and
# kivo8::kivo8_static.
cmake -S "$here/consumer" -B "$work/c2" -G Ninja -DCMAKE_C_COMPILER=gcc \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/c2" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/c2/consumer"
env -u LD_LIBRARY_PATH "$work/c2/static_consumer"

# The static programs carry the library: neither needs the shared one.
for program in "$work/s1" "$work/c2/static_consumer"; do
  if readelf -d "$program" | grep -q 'NEEDED.*libkivo8'; then
    echo "$(basename "$program") needs libkivo8.so though it was linked statically"; exit 1
  fi
done

# Manual pages and the bash completion go where man and bash-completion look for them.
if [ -x "$prefix/bin/kivo" ]; then
  for f in share/man/man1/kivo.1 share/man/man1/kivo-mkcat.1 share/bash-completion/completions/kivo; do
    [ -f "$prefix/$f" ] || { echo "$f not installed"; exit 1; }
  done
  MANPATH=$prefix/share/man man -w kivo >/dev/null || { echo "man does not find kivo(1) under the prefix"; exit 1; }
fi

# The installed programs find the library through their relative run path, also after
# the whole prefix has been moved elsewhere.
for tool in kivo kivo-mkcat; do
  if [ -x "$prefix/bin/$tool" ]; then
    env -u LD_LIBRARY_PATH "$prefix/bin/$tool" --help >/dev/null 2>&1 ||
      { echo "installed $tool does not start"; exit 1; }
  fi
done
if [ -x "$prefix/bin/kivo" ]; then
  mv "$prefix" "$work/moved"
  env -u LD_LIBRARY_PATH "$work/moved/bin/kivo" --help >/dev/null ||
    { echo "kivo does not start once its prefix has moved"; exit 1; }
  mv "$work/moved" "$prefix"
fi

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
