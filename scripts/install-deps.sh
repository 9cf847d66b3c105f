#!/usr/bin/env bash
# Installs the Debian packages of the named sets (build when none is named):
#
#   build   building and running ORVA and its tools
#   test    building and running the tests: GoogleTest and the programs the
#           end-to-end tests drive
#   bench   building and running the benchmark, and its reference relay
#   fuzz    building the fuzz targets (clang with libFuzzer)
#   package building the Debian package and checking it with lintian
#   chroot  trying the package by hand in a clean Debian 12 root
#
# e.g. scripts/install-deps.sh build test. Asks apt only when something is
# missing, so a ready machine needs no network.
set -euo pipefail

# The web page's terminal (xterm.js modules, read at start-up) and its font
# are served by the running ORVA.
build=(g++ cmake make pkg-config libexpat1-dev libncurses-dev
       libssl-dev libsystemd-dev libssh-dev node-xterm fonts-dejavu-core)
# The status server's tests use a headless browser (with the page's font)
# and promtool from the prometheus package; the HTTPS tests make their
# certificates with openssl; web callers are Python's websockets; the
# operator's files are checked with fail2ban-regex and logrotate; HAProxy
# stands in front of two ORVAs with the PROXY protocol.
test=(libgtest-dev libgmock-dev googletest telnet tmux socat
      chromium fonts-dejavu-core prometheus openssh-client openssl
      python3-websockets fail2ban logrotate haproxy)
bench=(libgtest-dev libgmock-dev googletest ser2net)
fuzz=(clang libclang-rt-14-dev)
package=(dpkg-dev binutils lintian)
chroot=(debootstrap)

sets=("$@")
[ ${#sets[@]} -gt 0 ] || sets=(build)
packages=()
for set in "${sets[@]}"; do
  case $set in
    build) packages+=("${build[@]}") ;;
    test) packages+=("${test[@]}") ;;
    bench) packages+=("${bench[@]}") ;;
    fuzz) packages+=("${fuzz[@]}") ;;
    package) packages+=("${package[@]}") ;;
    chroot) packages+=("${chroot[@]}") ;;
    *) echo "install-deps.sh: unknown set '$set' (build, test, bench, fuzz, package, chroot)" >&2; exit 2 ;;
  esac
done

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
