#!/usr/bin/env bash
# e2e_tray.sh ZARTA_EXE GUI_TESTS_EXE: zarta.exe under Wine, on an Xvfb screen, on lib.sh's kernel path, as a standard
# user: Wine's server, which makes the program's sockets, without raw sockets (the ICMP helper keeps its own).
set -u
exe=$1 tests=$2 here=$(dirname "$0")
source "$here/../integration/lib.sh" && source "$here/with_xvfb.sh" && . "$wine_run" --env "$exe" || exit
zt_require Xvfb xdotool xclip setpriv iptables && zt_kernel_path
ns() { zt_exec client "$@"; }
fail() { echo "FAIL: $*"; exit 1; }
wait_for() { for ((t = $1 * 4; t > 0; t--)); do "${@:2}" && return 0; sleep 0.25; done && return 1; }  # SECONDS COMMAND...
"$wine_server" -k 2>/dev/null; trap 'ns "$wine_server" -k 2>/dev/null; zt_cleanup' EXIT  # the server runs where sockets are made
ns setpriv --bounding-set -net_raw "$wine_server" -p && start_xvfb ip netns exec "$ZT_ID-client" || fail "no wineserver or Xvfb"
ns "$wine_run" "$exe" & zarta=$!
tray() { ns xdotool search --name 'Wine System Tray' | head -1; }
wait_for 60 eval '[ -n "$(tray)" ]' || fail "the tray icon did not appear"
# The clipboard hot key on the X display, which Wine sees through its window: the report exact.
report() { ns "$wine_run" "$tests" text "Tracing route to target.example" 2>/dev/null | tr -d '\r' | zt_wine_pings_as_0; }
printf 'http://target.example/index.html' | ns xclip -selection clipboard
traced() { ns xdotool search --name 'Tracing route to target.example' >/dev/null; }
press() { ns xdotool windowfocus --sync "$(tray)" key --clearmodifiers ctrl+shift+d && sleep 2; }  # again if lost
wait_for 60 eval 'traced || { press && traced; }' || fail "the clipboard hot key started no trace"
wait_for 90 eval '[ "$(report)" = "$(zt_kernel_report)" ]' || fail $'the report is not\n'"$(zt_kernel_report)"$'\nbut\n'"$(report)"
ns "$wine_run" "$tests" post 0x111 40002  # WM_COMMAND ID_EXIT
wait_for 10 eval '! kill -0 $zarta 2>/dev/null' && { wait "$zarta"; [ $? = 1 ]; } || fail "Exit did not end the program with 1"
