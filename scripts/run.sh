#!/usr/bin/env bash
# Builds the relay and starts it in the terminal with the configuration beside it (build/Lib/Config.ini).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target telvane
exec build/telvane -app
