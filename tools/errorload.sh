#!/bin/bash
# Memory and time under a flood of continuity errors: one clean stream, and the same
# stream with every packet's continuity counter moved on by two instead of one (one
# continuity error per packet, on every PID but the null PID). Both are analysed in both
# report formats; prints peak resident memory and wall time of each run, the error
# count the report gives, and the time of the damaged stream against the clean one.
#
#   SIZE_MB   size of the streams in MiB (default 180: about 188 MB, one million packets)
#   FIXTURE   the transport stream repeated (default samples/sample.ts)
#   RUNS      runs per case (default 3; the median is shown)
#   KORBALT   the executable measured (default ./build/korbalt); BUILD its build directory
set -euo pipefail
cd "$(dirname "$0")/.."
SIZE_MB="${SIZE_MB:-180}"
FIXTURE="${FIXTURE:-samples/sample.ts}"
RUNS="${RUNS:-3}"
BUILD="${BUILD:-build}"
KORBALT="${KORBALT:-./$BUILD/korbalt}"
DATA=bench-data
EXTRA_PKGS="time" tools/install-deps.sh

mkdir -p "$DATA"
CLEAN="$DATA/errorload-clean.ts"
DAMAGED="$DATA/errorload-damaged.ts"
stamp="$FIXTURE $(stat -c '%s %Y' "$FIXTURE") $SIZE_MB"
if [ ! -f "$DAMAGED" ] || [ "$(cat "$DAMAGED.stamp" 2>/dev/null)" != "$stamp" ]; then
    rm -f "$CLEAN" "$DAMAGED" "$DAMAGED.stamp"
    cmake --build "$BUILD" --target korbalt_mkstream > /dev/null
    "./$BUILD/korbalt_mkstream" "$FIXTURE" "$CLEAN" "$SIZE_MB"
    python3 - "$CLEAN" "$DAMAGED" <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
last = {}
for off in range(0, len(data) - 187, 188):
    pid = ((data[off + 1] & 0x1F) << 8) | data[off + 2]
    if pid == 0x1FFF:
        continue
    cc = data[off + 3] & 0x0F
    if pid in last:
        # A packet without payload keeps its counter; skip one value on every other.
        step = 2 if data[off + 3] & 0x10 else 1
        cc = (last[pid] + step) & 0x0F
        data[off + 3] = (data[off + 3] & 0xF0) | cc
    last[pid] = cc
open(sys.argv[2], 'wb').write(data)
PY
    echo "$stamp" > "$DAMAGED.stamp"
fi
cat "$CLEAN" "$DAMAGED" > /dev/null   # into the page cache

out="$DATA/errorload-out"
rm -rf "$out"; mkdir -p "$out"
median() { printf '%s\n' $1 | sort -g | sed -n "$(( (RUNS + 1) / 2 ))p"; }
declare -A WALL RSS
for fmt in txt xml; do
    for kind in clean damaged; do
        stream="$CLEAN"; [ "$kind" = damaged ] && stream="$DAMAGED"
        walls=""; rsss=""
        for _ in $(seq "$RUNS"); do
            rm -f "$out"/*
            /usr/bin/time -f "%e %M" -o "$DATA/errorload-time.txt" \
                "$KORBALT" -r "$fmt" -report_dst "$out/" -report_name "$kind" -f "$stream" > /dev/null 2>&1 || true
            read -r w r < "$DATA/errorload-time.txt"
            walls+="$w "; rsss+="$r "
        done
        WALL[$fmt-$kind]=$(median "$walls"); RSS[$fmt-$kind]=$(median "$rsss")
        if [ "$fmt" = txt ]; then
            errors=$(sed -n 's/^TotalErrors://p' "$out/$kind" | head -1)
        else
            errors=$(sed -n 's/.*<TotalErrors value="\([0-9]*\)".*/\1/p' "$out/$kind" | head -1)
        fi
        printf '%-4s %-8s %10s errors  %8.2f s  %8.1f MB peak RSS  report %s bytes\n' "$fmt" "$kind" \
            "${errors:-?}" "${WALL[$fmt-$kind]}" "$(awk -v r="${RSS[$fmt-$kind]}" 'BEGIN{print r/1024}')" \
            "$(stat -c %s "$out/$kind")"
    done
    awk -v c="${WALL[$fmt-clean]}" -v d="${WALL[$fmt-damaged]}" -v f="$fmt" \
        'BEGIN { printf "%-4s damaged/clean wall time: %.2f\n", f, (c > 0) ? d / c : 0 }'
done
echo "(medians of $RUNS runs on $(stat -c %s "$DAMAGED") bytes; limits: peak RSS under 64 MB, ratio at most 3)"
