#!/usr/bin/env bash
# zarta-trace as a user runs it: usage errors, a trace of the loopback address, a host that is
# not found, and a user without a raw socket. Traffic stays on loopback and in a namespace of its own.
set -u
trace=$1
failures=0
check() {  # check WHAT EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: expected [$2], got [$3]"; failures=$((failures + 1)); fi
}

many=(); for i in $(seq 51); do many+=(127.0.0.1); done
while IFS='|' read -r what args; do
  # shellcheck disable=SC2086
  "$trace" $args >/dev/null 2>&1
  check "usage: $what" 2 $?
done <<'CASES'
no host|
no host after the option|--timeout 5
timeout without a number|--timeout
timeout of zero|--timeout 0 127.0.0.1
timeout not a number|--timeout soon 127.0.0.1
unknown option|--fast 127.0.0.1
CASES
"$trace" "${many[@]}" >/dev/null 2>&1
check "usage: 51 hosts" 2 $?

if [ "$(id -u)" != 0 ]; then
  echo "skipped: the traces need root (raw ICMP sockets and a network namespace)"
  [ $failures = 0 ] && exit 77 || exit 1
fi

start=$(date +%s%N)
out=$("$trace" http://127.0.0.1/index.html)
status=$?
elapsed=$((($(date +%s%N) - start) / 1000000))
check "loopback: exit status" 0 $status
check "loopback: first lines" $'127.0.0.1 resolved to 127.0.0.1\nHop\tPing\tLoss\tSent\tIP\tAddress' "$(head -2 <<<"$out")"
check "loopback: hop 1" $'1\t0%\t10\t127.0.0.1' "$(sed -n 3p <<<"$out" | cut -f1,3-5)"
check "loopback: three lines" 3 "$(wc -l <<<"$out")"
[ $elapsed -lt 5000 ] || check "loopback within 5 s" "<5000 ms" "$elapsed ms"

out=$("$trace" 127.0.0.1 127.0.0.1)
check "two traces: two reports, one empty line between" "7 1" "$(wc -l <<<"$out") $(grep -c '^$' <<<"$out")"

# A name lookup in a namespace of its own, whose name server is nowhere: not found, at once.
ns=zarta-console-$$
ip netns add $ns && mkdir -p /etc/netns/$ns || { echo "skipped: no network namespaces"; exit 77; }
trap 'ip netns del $ns; rm -rf /etc/netns/$ns' EXIT
printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >/etc/netns/$ns/resolv.conf
printf '127.0.0.1 localhost\n' >/etc/netns/$ns/hosts
ip -n $ns link set lo up
out=$(ip netns exec $ns "$trace" --timeout 20 nohost.example)
check "not found: exit status" 1 $?
check "not found: report" "nohost.example not found " "$out"

out=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$trace" 127.0.0.1 2>&1 >/dev/null)
check "no raw socket: exit status" 1 $?
case $out in *"raw ICMP socket"*"CAP_NET_RAW"*) check "no raw socket: message" ok ok ;;
  *) check "no raw socket: message names cause and fix" "...raw ICMP socket...CAP_NET_RAW" "$out" ;; esac

[ $failures = 0 ]
