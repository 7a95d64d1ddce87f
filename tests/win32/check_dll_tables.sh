#!/usr/bin/env bash
# Checks the export and import tables of a Windows DLL with `objdump -p`.
#
#   check_dll_tables.sh OBJDUMP DLL FORMAT IMPORTS EXPORT...
#
# FORMAT is the file format objdump must report (pei-i386, pei-x86-64). The DLL must export
# exactly the EXPORT names, undecorated (no "_" prefix, no "@n" suffix: anything else than the
# listed names fails). IMPORTS is a comma-separated list of the non-system DLLs it may import
# (empty for none); every other import must be a Windows system DLL, so no MinGW runtime DLL
# (libstdc++, libgcc_s, libwinpthread) may be needed beside it. Prints what differs; exit 0 when
# both tables are as expected, 1 otherwise, 2 on bad arguments.
set -euo pipefail

[ $# -ge 5 ] || { echo "usage: $0 OBJDUMP DLL FORMAT IMPORTS EXPORT..." >&2; exit 2; }
objdump=$1 dll=$2 format=$3 allowed=$4
shift 4
[ -f "$dll" ] || { echo "$dll: no such file"; exit 1; }

# Windows' own libraries, which every system has (the C runtime included).
system_dlls='^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|ntdll|msvcrt|ws2_32|comctl32|comdlg32|version|winmm|bcrypt|api-ms-win-[a-z0-9-]+)\.dll$'

dump=$("$objdump" -p "$dll")
status=0

if ! "$objdump" -f "$dll" | grep -q "file format $format\$"; then
  echo "$dll: not $format: $("$objdump" -f "$dll" | sed -n 's/.*file format //p')"
  status=1
fi

# Names of the export name table: lines "[   n] name" after "[Ordinal/Name Pointer] Table".
exports=$(printf '%s\n' "$dump" | awk '
  /^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
  on && /^[ \t]*\[ *[0-9]+\]/ { sub(/^[ \t]*\[ *[0-9]+\] */, ""); print; next }
  on && NF == 0 { on = 0 }' | sort)
expected=$(printf '%s\n' "$@" | sort)
if [ "$exports" != "$expected" ]; then
  echo "$dll: exports differ (< expected, > found):"
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$exports") | grep '^[<>]' || true
  status=1
fi

imports=$(printf '%s\n' "$dump" | sed -n 's/^[ \t]*DLL Name: *//p')
while IFS= read -r name; do
  [ -n "$name" ] || continue
  lower=$(printf '%s' "$name" | tr 'A-Z' 'a-z')
  if [[ ",${allowed,,}," == *",$lower,"* ]]; then continue; fi
  if [[ "$lower" =~ $system_dlls ]]; then continue; fi
  echo "$dll: imports $name, which is neither allowed nor a system DLL"
  status=1
done <<< "$imports"

for need in ${allowed//,/ }; do
  if ! printf '%s\n' "$imports" | grep -qix "$need"; then
    echo "$dll: does not import $need"
    status=1
  fi
done

[ $status -eq 0 ] && echo "$dll: $(printf '%s\n' "$@" | wc -l) exports, imports: $(echo $imports)"
exit $status
