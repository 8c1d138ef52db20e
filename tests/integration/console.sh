#!/usr/bin/env bash
# zarta-trace from the command line: usage, help, version; then, as root, on lib.sh's kernel path.
set -u
ZARTA=$1 UNIT=$2 failed=0
. "$(dirname "$0")/lib.sh"
fail() { echo "FAIL: $*" && failed=1; }

[ "$(id -u)" != 0 ] || nonet=(unshare -n) # as root, even a faulty zarta-trace sends nothing out here
# Each usage error and the first line of its message; an empty line is no argument at all.
while IFS=: read -r args message; do
  first=$("${nonet[@]}" "$ZARTA" $args 2>&1 >/dev/null | head -1 && exit "${PIPESTATUS[0]}") status=$?
  [ "$status:$first" = "2:zarta-trace: $message" ] || fail "usage [${args:0:30}]: $status, $first"
done <<ROWS
:no host given
--timeout 5:no host given
--timeout:a value is missing after --timeout
--timeout 0 192.0.2.1:--timeout needs a number of seconds above 0
--timeout soon 192.0.2.1:--timeout needs a number of seconds above 0
--fast 192.0.2.1:unknown option --fast
-c 0 192.0.2.1:--count needs a number of pings from 1 to 1000
--count=1001 192.0.2.1:--count needs a number of pings from 1 to 1000
--format xml 192.0.2.1:--format needs text, json or csv
$(printf '192.0.2.1 %.0s' $(seq 51)):too many hosts
ROWS
help=$("$ZARTA" --help 2>/dev/null) || fail "--help: exit status $?"
[ "${help%%$'\n'*}" = "usage: zarta-trace [OPTION]... HOST_TEXT...  (at most 50 hosts)" ] || fail "$help"
for option in -c, --count -n, --no-dns --format --wide --timeout --help, --version; do
  grep -qE -- "^  .*$option( |$)" <<<"$help" || fail "--help without $option"; done
[ "$("$ZARTA" --version)" = "zarta-trace, Zarta version .5" ] || fail "--version: $("$ZARTA" --version)"
[ $failed = 0 ] || exit 1
zt_require iptables setpriv python3 && zt_kernel_path
out=$ZT_TMP/out errors=$ZT_TMP/errors
# A copy that user nobody may run, whatever the permissions of the build tree.
install -m 755 "$ZARTA" "$UNIT" "$ZT_TMP/" &&
  nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups "$ZT_TMP/${ZARTA##*/}")

# run COMMAND...: in the client namespace, r3's loss counted afresh; sets status, took (ms) and, a second in, the
# user ids and capabilities of every thread.
run() {
  local started=${EPOCHREALTIME/./} && zt_lossy
  ip netns exec "$ZT_ID-client" "$@" >"$out" 2>"$errors" &
  local pid=$! && for _ in {1..10}; do kill -0 $pid 2>/dev/null && sleep 0.1; done
  held=$(grep -hE '^(CapEff|CapPrm|Uid)' /proc/$pid/task/*/status 2>/dev/null | awk '{sub(/^0+$/, "0", $2); $1 = $1} 1')
  wait $pid
  status=$? took=$(((${EPOCHREALTIME/./} - started) / 1000))
}
# expect WHAT UID [SED]: exit 0 after the silent hop's four probes a second apart, nothing on stderr, every thread
# as user UID without capabilities, the kernel report (edited by SED).
expect() {
  { printf '%s\n' "exit status 0" "CapEff: 0" "CapPrm: 0" "Uid: $2 $2 $2 $2" && zt_kernel_report | sed -E "${3:-}"; } \
    >"$out.expected"
  { echo "exit status $status"; ((took > 3000 && took < 10000)) || echo "quiet in $took ms"; sort -u <<<"$held"
    cat "$errors" "$out"; } | zt_one_ping_1_as_0 | diff "$out.expected" - >"$out.diff" ||
    fail "$1: $(head -20 "$out.diff")"
  echo "$1: $took ms"
}
# as_text FORMAT: the json or csv report in $out as the text report; its numbers must be numbers, its times ISO 8601
# UTC, each CSV row must carry the trace's host and start, and the Ping is the average's whole part.
as_text() {
  python3 - "$1" "$out" >"$out.text" 2>>"$errors" <<'PYTHON'
import csv, datetime, json, sys
form, text = sys.argv[1], open(sys.argv[2], newline="").read()
trace = json.loads(text)[0] if form == "json" else None
hops = trace["hops"] if trace else list(csv.DictReader(text.splitlines()))
trace = trace or hops[0]
for time in trace["start"], trace["end"]: datetime.datetime.strptime(time, "%Y-%m-%dT%H:%M:%S.%fZ")
print(f"{trace['host']} resolved to {trace['targetAddress']}\nHop\tPing\tLoss\tSent\tIP\tAddress")
for hop in hops:
    assert form == "csv" or all(type(hop[k]) in (int, float, type(None)) for k in ("hop", "loss", "sent", "average"))
    assert form == "json" or (hop["host"], hop["start"]) == (trace["host"], trace["start"])
    ping = "?" if hop["average"] in (None, "") else int(float(hop["average"]))
    print(f"{hop['hop']}\t{ping}\t{hop['loss']}%\t{hop['sent']}\t{hop['address'] or ''}\t{hop['name'] or ''}")
PYTHON
  mv "$out.text" "$out"
}

run env -u SUDO_UID "$ZARTA" --timeout 30 http://target.example/index.html
expect "raw socket" 0
run env SUDO_UID=65534 SUDO_GID=65534 "$ZARTA" --timeout 30 -n -c 3 target.example
expect "through sudo, three pings, no names" 65534 's/\t10\t/\t3\t/; s/30%/33%/; s/\t[a-z0-9.]+$/\t/'
zt_exec client sysctl -qw net.ipv4.ping_group_range="65534 65534"
for format in json csv; do
  run "${nobody[@]}" --timeout 30 --format=$format target.example
  as_text $format && expect "ping socket, $format" 65534
done
# Out of file descriptors past the start-up check: one trace without its socket.
run bash -c 'for fd in /proc/self/fd/*; do ((${fd##*/} > 2)) && eval "exec ${fd##*/}>&-"; done 2>/dev/null
  ulimit -n 4 && exec "$@"' - "${nobody[@]}" --timeout 30 203.0.113.9 203.0.113.9
[ $status = 1 ] && grep -q "^No ICMP socket (error 24)" "$out" || fail "a trace without a socket: exit status $status, $(cat "$errors")"
zt_exec r1 ip route add unreachable 192.0.2.99 # r1 answers probes to it with host unreachable
ZT_KERNEL_PATH=1 zt_exec client "${nobody[@]:0:4}" "$ZT_TMP/${UNIT##*/}" --gtest_filter='Kernel.*' >"$out" 2>&1 ||
  fail "the ping socket: $(grep -B2 -A4 Failure "$out")"
ZT_KERNEL_PATH=1 zt_exec client "$ZT_TMP/${UNIT##*/}" --gtest_filter='Kernel.Raw*' >"$out" 2>&1 ||
  fail "the raw socket: $(grep -B2 -A4 Failure "$out")"
zt_exec client sysctl -qw net.ipv4.ping_group_range="1 0"
run "${nobody[@]}" target.example
[ $status = 1 ] && [ "$(wc -l <"$errors")" = 1 ] && grep -q 'CAP_NET_RAW.*ping_group_range' "$errors" ||
  fail "no ICMP socket: exit status $status, [$(cat "$errors")]"
run "$ZARTA" --timeout 20 nohost.example
[ $status = 1 ] && [ "$(cat "$out")" = "nohost.example not found " ] || fail "not found: $status, [$(cat "$out")]"
# On a terminal, with a name server that never answers in time: no trace counts as done while it looks up its host
# or a hop's name (the fifth trace's waits for a resolver thread until the first four are done), and the screen is
# drawn again only when a report has changed.
printf 'nameserver 192.0.2.53\noptions timeout:3 attempts:1\n' >"/etc/netns/$ZT_ID-client/resolv.conf"
run script -qec "$ZARTA --timeout 30 slow.example $(printf '198.51.100.10 %.0s' {1..5})" /dev/null
screens=$(tr -d '\r' <"$out") && final=$(zt_one_ping_1_as_0 <<<"${screens##*$'\e[H\e[J'}")
screens=${screens//[^$'\e']/} # two a screen
expected="slow.example not found " r2=$'198.51.100.10 resolved to 198.51.100.10\nHop\tPing\tLoss\tSent\tIP\tAddress\n'
r2+=$'1\t0\t0%\t10\t198.51.100.1\tr1.example\n2\t0\t0%\t10\t198.51.100.10\t(no name)'
for _ in {1..5}; do expected+=$'\n\n'$r2; done
[ $status = 1 ] && ((${#screens} <= 2 * 15)) && [ "$final" = "$expected" ] ||
  fail "slow lookups: exit status $status, $((${#screens} / 2)) screens, [$final]"

# Fifty traces, each raw socket seeing all their answers, stopped promptly while the silent hop keeps them busy.
for cycle in $(seq "${ZARTA_SOAK_CYCLES:-3}"); do
  run "$ZARTA" --timeout 0.5 $(printf 'target.example %.0s' $(seq 50))
  [ $status = 1 ] && [ ! -s "$errors" ] && [ $took -lt 5000 ] && [ "$(grep -c '^target.* resolved to' "$out")" = 50 ] ||
    { fail "cycle $cycle: exit status $status after $took ms, $(cat "$errors")" && break; }
done
exit $failed
