#!/usr/bin/env bash
# Runs the client libraries' type checks and test suites (clients/python with mypy and pytest,
# clients/node with tsc and node:test) and the browser tests (tests/browser) against an existing build: the relay and the exchange simulator are taken from
# TELVANE_BUILD (default: build/). Both suites run even when the first fails; the script fails
# when either did. Called by scripts/test.sh after its build stage.
set -uo pipefail
cd "$(dirname "$0")/.."
export TELVANE_BUILD=${TELVANE_BUILD:-$PWD/build}

for binary in telvane telvane-exchange; do
  if [ ! -x "$TELVANE_BUILD/$binary" ]; then
    echo "clients-test: $TELVANE_BUILD/$binary is missing; build it first" \
      "(cmake --build build --target telvane telvane-exchange)" >&2
    exit 1
  fi
done

# Debian's pytest runs under Debian's Python, which a python3 earlier in PATH may not be.
if command -v pytest-3 >/dev/null; then pytest=(pytest-3); else pytest=(python3 -m pytest); fi

failed=0
echo "---- clients/python"
# The type hints are part of the library's interface: checked as strictly as mypy can (Debian's
# python3-mypy, under Debian's Python for the same reason as pytest).
(cd clients/python && /usr/bin/python3 -m mypy --strict --no-incremental telvane) || failed=1
(cd clients/python && "${pytest[@]}" -q -p no:cacheprovider tests) || failed=1
echo "---- clients/node"
# The type declarations are part of the library's interface: tsc (typescript and Node's types from
# npm, pinned by the package's lock file) checks them with a typed use of the package, then the
# tests run.
(cd clients/node && npm ci --no-audit --no-fund --silent && ./node_modules/.bin/tsc -p test/types &&
  node --test test/*.test.js) || failed=1
# The wallboard in Debian's chromium, driven by playwright-core from npm; no browser is downloaded.
echo "---- tests/browser"
(cd tests/browser && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --silent && node --test) || failed=1
exit "$failed"
