#!/bin/bash
# Builds the libFuzzer targets with clang and runs them side by side, one core each,
# for SECONDS seconds (first argument, default 600). Fails if any target finds a crash,
# a hang (an input that takes more than 10 s), a leak or a sanitizer report.
#
# Seeds: the heads of the fixtures in tests/data, the heads of their elementary streams
# (cut out with ffmpeg where it is installed) for the header readers, and every earlier
# finding in tests/data/fuzz/<target>/. Runs of a minute or more keep their corpus in
# build-fuzz/corpus/ from run to run; shorter ones (the CI run) start afresh each time,
# so their length does not grow with the corpus.
set -uo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH="${1:-600}"
BUILD=build-fuzz
CXX_BIN="$(command -v clang++ || true)"
if [ -z "$CXX_BIN" ]; then
    echo "fuzz: clang++ not found" >&2
    exit 1
fi
cmake -S . -B $BUILD -DCMAKE_CXX_COMPILER="$CXX_BIN" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKORBALT_FUZZ=ON -DKORBALT_TESTS=OFF >/dev/null || exit 1
cmake --build $BUILD -j "$(nproc)" >/dev/null || { cmake --build $BUILD -j 1; exit 1; }

# A smaller quarantine than the sanitizer's 256 MB: an input frees well under 1 MB, so
# 32 MB still catches a use after free many inputs later, and the targets run about three
# times faster without cycling through fresh pages.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=32:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# ---------------------------------------------------------------- seeds
SEEDS=$BUILD/seeds
es_head() {  # es_head FIXTURE MAP FORMAT OUT: the first 4 KB of one elementary stream
    command -v ffmpeg >/dev/null || return 0
    [ -s "$4" ] && return 0
    ffmpeg -nostdin -v quiet -i "$1" -map "$2" -c copy -f "$3" - 2>/dev/null | head -c 4096 > "$4.tmp"
    if [ -s "$4.tmp" ]; then mv "$4.tmp" "$4"; else rm -f "$4.tmp"; fi
}
make_seeds() {
    mkdir -p $SEEDS/container $SEEDS/packets $SEEDS/h262 $SEEDS/h264 $SEEDS/audio
    for f in tests/data/*.ts samples/*.ts tests/data/*.flv; do
        [ -f "$f" ] || continue
        b="$(basename "$f")"
        [ -s "$SEEDS/container/$b" ] || head -c 65536 "$f" > "$SEEDS/container/$b"
        case "$f" in *.ts) [ -s "$SEEDS/packets/$b" ] || head -c 4096 "$f" > "$SEEDS/packets/$b" ;; esac
    done
    for f in tests/data/*.ts samples/*.ts; do
        [ -f "$f" ] || continue
        b="$(basename "$f" .ts)"
        codec="$(ffprobe -v quiet -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 "$f" 2>/dev/null | tr -d ", " | grep -m1 .)"
        case "$codec" in
            mpeg2video) es_head "$f" 0:v:0 mpeg2video "$SEEDS/h262/$b.m2v" ;;
            h264) es_head "$f" 0:v:0 h264 "$SEEDS/h264/$b.h264" ;;
        esac
        es_head "$f" 0:a:0 data "$SEEDS/audio/$b.audio"
    done
}
make_seeds

seed_dirs() {  # the seed directories of a target
    case "$1" in
        fuzz_transport|fuzz_flv) echo "$SEEDS/container" ;;
        fuzz_h262) echo "$SEEDS/h262 $SEEDS/packets" ;;
        fuzz_h264) echo "$SEEDS/h264 $SEEDS/packets" ;;
        fuzz_audio) echo "$SEEDS/audio $SEEDS/packets" ;;
        *) echo "$SEEDS/packets" ;;
    esac
}

# ---------------------------------------------------------------- runs
if [ "$SECONDS_EACH" -ge 60 ]; then
    CORPORA=$BUILD/corpus
else
    CORPORA=$BUILD/corpus-short
    rm -rf "$CORPORA"
fi
mkdir -p $BUILD/artifacts
pids=()
names=()
for exe in $BUILD/fuzz_*; do
    [ -f "$exe" ] && [ -x "$exe" ] || continue
    name="$(basename "$exe")"
    corpus="$CORPORA/$name"
    mkdir -p "$corpus"
    case "$name" in
        fuzz_transport|fuzz_flv) maxlen=65536 ;;
        *) maxlen=4096 ;;
    esac
    for d in $(seed_dirs "$name"); do
        cp -n "$d"/* "$corpus"/ 2>/dev/null
    done
    regress="tests/data/fuzz/$name"
    [ -d "$regress" ] && cp "$regress"/* "$corpus"/ 2>/dev/null
    "$exe" -max_total_time="$SECONDS_EACH" -max_len="$maxlen" -timeout=10 -rss_limit_mb=2048 \
        -dict=tests/fuzz/korbalt.dict \
        -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$name-" "$corpus" \
        > "$BUILD/$name.log" 2>&1 &
    pids+=($!)
    names+=("$name")
done
rc=0
for i in "${!pids[@]}"; do
    if wait "${pids[$i]}"; then
        execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$BUILD/${names[$i]}.log" | grep -o '[0-9]*$')
        echo "fuzz: ${names[$i]} ok (${execs:-?} executions in ${SECONDS_EACH}s)"
    else
        echo "fuzz: ${names[$i]} FAILED, see $BUILD/${names[$i]}.log; the input is in $BUILD/artifacts/" >&2
        tail -60 "$BUILD/${names[$i]}.log" >&2
        rc=1
    fi
done
exit $rc
