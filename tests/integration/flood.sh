#!/usr/bin/env bash
# Foreign ICMP at the client: other programs' pings, which every raw ICMP socket sees. Below
# what a trace reads in its passes, it must change nothing in the report. A flood beyond that
# (pings as fast as the kernel answers them) must neither spoil the reports nor delay a stop
# (the time-out) beyond a pass.
set -u
ZARTA=$1 ZT_SIM=$2
. "$(dirname "$0")/lib.sh"
zt_require iptables ping

zt_kernel_path
zt_ns flooder
zt_link client 192.0.2.2 flooder 192.0.2.1 24
echos() { zt_exec client awk '/^Icmp:/ && ++n == 2 { print $10 }' /proc/net/snmp; }
flood() {
  zt_spawn flooder ping -q "$@" 192.0.2.2 >/dev/null 2>&1
}
rate() {
  local before
  before=$(echos)
  sleep 1
  echo $(($(echos) - before))
}

failed=0
expected=$(mktemp) actual=$(mktemp)
zt_kernel_report >"$expected"
for i in $(seq 20); do flood -i 0.001; done
sleep 0.5
echo "steady foreign pings: $(rate) a second at the client"
zt_exec client "$ZARTA" --timeout 30 target.example target.example >"$actual"
status=$?
[ $status -eq 0 ] || { echo "FAIL: the traces did not go quiet ($status)"; failed=1; }
# The twenty pingers compete for the two cores, so a worker's read may come a pass late.
"$ZT_SIM" check --tolerance 2 --repeat 2 "$expected" "$actual" || { echo "FAIL: report differs"; failed=1; }

flood -f -l 8
flood -f -l 8
flood -f -l 8
sleep 0.5
flooded=$(rate)
echo "flood: $flooded echo requests a second at the client"
[ "$flooded" -gt 30000 ] || { echo "FAIL: the flood is too weak to mean anything"; exit 1; }

started=$(zt_seconds)
zt_exec client "$ZARTA" --timeout 30 target.example target.example >"$actual"
status=$?
echo "two traces under flood: exit status $status after $(zt_elapsed "$started") s"
[ $status -eq 0 ] || { echo "FAIL: the traces did not go quiet"; failed=1; }
# At this rate the two cores drop a packet now and then on the way, so loss and ping may move:
# the hops, their addresses, names and probes sent may not.
"$ZT_SIM" check --shape --repeat 2 "$expected" "$actual" || { echo "FAIL: report differs under flood"; failed=1; }

# The silent hop keeps these traces from going quiet for about four seconds; one second in,
# the time-out stops them.
started=$(zt_seconds)
zt_exec client "$ZARTA" --timeout 1 $(printf 'target.example %.0s' $(seq 10)) >"$actual"
status=$?
took=$(zt_elapsed "$started")
echo "ten traces stopped by a 1 s time-out under flood: exit status $status after $took s"
[ $status -eq 1 ] || { echo "FAIL: expected exit status 1 for traces cut short"; failed=1; }
awk -v t="$took" 'BEGIN { exit !(t < 1.6) }' || { echo "FAIL: the stop took $took s"; failed=1; }
[ "$(grep -c 'resolved to 203.0.113.9' "$actual")" -eq 10 ] || { echo "FAIL: not every trace reported"; failed=1; }
exit $failed
