#!/usr/bin/env bash
# zarta.exe must be one 32-bit GUI file that needs nothing but DLLs every Windows has.
set -eu
exe=$1
dump=$(i686-w64-mingw32-objdump -p "$exe")
grep -q '^Magic[[:space:]]*010b' <<<"$dump" || { echo "not PE32"; exit 1; }
grep -q 'Subsystem[[:space:]]*00000002' <<<"$dump" || { echo "not a GUI program"; exit 1; }
status=0
while read -r dll; do
  case "${dll,,}" in
    kernel32.dll | user32.dll | gdi32.dll | shell32.dll | ws2_32.dll | iphlpapi.dll | msvcrt.dll | advapi32.dll) echo "ok: $dll" ;;
    *) echo "not shipped with Windows: $dll"; status=1 ;;
  esac
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump")
exit $status
