#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing ORVA need.
# Asks apt only when something is missing, so a ready machine needs no network.
# --test also installs the tools only the tests use.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libexpat1-dev libncurses-dev
  libcivetweb-dev prometheus-cpp-dev libsystemd-dev
  libgtest-dev libgmock-dev googletest
  telnet tmux socat ser2net
  clang libclang-rt-14-dev
)
# The status server's tests: a headless browser (with the page's font) and
# promtool from the prometheus package.
test_packages=(chromium fonts-dejavu-core prometheus)
if [ "${1:-}" = --test ]; then
  packages+=("${test_packages[@]}")
fi

missing=()
for p in "${packages[@]}"; do
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
