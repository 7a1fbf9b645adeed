#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks it as an integrator
# meets it: the file list, the SONAME and its links, the exported symbols
# and their version node; then builds the C sample against the installed
# copy with find_package and with pkg-config and runs both against the
# family-A emulator installed with it.
#
# install_test.sh BUILD_DIR SOURCE_DIR LIBDIR C_COMPILER
set -euo pipefail
build=$1 src=$2 libdir=$3 cc=$4 pcsc=${5:-OFF} xfs=${6:-OFF}
work=$(mktemp -d)
emu_pid=
cleanup() {
  [ -z "$emu_pid" ] || kill "$emu_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

# --- the file list (the build type's name in the targets file is normalised)
actual=$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' |
         sed -E 's|QuillonTargets-[a-z]+\.cmake$|QuillonTargets-CONFIG.cmake|' | sort)
# @PCSC@ lines: the PC/SC bridge, built where pcsc-lite's files are.
if [ "$pcsc" = ON ]; then pcsc_sed='s|^@PCSC@||'; else pcsc_sed='/^@PCSC@/d'; fi
# @XFS@ lines: the XFS4IoT service, built where its libraries are.
if [ "$xfs" = ON ]; then xfs_sed='s|^@XFS@||'; else xfs_sed='/^@XFS@/d'; fi
expected=$(sed -e "s|@LIBDIR@|$libdir|" -e "$pcsc_sed" -e "$xfs_sed" \
           "$src/tests/install/expected_files.txt" | sort)
if [ "$actual" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  fail "installed files differ from tests/install/expected_files.txt (< expected, > installed)"
fi

# --- the lock folder the library looks for first: /run/quillon, mode 2770,
# root and the group of those who drive the reader, made by systemd-tmpfiles
# (into a scratch root, with this machine's users and groups)
tmpfiles=$prefix/lib/tmpfiles.d/quillon.conf
if [ "$(id -u)" = 0 ] && command -v systemd-tmpfiles >/dev/null; then
  mkdir -p "$work/root/etc" && cp /etc/passwd /etc/group "$work/root/etc/"
  systemd-tmpfiles --root="$work/root" --create "$tmpfiles" || fail "systemd-tmpfiles refused $tmpfiles"
  made=$(stat -c '%a %U %G' "$work/root/run/quillon")
  [ "$made" = "2770 root dialout" ] || fail "/run/quillon made as '$made'"
else
  grep -qx 'd /run/quillon 2770 root dialout -' "$tmpfiles" || fail "$tmpfiles: no /run/quillon 2770"
fi

# --- SONAME and links
lib=$prefix/$libdir
[ "$(readlink "$lib/libquillon.so")" = libquillon.so.1 ] || fail "libquillon.so -> $(readlink "$lib/libquillon.so")"
[ "$(readlink "$lib/libquillon.so.1")" = libquillon.so.1.0.1 ] || fail "libquillon.so.1 -> $(readlink "$lib/libquillon.so.1")"
soname=$(readelf -d "$lib/libquillon.so.1.0.1" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = libquillon.so.1 ] || fail "SONAME '$soname'"

# --- exported symbols: the 18 functions at QUILLON_1.0, the configuration
# path at QUILLON_1.1, nothing else
cmake -DLIB="$lib/libquillon.so.1.0.1" -DEXPECTED="$src/tests/api/exported_symbols.txt" \
      -P "$src/tests/api/check_exports.cmake" || fail "exported symbols"

# --- the sample, built both ways against the installed copy (with the
# build's sanitizers, which the installed library carries)
san=$(sed -n 's/^QUILLON_SANITIZE:STRING=//p' "$build/CMakeCache.txt")
cflags="-Wall -Wextra -Werror${san:+ -fsanitize=$san}"
cmake -S "$src/examples" -B "$work/sample-cmake" -G Ninja -DCMAKE_C_COMPILER="$cc" \
      -DCMAKE_C_FLAGS="$cflags" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null || fail "sample: configure with find_package"
cmake --build "$work/sample-cmake" >/dev/null || fail "sample: build with find_package"
export PKG_CONFIG_PATH=$lib/pkgconfig
[ "$(pkg-config --modversion quillon)" = 1.0.1 ] || fail "pkg-config version"
# shellcheck disable=SC2046,SC2086
"$cc" $cflags "$src/examples/read_card.c" $(pkg-config --cflags --libs quillon) \
      -o "$work/read_card_pc" || fail "sample: build with pkg-config"

# --- run both against the installed emulator
"$prefix/bin/idc-emu" --family a --auto-insert --entry-delay 0 --link "$work/tty" \
  </dev/null >"$work/emu.out" 2>"$work/emu.err" &
emu_pid=$!
for _ in $(seq 200); do
  [ -s "$work/emu.out" ] && break
  kill -0 "$emu_pid" 2>/dev/null || fail "idc-emu ended: $(cat "$work/emu.err")"
  sleep 0.05
done
[ -s "$work/emu.out" ] || fail "idc-emu printed no port"
printf '[CARDREADER]\nPort=%s\n[CardReaderType]\nCardReaderType=1\n' "$work/tty" >"$work/reader.ini"
export QUILLON_CONFIG=$work/reader.ini

run_sample() { # name program [env...]
  local name=$1 prog=$2
  shift 2
  local resolved
  resolved=$(env "$@" ldd "$prog" | sed -n 's/.*libquillon.so.1 => \([^ ]*\).*/\1/p')
  [ "$resolved" = "$lib/libquillon.so.1" ] || fail "$name loads '$resolved', not the installed copy"
  env "$@" "$prog" >"$work/$name.out" 2>&1 || { cat "$work/$name.out" >&2; fail "$name failed"; }
  grep -q '^read tracks  result 0,' "$work/$name.out" ||
    { cat "$work/$name.out" >&2; fail "$name read no tracks"; }
  grep -q '^track 2 ([1-9]' "$work/$name.out" || { cat "$work/$name.out" >&2; fail "$name: no track 2"; }
  echo "== $name"
  cat "$work/$name.out"
}
run_sample find_package "$work/sample-cmake/read_card"
run_sample pkg_config "$work/read_card_pc" "LD_LIBRARY_PATH=$lib"
echo "install test passed"
