#!/usr/bin/env bash
# e2e_tray.sh ZARTA_EXE INSPECT_EXE: zarta.exe under Wine, on an Xvfb screen in network namespaces of its
# own (client 192.0.2.2 - router 192.0.2.1 / 198.51.100.1 - target 198.51.100.2): what only the whole program shows.
set -u
exe=$1 inspect=$2 here=$(dirname "$0") caption="Tracing route to target.example"
source "$here/../integration/lib.sh" && source "$here/with_xvfb.sh" && zt_require Xvfb xdotool xclip setpriv wineserver
zt_ns client "192.0.2.1 router.example" "198.51.100.2 target.example" && zt_ns router && zt_ns target
zt_link client 192.0.2.2 router 192.0.2.1 24 && zt_link router 198.51.100.1 target 198.51.100.2 24
zt_exec client ip route add default via 192.0.2.1 && zt_exec target ip route add default via 198.51.100.1
zt_exec router sysctl -qw net.ipv4.ip_forward=1 net.ipv4.icmp_ratelimit=0
wineserver -k 2>/dev/null  # Wine's server lives in the client namespace, where the sockets are made
trap 'zt_exec client wineserver -k 2>/dev/null; zt_cleanup' EXIT
ns() { zt_exec client "$@"; }
inspect() { ns "$wine_run" "$inspect" "$@" 2>/dev/null | tr -d '\r'; }
fail() { echo "FAIL: $*"; inspect list | sed 's/^/  window: /'; exit 1; }
wait_for() { for ((t = $1 * 4; t > 0; t--)); do "${@:2}" && return 0; sleep 0.25; done && return 1; }  # SECONDS COMMAND...
shown() { [ "$(inspect list | grep -c "^1	#32770	$caption$")" = "$1" ]; }
start_zarta() {  # the tray window up, and no window shown
  ns "$wine_run" "$exe" & zarta=$!
  wait_for 60 eval 'inspect list | grep -q "	zarta	zarta$"' || fail "the tray window did not appear"
  ! inspect list | grep -v __winex11_standalone_tray | grep -q '^1' || fail "a window shown at start"
}
# The clipboard hot key pressed on the X display, which Wine sees through one of its windows: the
# report to the end, exact; over the veth pairs every probe comes back within 0 or 1 ms.
expected=$'target.example resolved to 198.51.100.2\nHop\tPing\tLoss\tSent\tIP\tAddress
1\t0|1\t0%\t10\t192.0.2.1\trouter.example\n2\t0|1\t0%\t10\t198.51.100.2\ttarget.example'
report() { inspect text "$caption" | sed -E 's/^([12])\t[01]\t/\1\t0|1\t/'; }
trace_clipboard() {
  printf 'http://target.example/index.html' | ns xclip -selection clipboard
  ns xdotool windowfocus --sync "$(ns xdotool search --name 'Wine System Tray' | head -1)" key --clearmodifiers ctrl+shift+d
  wait_for 90 eval '[ "$(report)" = "$expected" ]' || fail "$1: the report is not"$'\n'"$expected"$'\n'"but"$'\n'"$(report)"
}
start_xvfb ip netns exec "$ZT_ID-client" || fail "Xvfb did not start"
start_zarta && trace_clipboard administrator

# Fifty traces from the hot key then "Close windows", cycle after cycle: all fifty each time, and the
# threads, windows (closed ones stay, hidden, until their slot is reused) and memory flat.
process=$(pgrep -x zarta.exe | grep -xF "$(ip netns pids "$ZT_ID-client")")
tasks() { ls /proc/$process/task | wc -l; }
usage() { echo "$(tasks) $(inspect list | wc -l) $(awk '/^VmRSS/ { print $2 }' /proc/$process/status)"; }
for cycle in $(seq 0 "${ZARTA_SOAK_CYCLES:-2}"); do
  [ "$cycle" = 0 ] || { inspect post 0x312 1 50 && wait_for 30 shown 50; } || fail "cycle $cycle: not fifty trace windows"
  inspect post 0x111 40005 1  # WM_COMMAND ID_CLOSE_WINDOWS, after WM_HOTKEY HOTKEY_CLIPBOARD_TRACE
  [ "$cycle" = 0 ] && sleep 1 && threads=$(tasks)
  wait_for 30 eval 'shown 0 && [ "$(tasks)" -le "$threads" ]' || fail "cycle $cycle: windows or workers left: $(usage)"
  [ "$cycle" = 1 ] && first=$(usage)
done
read -r t0 w0 m0 <<<"$first" && read -r t1 w1 m1 <<<"$(usage)"
[ "$t1" = "$t0" ] && [ "$w1" = "$w0" ] && [ "$m1" -le $((m0 + 8192)) ] || fail "threads, windows, KiB: $first, then $t1 $w1 $m1"
inspect post 0x111 40002 1  # WM_COMMAND ID_EXIT
wait_for 10 eval '! kill -0 $zarta 2>/dev/null' || fail "Exit did not end the program"
wait "$zarta"; [ $? = 1 ] || fail "Exit ended the program with an exit code other than 1"

# A standard user: wineserver, which makes the program's sockets, without raw sockets; the ICMP helper keeps its own.
ns wineserver -k 2>/dev/null; ns setpriv --bounding-set -net_raw wineserver -p || fail "wineserver did not start"
start_zarta && trace_clipboard "standard user"
