#!/usr/bin/env bash
# Installs what is missing, checks the layering, builds, and runs every test: once in
# a plain build, whose sources clang-tidy then checks and whose Debian package is made
# and checked, once under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# suites where threads meet once more under ThreadSanitizer.
# PORTVALE_TEST_PLAIN_ONLY=1 skips the sanitizer passes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

echo "== layering =="
bash scripts/check-layers.sh

echo "== plain build =="
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300

echo "== clang-tidy =="
# With the plain build's flags (build/compile_commands.json).
bash scripts/tidy.sh

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

  echo "== ThreadSanitizer: where threads meet =="
  # The serial backend's worker, the port's event thread and its hand-overs, the
  # bridge's writer, and the service (the program itself, started by its run tests,
  # is built with ThreadSanitizer too). Reports of every process go to files, since
  # a program under test writes its standard error where its test keeps it.
  suites=(test_platform_serial test_comport test_app test_headless)
  bash scripts/build.sh --tsan "${suites[@]}"
  reports=$PWD/build-tsan/tsan-reports
  rm -rf "$reports"
  mkdir -p "$reports"
  export TSAN_OPTIONS="suppressions=$PWD/scripts/tsan.supp log_path=$reports/report second_deadlock_stack=1"
  labels=$(IFS='|'; echo "${suites[*]}")
  tsan_status=0
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" --timeout 900 -L "^($labels)\$" \
    ${PORTVALE_TSAN_TESTS:+-R "$PORTVALE_TSAN_TESTS"} || tsan_status=$?
  if compgen -G "$reports/report.*" >/dev/null; then
    cat "$reports"/report.*
    echo "ThreadSanitizer: reports above (also in $reports)" >&2
    exit 1
  fi
  exit "$tsan_status"
fi
