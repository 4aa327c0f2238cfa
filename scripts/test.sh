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
cmake --preset default >/dev/null
cmake --build --preset default --parallel "$jobs"
ctest --preset default --parallel "$jobs"

echo "== release checks: install tree, package, Windows parts =="
scripts/check-release.sh build

echo "== build and test under AddressSanitizer + UndefinedBehaviorSanitizer =="
cmake --preset asan >/dev/null
cmake --build --preset asan --parallel "$jobs"
ctest --preset asan --parallel "$jobs"

echo "== fuzzing: each libFuzzer target for ${FUZZ_SECONDS:-60} s =="
scripts/fuzz.sh
