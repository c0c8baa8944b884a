#!/bin/sh
# check-imports.sh EXE: fails, naming them, if the executable imports any DLL
# besides the system ones Lumrio is allowed to depend on. The runtime
# libraries must be linked in statically, so a libstdc++, libgcc or
# winpthread DLL in the list is a build mistake.
set -eu

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
  echo "usage: $0 EXE" >&2
  exit 2
fi
exe=$1

case "$(file -b "$exe")" in
  *x86-64*) objdump=x86_64-w64-mingw32-objdump ;;
  *) objdump=i686-w64-mingw32-objdump ;;
esac

allowed="kernel32.dll user32.dll gdi32.dll comctl32.dll winmm.dll advapi32.dll shell32.dll msvcrt.dll"

imports=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr 'A-Z' 'a-z' | tr -d '\r')
if [ -z "$imports" ]; then
  echo "$exe: no import table found" >&2
  exit 1
fi

unexpected=""
for dll in $imports; do
  case " $allowed " in
    *" $dll "*) ;;
    *) unexpected="$unexpected $dll" ;;
  esac
done

if [ -n "$unexpected" ]; then
  echo "$exe imports DLLs outside the allowed set:$unexpected" >&2
  exit 1
fi
echo "$exe imports:" $imports
