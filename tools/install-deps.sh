#!/usr/bin/env bash
# Installs with apt-get whatever of the named Debian packages is missing
# (all of the native build's when none are named). Needs root or sudo.
set -euo pipefail
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
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}"
