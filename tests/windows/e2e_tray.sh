#!/usr/bin/env bash
# zarta.exe end to end: under Wine on a 1024 x 768 Xvfb screen, inside network namespaces of
# its own (client - router - target, documentation addresses), driven by key presses, the
# clipboard, typing and tray messages. Screenshots go to build/e2e/.
#   e2e_tray.sh ZARTA_EXE INSPECT_EXE
set -u
exe=$1
inspect=$2
here=$(cd "$(dirname "$0")/../.." && pwd)
out=$here/build/e2e
wine_run=$here/scripts/wine-run
export WINEPREFIX=${ZARTA_GUI_PREFIX:-$here/build/wine-gui}
export WINEDEBUG=-all
SKIP=77

skip() { echo "SKIP: $*"; exit $SKIP; }
fail() { echo "FAIL: $*"; [ -n "${client:-}" ] && inspect list | sed 's/^/  window: /'; exit 1; }

[ "$(id -u)" = 0 ] || skip "needs root for network namespaces and raw ICMP sockets"
for tool in Xvfb xdotool xclip import ip; do command -v $tool >/dev/null || skip "$tool is not installed"; done
id=zw$$
ip netns add "$id-probe" 2>/dev/null || skip "cannot create network namespaces here"
ip netns del "$id-probe"

client=$id-client router=$id-router target=$id-target
namespaces=("$client" "$router" "$target")
display=
zarta=
xvfb=
cleanup() {
  [ -n "$zarta" ] && kill "$zarta" 2>/dev/null
  ip netns exec "$client" wineserver -k 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  for ns in "${namespaces[@]}"; do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill 2>/dev/null
    ip netns del "$ns" 2>/dev/null
    rm -rf "/etc/netns/$ns"
  done
}
trap cleanup EXIT

# The path: client 192.0.2.2 -> router 192.0.2.1 / 198.51.100.1 -> target 198.51.100.2.
for ns in "${namespaces[@]}"; do
  ip netns add "$ns" || fail "cannot create $ns"
  mkdir -p "/etc/netns/$ns"
  echo "nameserver 127.0.0.1" >"/etc/netns/$ns/resolv.conf"
  printf '127.0.0.1 localhost\n192.0.2.1 router.example\n198.51.100.2 target.example\n' >"/etc/netns/$ns/hosts"
  ip -n "$ns" link set lo up
done
ip -n "$client" link add c0 type veth peer name r0 netns "$router"
ip -n "$router" link add r1 type veth peer name t0 netns "$target"
ip -n "$client" addr add 192.0.2.2/24 dev c0
ip -n "$router" addr add 192.0.2.1/24 dev r0
ip -n "$router" addr add 198.51.100.1/24 dev r1
ip -n "$target" addr add 198.51.100.2/24 dev t0
for pair in "$client c0" "$router r0" "$router r1" "$target t0"; do ip -n ${pair% *} link set ${pair#* } up; done
ip -n "$client" route add default via 192.0.2.1
ip -n "$target" route add default via 198.51.100.1
ip netns exec "$router" sysctl -q -w net.ipv4.ip_forward=1 net.ipv4.icmp_ratelimit=0

inns() { ip netns exec "$client" "$@"; }
inspect() { inns "$wine_run" "$inspect" "$@" 2>/dev/null | tr -d '\r'; }
# The visible top-level window captioned exactly $1: "x y width height", or nothing.
place_of() { inspect list | awk -F'\t' -v c="$1" '$5 == 1 && $7 == c { print $1, $2, $3, $4; exit }'; }
wait_for() {  # seconds, then a command that must succeed
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 4))); do "$@" && return 0; sleep 0.25; done
  return 1
}
visible() { [ -n "$(place_of "$1")" ]; }
shot() { inns import -window root "$out/$1.png"; }
press() {  # a key press on the X display, seen by Wine through one of its own windows
  local window
  window=$(inns xdotool search --name "$1" | head -1)
  [ -n "$window" ] || fail "no X window named $1"
  inns xdotool windowfocus --sync "$window" 2>/dev/null || inns xdotool windowfocus "$window"
  sleep 0.3
  inns xdotool key --clearmodifiers "$2"
}

mkdir -p "$out"
rm -f "$out"/*.png
for n in $(seq 40 69); do
  if [ ! -e /tmp/.X$n-lock ] && [ ! -e /tmp/.X11-unix/X$n ]; then display=$n; break; fi
done
[ -n "$display" ] || fail "no free X display number"
inns Xvfb :$display -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=:$display
wait_for 10 test -e /tmp/.X11-unix/X$display || fail "Xvfb did not start"

# Wine's server must live in the client namespace, where the sockets are to be made.
WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null
if [ ! -f "$WINEPREFIX/.zarta-unmanaged" ]; then
  inns "$wine_run" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  touch "$WINEPREFIX/.zarta-unmanaged"
fi
inns "$wine_run" "$exe" &
zarta=$!

wait_for 60 eval 'inspect list | grep -q "	zarta	zarta$"' || fail "the tray window did not appear"
others=$(inspect list | awk -F'\t' '$5 == 1 && $6 != "__winex11_standalone_tray"')
[ -z "$others" ] || fail "windows visible at start: $others"
echo "ok: started with no window"

press "Wine System Tray" ctrl+shift+e
wait_for 10 visible "Enter host" || fail "Ctrl+Shift+E opened no host entry box"
read -r x y _ <<<"$(place_of "Enter host")"
[ "$x $y" = "724 618" ] || fail "host entry box at ($x, $y)"
echo "ok: host entry box at (724, 618)"

press "Enter host" ctrl+a
inns xdotool type --delay 20 target.example
sleep 0.2
shot host_entry
inns xdotool key Return
caption="Tracing route to target.example"
wait_for 10 visible "$caption" || fail "Enter started no trace window"
read -r x y _ <<<"$(place_of "$caption")"
[ "$x $y" = "544 198" ] || fail "trace window at ($x, $y)"
echo "ok: trace window at (544, 198)"

done_trace() {
  local report
  report=$(inspect text "$caption")
  grep -qP '^1\t\d+\t\d+%\t10\t192\.0\.2\.1\trouter\.example$' <<<"$report" &&
    grep -qP '^2\t\d+\t\d+%\t10\t198\.51\.100\.2\ttarget\.example$' <<<"$report"
}
wait_for 90 done_trace || fail "report never showed both hops with Sent 10: $(inspect text "$caption")"
inspect text "$caption" | sed 's/^/  report: /'
shot trace_window
echo "ok: both hops measured ten times and named"

printf 'http://198.51.100.2/index.html' | inns xclip -selection clipboard
inns xdotool mousemove 1000 700
press "Wine System Tray" ctrl+shift+d
clip_caption="Tracing route to 198.51.100.2"
wait_for 10 visible "$clip_caption" || fail "Ctrl+Shift+D started no trace window"
read -r x y _ <<<"$(place_of "$clip_caption")"
[ "$x $y" = "574 318" ] || fail "clipboard trace window at ($x, $y)"
echo "ok: clipboard trace window at (574, 318)"

inspect post zarta 0x111 40007 0  # WM_COMMAND ID_ABOUT
wait_for 10 visible "About zarta" || fail "About opened no box"
read -r x y _ <<<"$(place_of "About zarta")"
[ "$x $y" = "524 518" ] || fail "About box at ($x, $y)"
shot about
echo "ok: About box at (524, 518)"

inspect post zarta 100000 1 0x203  # the icon double-clicked: the host entry box comes forward
inspect post zarta 0x111 40005 0   # WM_COMMAND ID_CLOSE_WINDOWS
no_traces() { ! inspect list | awk -F'\t' '$5 == 1' | grep -q '	Tracing route to '; }
wait_for 10 no_traces || fail "Close windows left trace windows open"
visible "Enter host" || fail "the host entry box went away"
echo "ok: Close windows closed every trace window"

inspect post zarta 0x111 40002 0  # WM_COMMAND ID_EXIT
for _ in $(seq 40); do kill -0 "$zarta" 2>/dev/null || break; sleep 0.25; done
kill -0 "$zarta" 2>/dev/null && fail "Exit did not end the program"
wait "$zarta"
status=$?
zarta=
[ $status = 1 ] || fail "exit code $status"
echo "ok: Exit ended the program with exit code 1"
echo "screenshots: $out"
