#!/usr/bin/env bash
# Configures and builds into build/ (or build-sanitize/ with --sanitize, build-tsan/
# with --tsan: ThreadSanitizer, kept out of CI's run for its time).
# With CI=true warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=()
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-sanitize
  flags+=(-DPORTVALE_SANITIZE=ON)
elif [ "${1:-}" = "--tsan" ]; then
  dir=build-tsan
  flags+=(-DPORTVALE_TSAN=ON)
fi
if [ "${CI:-}" = "true" ]; then
  flags+=(-DPORTVALE_WERROR=ON)
fi
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
