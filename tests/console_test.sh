#!/usr/bin/env bash
# zarta-trace as a user runs it: help, version and usage errors, then, in a network namespace
# of its own, a trace of its loopback address and a host that is not found.
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
out=$("$trace" --help 2>/dev/null)
check "help: exit status" 0 $?
check "help: usage on stdout" "usage: zarta-trace [--timeout SECONDS] HOST_TEXT...  (at most 50 hosts)" "$(head -1 <<<"$out")"
check "version" "zarta-trace, Zarta version .5" "$("$trace" --version)"

if [ "$(id -u)" != 0 ]; then
  echo "skipped: the traces need root (a network namespace)"
  [ $failures = 0 ] && exit 77 || exit 1
fi
ns=zarta-console-$$
ip netns add $ns && mkdir -p /etc/netns/$ns || { echo "skipped: no network namespaces"; exit 77; }
trap 'ip netns del $ns; rm -rf /etc/netns/$ns' EXIT
# Its name server is nowhere: a lookup fails at once instead of leaving the namespace.
printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >/etc/netns/$ns/resolv.conf
printf '127.0.0.1 localhost\n' >/etc/netns/$ns/hosts
ip -n $ns link set lo up
trace() { ip netns exec $ns "$trace" "$@"; }

start=$(date +%s%N)
out=$(trace http://127.0.0.1/index.html)
status=$?
elapsed=$((($(date +%s%N) - start) / 1000000))
check "loopback: exit status" 0 $status
check "loopback: first lines" $'127.0.0.1 resolved to 127.0.0.1\nHop\tPing\tLoss\tSent\tIP\tAddress' "$(head -2 <<<"$out")"
check "loopback: hop 1" $'1\t0\t0%\t10\t127.0.0.1\tlocalhost' "$(sed -n 3p <<<"$out")"
check "loopback: three lines" 3 "$(wc -l <<<"$out")"
[ $elapsed -lt 5000 ] || check "loopback within 5 s" "<5000 ms" "$elapsed ms"

out=$(trace 127.0.0.1 127.0.0.1)
check "two traces: two reports, one empty line between" "7 1" "$(wc -l <<<"$out") $(grep -c '^$' <<<"$out")"

out=$(trace --timeout 20 nohost.example)
check "not found: exit status" 1 $?
check "not found: report" "nohost.example not found " "$out"

[ $failures = 0 ]
