#!/usr/bin/env bash
# check_imports.sh EXE OBJDUMP 4|8: zarta.exe is one GUI file of that pointer size, needs no DLL Windows lacks, imports
# none of the newer functions it looks up as it runs (Wine 8 lacks Icmp6ParseReplies: it would not start); its manifest.
dump=$("$2" -p "$1") || exit 1
magic=$([ "$3" = 8 ] && echo 020b || echo 010b)
grep -Pzq "(?ms)^Magic\\s*$magic.*^Subsystem\\s*00000002" <<<"$dump" || { echo "not a $(($3 * 8))-bit GUI program"; exit 1; }
! sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | sed 's/^/not shipped with Windows: /' |
  grep -viE ' (kernel32|user32|gdi32|shell32|ws2_32|iphlpapi|winmm|msvcrt|advapi32)\.dll$' || exit 1
late=$(grep -owE 'CancelIoEx|CreateWaitableTimerExW|Icmp6\w+' <<<"$dump") &&
  { echo "imported, older Windows (or Wine) cannot start it:" $late; exit 1; }
grep -aq 'level="asInvoker"' "$1" && grep -aq '<dpiAware>true</dpiAware>' "$1" || { echo "no manifest"; exit 1; }
