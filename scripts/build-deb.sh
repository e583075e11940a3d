#!/usr/bin/env bash
# Builds the Linux package build-deb/kestrav_<version>_<arch>.deb from a
# Release build (build-deb/release), staged with the CMake install rules into
# build-deb/root. The version is the top entry of packaging/changelog, which
# must match the service's own (kServiceVersion); Depends is computed from the
# programs' libraries by dpkg-shlibdeps. Prints the path of the package last.
# Needs dpkg-dev; KV_JOBS sets the build's parallelism (2 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
umask 022

out=build-deb
for tool in dpkg-deb dpkg-shlibdeps dpkg-gencontrol dpkg-parsechangelog; do
  command -v "$tool" >/dev/null || { echo "build-deb.sh: $tool missing (apt-get install dpkg-dev)" >&2; exit 1; }
done

version=$(dpkg-parsechangelog -l packaging/changelog -S Version)
service_version=$(sed -n 's/.*kServiceVersion\[\] = "\(.*\)";.*/\1/p' host/tray_window.h)
if [ "$version" != "$service_version" ]; then
  echo "build-deb.sh: packaging/changelog says $version, the service $service_version" >&2
  exit 1
fi
arch=$(dpkg --print-architecture)

# Debian's hardening flags (PIE, RELRO and BIND_NOW, fortified calls, stack
# protector); CMake reads CFLAGS, CXXFLAGS and LDFLAGS but not CPPFLAGS.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS"

cmake -S . -B "$out/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DKV_TESTS=OFF -DKV_BENCH=OFF >/dev/null
targets=(kestrav-service kestrav-udev-rules)
if cmake --build "$out/release" --target help | grep -q '^kestrav-cert:'; then
  targets+=(kestrav-cert)
fi
cmake --build "$out/release" -j"${KV_JOBS:-2}" --target "${targets[@]}"

root=$out/root
rm -rf "$root" "$out/work" "$out"/*.deb
DESTDIR=$PWD/$root cmake --install "$out/release" >/dev/null
[ -f "$root/usr/lib/udev/rules.d/70-kestrav-readers.rules" ] ||
  { echo "build-deb.sh: no udev rules (is libfprint-2-2 installed?)" >&2; exit 1; }

doc=$root/usr/share/doc/kestrav
install -m 0644 packaging/copyright "$doc/copyright"
gzip -9n <packaging/changelog >"$doc/changelog.gz"
install -d "$root/DEBIAN"
install -m 0755 packaging/postinst packaging/postrm "$root/DEBIAN/"

# dpkg-shlibdeps and dpkg-gencontrol work on a source tree's debian/ folder.
work=$out/work
install -d "$work/debian"
cp packaging/control "$work/debian/control"
cp packaging/changelog "$work/debian/changelog"
mapfile -t programs < <(find "$root/usr/lib/kestrav" -type f -perm -u+x -exec sh -c 'head -c 4 "$1" | grep -q ELF' _ {} \; -print)
# Stripped as Debian's own packages are: no symbols, no compiler notes.
strip --remove-section=.comment --remove-section=.note "${programs[@]}"
find "$root/usr/share/man" -type f -name '*.[0-9]' -exec gzip -9n {} +
echo "misc:Depends=" >"$work/debian/substvars"
(cd "$work" && dpkg-shlibdeps -Tdebian/substvars "${programs[@]/#/../../}" &&
  dpkg-gencontrol -pkestrav -P../root -Tdebian/substvars)
(cd "$root" && find usr -type f -printf '%P\0' | sort -z | sed -z 's|^|usr/|' | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/md5sums" "$root/DEBIAN/control"

deb=$out/kestrav_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
