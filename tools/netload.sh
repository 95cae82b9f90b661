#!/bin/bash
# Live-input load: korbalt -n on a multicast group inside a private network namespace
# (loopback only), fed by a paced sender (tools/netsend.c, at real-time priority) with a
# looped transport stream, for a few seconds at each rate. For every run it prints what
# was sent, what korbalt analysed, the datagrams the kernel dropped for want of socket
# buffer, the loss, and korbalt's processor time while the sender ran. Needs root (for
# the namespace and the sender's priority); nothing leaves the namespace.
#
#   tools/netload.sh [MBITS ...]     rates in Mbit/s (default 100 200 300 400 800)
#
#   KORBALT    the executable measured (default ./build/korbalt)
#   SECONDS_PER_RUN  seconds of sending per run (default 8)
#   RUNS       runs per rate (default 3)
#   AS_USER    1: korbalt runs as nobody, with the receive buffer limit of a stock Debian
#              system (net.core.rmem_max 212992) put on it by tools/rcvbuf-limit.c
#   FIXTURE    the stream sent, looped (default samples/sample.ts)
#   DATAGRAM   bytes per datagram (default 1316)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
KORBALT=$(readlink -f "${KORBALT:-./build/korbalt}")
SECONDS_PER_RUN="${SECONDS_PER_RUN:-8}"
RUNS="${RUNS:-3}"
AS_USER="${AS_USER:-0}"
FIXTURE=$(readlink -f "${FIXTURE:-samples/sample.ts}")
DATAGRAM="${DATAGRAM:-1316}"
GROUP=239.255.42.99
PORT=5500

if [ "${1:-}" != "--inside" ]; then
    [ "$(id -u)" = 0 ] || { echo "netload.sh: run as root (network namespace, sender priority)" >&2; exit 1; }
    TOOLS=$(mktemp -d /tmp/korbalt_netload_XXXXXX)
    chmod 755 "$TOOLS"
    cc -O2 -Wall -o "$TOOLS/netsend" tools/netsend.c
    cc -O2 -Wall -shared -fPIC -o "$TOOLS/rcvbuf-limit.so" tools/rcvbuf-limit.c -ldl
    status=0
    TOOLS="$TOOLS" unshare -n "$0" --inside "$@" || status=$?
    rm -rf "$TOOLS"
    exit $status
fi
shift
RATES=("$@")
[ ${#RATES[@]} -gt 0 ] || RATES=(100 200 300 400 800)
ip link set lo up

OUT=$(mktemp -d /tmp/korbalt_netload_out_XXXXXX)
chmod 777 "$OUT"
trap 'rm -rf "$OUT"' EXIT
hz=$(getconf CLK_TCK)
porthex=$(printf ':%04X' $PORT)

rcvbuf_errors() { awk '/^Udp:/ { if (!h) { for (i = 1; i <= NF; ++i) c[$i] = i; h = 1 } else print $c["RcvbufErrors"] }' /proc/net/snmp; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }

echo "korbalt: $KORBALT"
echo "stream: $FIXTURE, datagrams of $DATAGRAM bytes, $SECONDS_PER_RUN s per run, $RUNS runs per rate"
if [ "$AS_USER" = 1 ]; then echo "korbalt as nobody, receive buffer limited as on stock Debian"; else echo "korbalt as root"; fi
printf '%6s %4s %12s %12s %9s %8s %7s %s\n' Mbit/s run sent_bytes analysed dropped loss% cpu% granted
declare -A LOSSES CPUS
for rate in "${RATES[@]}"; do
    for run in $(seq "$RUNS"); do
        name="r${rate}_$run"
        launch=()
        if [ "$AS_USER" = 1 ]; then
            launch=(env LD_PRELOAD="$TOOLS/rcvbuf-limit.so" setpriv --reuid=nobody --regid=nogroup --clear-groups)
        fi
        (cd "$OUT" && exec "${launch[@]}" "$KORBALT" -report_dst "$OUT/" -report_name "$name" -n -ip $GROUP -p $PORT \
            -int 127.0.0.1 > "$OUT/$name.stdout" 2>&1) &
        kpid=$!
        for _ in $(seq 500); do grep -q "$porthex " /proc/net/udp && break; sleep 0.01; done
        sleep 0.3
        # The korbalt process itself (the subshell execs it).
        drops0=$(rcvbuf_errors)
        t0=$(cpu_ticks $kpid); s0=$(date +%s.%N)
        sent=$(chrt -f 50 "$TOOLS/netsend" "$FIXTURE" $GROUP $PORT "$rate" "$SECONDS_PER_RUN" "$DATAGRAM" || true)
        t1=$(cpu_ticks $kpid); s1=$(date +%s.%N)
        sleep 1
        kill -INT $kpid; wait $kpid || true
        drops=$(( $(rcvbuf_errors) - drops0 ))
        sentbytes=$(echo "$sent" | awk '{ print $4 }')
        log="$OUT/${name}_log.txt"
        analysed=$(sed -n 's/^StreamDecoder Processed \([0-9]*\) Bytes$/\1/p' "$log" | tail -1)
        granted=$(sed -n 's/^UDP Reader: socket receive buffer [0-9]* bytes asked, \([0-9]*\) granted$/\1/p' "$log" | tail -1)
        [ -n "$granted" ] || granted="(not logged)"
        loss=$(awk -v s="$sentbytes" -v a="${analysed:-0}" 'BEGIN { printf "%.3f", (s > 0) ? (s - a) * 100 / s : 0 }')
        cpu=$(awk -v t="$((t1 - t0))" -v hz="$hz" -v a="$s0" -v b="$s1" 'BEGIN { printf "%.1f", t * 100 / hz / (b - a) }')
        printf '%6s %4s %12s %12s %9s %8s %7s %s\n' "$rate" "$run" "$sentbytes" "${analysed:-?}" "$drops" "$loss" "$cpu" "$granted"
        LOSSES[$rate]+="$loss "; CPUS[$rate]+="$cpu "
        rm -f "$OUT/$name"*
    done
done
echo
echo "medians:"
median() { printf '%s\n' $1 | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for rate in "${RATES[@]}"; do
    printf '%6s Mbit/s  loss %7s %%  max %7s %%  cpu %6s %%\n' "$rate" "$(median "${LOSSES[$rate]}")" \
        "$(printf '%s\n' ${LOSSES[$rate]} | sort -g | tail -1)" "$(median "${CPUS[$rate]}")"
done
