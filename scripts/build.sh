#!/usr/bin/env bash
# Builds ORVA into build/ (or build-<sanitizer>/ with ORVA_SANITIZE set),
# with the tests and the benchmark unless ORVA_TESTS=OFF.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
san=${ORVA_SANITIZE:-}
dir="$top/build${san:+-$san}"
cmake -S "$top" -B "$dir" -DORVA_SANITIZE="$san" -DORVA_TESTS="${ORVA_TESTS:-ON}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
echo "$dir"
