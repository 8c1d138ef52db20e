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
zt_require iptables setpriv && zt_kernel_path
out=$ZT_TMP/out errors=$ZT_TMP/errors
# A copy that user nobody may run, whatever the permissions of the build tree.
install -m 755 "$ZARTA" "$ZT_TMP/" && nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups "$ZT_TMP/${ZARTA##*/}")

# run COMMAND...: in the client namespace, r3's loss counted afresh; sets status and took (ms).
run() {
  local started=${EPOCHREALTIME/./} && zt_lossy && zt_exec client "$@" >"$out" 2>"$errors"
  status=$? took=$(((${EPOCHREALTIME/./} - started) / 1000))
}
# expect WHAT: exit 0 after the silent hop's four probes a second apart, nothing on stderr, the kernel report.
expect() {
  { echo "exit status 0"; zt_kernel_report; } >"$out.expected"
  { echo "exit status $status"; ((took > 3000 && took < 10000)) || echo "quiet in $took ms"; cat "$errors" "$out"; } |
    zt_ping_1_as_0 | diff "$out.expected" - >"$out.diff" || fail "$1: $(head -20 "$out.diff")"
  echo "$1: $took ms"
}

run "$ZARTA" --timeout 30 http://target.example/index.html
expect "raw socket"
zt_exec client sysctl -qw net.ipv4.ping_group_range="65534 65534"
run "${nobody[@]}" --timeout 30 target.example
expect "ping socket"
zt_exec client sysctl -qw net.ipv4.ping_group_range="1 0"
run "${nobody[@]}" target.example
[ $status = 1 ] && [ "$(wc -l <"$errors")" = 1 ] && grep -q 'CAP_NET_RAW.*ping_group_range' "$errors" ||
  fail "no ICMP socket: exit status $status, [$(cat "$errors")]"
run "$ZARTA" --timeout 20 nohost.example
[ $status = 1 ] && [ "$(cat "$out")" = "nohost.example not found " ] || fail "not found: $status, [$(cat "$out")]"

# Fifty traces, each raw socket seeing all their answers, stopped promptly while the silent hop keeps them busy.
for cycle in $(seq "${ZARTA_SOAK_CYCLES:-3}"); do
  run "$ZARTA" --timeout 0.5 $(printf 'target.example %.0s' $(seq 50))
  [ $status = 1 ] && [ ! -s "$errors" ] && [ $took -lt 5000 ] && [ "$(grep -c '^target.* resolved to' "$out")" = 50 ] ||
    { fail "cycle $cycle: exit status $status after $took ms, $(cat "$errors")" && break; }
done
exit $failed
