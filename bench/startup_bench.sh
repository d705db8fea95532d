#!/usr/bin/env bash
# Start-up time and memory of the real Quellmark executable under a private
# Xvfb display (no window manager): RUNS starts (default 10), each timed by
# startup_probe from just before the process is started to its window being
# mapped and to its first painted frame, with the peak resident memory
# (VmHWM) read half a second later, just before the window is closed.
#
# Usage: startup_bench.sh [RUNS] [QUELLMARK] [STARTUP_PROBE]
#        (defaults: build-bench/app/Quellmark, build-bench/bench/startup_probe)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
runs=${1:-10}
app=${2:-$here/../build-bench/app/Quellmark}
probe=${3:-$here/../build-bench/bench/startup_probe}
for f in "$app" "$probe"; do
    [ -x "$f" ] || { echo "startup_bench: $f is not built" >&2; exit 1; }
done

XVFB_PID=""
results=$(mktemp)
runtime=$(mktemp -d)  # XDG_RUNTIME_DIR for Qt, mode 0700
trap '[ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null; rm -rf "$results" "$runtime"' EXIT
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$runtime}

fd_file=$(mktemp)
Xvfb -displayfd 1 -screen 0 1024x768x24 -br -nolisten tcp >"$fd_file" 2>/dev/null &
XVFB_PID=$!
for _ in $(seq 1 100); do
    [ -s "$fd_file" ] && break
    sleep 0.1
done
[ -s "$fd_file" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$fd_file")"
rm -f "$fd_file"
unset QT_QPA_PLATFORM

echo "Quellmark: $app"
echo "display $DISPLAY (Xvfb, no window manager), $runs runs"
for i in $(seq 1 "$runs"); do
    line=$("$probe" "$app") || { echo "run $i failed: $line" >&2; exit 1; }
    echo "run $i: $line"
    echo "$line" >>"$results"
done

# Median and maximum of one field over the runs.
stat() {
    sed -n "s/.*$1=\([-0-9.]*\).*/\1/p" "$results" | sort -n |
        awk '{v[NR]=$1} END {m = NR % 2 ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2; printf "median %.1f max %.1f", m, v[NR]}'
}
echo "to window mapped (ms):      $(stat map_ms)"
echo "to first painted frame (ms): $(stat paint_ms)"
hwm=$(sed -n 's/.*hwm_kb=\([0-9]*\).*/\1/p' "$results" | sort -n |
    awk '{v[NR]=$1} END {m = NR % 2 ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2; printf "median %.1f max %.1f", m/1024, v[NR]/1024}')
echo "peak RSS, VmHWM (MB):        $hwm"
paint=$(sed -n 's/.*paint_ms=\([-0-9.]*\).*/\1/p' "$results" | sort -n | tail -n1)
peak=$(sed -n 's/.*hwm_kb=\([0-9]*\).*/\1/p' "$results" | sort -n | tail -n1)
echo "startup_max_ms=$paint peak_rss_max_mb=$(awk -v k="$peak" 'BEGIN {printf "%.1f", k / 1024}')"
