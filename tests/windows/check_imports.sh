#!/usr/bin/env bash
# zarta.exe must be one 32-bit GUI file that needs nothing but DLLs every Windows has.
dump=$(i686-w64-mingw32-objdump -p "$1") || exit 1
grep -Pzq '(?ms)^Magic\s*010b.*^Subsystem\s*00000002' <<<"$dump" || { echo "not a 32-bit GUI program"; exit 1; }
! sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | sed 's/^/not shipped with Windows: /' |
  grep -viE ' (kernel32|user32|gdi32|shell32|ws2_32|iphlpapi|msvcrt|advapi32)\.dll$'
