#!/usr/bin/env bash
# Builds the Debian packages (preset "deb": prefix /usr, release build) with
# CPack, lists their contents and has lintian check them: any error fails.
# Packages land in build/deb/packages/.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset deb
cd build/deb/packages
for deb in *.deb; do
  echo "== $deb"
  dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Depends\|Section\):/\1:/p'
  dpkg-deb --contents "$deb"
done
echo "== lintian"
lintian --fail-on error *.deb
