#!/usr/bin/env bash
# zarta-trace from the command line: usage, help, version; then, as root, on lib.sh's kernel path.
set -u
ZARTA=$1 failed=0
. "$(dirname "$0")/lib.sh"
fail() { echo "FAIL: $*" && failed=1; }

[ "$(id -u)" != 0 ] || nonet=(unshare -n) # as root, even a faulty zarta-trace sends nothing out here
for args in "" "--timeout 5" "--timeout" "--timeout 0 192.0.2.1" "--timeout soon 192.0.2.1" "--fast 192.0.2.1" \
  "$(printf '192.0.2.1 %.0s' $(seq 51))"; do # an empty $args is no argument at all
  "${nonet[@]}" "$ZARTA" $args &>/dev/null; status=$? && [ $status = 2 ] || fail "usage [${args:0:30}]: $status"
done
help=$("$ZARTA" --help 2>/dev/null) || fail "--help: exit status $?"
[ "${help%%$'\n'*}" = "usage: zarta-trace [--timeout SECONDS] HOST_TEXT...  (at most 50 hosts)" ] || fail "$help"
[ "$("$ZARTA" --version)" = "zarta-trace, Zarta version .5" ] || fail "--version: $("$ZARTA" --version)"
[ $failed = 0 ] || exit 1
zt_require iptables ping setpriv && zt_kernel_path
out=$ZT_TMP/out errors=$ZT_TMP/errors
# A copy that user nobody may run, whatever the permissions of the build tree.
install -m 755 "$ZARTA" "$ZT_TMP/" && nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups "$ZT_TMP/${ZARTA##*/}")

# run COMMAND...: in the client namespace, r3's loss counted afresh; sets status and took (ms).
run() {
  local started=${EPOCHREALTIME/./} && zt_lossy && zt_exec client "$@" >"$out" 2>"$errors"
  status=$? took=$(((${EPOCHREALTIME/./} - started) / 1000))
}
# expect WHAT COUNT [COLUMN...]: exit status 0 soon after the silent hop's four discovery probes (a
# second apart), nothing on stderr, COUNT kernel path reports an empty line apart, but for the COLUMNs.
# r3's Loss is compared as a sum: side-by-side traces share r3's count; together they lose what it dropped.
expect() {
  local drop keep='BEGIN { split(cols, c) } $1 ~ /^[0-9]/ { n += $1 == 3 ? $3 / 10 : 0; for (i in c) $c[i] = "" }
    $1 == 3 { $3 = "" } 1; END { if (cols !~ /3/) print "answers lost at r3:", drop == "" ? n : drop }'
  drop=$(zt_exec r3 iptables -L OUTPUT -nvx | awk '$3 == "DROP" { print $1 }')
  { echo "exit status 0"; for i in $(seq "$2"); do [ "$i" = 1 ] || echo; zt_kernel_report; done; } |
    awk -F'\t' -v OFS='\t' -v cols="${*:3}" -v drop="$drop" "$keep" >"$out.expected"
  { echo "exit status $status"; ((took > 3000 && took < 10000)) || echo "quiet in $took ms"; cat "$errors" "$out"; } |
    awk -F'\t' -v OFS='\t' -v cols="${*:3}" "$keep" >"$out.kept"
  diff "$out.expected" "$out.kept" >"$out.diff" || fail "$1: $(head -20 "$out.diff")"
  echo "$1: $took ms"
}

run "$ZARTA" --timeout 30 http://target.example/index.html
expect "raw socket" 1
zt_exec client sysctl -qw net.ipv4.ping_group_range="65534 65534"
run "${nobody[@]}" --timeout 30 target.example
expect "ping socket" 1
zt_exec client sysctl -qw net.ipv4.ping_group_range="1 0"
run "${nobody[@]}" target.example
[ $status = 1 ] && [ "$(wc -l <"$errors")" = 1 ] && grep -q 'CAP_NET_RAW.*ping_group_range' "$errors" ||
  fail "no ICMP socket: exit status $status, [$(cat "$errors")]"
run "$ZARTA" --timeout 20 nohost.example
[ $status = 1 ] && [ "$(cat "$out")" = "nohost.example not found " ] || fail "not found: $status, [$(cat "$out")]"
# Fifty raw sockets, each seeing every answer of the fifty traces; a busy machine reads them late.
run "$ZARTA" --timeout 60 $(printf 'target.example %.0s' $(seq 50))
expect "fifty side by side" 50 2

# Other programs' pings at the client, which every raw socket sees: twenty steady ones, then a flood.
zt_ns flooder && zt_link client 192.0.2.2 flooder 192.0.2.1 24
for i in $(seq 20); do zt_exec flooder ping -q -i 0.001 192.0.2.2 >/dev/null 2>&1 & done
run "$ZARTA" --timeout 30 target.example target.example
expect "steady foreign pings, two hosts" 2 2
echos() { zt_exec client awk '/^Icmp:/ && ++n == 2 { print $10 }' /proc/net/snmp; }
for i in 1 2 3; do zt_exec flooder ping -q -f -l 8 192.0.2.2 >/dev/null 2>&1 & done
sleep 0.5 && before=$(echos) && sleep 1 && flooded=$(($(echos) - before))
[ "$flooded" -gt 10000 ] || fail "a flood of $flooded echo requests a second is too weak to mean anything"
# At this rate the cores drop a packet now and then: Loss may move, Sent may not.
run "$ZARTA" --timeout 30 target.example target.example
expect "flood of $flooded a second" 2 2 3
# The silent hop keeps traces busy for about four seconds: a 1 s time-out must stop them promptly.
run "$ZARTA" --timeout 1 $(printf 'target.example %.0s' $(seq 10))
[ $status = 1 ] && [ ! -s "$errors" ] && [ $took -lt 3000 ] && [ "$(grep -c 'resolved to' "$out")" = 10 ] ||
  fail "stop under flood: exit status $status after $took ms, $(cat "$errors")"
ip netns pids "$ZT_ID-flooder" | xargs kill -9

for cycle in $(seq "${ZARTA_SOAK_CYCLES:-3}"); do
  run "$ZARTA" --timeout 0.5 $(printf 'target.example %.0s' $(seq 50))
  [ $status = 1 ] && [ ! -s "$errors" ] && [ "$(grep -c '^target.example resolved to' "$out")" = 50 ] ||
    { fail "cycle $cycle: exit status $status, $(cat "$errors")" && break; }
done
exit $failed
