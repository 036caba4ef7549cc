#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 6, about 90 seconds for all eleven) from its seed corpus.  Crashes are
# written to <build dir>/crash-*; the build directory is build-fuzz unless
# ALNKIT_FUZZ_BUILD names another; a directory already configured for fuzzing
# (such as build-sanitize from scripts/test.sh --sanitize) is used as it is.  The seed corpora of ref_list, bgzf, faidx,
# razf and knet are written by tests/fuzz/make_seeds.py.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-6}
build=${ALNKIT_FUZZ_BUILD:-build-fuzz}
targets=(sam_line region header_text bam bai bed ref_list bgzf faidx razf knet)
if ! grep -q '^ALNKIT_FUZZ:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DALNKIT_FUZZ=ON -DALNKIT_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"
for target in "${targets[@]}"; do
  work=$build/corpus-$target
  mkdir -p "$work"
  echo "fuzz: $target for ${seconds}s"
  "$build"/tests/fuzz_$target -max_total_time="$seconds" -close_fd_mask=2 -artifact_prefix="$build"/ \
    "$work" tests/fuzz/corpus/$target 2>&1 | tail -n 2
done
