#!/usr/bin/env bash
# Builds and runs every test: once as built for use, once under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the fuzz targets for a bounded time. Tests that mount a volume
# do so as root, or as another user in a user and mount namespace of their own; where neither can
# be had, they are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)

echo "== build and test =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --parallel "$jobs"
ctest --test-dir build --output-on-failure --parallel "$jobs"

echo "== release checks: install tree, package, Windows parts =="
scripts/check-release.sh build

echo "== build and test under AddressSanitizer + UndefinedBehaviorSanitizer =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALLOWMERE_SANITIZE=ON -DTALLOWMERE_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan --parallel "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure --parallel "$jobs"

echo "== fuzzing: each libFuzzer target for ${FUZZ_SECONDS:-60} s =="
scripts/fuzz.sh
