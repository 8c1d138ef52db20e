#!/usr/bin/env bash
# zarta-trace over real kernel forwarding: a silent router, a lossy one, names from the hosts
# file; the report must be exact, the ping within 1 ms.
set -u
ZARTA=$1 ZT_SIM=$2
. "$(dirname "$0")/lib.sh"
zt_require iptables

zt_kernel_path
expected=$(mktemp) actual=$(mktemp)
zt_kernel_report >"$expected"
started=$(zt_seconds)
zt_exec client "$ZARTA" --timeout 30 target.example >"$actual"
status=$?
echo "traced in $(zt_elapsed "$started") s, exit status $status"
[ $status -eq 0 ] || { echo "FAIL: zarta-trace exited with $status"; cat "$actual"; exit 1; }
"$ZT_SIM" check --tolerance 1 "$expected" "$actual" || { echo "FAIL: report differs"; exit 1; }
