#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a plain build, whose
# Debian package is then made and checked, and once under AddressSanitizer +
# UndefinedBehaviorSanitizer.
# PORTVALE_TEST_PLAIN_ONLY=1 skips the sanitizer pass.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

echo "== plain build =="
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300

echo "== Debian package =="
# Packs the plain build into build/portvale_<version>_<arch>.deb and checks it.
bash scripts/check-package.sh

if [ "${PORTVALE_TEST_PLAIN_ONLY:-}" != "1" ]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
  bash scripts/build.sh --sanitize
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS=suppressions="$PWD/scripts/lsan.supp"
  ctest --test-dir build-sanitize --output-on-failure -j "$jobs" --timeout 600
fi
