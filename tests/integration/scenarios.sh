#!/usr/bin/env bash
# Every scenario that gives an expected report, played by the TUN path simulator and traced by
# zarta-trace over the real network stack: the whole report must match, the ping within 1 ms.
set -u
ZARTA=$1 ZT_SIM=$2 SCENARIOS=$3
. "$(dirname "$0")/lib.sh"
zt_require tun

failed=0 ran=0
for scenario in "$SCENARIOS"/*.path; do
  name=$(basename "$scenario" .path)
  expected=$(mktemp) actual=$(mktemp)
  "$ZT_SIM" expected "$scenario" >"$expected"
  [ -s "$expected" ] || continue
  started=$(zt_seconds)
  zt_ns "$name"
  zt_sim "$name" "$scenario" || { echo "FAIL $name: the simulator did not start"; failed=1; continue; }
  zt_exec "$name" "$ZARTA" --timeout 30 "$(zt_target "$scenario")" >"$actual"
  status=$?
  zt_sim_stop || { echo "FAIL $name: the simulator built a datagram the kernel refuses"; cat "$ZT_SIM_LOG"; failed=1; }
  if [ $status -ne 0 ]; then
    echo "FAIL $name: zarta-trace exited with $status"
    failed=1
  fi
  if ! "$ZT_SIM" check --tolerance 1 "$expected" "$actual"; then
    echo "FAIL $name: report differs"
    failed=1
  fi
  ran=$((ran + 1))
  echo "done $name in $(zt_elapsed "$started") s: $(tail -1 "$ZT_SIM_LOG")"
  zt_cleanup
done
[ $ran -gt 0 ] || { echo "FAIL: no scenario gives an expected report"; exit 1; }
exit $failed
