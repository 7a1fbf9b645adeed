#!/usr/bin/env bash
# Checks a Windows DLL's export table against a list, and that the DLL needs
# no MinGW runtime DLL beside it.
#
#   check-dll-exports.sh [--stdcall] <objdump> <dll> <list>
#
# <list> has one export a line: "<ordinal> <name> <argument count>", with
# "-" as ordinal where any will do. The table must hold exactly these names,
# each at its ordinal, none decorated ("name@N"). With --stdcall (32-bit
# x86) each export must also remove its own arguments: every "ret" in the
# function's body is "ret $N" with N = 4 x arguments (a plain "ret" for
# none). The DLL must keep its symbols for that check, which tell where each
# function ends.
set -euo pipefail

stdcall=0
if [ "${1:-}" = "--stdcall" ]; then
  stdcall=1
  shift
fi
if [ $# -ne 3 ]; then
  echo "usage: $0 [--stdcall] <objdump> <dll> <list>" >&2
  exit 2
fi
objdump=$1 dll=$2 list=$3
name=$(basename "$dll")
fail=0
problem() {
  echo "$name: $*" >&2
  fail=1
}

headers=$("$objdump" -p "$dll")

# Imports: system DLLs only (libstdc++-6.dll, libgcc_s_*.dll and
# libwinpthread-1.dll are linked in statically).
while read -r import; do
  case "${import,,}" in
    lib*.dll) problem "imports $import, which would have to be shipped beside it" ;;
  esac
done < <(awk -F': ' '/DLL Name:/ { print $2 }' <<<"$headers")

# "<ordinal> <rva>" for every entry of the export address table, and
# "<ordinal> <name>" for every name.
base=$(awk '/Export Address Table -- Ordinal Base/ { print $NF; exit }' <<<"$headers")
if [ -z "$base" ]; then
  problem "no export table"
  exit 1
fi
addresses=$(sed -n 's/^[[:space:]]*\[ *[0-9]*\] +base\[ *\([0-9]*\)\] *\([0-9a-fA-F]*\) Export RVA$/\1 \2/p' \
  <<<"$headers")
names=$(awk -v base="$base" '
  /^\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
  table && NF == 0 { table = 0 }
  table { idx = $0; sub(/^[ \t]*\[ */, "", idx); sub(/\].*/, "", idx)
          print idx + base, $NF }' <<<"$headers")

expected=$(grep -v '^[[:space:]]*\(#\|$\)' "$list")
want_count=$(wc -l <<<"$expected")
[ "$(wc -l <<<"$names")" -eq "$want_count" ] ||
  problem "exports $(wc -l <<<"$names") names, expected $want_count:" $(awk '{ print $2 }' <<<"$names")
[ "$(wc -l <<<"$addresses")" -eq "$want_count" ] ||
  problem "export address table has $(wc -l <<<"$addresses") entries, expected $want_count"
while read -r ordinal export; do
  [[ "$export" == *@* ]] && problem "decorated export name $export (ordinal $ordinal)"
done <<<"$names"

disassembly=
if [ "$stdcall" = 1 ]; then
  image_base=$(awk '/^ImageBase/ { print $2; exit }' <<<"$headers")
  # "<function address> <bytes popped>" for every ret, by the symbol it is in.
  disassembly=$("$objdump" -d --no-show-raw-insn "$dll" | awk '
    /^[0-9a-f]+ <.*>:$/ { fn = $1; next }
    /\tret/ { n = 0
              if (match($0, /\$0x[0-9a-f]+/)) n = substr($0, RSTART + 1, RLENGTH - 1)
              print fn, n }')
fi

while read -r ordinal export argc; do
  found=$(awk -v n="$export" '$2 == n { print $1 }' <<<"$names")
  if [ -z "$found" ]; then
    problem "$export is not exported"
    continue
  fi
  if [ "$ordinal" != "-" ] && [ "$found" != "$ordinal" ]; then
    problem "$export at ordinal $found, expected $ordinal"
  fi
  [ "$stdcall" = 1 ] || continue
  rva=$(awk -v o="$found" '$1 == o { print $2 }' <<<"$addresses")
  address=$(printf '%08x' $((16#$image_base + 16#$rva)))
  pops=$(awk -v a="$address" '$1 == a { print $2 }' <<<"$disassembly" | sort -u)
  want=$((4 * argc))
  if [ -z "$pops" ]; then
    problem "$export: no ret found in its body (at 0x$address)"
    continue
  fi
  for pop in $pops; do
    [ $((pop)) -eq "$want" ] || problem "$export ($argc arguments) has ret \$$((pop)), expected ret \$$want"
  done
done <<<"$expected"

if [ "$fail" = 0 ]; then
  echo "$name: $want_count exports as expected$([ "$stdcall" = 1 ] && echo ', each removing its arguments')"
fi
exit "$fail"
