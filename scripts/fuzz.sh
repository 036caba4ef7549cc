#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 30)
# from its seed corpus.  Crashes are written to build-fuzz/crash-*.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DALNKIT_FUZZ=ON -DALNKIT_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_sam_line fuzz_region fuzz_header_text fuzz_bam fuzz_bai fuzz_bed
for target in sam_line region header_text bam bai bed; do
  work=build-fuzz/corpus-$target
  mkdir -p "$work"
  echo "fuzz: $target for ${seconds}s"
  build-fuzz/tests/fuzz_$target -max_total_time="$seconds" -close_fd_mask=2 -artifact_prefix=build-fuzz/ \
    "$work" tests/fuzz/corpus/$target 2>&1 | tail -n 2
done
