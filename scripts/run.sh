#!/usr/bin/env bash
# The main job: the tray program, zarta.exe, under Wine on this X display. Without a display,
# says so and shows the console front end instead.
set -eu
cd "$(dirname "$0")/.."
if [ -z "${DISPLAY:-}" ]; then
  echo "run: no X display (\$DISPLAY is empty), so the tray program cannot be shown." >&2
  echo "run: the console front end traces without one: sudo build/native/zarta-trace HOST; here it is on 127.0.0.1:" >&2
  if [ "$(id -u)" = 0 ]; then exec build/native/zarta-trace 127.0.0.1; else exec sudo build/native/zarta-trace 127.0.0.1; fi
fi
# The product is the 32-bit program; a machine whose kernel runs no 32-bit program gets the same sources built for 64.
exe=build/win32/zarta.exe
if ! refused=$(. scripts/wine-run --env "$exe"); then
  echo "run: ${refused#skipped: }" | sed 's/ these tests$/ instead/' >&2
  exe=build/win64/zarta.exe
fi
echo "run: $exe is in the tray; Ctrl+Shift+E opens the host box, Ctrl+Shift+D traces the clipboard's host."
echo "run: under Wine the ICMP helper API sends through Wine's own sockets: run as root, or allow ping sockets (sysctl net.ipv4.ping_group_range)."
exec scripts/wine-run "$exe"
