#!/bin/bash
# Throughput benchmark: korbalt against cat, tsreport and ffprobe on one large,
# page-cached transport stream made by repeating a fixture. Prints medians of RUNS runs.
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS="${RUNS:-3}"
SIZE_MB="${SIZE_MB:-1024}"
FIXTURE="${FIXTURE:-samples/sample.ts}"
DATA=bench-data
BIG="$DATA/big.ts"
KORBALT="${KORBALT:-./build/korbalt}"
EXTRA_PKGS="time" tools/install-deps.sh

mkdir -p "$DATA"
want=$((SIZE_MB * 1024 * 1024))
if [ ! -f "$BIG" ] || [ "$(stat -c %s "$BIG")" -lt "$want" ]; then
    echo "making $BIG (~${SIZE_MB} MB from $FIXTURE)"
    rm -f "$BIG"
    fsize=$(stat -c %s "$FIXTURE")
    n=$(( (want + fsize - 1) / fsize ))
    # Double a chunk instead of appending one copy at a time.
    cp "$FIXTURE" "$DATA/chunk.ts"
    count=1
    while [ $((count * 2)) -le "$n" ]; do
        cat "$DATA/chunk.ts" "$DATA/chunk.ts" > "$DATA/chunk2.ts"
        mv "$DATA/chunk2.ts" "$DATA/chunk.ts"
        count=$((count * 2))
    done
    cp "$DATA/chunk.ts" "$BIG"
    while [ "$count" -lt "$n" ]; do cat "$FIXTURE" >> "$BIG"; count=$((count + 1)); done
    rm -f "$DATA/chunk.ts"
fi
bytes=$(stat -c %s "$BIG")
cat "$BIG" > /dev/null   # into the page cache

# run NAME CMD...: prints "wall_seconds max_rss_kb" of the median run
measure() {
    local out="$DATA/time.txt" walls=() rsss=()
    for _ in $(seq "$RUNS"); do
        /usr/bin/time -f "%e %M" -o "$out" "$@" > /dev/null 2>&1 || true
        read -r w r < "$out"
        walls+=("$w"); rsss+=("$r")
    done
    local mw mr
    mw=$(printf '%s\n' "${walls[@]}" | sort -g | sed -n "$(( (RUNS + 1) / 2 ))p")
    mr=$(printf '%s\n' "${rsss[@]}" | sort -g | sed -n "$(( (RUNS + 1) / 2 ))p")
    echo "$mw $mr"
}

declare -A WALL RSS
names=()
add() {
    local name="$1"; shift
    read -r w r < <(measure "$@")
    WALL[$name]="$w"; RSS[$name]="$r"; names+=("$name")
}

rm -rf "$DATA/out"; mkdir -p "$DATA/out"
add korbalt "$KORBALT" -report_dst "$DATA/out/" -report_name bench -f "$BIG"
add cat sh -c "cat '$BIG' > /dev/null"
command -v tsreport > /dev/null && add tsreport tsreport -b "$BIG"
command -v ffprobe > /dev/null && add ffprobe ffprobe -v error -count_packets -show_streams "$BIG"

printf '%-10s %10s %10s %12s %14s\n' tool "wall s" "MB/s" "peak RSS MB" "korbalt ratio"
for n in "${names[@]}"; do
    w="${WALL[$n]}"; r="${RSS[$n]}"
    awk -v n="$n" -v w="$w" -v r="$r" -v b="$bytes" -v k="${WALL[korbalt]}" 'BEGIN {
        mbs = (w > 0) ? b / 1048576 / w : 0;
        ratio = (w > 0) ? k / w : 0;
        printf "%-10s %10.2f %10.1f %12.1f %14.2f\n", n, w, mbs, r / 1024, ratio }'
done
echo "(median of $RUNS runs on $(awk -v b="$bytes" 'BEGIN{printf "%.0f", b/1048576}') MB; ratio = korbalt wall time / tool wall time)"
