#!/usr/bin/env bash
# Builds alnkit and runs every test.  With --sanitize the build and the tests
# use AddressSanitizer and UndefinedBehaviorSanitizer (in build-sanitize/).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--sanitize" ]; then
  scripts/build.sh build-sanitize -DCMAKE_BUILD_TYPE=Debug -DALNKIT_SANITIZE=ON -DALNKIT_BENCH=OFF
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  ctest --test-dir build-sanitize --output-on-failure -j"$(nproc)"
else
  scripts/build.sh build
  ctest --test-dir build --output-on-failure -j"$(nproc)"
fi
