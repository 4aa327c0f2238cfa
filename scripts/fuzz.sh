#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS (default 60), starting from
# the corpus kept in fuzz/corpus. New inputs go to a scratch folder; FUZZ_UPDATE_CORPUS=1 merges
# them into the kept corpus. Fails on any crash, sanitizer report, timeout or leak.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --parallel "$(nproc)"

scratch=$(mktemp -d /tmp/tallowmere-fuzz-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
for name in sizetext splitpath numbertext; do
    mkdir -p "$scratch/$name"
    echo "== fuzz_$name for ${seconds}s =="
    # Texts up to 200000 bytes: far past the 32766 characters old path code stopped at.
    status=0
    (cd "$scratch" && "$OLDPWD/build-fuzz/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len=200000 -timeout=10 \
        -rss_limit_mb=4096 -print_final_stats=1 "$scratch/$name" "$OLDPWD/fuzz/corpus/$name") >"$scratch/$name.log" 2>&1 ||
        status=$?
    grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$scratch/$name.log" || true
    if [ "$status" -ne 0 ]; then
        tail -n 60 "$scratch/$name.log"
        echo "fuzz_$name failed (exit $status)"
        exit 1
    fi
    if [ "${FUZZ_UPDATE_CORPUS:-0}" = 1 ]; then
        "build-fuzz/fuzz/fuzz_$name" -merge=1 -max_len=200000 "fuzz/corpus/$name" "$scratch/$name" >/dev/null 2>&1
    fi
done
