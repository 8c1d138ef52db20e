#!/usr/bin/env bash
# Fifty traces side by side, the most zarta-trace takes, through the TUN path simulator: every
# one must go quiet with the scenario's whole report, though all fifty sockets see every answer.
# Fifty workers waking every millisecond on two cores read their answers up to about 5 ms late
# (measured), so the ping gets that much room; everything else must be exact.
set -u
ZARTA=$1 ZT_SIM=$2 SCENARIOS=$3
. "$(dirname "$0")/lib.sh"
zt_require tun

scenario=$SCENARIOS/side-by-side.path
expected=$(mktemp) actual=$(mktemp)
"$ZT_SIM" expected "$scenario" >"$expected"
zt_ns client
zt_sim client "$scenario" --per-trace || exit 1
target=$(zt_target "$scenario")
started=$(zt_seconds)
zt_exec client "$ZARTA" --timeout 60 $(printf "$target %.0s" $(seq 50)) >"$actual"
status=$?
echo "50 traces in $(zt_elapsed "$started") s, exit status $status"
zt_sim_stop || { echo "FAIL: the simulator built a datagram the kernel refuses"; exit 1; }
tail -1 "$ZT_SIM_LOG"
grep -q ' 50 traces,' "$ZT_SIM_LOG" || { echo "FAIL: the simulator did not see 50 traces"; exit 1; }
[ $status -eq 0 ] || { echo "FAIL: zarta-trace exited with $status"; exit 1; }
# Every socket receives all fifty traces' answers: an overflowing receive queue shows as loss.
"$ZT_SIM" check --tolerance 6 --repeat 50 "$expected" "$actual" || { echo "FAIL: reports differ"; exit 1; }
