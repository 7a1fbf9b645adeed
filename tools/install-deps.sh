#!/usr/bin/env bash
# Installs with apt-get whatever of the named Debian packages is missing
# (all of the native build's when none are named). Needs root or sudo.
#
#   install-deps.sh [--arch <architecture>]... [package]...
#
# --arch enables a foreign architecture (dpkg --add-architecture) before the
# package lists are updated, for packages named <package>:<architecture>.
set -euo pipefail
arches=()
while [ "${1:-}" = --arch ]; do
  arches+=("$2")
  shift 2
done
pkgs=("$@")
[ ${#pkgs[@]} -gt 0 ] || pkgs=(cmake ninja-build g++ libgtest-dev libgmock-dev libcli11-dev binutils)
need=()
for pkg in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
[ ${#need[@]} -gt 0 ] || exit 0
if ! command -v apt-get >/dev/null; then
  echo "missing packages: ${need[*]} (no apt-get here: install them yourself)" >&2
  exit 1
fi
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "installing: ${need[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
for arch in "${arches[@]}"; do
  dpkg --print-foreign-architectures | grep -qxF "$arch" || "${sudo[@]}" dpkg --add-architecture "$arch"
done
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}"
