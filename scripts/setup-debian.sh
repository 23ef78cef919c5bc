#!/usr/bin/env bash
# Installs what a fresh Debian 12 lacks to build, run and test Telvane. Safe to run again.
set -euo pipefail
packages=(cmake g++ make clang libclang-rt-14-dev libasio-dev libgtest-dev libgmock-dev libbenchmark-dev libncurses-dev tmux python3-pytest python3-mypy nodejs openssl libcivetweb-dev dpkg-dev libnats-dev nats-server libssl-dev libmosquitto-dev mosquitto lintian systemd chromium)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
# The browser tests install playwright-core with npm, which Debian ships apart from its nodejs
# (a nodejs from elsewhere may bring its own).
if ! command -v npm >/dev/null; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq npm
fi
