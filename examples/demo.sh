#!/bin/sh
# Packs the example package "hello" (examples/hello/<version>/) with tar and
# zstd, installs version 1.0-1 into a scratch root under the build folder,
# then upgrades it to 2.0-1, which no longer ships usr/share/hello/, and
# finally removes it again with zarnout.
#
# zarnin and zarnout work only as user ID 0: run this as root, or as any user inside
# a user namespace ("unshare -r sh examples/demo.sh"); a non-root user is
# moved into one automatically when unshare is available.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
build=${BUILD_DIR:?set BUILD_DIR to the build directory that holds zarnin}
zarnin="$build/zarnin"
zarnout="$build/zarnout"

if [ "$(id -u)" != 0 ]; then
  if command -v unshare >/dev/null 2>&1 && [ -z "${SORN_DEMO_UNSHARED:-}" ]; then
    SORN_DEMO_UNSHARED=1 exec unshare -r sh "$0" "$@"
  fi
  echo "demo: zarnin and zarnout must run as root; try: unshare -r sh $0" >&2
  exit 1
fi

demo="$build/demo"
root="$demo/root"
rm -rf "$demo"
mkdir -p "$demo/packages" "$demo/tmp"
# Everything stays inside the demo folder, whatever the caller's settings.
export PKG_DBDIR="$root/var/lib/pkg" TMPDIR="$demo/tmp"
unset PKG_ROOT TAR_OPTIONS

# Packs with examples/pack, which calls the library's package_create. The
# tree is staged first, as a build stages it: copied by root, its files are
# root's whoever checked the sources out.
pack() {
  version=$1
  out="$demo/packages/hello#$version.pkg.tar.zst"
  cp -R "$here/hello/$version" "$demo/stage-$version"
  "$build/examples/pack" -c zst "$demo/stage-$version" "$out" >&2
  echo "$out"
}

show_root() {
  echo "-- files under the root:"
  (cd "$root" && find . -path ./var -prune -o -type f -print | sed 's|^\./|  |' | LC_ALL=C sort)
  echo "-- database record ($PKG_DBDIR/db):"
  sed 's/^/  | /' "$PKG_DBDIR/db"
}

echo "== packing hello 1.0-1 and 2.0-1 with examples/pack (zstd)"
v1=$(pack 1.0-1)
v2=$(pack 2.0-1)
ls -l "$demo/packages" | sed '1d; s/^/  /'

echo
echo "== zarnin -r $root $(basename "$v1")"
"$zarnin" -r "$root" "$v1"
show_root
echo "-- running it: $("$root/usr/bin/hello")"

echo
echo "== installing the same version again is refused"
msg=$("$zarnin" -r "$root" "$v1" 2>&1) && { echo "demo: expected a refusal" >&2; exit 1; }
echo "  $msg"

echo
echo "== zarnin -u -r $root $(basename "$v2")"
"$zarnin" -u -r "$root" "$v2"
show_root
echo "-- running it: $("$root/usr/bin/hello")"
if [ -e "$root/usr/share/hello" ]; then
  echo "demo: usr/share/hello should be gone after the upgrade" >&2
  exit 1
fi
echo "-- usr/share/hello/greetings.txt, dropped by 2.0-1, is gone with its directory"

echo
echo "== zarnout -r $root hello"
"$zarnout" -r "$root" hello
echo "-- what is left under the root:"
(cd "$root" && find . -mindepth 1 | sed 's|^\./|  |' | LC_ALL=C sort)
left=$(cd "$root" && find . -mindepth 1 ! -path ./var ! -path ./var/lib ! -path ./var/lib/pkg ! -path ./var/lib/pkg/db)
if [ -n "$left" ]; then
  echo "demo: the root still holds files of hello:" $left >&2
  exit 1
fi
echo "-- database ($PKG_DBDIR/db): $(wc -c < "$PKG_DBDIR/db") bytes"
if grep -qx hello "$PKG_DBDIR/db"; then
  echo "demo: the database still records hello" >&2
  exit 1
fi
echo "-- hello is no longer recorded; only the database directory remains"
