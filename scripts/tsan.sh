#!/usr/bin/env bash
# Builds alnkit and its tests with ThreadSanitizer (in build-tsan/) and runs
# the tests that use worker threads: BGZF blocks deflated and inflated by a
# pool, the shared-out sort, the error-model tables and every command with -@.
# A data race makes the test binary or the command it runs fail.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DALNKIT_TSAN=ON -DALNKIT_BENCH=OFF
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# (The memory-limit test of the error model is left out: the sanitizer's
# own shadow memory does not fit under an address-space limit.)
build-tsan/tests/alnkit_tests --gtest_filter='BgzfThreads.*:SortThreads.*:Threads.*:*ThreadCounts*:ErrmodTables.*-*InitWithoutMemory*'
