#!/usr/bin/env bash
# The Debian package: built with CPack from a finished build tree, checked by
# lintian, installed into a scratch root with dpkg --root, its files checked
# where they land (programs, desktop entry, icons, man pages, copyright,
# and the udev rule once the source tree has one), the installed viewer run
# through the end-to-end smoke from its installed path, then purged again
# leaving nothing behind.
#
#   test_package.sh SOURCE_DIR BUILD_DIR X11_PROBE
#
# A failure keeps its folder (/tmp/kavri-package.*) with the package, the
# scratch root and the logs.
set -uo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
probe=$3

work=$(mktemp -d /tmp/kavri-package.XXXXXX)
root=$work/root
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
die() { echo "FAIL: $*"; echo "kept $work"; exit 1; }

for tool in cpack dpkg dpkg-deb lintian desktop-file-validate identify readelf; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/install-deps installs it)"
done

# --- build -----------------------------------------------------------------
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out") >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log"; die "cpack failed"; }
deb=$(ls "$work"/out/kavri-viewer_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || die "no package in $work/out"
echo "package: $(basename "$deb")"

[ "$(dpkg-deb -f "$deb" Package)" = kavri-viewer ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Section)" = net ] || fail "section"
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
# Worked out by dpkg-shlibdeps, not written by hand.
for lib in libc6 libstdc++6 libsdl2 libavcodec libswscale; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib"
done
# Every entry of the archive belongs to root.
if dpkg-deb -c "$deb" | awk '$2 != "root/root"' | grep -q .; then
  fail "files not owned by root: $(dpkg-deb -c "$deb" | awk '$2 != "root/root"' | head -n 3)"
fi

# --- lintian ---------------------------------------------------------------
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; fail "lintian"; }
sed -i '/^running with root privileges/d' "$work/lintian.log"
[ -s "$work/lintian.log" ] && { echo "lintian says:"; cat "$work/lintian.log"; }

# --- install into a scratch root ---------------------------------------------
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
: >"$root/var/lib/dpkg/status"
if [ "$(id -u)" -eq 0 ]; then
  # The scratch root holds none of the libraries: the host's serve the
  # programs, so their dependencies are waived here.
  dpkg --root="$root" --log=/dev/null --force-depends --force-script-chrootless -i "$deb" \
       >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; die "dpkg -i failed"; }
  installed_with=dpkg
else
  # dpkg --root writes its database as root; unprivileged, the archive is unpacked.
  dpkg-deb -x "$deb" "$root" || die "dpkg-deb -x failed"
  installed_with=dpkg-deb
  echo "not root: unpacked with dpkg-deb -x instead of installing with dpkg --root"
fi

expect_file() { # path mode
  [ -f "$root/$1" ] || { fail "missing /$1"; return 1; }
  [ "$(stat -c %a "$root/$1")" = "$2" ] || fail "/$1 has mode $(stat -c %a "$root/$1"), not $2"
}
for f in bin/kavri-viewer bin/kavri-dongle-sim; do expect_file usr/$f 755; done
for f in applications/kavri-viewer.desktop icons/hicolor/scalable/apps/kavri-viewer.svg \
  doc/kavri-viewer/copyright doc/kavri-viewer/changelog.gz; do
  expect_file usr/share/$f 644
done
for size in 16 32 48 64 128 256; do
  icon=usr/share/icons/hicolor/${size}x${size}/apps/kavri-viewer.png
  expect_file "$icon" 644 && { [ "$(identify -format %wx%h "$root/$icon")" = "${size}x${size}" ] || fail "/$icon is not ${size}x${size}"; }
done
for page in kavri-viewer kavri-dongle-sim; do
  expect_file usr/share/man/man1/$page.1.gz 644 &&
    { zcat "$root/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH ${page^^} 1" || fail "man page of $page"; }
done
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
  "$root/usr/share/doc/kavri-viewer/copyright" || fail "copyright is not in the machine-readable format"
grep -q 'Bitstream Vera' "$root/usr/share/doc/kavri-viewer/copyright" || fail "copyright lacks the font licence"

# Nothing outside /usr (the merged /usr layout of Debian 12).
outside=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v -e '^\./$' -e '^\./usr/' || true)
[ -z "$outside" ] || fail "files outside /usr: $outside"

# Stripped programs that find every library they need.
for prog in kavri-viewer kavri-dongle-sim; do
  readelf -S "$root/usr/bin/$prog" | grep -q '\.debug_info' && fail "$prog is not stripped"
  ldd "$root/usr/bin/$prog" | grep -q 'not found' && fail "$prog: $(ldd "$root/usr/bin/$prog" | grep 'not found')"
done

# The desktop entry: valid, starts the installed program, names the icon.
entry=$root/usr/share/applications/kavri-viewer.desktop
desktop-file-validate "$entry" || fail "desktop-file-validate"
grep -qx 'Exec=kavri-viewer' "$entry" || fail "Exec is not kavri-viewer"
grep -qx 'Icon=kavri-viewer' "$entry" || fail "Icon is not kavri-viewer"
grep -q '^Categories=.*Network;' "$entry" && grep -q '^Categories=.*RemoteAccess;' "$entry" \
  || fail "Categories lack Network;RemoteAccess"

# The udev rule, the same file as in the source tree.
rule=usr/lib/udev/rules.d/70-kavri-viewer.rules
expect_file $rule 644 && { cmp -s "$src/packaging/udev/70-kavri-viewer.rules" "$root/$rule" || fail "/$rule differs"; }

# --- the installed viewer against the simulated dongle ----------------------
echo "== end-to-end smoke from $root/usr/bin"
# How fast the viewer ends is the end-to-end test's own check; here it is the
# installed programs that matter, so a busy machine gets more time. Both
# protocol generations stream.
if KAVRI_E2E_EXIT_LIMIT_MS=${KAVRI_E2E_EXIT_LIMIT_MS:-3000} KAVRI_E2E_SCENARIOS="secured typed" \
  bash "$src/tests/e2e/test_connect_e2e.sh" "$root/usr/bin/kavri-viewer" "$root/usr/bin/kavri-dongle-sim" \
  "$probe" >"$work/e2e.log" 2>&1; then
  grep -E '^ok:' "$work/e2e.log"
else
  cat "$work/e2e.log"
  fail "end-to-end smoke of the installed viewer"
fi

# --- remove ----------------------------------------------------------------
if [ "$installed_with" = dpkg ]; then
  dpkg --root="$root" --log=/dev/null --force-script-chrootless --purge kavri-viewer \
       >>"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --purge failed"; }
  left=$(cd "$root" && find . -path ./var/lib/dpkg -prune -o ! -type d -print)
  [ -z "$left" ] || fail "left after purge: $left"
  left=$(cd "$root" && find usr -mindepth 1 2>/dev/null | head -n 5)
  [ -z "$left" ] || fail "folders left after purge: $left"
  dpkg --root="$root" -s kavri-viewer >/dev/null 2>&1 && fail "still known to dpkg after purge"
fi

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed; kept $work"
  exit 1
fi
rm -rf "$work"
echo "package test passed"
