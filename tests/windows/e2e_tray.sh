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
inns "$wine_run" "$exe" &
zarta=$!
wait_for 60 eval 'inspect list | grep -q "	zarta	zarta$"' || fail "the tray window did not appear"
others=$(inspect list | awk -F'\t' '$5 == 1 && $6 != "__winex11_standalone_tray"')
[ -z "$others" ] || fail "windows visible at start: $others"
echo "ok: started with no window"

trace_typed

printf 'http://198.51.100.2/index.html' | inns xclip -selection clipboard
inns xdotool mousemove 1000 700
press "Wine System Tray" ctrl+shift+d
expect_at "Tracing route to 198.51.100.2" 574 318 Ctrl+Shift+D
inspect post zarta 0x111 40007 0  # WM_COMMAND ID_ABOUT
expect_at "About zarta" 524 518 About
shot about

inspect post zarta 100000 1 0x203  # the icon double-clicked: the host entry box comes forward
inspect post zarta 0x111 40005 0   # WM_COMMAND ID_CLOSE_WINDOWS
no_traces() { ! inspect list | awk -F'\t' '$5 == 1' | grep -q '	Tracing route to '; }
wait_for 10 no_traces || fail "Close windows left trace windows open"
visible "Enter host" || fail "the host entry box went away"
echo "ok: Close windows closed every trace window"

# Fifty traces from the clipboard hot key, then "Close windows", cycle after cycle
# (ZARTA_SOAK_CYCLES, 2 by default): each cycle must open all fifty, so every slot came back, and
# the program's threads (every worker ended), windows, handles and memory must stay flat.
# Wine names the process of a Windows program after it; a passing fork may bear the name too.
process=$(for p in $(pgrep -x zarta.exe); do echo "$(ls /proc/$p/task | wc -l) $p"; done | sort -n | tail -1 | cut -d' ' -f2)
usage() { echo "$(ls /proc/$process/task | wc -l) $(inspect list | wc -l) $(awk '/^VmRSS/ { print $2 }' /proc/$process/status)"; }
printf 'http://198.51.100.2/index.html' | inns xclip -selection clipboard
traces_shown() { [ "$(inspect list | awk -F'\t' '$5 == 1' | grep -c "	Tracing route to 198.51.100.2$")" = "$1" ]; }
settled() { traces_shown 0 && [ "$(ls /proc/$process/task | wc -l)" = "${threads:-0}" ]; }
threads=$(ls /proc/$process/task | wc -l)
for cycle in $(seq "${ZARTA_SOAK_CYCLES:-2}"); do
  inspect post zarta 0x312 1 0 50  # WM_HOTKEY HOTKEY_CLIPBOARD_TRACE
  wait_for 30 traces_shown 50 || fail "cycle $cycle: not fifty trace windows"
  inspect post zarta 0x111 40005 0
  wait_for 30 settled || fail "cycle $cycle: windows or workers left: $(usage), $(traces_shown 0 || echo traces shown)"
  # Closed trace windows stay, hidden, until their slots are reused: flat from the first cycle on.
  [ "$cycle" = 1 ] && first=$(usage)
done
last=$(usage)
echo "fifty traces opened and closed ${ZARTA_SOAK_CYCLES:-2} times; threads, windows, resident KiB:" \
  "after the first cycle $first, after the last $last"
read -r t0 w0 m0 <<<"$first"
read -r t1 w1 m1 <<<"$last"
[ "$t1" = "$t0" ] && [ "$w1" = "$w0" ] && [ "$m1" -le $((m0 + 8192)) ] || fail "resources grew over the cycles"

inspect post zarta 0x111 40002 0  # WM_COMMAND ID_EXIT
wait_for 10 eval '! kill -0 $zarta 2>/dev/null' || fail "Exit did not end the program"
wait "$zarta"
status=$? zarta=
[ $status = 1 ] || fail "exit code $status"
echo "ok: Exit ended the program with exit code 1"

# A standard user: Wine makes the program's sockets in wineserver, which now may not have a raw
# ICMP socket, while the ICMP helper API makes its own in another Wine process.
gcc -shared -fPIC -o "$out/refuse_icmp.so" "$(dirname "$0")/refuse_icmp.c" -ldl || fail "cannot build refuse_icmp.so"
inns wineserver -k 2>/dev/null
inns env LD_PRELOAD="$out/refuse_icmp.so" wineserver -p || fail "wineserver did not start"
inns "$wine_run" "$exe" &
zarta=$!
wait_for 60 eval 'inspect list | grep -q "	zarta	zarta$"' || fail "the tray window did not appear"
trace_typed standard_user
echo "screenshots: $out"
