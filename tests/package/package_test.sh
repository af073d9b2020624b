#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# package_test.sh BUILD_DIR SOURCE_DIR VERSION PREFIX
# Packs the build with CPack, installs the package with dpkg into a scratch root (no root needed),
# runs the programs from there and checks the files of a desktop install; Debian's own checker,
# lintian, finds no error in the package. Then checks that a build without tests needs neither
# GoogleTest nor Google Benchmark.
set -euo pipefail
build=$1 source=$2 version=$3 prefix=$4
scratch=$(mktemp -d /tmp/kestrel-package.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

echo "== cpack"
(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1) ||
  { cat "$scratch/cpack.log"; fail "cpack"; }
arch=$(dpkg --print-architecture)
deb="$scratch/out/kestrel_${version}_${arch}.deb"
[ -f "$deb" ] || { ls "$scratch/out"; fail "no $deb"; }
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for library in libasound2 libqt6widgets6 libqt6network6 libstdc++6; do
  grep -q "$library" <<<"$depends" || fail "the computed dependencies miss $library"
done

echo "== dpkg --root"
root="$scratch/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-not-root --force-depends --force-script-chrootless --log=/dev/null -i "$deb" \
  >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "dpkg -i"; }
dpkg --root="$root" --force-not-root -s kestrel | grep -q "^Status: install ok installed" || fail "not installed"

p="$root$prefix"
"$p/bin/kestrel" --version | grep -qx "kestrel $version" || fail "kestrel --version"
"$p/bin/kestrel-ports" --help | grep -q "^Usage: kestrel-ports" || fail "kestrel-ports --help"
"$p/bin/quillon" /x | grep -q "^Usage" || true # prints its usage, exit status 1

id=org.example.kestrel
files=(
  bin/kestrel bin/kestrel-ports bin/quillon
  share/kestrel/Lang.de share/kestrel/Lang.fr
  share/applications/$id.desktop share/metainfo/$id.metainfo.xml
  share/icons/hicolor/scalable/apps/$id.svg
  share/man/man1/kestrel.1.gz share/man/man1/kestrel-ports.1.gz share/man/man1/quillon.1.gz
  share/doc/kestrel/copyright share/doc/kestrel/changelog.gz
)
for size in 16 22 24 32 48 64 128 256; do files+=("share/icons/hicolor/${size}x${size}/apps/$id.png"); done
for f in "${files[@]}"; do [ -s "$p/$f" ] || fail "missing $prefix/$f"; done
units=$(find "$root" -path '*/systemd/user/*.service' | sort)
for unit in kestrel-ports.service kestrel-headless.service; do
  grep -q "/$unit$" <<<"$units" || fail "missing the user unit $unit (units: $units)"
done
grep -q "^ExecStart=$prefix/bin/kestrel --headless$" "$(grep kestrel-headless <<<"$units")" || fail "headless unit"
grep -q "^After=.*kestrel-ports.service" "$(grep kestrel-headless <<<"$units")" || fail "headless unit order"
grep -q "^ExecStart=$prefix/bin/kestrel-ports$" "$(grep kestrel-ports.service <<<"$units")" || fail "ports unit"
for size in 16 48 256; do
  python3 - "$p/share/icons/hicolor/${size}x${size}/apps/$id.png" "$size" <<'PY' || fail "the ${size} px icon"
import struct, sys
data = open(sys.argv[1], "rb").read(24)
assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
assert struct.unpack(">II", data[16:24]) == (int(sys.argv[2]),) * 2, "wrong size"
PY
done

echo "== validators"
desktop-file-validate "$p/share/applications/$id.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$p/share/metainfo/$id.metainfo.xml" || fail "appstreamcli validate"
for page in kestrel kestrel-ports quillon; do
  warnings=$(MANWIDTH=80 man --warnings -l "$p/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
done

# The changelog's latest entry is this version's: a new version needs its entry.
latest=$(gzip -dc "$p/share/doc/kestrel/changelog.gz" | head -1)
grep -q "^kestrel ($version) " <<<"$latest" || fail "the changelog's latest entry is not $version: $latest"
grep -q "^License: GPL-3+$" "$p/share/doc/kestrel/copyright" || fail "the copyright file names no licence"
grep -q "<project_license>GPL-3.0-or-later</project_license>" "$p/share/metainfo/$id.metainfo.xml" ||
  fail "the metainfo's licence"

echo "== lintian"
command -v lintian >/dev/null || fail "lintian is not installed (scripts/setup-deps installs it)"
# lintian judges a package as a distribution ships it, under /usr (scripts/package builds it so).
# A build for another prefix (the tests' /usr/local) is checked moved there: only the paths written
# inside the units differ.
checked=$deb
if [ "$prefix" != /usr ]; then
  tree="$scratch/relocated"
  dpkg-deb -R "$deb" "$tree"
  mkdir -p "$tree/usr.new"
  cp -a "$tree$prefix/." "$tree/usr.new/"
  rm -rf "${tree:?}/usr"
  mv "$tree/usr.new" "$tree/usr"
  (cd "$tree" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$tree/DEBIAN/md5sums"
  checked="$scratch/out/relocated/$(basename "$deb")"
  mkdir -p "$(dirname "$checked")"
  dpkg-deb --root-owner-group -Zxz -b "$tree" "$checked" >/dev/null || fail "dpkg-deb -b"
fi
lintian --fail-on error --display-info "$checked" || fail "lintian found errors in the package"

echo "== a build without tests"
cmake -S "$source" -B "$scratch/notests" -G Ninja -DBUILD_TESTING=OFF >"$scratch/notests.log" 2>&1 ||
  { cat "$scratch/notests.log"; fail "configure with BUILD_TESTING=OFF"; }
if grep -E "^(GTest_DIR|benchmark_DIR):PATH=/" "$scratch/notests/CMakeCache.txt"; then
  fail "a build without tests looked for GoogleTest or Google Benchmark"
fi
grep -q "googletest" "$scratch/notests/CMakeCache.txt" && fail "a build without tests builds GoogleTest"
echo "package test passed: $(basename "$deb")"
