#!/bin/bash
# Throughput benchmark: korbalt against cat, tsreport and ffprobe on one large,
# page-cached transport stream made by repeating a fixture. Prints medians of RUNS runs,
# then runs the hot-path micro-benchmarks (korbalt_bench) when Google Benchmark is there.
#
#   RUNS      runs per tool (default 5; the median is shown)
#   SIZE_MB   size of the stream (default 1024)
#   FIXTURE   the transport stream repeated (default samples/sample.ts)
#   STREAM    clean (default): each copy carries the continuity counters on and has its
#             PCR, PTS and DTS moved on, so the stream reads as one long recording;
#             concat: plain concatenation, a continuity error on every PID at every join
#   KORBALT   the executable measured (default ./build/korbalt); BUILD its build directory
#   BASELINE  another korbalt executable to time alongside, for before/after figures
#   MICRO     0 skips the micro-benchmarks
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS="${RUNS:-5}"
SIZE_MB="${SIZE_MB:-1024}"
FIXTURE="${FIXTURE:-samples/sample.ts}"
STREAM="${STREAM:-clean}"
BUILD="${BUILD:-build}"
KORBALT="${KORBALT:-./$BUILD/korbalt}"
MICRO="${MICRO:-1}"
DATA=bench-data
EXTRA_PKGS="time libbenchmark-dev tstools" tools/install-deps.sh

mkdir -p "$DATA"
want=$((SIZE_MB * 1024 * 1024))
case "$STREAM" in
    clean) BIG="$DATA/big.ts" ;;
    concat) BIG="$DATA/big-concat.ts" ;;
    *) echo "STREAM must be clean or concat" >&2; exit 2 ;;
esac
# The stamp says what the stream was made from, so a change of fixture or size remakes it.
stamp="$FIXTURE $(stat -c '%s %Y' "$FIXTURE") $SIZE_MB"
if [ ! -f "$BIG" ] || [ "$(cat "$BIG.stamp" 2>/dev/null)" != "$stamp" ]; then
    echo "making $BIG (~${SIZE_MB} MB from $FIXTURE, $STREAM)"
    rm -f "$BIG" "$BIG.stamp"
    if [ "$STREAM" = clean ]; then
        cmake --build "$BUILD" --target korbalt_mkstream > /dev/null
        "./$BUILD/korbalt_mkstream" "$FIXTURE" "$BIG" "$SIZE_MB"
    else
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
    echo "$stamp" > "$BIG.stamp"
fi
bytes=$(stat -c %s "$BIG")
cat "$BIG" > /dev/null   # into the page cache

# The tools take turns within each round, so a burst of load on a shared machine falls
# on all of them alike; each figure is the median of the RUNS rounds.
names=()
declare -A CMD
tool() { names+=("$1"); CMD[$1]="$2"; }
rm -rf "$DATA/out"; mkdir -p "$DATA/out"
tool korbalt "'$KORBALT' -report_dst '$DATA/out/' -report_name bench -f '$BIG'"
[ -n "${BASELINE:-}" ] && tool baseline "'$BASELINE' -report_dst '$DATA/out/' -report_name baseline -f '$BIG'"
tool cat "cat '$BIG'"
command -v tsreport > /dev/null && tool tsreport "tsreport -b '$BIG'"
command -v ffprobe > /dev/null && tool ffprobe "ffprobe -v error -count_packets -show_streams '$BIG'"

declare -A WALLS CPUS RSSS
for _ in $(seq "$RUNS"); do
    for n in "${names[@]}"; do
        /usr/bin/time -f "%e %U %S %M" -o "$DATA/time.txt" sh -c "exec ${CMD[$n]} > /dev/null 2>&1" || true
        read -r w u s r < "$DATA/time.txt"
        WALLS[$n]+="$w "; CPUS[$n]+="$(awk -v u="$u" -v s="$s" 'BEGIN{print u + s}') "; RSSS[$n]+="$r "
    done
done
median() { printf '%s\n' $1 | sort -g | sed -n "$(( (RUNS + 1) / 2 ))p"; }
declare -A WALL CPU RSS
for n in "${names[@]}"; do
    WALL[$n]=$(median "${WALLS[$n]}"); CPU[$n]=$(median "${CPUS[$n]}"); RSS[$n]=$(median "${RSSS[$n]}")
done

errors=$(sed -n 's/^TotalErrors://p' "$DATA/out/bench" 2>/dev/null | head -1)
printf '%-10s %8s %10s %8s %12s %14s\n' tool "wall s" "MB/s" "cpu s" "peak RSS MB" "korbalt ratio"
for n in "${names[@]}"; do
    awk -v n="$n" -v w="${WALL[$n]}" -v c="${CPU[$n]}" -v r="${RSS[$n]}" -v b="$bytes" \
        -v k="${WALL[korbalt]}" 'BEGIN {
        mbs = (w > 0) ? b / 1048576 / w : 0;
        ratio = (w > 0) ? k / w : 0;
        printf "%-10s %8.2f %10.1f %8.2f %12.1f %14.2f\n", n, w, mbs, c, r / 1024, ratio }'
done
echo "(medians of $RUNS runs on $(awk -v b="$bytes" 'BEGIN{printf "%.0f", b/1048576}') MB, $STREAM stream," \
     "korbalt found ${errors:-?} errors;" \
     "korbalt ratio = korbalt wall time / tool wall time, below 1 when korbalt is faster)"

if [ "$MICRO" != 0 ]; then
    if cmake --build "$BUILD" --target korbalt_bench > /dev/null 2>&1; then
        echo
        "./$BUILD/korbalt_bench" --benchmark_repetitions="$RUNS" \
            --benchmark_report_aggregates_only=true 2>&1 | grep -v -E '_(mean|stddev|cv) '
    else
        echo "korbalt_bench not built (Google Benchmark missing?): micro-benchmarks skipped"
    fi
fi
