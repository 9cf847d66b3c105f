#!/usr/bin/env bash
# Builds ORVA and runs it on a demo network on this machine: ORVA hosts its
# own IPX network, a simulated KELB board host with 4 lines joins it, and
# callers dial `telnet localhost 2323` from another terminal. F3 ends ORVA,
# and the simulator with it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" build
build=$(ORVA_TESTS=OFF "$top/scripts/build.sh" | tail -n 1)

work="$top/demo"
mkdir -p "$work"
[ -f "$work/orva.conf.xml" ] || cp "$top/etc/orva.conf.xml" "$work/orva.conf.xml"
cd "$work"
# The demo turns the status server on, also in a configuration kept from an
# earlier run.
if ! grep -q '^ *<Server Type="Status"' orva.conf.xml; then
  if grep -q '<!-- <Server Type="Status"' orva.conf.xml; then
    sed -i 's|<!-- \(<Server Type="Status"[^>]*/>\) -->|\1|' orva.conf.xml
  else
    sed -i 's|</orva>|  <Server Type="Status" IP="127.0.0.1" Port="8023"/>\n</orva>|' orva.conf.xml
  fi
fi

sim_pid=""
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null || true; }
trap cleanup EXIT

if [ -x "$build/tools/board_sim/orva-board-sim" ]; then
  # The simulator keeps trying until ORVA's network is up.
  "$build/tools/board_sim/orva-board-sim" --relay 127.0.0.1:2130 --lines 4 >board-sim.log 2>&1 &
  sim_pid=$!
fi
echo "ORVA demo in $work: callers dial 'telnet localhost 2323'; F3 ends it."
echo "Status server on: http://127.0.0.1:8023/ (the page), /status.json and /metrics."
"$build/orva" "$@"
