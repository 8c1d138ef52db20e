#!/usr/bin/env bash
# zarta-trace over real kernel forwarding: a silent router, a lossy one, names from the hosts
# file. The report must be exact, Ping 0 on these sub-millisecond links: as root over the raw
# socket, and as an ordinary user over the ping socket where net.ipv4.ping_group_range admits
# the user; where it does not, one line names the ways out. Then fifty traces are started and
# stopped, cycle after cycle (ZARTA_SOAK_CYCLES, 3 by default): every worker must end and the
# memory stay flat.
set -u
ZARTA=$1 ZT_SIM=$2
. "$(dirname "$0")/lib.sh"
zt_require iptables

zt_kernel_path
expected=$(mktemp) actual=$(mktemp) errors=$(mktemp)
zt_kernel_report >"$expected"
failed=0
for who in root user; do
  started=$(zt_seconds)
  if [ $who = root ]; then
    zt_exec client "$ZARTA" --timeout 30 target.example >"$actual"
  else
    zt_exec client sysctl -qw net.ipv4.ping_group_range="65534 65534"
    zt_as_user client "$ZARTA" --timeout 30 target.example >"$actual"
  fi
  status=$?
  echo "$who: traced in $(zt_elapsed "$started") s, exit status $status"
  [ $status -eq 0 ] || { echo "FAIL: zarta-trace as $who exited with $status"; cat "$actual"; failed=1; }
  "$ZT_SIM" check "$expected" "$actual" || { echo "FAIL: report as $who differs"; failed=1; }
done

zt_exec client sysctl -qw net.ipv4.ping_group_range="1 0"
zt_as_user client "$ZARTA" target.example >"$actual" 2>"$errors"
status=$?
[ $status -eq 1 ] || { echo "FAIL: without any ICMP socket the exit status is $status, not 1"; failed=1; }
[ "$(wc -l <"$errors")" = 1 ] && grep -q 'CAP_NET_RAW.*ping_group_range' "$errors" ||
  { echo "FAIL: without any ICMP socket: [$(cat "$errors")]"; failed=1; }

cycles=${ZARTA_SOAK_CYCLES:-3} sizes=()
for cycle in $(seq "$cycles"); do
  zt_exec client /usr/bin/time -f %M -o "$errors.rss" "$ZARTA" --timeout 0.5 \
    $(printf 'target.example %.0s' $(seq 50)) >"$actual" 2>"$errors"
  status=$?
  sizes+=("$(tail -1 "$errors.rss")")
  # Cut short by the time-out (exit status 1), each of the fifty has its report and has stopped.
  [ $status -eq 1 ] && [ ! -s "$errors" ] && [ "$(grep -c '^target.example resolved to' "$actual")" = 50 ] ||
    { echo "FAIL: cycle $cycle: exit status $status, $(cat "$errors")"; failed=1; break; }
done
echo "fifty traces started and stopped $cycles times: peak memory ${sizes[0]} KiB first, ${sizes[-1]} KiB last"
[ "${sizes[-1]}" -le $((sizes[0] + 1024)) ] || { echo "FAIL: memory grew"; failed=1; }
exit $failed
