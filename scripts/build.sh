#!/usr/bin/env bash
# Configures and builds into build/ (or build-sanitize/ with --sanitize).
# With CI=true warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=()
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-sanitize
  flags+=(-DPORTVALE_SANITIZE=ON)
fi
if [ "${CI:-}" = "true" ]; then
  flags+=(-DPORTVALE_WERROR=ON)
fi
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
