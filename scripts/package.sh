#!/usr/bin/env bash
# Builds the Debian package build/telvane_<version>_amd64.deb (CPack; the layout is in the
# installation part of CMakeLists.txt): the relay, the simulator and the client tool in
# /opt/telvane, Lib/Config.ini as a configuration file, an empty Log/, and the systemd unit
# Varnel_Telvane.service, installed but not enabled. Install it with
#   sudo apt install ./build/telvane_<version>_amd64.deb
# Uses the build folder build/ as it is configured (configuring it when new).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target telvane telvane-exchange telvane-client
rm -f build/telvane_*_amd64.deb
(cd build && cpack -G DEB -B "$PWD" >/dev/null)
deb=$(ls build/telvane_*_amd64.deb 2>/dev/null || true)
[ -n "$deb" ] || { echo "package.sh: no build/telvane_<version>_amd64.deb was made" >&2; exit 1; }
echo "$deb"
