#!/usr/bin/env bash
# Installs what is missing, builds ORVA (plain build) and runs the benchmark:
# orva, the IPX relay and the board host simulator on loopback, with ser2net
# and a direct TCP connection as references. Prints the table and writes the
# figures to bench-results.json in the current directory (--json PATH for
# another; --quick for a short run; --help for the rest).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" build bench
dir=$("$top/scripts/build.sh" | tail -n 1)
exec "$dir/bench/orva-bench" "$@"
