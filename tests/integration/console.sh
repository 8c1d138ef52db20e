#!/usr/bin/env bash
# zarta-trace from the command line: usage, help, version; then, as root, on lib.sh's kernel path.
set -u
ZARTA=$1 UNIT=$2 failed=0
. "$(dirname "$0")/lib.sh"
fail() { echo "FAIL: $*" && failed=1; }

[ "$(id -u)" != 0 ] || nonet=(unshare -n) # as root, even a faulty zarta-trace sends nothing out here
# Each usage error, options before or after the hosts, and its message's first line.
while IFS=: read -r args message; do
  first=$("${nonet[@]}" "$ZARTA" $args 2>&1 >/dev/null | head -1 && exit "${PIPESTATUS[0]}") status=$?
  [ "$status:$first" = "2:zarta-trace: $message" ] || fail "usage [${args:0:30}]: $status, $first"
done <<ROWS
--timeout 5 -c5:no host given
--timeout:a value is missing after --timeout
--timeout 0 192.0.2.1:--timeout needs a number of seconds above 0 and at most 86400
192.0.2.1 --timeout=86401:--timeout needs a number of seconds above 0 and at most 86400
192.0.2.1 --fast:unknown option --fast
192.0.2.1 -c0:--count needs a number of pings from 1 to 1000
--count=1001 192.0.2.1:--count needs a number of pings from 1 to 1000
--format xml 192.0.2.1:--format needs text, json or csv
$(printf '192.0.2.1 %.0s' $(seq 51)):too many hosts
ROWS
help=$("$ZARTA" --help 2>/dev/null) || fail "--help: exit status $?"
[ "${help%%$'\n'*}" = "usage: zarta-trace [OPTION]... HOST_TEXT...  (at most 50 hosts)" ] || fail "$help"
for option in -c, --count -n, --no-dns -4, -6 --format --wide --timeout --help, --version; do
  grep -qE -- "^  .*$option( |$)" <<<"$help" || fail "--help without $option"; done
[ "$("$ZARTA" --version)" = "zarta-trace, Zarta version .5" ] || fail "--version: $("$ZARTA" --version)"
for option in --help --version ${nonet:+0.0.0.0}; do line=$("${nonet[@]}" "$ZARTA" $option 2>&1 >/dev/full) status=$?
  [ "$status:$line" = "1:zarta-trace: cannot write the standard output: No space left on device" ] || fail "$line"; done
[ $failed = 0 ] || exit 1
zt_require iptables setpriv python3 && zt_kernel_path && unset SUDO_{UID,GID} && out=$ZT_TMP/out errors=$ZT_TMP/errors
# A copy that user nobody may run, whatever the permissions of the build tree.
install -m 755 "$ZARTA" "$ZT_TMP/" && nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups "$ZT_TMP/${ZARTA##*/}")

# run COMMAND...: in the client namespace, r3's loss counted afresh; sets status, took (ms) and, a second in, held:
# the ids, capabilities and no_new_privs of every thread of zarta-trace, and any socket of it an exec would inherit.
run() { local started=${EPOCHREALTIME/./} && zt_lossy
  ip netns exec "$ZT_ID-client" "$@" >"$out" 2>"$errors" &
  local pid=$! && for _ in {1..10}; do kill -0 $pid 2>/dev/null && sleep 0.1; done
  held=$(for p in $(ip netns pids "$ZT_ID-client"); do [ "$(cat /proc/$p/comm)" = zarta-trace ] || continue
    grep -hE '^(CapEff|CapPrm|Gid|Groups|NoNewPrivs|Uid)' /proc/$p/task/*/status && for f in /proc/$p/fdinfo/*; do
      [ -S ${f/info} ] && ((!(8#$(awk '/^flags/ {print $2}' $f) & 8#2000000))) && echo inherited ${f/info}; done
  done 2>/dev/null | awk '{sub(/^0+$/, "0", $2); $1 = $1} 1' | sort -u)
  wait $pid; status=$? took=$(((${EPOCHREALTIME/./} - started) / 1000)); }
# ids ID [GROUPS]: held of a zarta-trace that gave up all but user and group ID and GROUPS, in held's order.
ids() { printf '%s\n' CapEff:\ 0 CapPrm:\ 0 "Gid: $1 $1 $1 $1" "Groups:${2:+ $2}" NoNewPrivs:\ 1 "Uid: $1 $1 $1 $1"; }
# expect WHAT ID GROUPS [SED]: exit 0 after the silent hop's four probes, held as `ids ID GROUPS`, the report by SED.
expect() { diff=$(diff <(echo "exit status 0" && ids "$2" "${3:-}" && zt_kernel_report | sed -E "${4:-}") <({
  echo "exit status $status"; ((took > 3000 && took < 20000)) || echo "quiet in $took ms"; echo "$held"
  cat "$errors" "$out"; } | zt_one_ping_1_as_0)) || fail "$1: $(head -20 <<<"$diff")"; echo "$1: $took ms"; }
# ok WHAT STATUS TEST: the last run's exit status was STATUS and TEST (evaluated) holds; false if not.
ok() { [ $status = "$2" ] && eval "$3" || ! fail "$1: exit status $status in $took ms, [$held] $(cat "$errors")"; }
# as_text FORMAT: $out's json or csv report, its fields' forms checked, as the text one (Ping: the average's integer).
as_text() { python3 - "$1" "$out" >"$out.text" 2>>"$errors" <<'PYTHON' && mv "$out.text" "$out"; }
import csv, datetime, json, sys
form, text = sys.argv[1], open(sys.argv[2], newline="").read()
hops = (trace := json.loads(text)[0])["hops"] if form == "json" else list(csv.DictReader(text.splitlines()))
trace = hops[0] if form == "csv" else trace
for time in trace["start"], trace["end"]: datetime.datetime.strptime(time, "%Y-%m-%dT%H:%M:%S.%fZ")
print(f"{trace['host']} resolved to {trace['targetAddress']}\nHop\tPing\tLoss\tSent\tIP\tAddress")
for hop in hops:
    assert (hop["host"], hop["start"]) == (trace["host"], trace["start"]) if form == "csv" else all(
        type(hop[k]) in (int, float, type(None)) for k in ("hop", "loss", "sent", "average"))
    ping = "?" if hop["average"] in (None, "") else int(float(hop["average"]))
    print(f"{hop['hop']}\t{ping}\t{hop['loss'] or 0}%\t{hop['sent']}\t{hop['address'] or ''}\t{hop['name'] or ''}")
PYTHON

mkdir "$ZT_TMP/setuid" && install -m 4755 "$ZARTA" "$ZT_TMP/setuid/" # root, not sudo: the runs from 0.0.0.0 on
run setpriv --reuid=65533 --regid=65533 --clear-groups "$ZT_TMP/setuid/${ZARTA##*/}" -4 http://both.example/
expect "raw socket, setuid root, -4" 65533 "" 1s/target/both/
# r1 answers 11 of its 20 pings: 45% exactly, where doubles would give 44.
zt_exec r1 iptables -A OUTPUT -p icmp --icmp-type echo-reply -m quota ! --quota $((11 * 84)) -j DROP
run env SUDO_UID=65534 SUDO_GID=65534 "$ZARTA" --timeout 60 target.example -n -c20
expect "through sudo, 20 pings, no names" 65534 65534 's/\t10\t/\t20\t/; s/^(1\t0\t)0%/\145%/; s/\t[a-z0-9.]+$/\t/'
zt_exec r1 iptables -F OUTPUT && zt_exec client sysctl -qw net.ipv4.ping_group_range="65534 65534"
# The same over the ping socket and over IPv6; a name of both families traced over the resolver's first address
# (IPv6, which RFC 6724 puts first here) where -4 does not ask otherwise; -6 finds no IPv6 address of a name.
v6='s/target/&6/g; s/203.0.113.9/2001:db8:4::9/g; s/198.51.100.1\t/2001:db8:1::1\t/; s/198.51.100.18/2001:db8:3::2/'
run "$ZARTA" --timeout 30 both.example; expect "IPv6, raw socket, both families" 65534 "" "$v6; 1s/target6/both/"
for traced in "json target" "csv target" "json target6 $v6"; do read -r format host sed <<<"$traced"
  run "${nobody[@]}" --timeout 30 --format=$format $host.example
  as_text $format; expect "ping socket, $format, $host" 65534 "" "$sed"
done
run "$ZARTA" -6 target.example; ok "-6, no IPv6 address" 1 '[ "$(head -1 "$out")" = "target.example not found " ]'
# Out of file descriptors past the start-up check: one trace without its socket.
run bash -c 'for fd in /proc/self/fd/*; do ((${fd##*/} > 2)) && eval "exec ${fd##*/}>&-"; done 2>/dev/null
  ulimit -n 4 && exec "$@"' - "${nobody[@]}" --timeout 30 --format=json 203.0.113.9 203.0.113.9
ok "a trace without a socket" 1 'grep -q "\"socketError\": 24, \"ended\": \"no-socket\"" "$out"'
# r1 answers probes to 192.0.2.99 with host unreachable; root is admitted to ping sockets too.
zt_exec r1 ip route add unreachable 192.0.2.99 && zt_exec client sysctl -qw net.ipv4.ping_group_range="0 0"
ZT_KERNEL_PATH=1 zt_exec client "$UNIT" --gtest_filter='Kernel.*' >"$out" 2>&1 || fail "$(grep -B2 -A4 Failure "$out")"
zt_exec client sysctl -qw net.ipv4.ping_group_range="1 0" && run "${nobody[@]}" target.example
ok "no ICMP socket" 1 'grep -qPz "\A[^\n]*CAP_NET_RAW.*ping_group_range.*\n\z" "$errors"'
# Refused before any probe with one line and exit status 1: sudo's ids that are no user's to take on.
for pair in 4294967295:1 -1:1 4294967296:1 18446744073709551617:1 1000x:1 0:0 1000:; do uid=${pair%:*} gid=${pair#*:}
  line=$(zt_exec client env SUDO_UID=$uid ${gid:+SUDO_GID=$gid} "$ZARTA" -n 203.0.113.9 2>&1) status=$?
  [[ $status:$line == "1:zarta-trace: SUDO_"?"ID is not an id from 1 to 4294967294 to take on in place of root" ]] ||
    fail "SUDO_UID=$uid SUDO_GID=$gid: $status, $line"; done
# A name server that never answers: host lookups, cut by the time-out, that hold up no other trace and run with no
# privilege; 0.0.0.0, the local host, not found and sent nothing; "--" ending the options.
printf 'nameserver 192.0.2.53\noptions timeout:8 attempts:1\n' >"/etc/netns/$ZT_ID-client/resolv.conf"
zt_exec client iptables -A OUTPUT -o lo -p icmp --icmp-type echo-request
run "$ZARTA" --format=json --timeout 6 0.0.0.0 slow.example 198.51.100.10 -- -n
ended=$(python3 -c 'import json, sys; print(*((t["host"], t["ended"], *(h["sent"] for h in t["hops"])) for t in
  json.load(sys.stdin)))' <"$out") lo=$(zt_exec client iptables -vxnL OUTPUT | grep -c '^ *0 .*icmptype 8')
[ $status = 1 ] && [ "$held $lo $ended" = "$(ids 65534) 1 ('0.0.0.0', 'not-found') ('slow.example', 'timeout-lookup') \
('198.51.100.10', 'final', 10, 10) ('-n', 'not-found')" ] || fail "host lookups: $status $lo $ended [$held]"
# Each trace ends 2 s after its figures, its names then left empty, and no address is asked twice. On a terminal: a
# name's UTF-8 letters kept, C1 controls (raw or encoded) not, the screen drawn again only when a report changed.
sed -i $'1i198.51.100.1 \xc3\xa9\xc2\x9b\x9br1.example' "/etc/netns/$ZT_ID-client/hosts" &&
  zt_exec client iptables -A OUTPUT -p udp --dport 53
run script -qec "$ZARTA --timeout 30 $(printf '198.51.100.10 %.0s' {1..5})" /dev/null
final=$(tr -d '\r' <"$out") && final=$(zt_one_ping_1_as_0 <<<"${final##*$'\e[H\e[J'}") escapes=$(tr -cd $'\e' <"$out")
r2=$'198.51.100.10 resolved to 198.51.100.10\nHop\tPing\tLoss\tSent\tIP\tAddress\n1\t0\t0%%\t10\t198.51.100.1\t'
expected=$(printf "$r2"$'\xc3\xa9??r1.example\n2\t0\t0%%\t10\t198.51.100.10\t\n\n%.0s' {1..5})
ok "dead name server, $((${#escapes} / 2)) screens, [$final]" 0 '((took < 6000 && ${#escapes} <= 2 * 15)) &&
  [ "$final" = "$expected" ] && zt_exec client iptables -vxnL OUTPUT | grep -q "^ *1 .*dpt:53"'

# Fifty traces, each raw socket seeing all their answers, stopped promptly while the silent hop keeps them busy.
for cycle in $(seq "${ZARTA_SOAK_CYCLES:-3}"); do run "$ZARTA" --timeout 0.5 $(printf 'target.example %.0s' $(seq 50))
  ok "cycle $cycle" 1 '[ ! -s "$errors" ] && ((took < 5000)) && [ "$(grep -c "^target.* resolved to" "$out")" = 50 ]' ||
    break; done
exit $failed
