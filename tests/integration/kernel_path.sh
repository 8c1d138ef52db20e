#!/usr/bin/env bash
# zarta-trace over real kernel forwarding: a silent router, a lossy one, names from the hosts
# file. The report must be exact, Ping 0 on these sub-millisecond links: as root over the raw
# socket, and as an ordinary user over the ping socket where net.ipv4.ping_group_range admits
# the user; where it does not, one line names the ways out.
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
exit $failed
