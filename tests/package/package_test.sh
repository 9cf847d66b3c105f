#!/usr/bin/env bash
# Builds the Debian package from the programs of the build in $1 and checks
# it: the files it holds, its control fields and conffiles, stripped
# programs, the maintainer scripts' syntax, and no error from lintian.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

deb=$(ORVA_BUILD_DIR="$1" "$top/scripts/package.sh" "$work" | tail -n 1)
version=$(dpkg-parsechangelog -l "$top/package/changelog" -S Version)
[ "$deb" = "$work/orva_${version}_amd64.deb" ] || fail "package is $deb"

# Every file, with its mode and owner.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort > "$work/files"
sort > "$work/expected" <<LIST
-rw-r--r-- root/root ./etc/fail2ban/filter.d/orva.conf
-rw-r--r-- root/root ./etc/fail2ban/jail.d/orva.conf
-rw-r--r-- root/root ./etc/logrotate.d/orva
-rw-r--r-- root/root ./etc/orva/orva.conf.xml
-rw-r--r-- root/root ./lib/systemd/system/orva.service
-rw-r--r-- root/root ./usr/share/doc/orva/README.md.gz
-rw-r--r-- root/root ./usr/share/doc/orva/changelog.Debian.gz
-rw-r--r-- root/root ./usr/share/doc/orva/copyright
-rw-r--r-- root/root ./usr/share/man/man1/orva-board-sim.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/orva-ipx-relay.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/orva.1.gz
-rwxr-xr-x root/root ./usr/bin/orva
-rwxr-xr-x root/root ./usr/bin/orva-board-sim
-rwxr-xr-x root/root ./usr/bin/orva-ipx-relay
LIST
diff -u "$work/expected" "$work/files" || fail "the package's files differ from the list"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = orva ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = amd64 ] || fail "Architecture: $(field Architecture)"
for lib in libc6 libstdc++6 libssh-4 libsystemd0 libexpat1 adduser; do
  field Depends | grep -q "\b$lib\b" || fail "Depends lacks $lib: $(field Depends)"
done
[ "$(field Installed-Size)" -gt 0 ] || fail "Installed-Size: $(field Installed-Size)"

dpkg-deb -e "$deb" "$work/control"
printf '%s\n' /etc/fail2ban/filter.d/orva.conf /etc/fail2ban/jail.d/orva.conf /etc/logrotate.d/orva \
  /etc/orva/orva.conf.xml | diff -u - "$work/control/conffiles" || fail "conffiles"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "$script is missing or not executable"
  sh -n "$work/control/$script" || fail "$script: syntax"
done

dpkg-deb -x "$deb" "$work/root"
for program in orva orva-ipx-relay orva-board-sim; do
  if readelf -S "$work/root/usr/bin/$program" | grep -Eq '\.(symtab|debug_info)\b'; then
    fail "$program is not stripped"
  fi
done

lintian --no-cfg "$deb" > "$work/lintian" 2>&1 || true
cat "$work/lintian"
if grep -q '^E:' "$work/lintian"; then
  fail "lintian reports errors"
fi

[ $failures -eq 0 ] || exit 1
echo "package $deb checked"
