#!/usr/bin/env bash
# Fill-rate benchmark: fills a fresh tmpfs with the window's writer (MK_FILE through the real Qt event
# pump, offscreen) and with dd, alternating, and prints the median rates, the ratio writer/dd and the
# bytes left available after each filler. Needs root (it mounts the tmpfs).
#
#   sudo bench/fill-rate.sh            # 2 GiB tmpfs, 3 rounds
#   SIZE=512m ROUNDS=5 sudo bench/fill-rate.sh
set -euo pipefail
cd "$(dirname "$0")/.."

size=${SIZE:-2g}
rounds=${ROUNDS:-3}
build=${BUILD:-build}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target bench_fill >/dev/null

mnt=$(mktemp -d /tmp/tallowmere-bench-XXXXXX)
work=$(mktemp -d /tmp/tallowmere-bench-work-XXXXXX)
cleanup() {
    mountpoint -q "$mnt" && umount "$mnt"
    rmdir "$mnt"
    rm -rf "$work"
}
trap cleanup EXIT

available() { df --output=avail -B1 "$mnt" | tail -n 1 | tr -d ' '; }

run_writer() {
    QT_QPA_PLATFORM=offscreen "$build/bench/bench_fill" "$mnt/fill.dat" "$work/settings.ini"
}

run_dd() {
    local start end
    start=$(date +%s.%N)
    dd if=/dev/zero of="$mnt/fill.dat" bs=1M 2>/dev/null || true # ends with "no space"
    end=$(date +%s.%N)
    echo "$(stat -c %s "$mnt/fill.dat") $(echo "$end - $start" | bc -l)"
}

# One unmeasured fill of each first: on a virtual machine the first touch of fresh memory costs
# far more than the fill itself, and it would land on whichever filler happened to go first.
for filler in writer dd; do
    mount -t tmpfs -o "size=$size" tmpfs "$mnt"
    "run_$filler" >/dev/null
    umount "$mnt"
done

declare -A rates left
for round in $(seq 1 "$rounds"); do
    for filler in writer dd; do
        mount -t tmpfs -o "size=$size" tmpfs "$mnt"
        read -r bytes seconds < <("run_$filler")
        rate=$(echo "$bytes / $seconds / 1000000" | bc -l)
        rates[$filler]+="$rate "
        left[$filler]+="$(available) "
        printf 'round %d  %-7s %14d bytes  %8.3f s  %9.1f MB/s  %8d bytes left\n' \
            "$round" "$filler" "$bytes" "$seconds" "$rate" "$(available)"
        umount "$mnt"
    done
done

median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
maximum() { tr ' ' '\n' | sed '/^$/d' | sort -g | tail -n 1; }

writer=$(echo "${rates[writer]}" | median)
dd_rate=$(echo "${rates[dd]}" | median)
echo
printf 'median  writer %9.1f MB/s   dd %9.1f MB/s   ratio writer/dd %.2f\n' "$writer" "$dd_rate" \
    "$(echo "$writer / $dd_rate" | bc -l)"
printf 'most bytes left   writer %s   dd %s\n' "$(echo "${left[writer]}" | maximum)" "$(echo "${left[dd]}" | maximum)"
