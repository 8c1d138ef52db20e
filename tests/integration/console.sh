#!/usr/bin/env bash
# zarta-trace from the command line: usage, help, version; then, as root, on lib.sh's kernel path.
set -u
ZARTA=$1 UNIT=$2 failed=0
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
zt_require iptables setpriv && zt_kernel_path
out=$ZT_TMP/out errors=$ZT_TMP/errors
# A copy that user nobody may run, whatever the permissions of the build tree.
install -m 755 "$ZARTA" "$UNIT" "$ZT_TMP/" && nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)

# run COMMAND...: in the client namespace, r3's loss counted afresh; sets status and took (ms).
run() {
  local started=${EPOCHREALTIME/./} && zt_lossy && zt_exec client "$@" >"$out" 2>"$errors"
  status=$? took=$(((${EPOCHREALTIME/./} - started) / 1000))
}
# expect WHAT: exit 0 after the silent hop's four probes a second apart, nothing on stderr, the kernel report.
expect() {
  { echo "exit status 0"; zt_kernel_report; } >"$out.expected"
  { echo "exit status $status"; ((took > 3000 && took < 10000)) || echo "quiet in $took ms"; cat "$errors" "$out"; } |
    diff "$out.expected" - >"$out.diff" || fail "$1: $(head -20 "$out.diff")"
  echo "$1: $took ms"
}

run "$ZARTA" --timeout 30 http://target.example/index.html
expect "raw socket"
zt_exec client sysctl -qw net.ipv4.ping_group_range="65534 65534"
run "${nobody[@]}" "$ZT_TMP/${ZARTA##*/}" --timeout 30 target.example
expect "ping socket"
zt_exec r1 ip route add unreachable 192.0.2.99 # r1 answers probes to it with host unreachable
ZT_KERNEL_PATH=1 zt_exec client "${nobody[@]}" "$ZT_TMP/${UNIT##*/}" --gtest_filter='Kernel.*' >"$out" 2>&1 ||
  fail "the ping socket: $(grep -B2 -A4 Failure "$out")"
zt_exec client sysctl -qw net.ipv4.ping_group_range="1 0"
run "${nobody[@]}" "$ZT_TMP/${ZARTA##*/}" target.example
[ $status = 1 ] && [ "$(wc -l <"$errors")" = 1 ] && grep -q 'CAP_NET_RAW.*ping_group_range' "$errors" ||
  fail "no ICMP socket: exit status $status, [$(cat "$errors")]"
run "$ZARTA" --timeout 20 nohost.example
[ $status = 1 ] && [ "$(cat "$out")" = "nohost.example not found " ] || fail "not found: $status, [$(cat "$out")]"
# On a terminal, with a name server that never answers in time: no trace counts as done while it looks up its host
# or a hop's name (the fifth trace's waits for a resolver thread until the first four are done), and the screen is
# drawn again only when a report has changed.
printf 'nameserver 192.0.2.53\noptions timeout:3 attempts:1\n' >"/etc/netns/$ZT_ID-client/resolv.conf"
run script -qec "$ZARTA --timeout 30 slow.example $(printf '198.51.100.10 %.0s' {1..5})" /dev/null
screens=$(tr -d '\r' <"$out") && final=${screens##*$'\e[H\e[J'} && screens=${screens//[^$'\e']/} # two a screen
expected="slow.example not found " r2=$'198.51.100.10 resolved to 198.51.100.10\nHop\tPing\tLoss\tSent\tIP\tAddress\n'
for _ in {1..5}; do expected+=$'\n\n'$r2$'1\t0\t0%\t10\t198.51.100.1\tr1.example\n2\t0\t0%\t10\t198.51.100.10\t(no name)'; done
[ $status = 1 ] && ((${#screens} <= 2 * 15)) && [ "$final" = "$expected" ] ||
  fail "slow lookups: exit status $status, $((${#screens} / 2)) screens, [$final]"

# Fifty traces, each raw socket seeing all their answers, stopped promptly while the silent hop keeps them busy.
for cycle in $(seq "${ZARTA_SOAK_CYCLES:-3}"); do
  run "$ZARTA" --timeout 0.5 $(printf 'target.example %.0s' $(seq 50))
  [ $status = 1 ] && [ ! -s "$errors" ] && [ $took -lt 5000 ] && [ "$(grep -c '^target.* resolved to' "$out")" = 50 ] ||
    { fail "cycle $cycle: exit status $status after $took ms, $(cat "$errors")" && break; }
done
exit $failed
