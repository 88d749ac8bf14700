#!/bin/sh
# Installs the build into a staging directory as a distribution does
# (DESTDIR, prefix /usr), checks the installed tree file by file, runs the
# installed programs, builds a program against the installed library
# through pkg-config, and uninstalls again from the install manifest.
#   install_test.sh <build dir> <source dir> <libdir> <c++ compiler>
#                   <extra compile flags> <program>...
set -u
build=$1 src=$2 libdir=$3 cxx=$4 flags=$5
shift 5
work=$(mktemp -d "${TMPDIR:-/tmp}/sorn-install.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
dest=$work/dest
status=0
fail() { echo "FAIL: $*"; status=1; }

if ! DESTDIR=$dest cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  fail "cmake --install"
  exit 1
fi

# The tree, exactly: nothing missing, nothing extra, the right modes.
{
  echo "usr/$libdir/libsorn.a 644"
  echo "usr/$libdir/pkgconfig/sorn.pc 644"
  for h in util/util.h db/db.h archive/archive.h integrate/integrate.h; do
    echo "usr/include/sorn/$h 644"
  done
  for prog in "$@"; do
    case $prog in
      wardrun) dir=bin section=1 ;;
      *) dir=sbin section=8 ;;
    esac
    echo "usr/$dir/$prog 755"
    echo "usr/share/man/man$section/$prog.$section 644"
    echo "usr/share/bash-completion/completions/$prog 644"
  done
} | LC_ALL=C sort >"$work/want"
(cd "$dest" && find . ! -type d -exec stat -c '%n %a' {} + | sed 's|^\./||' | LC_ALL=C sort) >"$work/got"
if ! cmp -s "$work/want" "$work/got"; then
  fail "installed tree differs (- expected, + installed):"
  diff -u "$work/want" "$work/got" | tail -n +3
fi

# The installed programs run, and their manual pages quote their messages
# byte for byte.
for prog in zarnin zarnout; do
  [ -x "$dest/usr/sbin/$prog" ] || continue
  got=$("$dest/usr/sbin/$prog" -v)
  [ "$got" = "$prog (sorn) 1.6.1" ] || fail "$prog -v printed '$got'"
  message=$("$dest/usr/sbin/$prog" 2>&1)
  [ "$message" = "$prog: no package specified — try -h" ] || fail "$prog without operand: '$message'"
  if command -v mandoc >/dev/null 2>&1; then
    mandoc -Tutf8 "$dest/usr/share/man/man8/$prog.8" | sed 's/.\x08//g' >"$work/$prog.txt"
    grep -qF -- "$message" "$work/$prog.txt" || fail "$prog.8 does not quote '$message'"
  fi
done

if [ -x "$dest/usr/bin/wardrun" ]; then
  message=$("$dest/usr/bin/wardrun" 2>&1)
  [ "$message" = "usage: wardrun [-p standard|cargo] <command> [args...]" ] ||
    fail "wardrun without arguments: '$message'"
  if command -v mandoc >/dev/null 2>&1; then
    mandoc -Tutf8 "$dest/usr/share/man/man1/wardrun.1" | sed 's/.\x08//g' >"$work/wardrun.txt"
    grep -qF -- "$message" "$work/wardrun.txt" || fail "wardrun.1 does not quote '$message'"
  fi
fi

# pkg-config finds the staged library the way a distribution's build does,
# and a program builds and runs against the installed headers alone.
pc() {
  PKG_CONFIG_LIBDIR=$dest/usr/$libdir/pkgconfig PKG_CONFIG_SYSROOT_DIR=$dest \
    pkg-config "$@" sorn
}
if command -v pkg-config >/dev/null 2>&1; then
  [ "$(pc --modversion)" = 1.6.1 ] || fail "pkg-config --modversion: $(pc --modversion)"
  grep -qx 'prefix=/usr' "$dest/usr/$libdir/pkgconfig/sorn.pc" || fail "sorn.pc does not name prefix /usr"
  cat >"$work/use.cc" <<'CC'
#include <cstdio>
#include <cstdlib>

#include "archive/archive.h"
#include "db/db.h"
#include "integrate/integrate.h"

int main() {
  char* path = root_path("/mnt", "etc/x");
  std::puts(path);
  std::free(path);
  return 0;
}
CC
  # shellcheck disable=SC2046,SC2086  # word splitting of the flags intended
  if "$cxx" -std=c++20 $flags -o "$work/use" "$work/use.cc" $(pc --cflags --libs) \
       >"$work/cc.log" 2>&1; then
    [ "$("$work/use")" = /mnt/etc/x ] || fail "program built against the install"
  else
    cat "$work/cc.log"
    fail "building against the installed library"
  fi
else
  echo "pkg-config is not installed: library use not checked"
fi

# Uninstall from the manifest leaves no file and no include/sorn.
DESTDIR=$dest cmake -DMANIFEST="$build/install_manifest.txt" -P "$src/cmake/uninstall.cmake" >/dev/null ||
  fail "uninstall"
left=$(cd "$dest" && find . ! -type d)
[ -z "$left" ] || fail "left after uninstall: $left"
[ ! -e "$dest/usr/include/sorn" ] || fail "include/sorn left after uninstall"

[ $status = 0 ] && echo "installed tree, programs, pkg-config and uninstall as expected"
exit $status
