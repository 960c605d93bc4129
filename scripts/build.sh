#!/usr/bin/env bash
# Configures and builds into build/, or build-sanitize/ with --sanitize (AddressSanitizer
# and UndefinedBehaviorSanitizer), or build-tsan/ with --tsan (ThreadSanitizer; without
# the window, whose toolkit is not instrumented). Every target, or the targets named
# after the option: scripts/build.sh [--sanitize|--tsan] [TARGET...].
# With CI=true warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=()
case "${1:-}" in
  --sanitize)
    dir=build-sanitize
    flags+=(-DPORTVALE_SANITIZE=ON)
    shift
    ;;
  --tsan)
    dir=build-tsan
    flags+=(-DPORTVALE_TSAN=ON -DPORTVALE_GUI=OFF)
    shift
    ;;
esac
if [ "${CI:-}" = "true" ]; then
  flags+=(-DPORTVALE_WERROR=ON)
fi
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
