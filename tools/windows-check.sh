#!/usr/bin/env bash
# The Windows side: builds the 32-bit product (Quillon.dll, Vantrel.dll) with
# its tests and the 64-bit build with MinGW-w64, checks the DLLs' export
# tables, runs each build's tests under Wine of its own bitness (32-bit Wine
# in build/mingw32/wineprefix, wine64 in build/mingw64/wineprefix), then a
# host program with each DLL and the family-A emulator on a Wine COM port
# (tools/wine-com-check.sh). The Windows installers (MSI, wixl) of both
# builds are made, their version checked against the DLLs' version
# resources, and the 64-bit one is installed under wine64 with the XFS4IoT
# service (tools/wine-service-check.sh).
#
# Without the cross compilers, wine64 or the GoogleTest sources the check is
# skipped with a message, unless QUILLON_REQUIRE_WINDOWS=1 (CI), which makes
# a missing tool an error. Without 32-bit Wine (wine32:i386) the 32-bit runs
# alone are skipped, an error as well with QUILLON_REQUIRE_WINDOWS=1. A
# system that runs no 32-bit x86 program (a kernel without IA-32 emulation)
# skips them with a notice in any case: no package helps there. The 32-bit
# tests are built all the same.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for tool in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
command -v wine64 >/dev/null 2>&1 || [ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(/usr/src/googletest)
if [ ${#missing[@]} -gt 0 ]; then
  echo "windows-check: missing ${missing[*]}" >&2
  if [ "${QUILLON_REQUIRE_WINDOWS:-0}" = 1 ]; then
    exit 1
  fi
  echo "windows-check: SKIPPED (apt-get install g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 googletest)" >&2
  exit 0
fi

# The installers need wixl and msiinfo (msitools); the service in them
# Debian's Boost and nlohmann-json headers.
msi=1
for tool in wixl msiinfo; do
  command -v "$tool" >/dev/null 2>&1 || msi=0
done
[ -d /usr/include/boost ] && [ -d /usr/include/nlohmann ] || msi=0
if [ "$msi" = 0 ]; then
  echo "windows-check: no installers (apt-get install wixl msitools libboost-dev nlohmann-json3-dev)" >&2
  [ "${QUILLON_REQUIRE_WINDOWS:-0}" = 1 ] && exit 1
fi

wine32=0
wine32_error=$(cmake/wine-run.sh --loader win32 2>&1 >/dev/null) || wine32=$?

echo "== 32-bit product and its tests (build/mingw32)"
cmake --preset mingw32
cmake --build --preset mingw32
[ "$msi" = 0 ] || cmake --build --preset mingw32 --target quillon_msi

echo "== export tables"
quillon_exports='
1 IDC_SetCommPara 1
2 IDC_CloseComm 0
3 IDC_Init 2
4 IDC_GetStatus 2
5 IDC_AcceptCard 2
6 IDC_ChipIO 6
7 IDC_ChipPower 5
8 IDC_EjectCard 1
9 IDC_GetCapabilities 2
10 IDC_GetLifeInfo 2
11 IDC_ReadTrack 2
12 IDC_Reset 1
13 IDC_ResetCount 2
14 IDC_RetainCard 2
15 IDC_ReleaseAntiFishing 1
16 IDC_WriteTrack 4
17 IDC_GetLogicalDevName 1
18 IDC_SetLogicalDevName 1
19 Quillon_GetReaderInfo 2'
vantrel_exports='
- startTrace 0
- openTrace 4
- setTraceKeepTime 2
- writeMsg 3
- closeTrace 1
- stopTrace 1'
check=tools/check-dll-exports.sh
status=0
"$check" --stdcall i686-w64-mingw32-objdump build/mingw32/bin/Quillon.dll <(echo "$quillon_exports") || status=1
"$check" --stdcall i686-w64-mingw32-objdump build/mingw32/bin/Vantrel.dll <(echo "$vantrel_exports") || status=1

echo "== 32-bit tests under 32-bit Wine (build/mingw32)"
wine32_note=
case $wine32 in
  0) ctest --preset mingw32 || status=1 ;;
  2) wine32_note="not run: this system runs no 32-bit x86 program (${wine32_error##*: })" ;;
  *)
    wine32_note="not run: no 32-bit Wine (dpkg --add-architecture i386; apt-get install wine32:i386)"
    [ "${QUILLON_REQUIRE_WINDOWS:-0}" = 1 ] && status=1
    ;;
esac
[ -z "$wine32_note" ] || echo "windows-check: 32-bit tests $wine32_note" >&2

echo "== 64-bit build and its tests under Wine (build/mingw64)"
cmake --workflow --preset mingw64 || status=1
"$check" x86_64-w64-mingw32-objdump build/mingw64/bin/Quillon.dll <(echo "$quillon_exports") || status=1
"$check" x86_64-w64-mingw32-objdump build/mingw64/bin/Vantrel.dll <(echo "$vantrel_exports") || status=1

# A host program loads each Quillon.dll and serves a card with the family-A
# emulator behind Wine's COM5.
tools/wine-com-check.sh 64 || status=1
if [ "$wine32" != 2 ]; then
  tools/wine-com-check.sh 32 || status=1
fi

[ "$msi" = 1 ] && echo "== installers: the version of the DLLs' version resources"
version=$(sed -n 's/^project(Quillon VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for build in mingw32:x86 mingw64:x64; do
  [ "$msi" = 1 ] || break
  file=build/${build%%:*}/packages/Quillon-$version-${build##*:}.msi
  dll=build/${build%%:*}/bin/Quillon.dll
  [ -f "$file" ] || cmake --build --preset "${build%%:*}" --target quillon_msi || status=1
  msi_version=$(msiinfo export "$file" Property 2>/dev/null | sed -n 's/^ProductVersion\t//p' | tr -d '\r' || true)
  dll_version=$(strings -el "$dll" | sed -n '/^FileVersion$/{n;p;q}')
  if [ -z "$msi_version" ] || [ "$msi_version" != "$dll_version" ]; then
    echo "windows-check: $file version ${msi_version:-none}, $dll ${dll_version:-none}" >&2
    status=1
  fi
done

# The 64-bit service from a console and under the service control manager,
# then the 64-bit MSI installed, served from and removed, in a fresh prefix.
[ "$msi" = 0 ] || tools/wine-service-check.sh || status=1

if [ "$status" != 0 ]; then
  echo "windows-check: FAILED" >&2
else
  echo "windows-check: passed${wine32_note:+ (32-bit tests $wine32_note)}"
fi
exit "$status"
