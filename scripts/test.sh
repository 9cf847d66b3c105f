#!/usr/bin/env bash
# Installs what is missing, builds ORVA and runs every test: the plain build,
# then AddressSanitizer (with undefined-behaviour checks) and ThreadSanitizer
# builds, then a short run of every fuzz target (FUZZ_SECONDS each, 60 by
# default). ORVA_TEST_VARIANTS="plain address thread fuzz" picks which.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
variants=${ORVA_TEST_VARIANTS:-plain address thread fuzz}
# The benchmark's quick run and the package's check are among the tests.
sets=(build test bench package)
[[ " $variants " != *" fuzz "* ]] || sets+=(fuzz)
"$top/scripts/install-deps.sh" "${sets[@]}"

jobs=$(nproc)
status=0
for v in $variants; do
  if [ "$v" = fuzz ]; then
    echo "=== fuzz targets"
    FUZZ_SECONDS=${FUZZ_SECONDS:-60} "$top/scripts/fuzz.sh" || status=1
    continue
  fi
  san=""
  [ "$v" = plain ] || san="$v"
  echo "=== $v build"
  dir=$(ORVA_SANITIZE="$san" "$top/scripts/build.sh" | tail -n 1)
  echo "=== $v tests"
  # ThreadSanitizer needs an address space without full randomisation.
  run=()
  [ "$v" = thread ] && run=(setarch "$(uname -m)" -R)
  (cd "$dir" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
     ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
     "${run[@]}" ctest -j"$jobs" --output-on-failure) || status=1
done
exit $status
