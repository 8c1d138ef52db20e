#!/usr/bin/env bash
# Runs a Wine command on a private 1024 x 768 Xvfb screen, in the Wine prefix build/wine-gui;
# e2e_tray.sh sources it for start_xvfb. Without a window manager Wine waits two seconds for
# every window it hides unless it draws the window frames itself, so the prefix is set to.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export WINEPREFIX=${ZARTA_GUI_PREFIX:-$here/build/wine-gui} WINEDEBUG=-all
wine_run=$here/scripts/wine-run
start_xvfb() {  # [PREFIX...]: Xvfb run through PREFIX on a free display; sets DISPLAY and xvfb
  local display
  coproc XVFB { exec "$@" Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null; }
  xvfb=$XVFB_PID
  read -r -t 10 display <&"${XVFB[0]}" || return 1
  export DISPLAY=:$display
  [ -f "$WINEPREFIX/.zarta-unmanaged" ] && return 0
  "$@" "$wine_run" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 &&
    touch "$WINEPREFIX/.zarta-unmanaged"
}
[ "${BASH_SOURCE[0]}" = "$0" ] || return 0
set -eu
start_xvfb || { echo "Xvfb did not start"; exit 1; }
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null || true' EXIT
"$wine_run" "$@"
