#!/usr/bin/env bash
# zarta.exe end to end: under Wine on a 1024 x 768 Xvfb screen, inside network namespaces of
# its own (client - router - target, documentation addresses), driven by key presses, the
# clipboard, typing and tray messages. Screenshots go to build/e2e/.
#   e2e_tray.sh ZARTA_EXE INSPECT_EXE
set -u
exe=$1 inspect=$2
source "$(dirname "$0")/with_xvfb.sh"
out=$here/build/e2e
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; inspect list | sed 's/^/  window: /'; exit 1; }

[ "$(id -u)" = 0 ] || skip "needs root for network namespaces and raw ICMP sockets"
for tool in Xvfb xdotool xclip import ip gcc; do command -v $tool >/dev/null || skip "$tool is not installed"; done
id=zw$$
ip netns add "$id-probe" 2>/dev/null || skip "cannot create network namespaces here"
ip netns del "$id-probe"
client=$id-client router=$id-router target=$id-target zarta= xvfb=
cleanup() {
  [ -n "$zarta" ] && kill "$zarta" 2>/dev/null
  ip netns exec "$client" wineserver -k 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  for ns in $client $router $target; do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill 2>/dev/null
    ip netns del "$ns" 2>/dev/null
    rm -rf "/etc/netns/$ns"
  done
}
trap cleanup EXIT

# The path: client 192.0.2.2 -> router 192.0.2.1 / 198.51.100.1 -> target 198.51.100.2.
for ns in $client $router $target; do
  ip netns add "$ns" && mkdir -p "/etc/netns/$ns" || fail "cannot create $ns"
  echo "nameserver 127.0.0.1" >"/etc/netns/$ns/resolv.conf"
  printf '127.0.0.1 localhost\n192.0.2.1 router.example\n198.51.100.2 target.example\n' >"/etc/netns/$ns/hosts"
  ip -n "$ns" link set lo up
done
ip -n "$client" link add c0 type veth peer name r0 netns "$router"
ip -n "$router" link add r1 type veth peer name t0 netns "$target"
for link in "$client c0 192.0.2.2" "$router r0 192.0.2.1" "$router r1 198.51.100.1" "$target t0 198.51.100.2"; do
  read -r ns device address <<<"$link"
  ip -n "$ns" addr add "$address/24" dev "$device" && ip -n "$ns" link set "$device" up
done
ip -n "$client" route add default via 192.0.2.1
ip -n "$target" route add default via 198.51.100.1
ip netns exec "$router" sysctl -q -w net.ipv4.ip_forward=1 net.ipv4.icmp_ratelimit=0

inns() { ip netns exec "$client" "$@"; }
inspect() { inns "$wine_run" "$inspect" "$@" 2>/dev/null | tr -d '\r'; }
wait_for() {  # seconds, then a command that must succeed
  local tries=$(($1 * 4))
  shift
  until "$@"; do ((--tries > 0)) || return 1; sleep 0.25; done
}
# The visible top-level window captioned exactly $1: "x y", or nothing.
place_of() { inspect list | awk -F'\t' -v c="$1" '$5 == 1 && $7 == c { print $1, $2; exit }'; }
visible() { [ -n "$(place_of "$1")" ]; }
expect_at() {  # CAPTION X Y CAUSE: the window comes up at (X, Y)
  wait_for 10 visible "$1" || fail "$4 opened no window \"$1\""
  [ "$(place_of "$1")" = "$2 $3" ] || fail "\"$1\" at ($(place_of "$1")), not ($2, $3)"
  echo "ok: $4 opened \"$1\" at ($2, $3)"
}
shot() { inns import -window root "$out/$1.png"; }
press() {  # a key press on the X display, seen by Wine through one of its own windows
  local window
  window=$(inns xdotool search --name "$1" | head -1)
  [ -n "$window" ] || fail "no X window named $1"
  inns xdotool windowfocus --sync "$window" 2>/dev/null || inns xdotool windowfocus "$window"
  sleep 0.3
  inns xdotool key --clearmodifiers "$2"
}

caption="Tracing route to target.example"
# The finished report, whole; over the veth pairs every probe comes back within 0 or 1 ms.
expected=$'target.example resolved to 198.51.100.2\nHop\tPing\tLoss\tSent\tIP\tAddress
1\t0|1\t0%\t10\t192.0.2.1\trouter.example\n2\t0|1\t0%\t10\t198.51.100.2\ttarget.example'
finished() { [ "$(inspect text "$caption" | grep -c $'\t10\t.*example$')" = 2 ]; }
trace_typed() {  # [TAG]: target.example typed into the host entry box, its trace's report to the end
  press "Wine System Tray" ctrl+shift+e
  expect_at "Enter host" 724 618 Ctrl+Shift+E
  press "Enter host" ctrl+a
  inns xdotool type --delay 20 target.example
  sleep 0.2
  shot "${1:+$1_}host_entry"
  inns xdotool key Return
  expect_at "$caption" 544 198 Enter
  wait_for 90 finished || fail "${1:+$1: }report never showed both hops with Sent 10: $(inspect text "$caption")"
  inspect text "$caption" | sed 's/^/  report: /'
  shot "${1:+$1_}trace_window"
  [ "$(inspect text "$caption" | sed -E 's/^([12])\t[01]\t/\1\t0|1\t/')" = "$expected" ] ||
    fail "${1:+$1: }report is not exactly:"$'\n'"$expected"
  echo "ok: ${1:+$1: }both hops measured ten times and named, no probe lost"
}

mkdir -p "$out" && rm -f "$out"/*.png
# Wine's server must live in the client namespace, where the sockets are to be made.
wineserver -k 2>/dev/null
start_xvfb ip netns exec "$client" || fail "Xvfb did not start"
WINEDEBUG=err+all,+seh,+tid inns "$wine_run" "$exe" 2>/tmp/zprobe/zarta_err.txt &
zarta=$!
wait_for 60 eval 'inspect list | grep -q "	zarta	zarta$"' || fail "the tray window did not appear"
others=$(inspect list | awk -F'\t' '$5 == 1 && $6 != "__winex11_standalone_tray"')
[ -z "$others" ] || fail "windows visible at start: $others"
echo "ok: started with no window"

trace_typed
sleep 20
exit 0
