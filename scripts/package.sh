#!/usr/bin/env bash
# Builds the Debian package orva_<version>_amd64.deb with dpkg-deb from the
# programs of a plain build (scripts/build.sh is run when ORVA_BUILD_DIR is
# not given) and the files in etc/ and package/.
#
#   scripts/package.sh [OUTPUT_DIR]      (default: the top of the tree)
#
# The version is the top entry of package/changelog; its upstream part must
# be ORVA_VERSION in util/version.h. Needs the package set of
# scripts/install-deps.sh (dpkg-dev, binutils; lintian to check the result).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath "${1:-$top}")
build=${ORVA_BUILD_DIR:-}
[ -n "$build" ] || build=$("$top/scripts/build.sh" | tail -n 1)
build=$(realpath "$build")

version=$(dpkg-parsechangelog -l "$top/package/changelog" -S Version)
upstream=$(sed -n 's/.*ORVA_VERSION = "\(.*\)";.*/\1/p' "$top/util/version.h")
if [ "${version%-*}" != "$upstream" ]; then
  echo "package.sh: package/changelog is at $version, util/version.h at $upstream" >&2
  exit 1
fi

programs=("$build/orva" "$build/tools/ipx_relay/orva-ipx-relay" "$build/tools/board_sim/orva-board-sim")
for p in "${programs[@]}"; do
  [ -x "$p" ] || { echo "package.sh: $p is not built" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
doc=$root/usr/share/doc/orva
man=$root/usr/share/man/man1
install -d "$root/DEBIAN" "$root/usr/bin" "$root/lib/systemd/system" "$root/etc/orva" \
  "$root/etc/fail2ban/filter.d" "$root/etc/fail2ban/jail.d" "$root/etc/logrotate.d" "$doc" "$man"

for p in "${programs[@]}"; do
  install -m 0755 "$p" "$root/usr/bin/"
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/bin/$(basename "$p")"
done
install -m 0644 "$top/etc/orva.service" "$root/lib/systemd/system/"
install -m 0644 "$top/etc/orva.conf.xml" "$root/etc/orva/"
install -m 0644 "$top/etc/fail2ban/filter.d/orva.conf" "$root/etc/fail2ban/filter.d/"
install -m 0644 "$top/etc/fail2ban/jail.d/orva.conf" "$root/etc/fail2ban/jail.d/"
install -m 0644 "$top/etc/logrotate.d/orva" "$root/etc/logrotate.d/"
install -m 0644 "$top/package/copyright" "$doc/"
gzip -9n < "$top/package/changelog" > "$doc/changelog.Debian.gz"
gzip -9n < "$top/README.md" > "$doc/README.md.gz"
for page in "$top"/package/man/*.1; do
  gzip -9n < "$page" > "$man/$(basename "$page").gz"
done
chmod 0644 "$doc"/*.gz "$man"/*.gz

# Library dependencies as dpkg-shlibdeps finds them (it wants a control file).
mkdir -p "$work/debian"
printf 'Source: orva\n\nPackage: orva\nArchitecture: amd64\n' > "$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O "$root"/usr/bin/* |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "package.sh: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

(cd "$root" && find etc -type f | sort | sed 's|^|/|') > "$root/DEBIAN/conffiles"
install -m 0755 "$top/package/postinst" "$top/package/prerm" "$top/package/postrm" "$root/DEBIAN/"
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@INSTALLED_SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
  "$top/package/control" > "$root/DEBIAN/control"
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) \
  > "$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/conffiles" "$root/DEBIAN/md5sums"

deb=$out/orva_${version}_amd64.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
