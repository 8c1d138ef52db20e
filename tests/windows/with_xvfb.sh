#!/usr/bin/env bash
# Runs a Wine command on a private Xvfb screen of 1024 x 768, in the Wine prefix build/wine-gui.
# Without a window manager Wine waits two seconds for every window it hides unless it draws the
# window frames itself, so that prefix is set up to do so.
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX=${ZARTA_GUI_PREFIX:-$here/build/wine-gui}
wine_run=$here/scripts/wine-run

display=
for n in $(seq 70 99); do
  if [ ! -e /tmp/.X$n-lock ] && [ ! -e /tmp/.X11-unix/X$n ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "no free X display number"; exit 1; }
Xvfb :$display -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e /tmp/.X11-unix/X$display ] && break; sleep 0.05; done
export DISPLAY=:$display

if [ ! -f "$WINEPREFIX/.zarta-unmanaged" ]; then
  "$wine_run" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
  touch "$WINEPREFIX/.zarta-unmanaged"
fi
"$wine_run" "$@"
