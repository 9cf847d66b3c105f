#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (fuzz/CMakeLists.txt, in
# build-fuzz/) and runs each in turn, starting from its seeds in
# fuzz/corpus/<target>/. Exits non-zero when any target finds something;
# the input that did it is kept as build-fuzz/findings/<target>-crash-*.
#
#   scripts/fuzz.sh                  every target for FUZZ_SECONDS (60) each
#   scripts/fuzz.sh telnet_input_fuzz    only the targets named
#   FUZZ_RUNS=1000000 scripts/fuzz.sh    a fixed number of executions each
#   scripts/fuzz.sh --list           the targets
#
# The corpus each run grows is kept in build-fuzz/corpus/<target>/, so a
# later run goes on from it; the committed seeds are only read.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-fuzz"
# Every fuzz/NAME_fuzz.cpp is a target (fuzz/CMakeLists.txt builds them so).
all_targets=()
for source in "$top"/fuzz/*_fuzz.cpp; do
  all_targets+=("$(basename "$source" .cpp)")
done

if [ "${1:-}" = --list ]; then
  printf '%s\n' "${all_targets[@]}"
  exit 0
fi
"$top/scripts/install-deps.sh" build fuzz
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

seconds=${FUZZ_SECONDS:-60}
runs=${FUZZ_RUNS:-}
jobs=${FUZZ_BUILD_JOBS:-2}

cmake -S "$top/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
make -C "$build" -j"$jobs" --no-print-directory "${targets[@]}" >/dev/null

mkdir -p "$build/findings"
status=0
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  mkdir -p "$work"
  limit=(-max_total_time="$seconds")
  label="$seconds s"
  if [ -n "$runs" ]; then
    limit=(-runs="$runs")
    label="$runs runs"
  fi
  dict=()
  [ ! -f "$top/fuzz/$t.dict" ] || dict=(-dict="$top/fuzz/$t.dict")
  log="$build/$t.log"
  echo "=== $t ($label)"
  # The targets print the product's own error messages for every bad
  # input; -close_fd_mask keeps them out while libFuzzer still reports.
  if ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1" \
     "$build/$t" "${limit[@]}" "${dict[@]}" -close_fd_mask=3 -print_final_stats=1 \
       -artifact_prefix="$build/findings/$t-" "$work" "$top/fuzz/corpus/$t" >"$log" 2>&1; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$t: ${execs:-?} executions, no finding"
  else
    status=1
    echo "$t: FINDING (log: $log)"
    grep -E "ERROR|SUMMARY|check failed|Test unit written" "$log" | head -n 10 || tail -n 20 "$log"
  fi
done
exit $status
