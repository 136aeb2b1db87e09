#!/bin/sh
# The shipped DLL: of the expected width (32: pei-i386, 64: pei-x86-64), every name of the
# module-definition file exported undecorated, and only Windows system DLLs imported.
set -e
dll="$1"; def="$2"; width="${3:-32}"
dump=$(objdump -p "$dll")
if [ "$width" = 64 ]; then format=pei-x86-64; else format=pei-i386; fi
echo "$dump" | grep -q "file format $format" || { echo "not a $width-bit PE file ($format)"; exit 1; }
names=$(sed -n '/^EXPORTS/,$p' "$def" | tail -n +2 | awk '{print $1}')
for n in $names; do
  echo "$dump" | grep -Eq "\] $n\$" || { echo "export missing or decorated: $n"; exit 1; }
done
if echo "$dump" | grep -E '^\s*\[.*\] [A-Za-z_0-9]*@[0-9]+$' >/dev/null; then
  echo "decorated export found"; exit 1
fi
allowed='^(kernel32|user32|ws2_32|advapi32|setupapi|iphlpapi|msvcrt|ole32|oleaut32|shell32|api-ms-win-.*)\.dll$'
for imp in $(echo "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z'); do
  echo "$imp" | grep -Eq "$allowed" || { echo "imports a non-system DLL: $imp"; exit 1; }
done
echo "DLL checks passed: $width-bit, $(echo "$names" | wc -w) exports"
