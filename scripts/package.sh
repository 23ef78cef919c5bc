#!/usr/bin/env bash
# Builds the Debian packages (CPack; the layout is in the installation part of CMakeLists.txt) and
# prints their paths, one a line:
#   build/telvane_<version>_amd64.deb        the relay in /opt/telvane, Lib/Config.ini, an empty
#                                            Log/, the systemd unit Varnel_Telvane.service
#                                            (installed, not enabled) and the system user telvane
#   build/telvane-tools_<version>_amd64.deb  the exchange simulator and the client tool
# Install them with
#   sudo apt install ./build/telvane_<version>_amd64.deb
# Uses the build folder build/ as it is configured (configuring it when new).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target telvane telvane-exchange telvane-client
rm -f build/telvane_*_amd64.deb build/telvane-tools_*_amd64.deb
(cd build && cpack -G DEB -B "$PWD" >/dev/null)
for name in telvane telvane-tools; do
  deb=$(ls build/${name}_*_amd64.deb 2>/dev/null || true)
  [ -n "$deb" ] || { echo "package.sh: no build/${name}_<version>_amd64.deb was made" >&2; exit 1; }
  echo "$deb"
done
