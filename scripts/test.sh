#!/usr/bin/env bash
# Builds alnkit and runs the tests: all of them, or with --quick only those
# labelled quick (no large sorts, bit-flip sweeps or network time-outs).  With
# --sanitize the build and the tests use AddressSanitizer and
# UndefinedBehaviorSanitizer (in build-sanitize/), on the tests labelled
# quick and a sample of the damaged-file sweeps.
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=0
select=()
for arg in "$@"; do
  case "$arg" in
    --sanitize) sanitize=1 ;;
    --quick) select=(-L quick) ;;
    *) echo "usage: scripts/test.sh [--quick] [--sanitize]" >&2; exit 2 ;;
  esac
done
if [ "$sanitize" = 1 ]; then
  # The tests labelled `slow` (large sorts, network time-outs), `outputs`
  # (whole command outputs on generated data) and `workflow` (the Snakemake
  # workflow against single runs) run in the plain build only;
  # the damaged-file sweeps run a sample of their cases (label `sweep`), and
  # the parsers are fuzzed under the same sanitizers.  Clang builds it, with
  # the fuzz targets' instrumentation, so that scripts/fuzz.sh can reuse it
  # (ALNKIT_FUZZ_BUILD=build-sanitize) instead of building the library again.
  scripts/build.sh build-sanitize -DCMAKE_BUILD_TYPE=Debug -DALNKIT_SANITIZE=ON -DALNKIT_BENCH=OFF \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DALNKIT_FUZZ=ON
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  ctest --test-dir build-sanitize --output-on-failure -j"$(nproc)" -LE 'slow|outputs|workflow' "${select[@]}"
else
  scripts/build.sh build
  ctest --test-dir build --output-on-failure -j"$(nproc)" "${select[@]}"
fi
