#!/usr/bin/env bash
# with_xvfb.sh PROGRAM.exe [ARGS...]: a Wine program on an Xvfb screen of its own, of $ZARTA_SCREEN's size and DPI
# ("1024x768 at 96" unless set), in the prefix build/wine-gui of the program's width; e2e_tray.sh sources it. With no
# window manager Wine waits 2 s for each window it hides unless it draws the frames itself: the prefix is set to.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export ZARTA_WINE_PREFIX=${ZARTA_GUI_PREFIX:-$here/build/wine-gui} WINEDEBUG=-all && wine_run=$here/scripts/wine-run
start_xvfb() {  # [PREFIX...]: Xvfb run through PREFIX on a free display; sets DISPLAY
  export ZARTA_SCREEN=${ZARTA_SCREEN:-1024x768 at 96}
  coproc XVFB { exec "$@" Xvfb -displayfd 1 -screen 0 "${ZARTA_SCREEN%% *}x24" -nolisten tcp 2>/dev/null; }
  read -r -t 10 display <&"${XVFB[0]}" && export DISPLAY=:$display &&
    "$@" "$wine_run" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 &&
    "$@" "$wine_run" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "${ZARTA_SCREEN##* }" /f >/dev/null 2>&1
}
[ "${BASH_SOURCE[0]}" = "$0" ] || return 0
# Run by itself, in a network namespace of its own with Wine's server: nothing sent leaves, names come from its hosts.
source "$here/tests/integration/lib.sh" && . "$wine_run" --env "$1" || exit
zt_require Xvfb && zt_ns gui "::1 ipv6-loopback.example" && ns=(ip netns exec "$ZT_ID-gui") || exit
"$wine_server" -k 2>/dev/null; "$wine_server" -w  # a session left from another screen keeps that screen's size
trap '"${ns[@]}" "$wine_server" -k 2>/dev/null; zt_cleanup' EXIT
start_xvfb "${ns[@]}" || { echo "Xvfb or Wine did not start"; exit 1; }
"${ns[@]}" "$wine_run" "$@"
