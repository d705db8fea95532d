#!/usr/bin/env bash
# The demo: builds Quellmark, starts the demo log server quellmark-logdb on a
# free loopback port with 200,000 seeded rows, writes Sarnwick.mdb beside the
# executable (Remote SQL Authentication to that port) and opens the window.
# Closing the window stops the server. Without a display it runs the window
# under Xvfb, counts the "Priority" template, saves a screenshot and prints
# its path.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source testing/logdb/start_logdb.sh
build=${QUELLMARK_BUILD_DIR:-$root/build}
rows=${QUELLMARK_DEMO_ROWS:-200000}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target Quellmark quellmark-settings quellmark-logdb

app="$build/app/Quellmark"
settings_tool="$build/tools/settings/quellmark-settings"
logdb="$build/testing/logdb/quellmark-logdb"
mdb="$(dirname "$app")/Sarnwick.mdb"
stamp="$mdb.demo-sha256"

# Never overwrite a settings file this script did not write itself.
if [ -e "$mdb" ]; then
    if [ ! -f "$stamp" ] || [ "$(sha256sum "$mdb" | cut -d' ' -f1)" != "$(cat "$stamp")" ]; then
        echo "demo: $mdb exists and was not written by the demo; leaving it alone." >&2
        echo "demo: move it away to run the demo." >&2
        exit 1
    fi
fi

work=$(mktemp -d)
pids=()
# Stops what the demo started, the most recent first (the window before its
# display, both before the server), and waits for each to end.
finish() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

echo "demo: starting the log server with $rows rows..."
started=0
start_logdb "$work" "$logdb" --database Sarnwick --user demo --password demo --rows "$rows" --seed 1 \
    --stats "$work/stats" && started=1
pids+=("$LOGDB_PID")
[ "$started" = 1 ] || { echo "demo: the log server did not start" >&2; exit 1; }
port=$LOGDB_PORT
echo "demo: log server listening on 127.0.0.1:$port (database Sarnwick, user demo)"

printf '%s\n' demo | "$settings_tool" write "$mdb" --type "Remote SQL Authentication" --timeout 15 \
    --server 127.0.0.1 --port "$port" --database Sarnwick --user demo --password-stdin
sha256sum "$mdb" | cut -d' ' -f1 >"$stamp"
echo "demo: wrote $mdb"
# The demo server's certificate is self-made: pin it by the fingerprint the
# server printed, in a trust folder of the demo's own (the window inherits it).
export QUELLMARK_TRUST_DIR="$work/trusted-servers"
"$settings_tool" trust "$mdb" --fingerprint "$LOGDB_SHA256" </dev/null >/dev/null
echo "demo: pinned the log server's certificate (SHA-256 $LOGDB_SHA256)"
echo "demo: quellmark-settings check: $("$settings_tool" check "$mdb")"

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    echo "demo: opening the window: pick a template, press Create SQL, then Count Records"
    echo "demo: or Delete All Records. Closing the window stops the server."
    "$app"
    echo "demo: the window is closed; stopping the log server."
    exit 0
fi

echo "demo: no display is available, so the window runs under Xvfb."
Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp >"$work/display" 2>"$work/xvfb.err" &
pids+=($!)
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.err" >&2; echo "demo: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
"$app" 2>"$work/app.err" &
pids+=($!)
id=""
for _ in $(seq 1 100); do
    id=$(xdotool search --name '^  Quellmark$' 2>/dev/null | head -n1 || true)
    [ -n "$id" ] && break
    sleep 0.1
done
[ -n "$id" ] || { cat "$work/app.err" >&2; echo "demo: the window did not appear" >&2; exit 1; }
sleep 0.5
xdotool mousemove --window "$id" 44 76 click 1     # Create SQL ("Priority")
sleep 0.3
# The server logs each statement it ran (the check above counted already):
# wait for the window's count, then give the window a moment to show it.
counts_before=$(awk -F'\t' '$2 == "count"' "$work/stats" 2>/dev/null | wc -l)
xdotool mousemove --window "$id" 480 68 click 1    # Count Records
counted=""
for _ in $(seq 1 600); do
    counted=$(awk -F'\t' -v skip="$counts_before" '$2 == "count" && ++n > skip {print $3; exit}' "$work/stats" \
        2>/dev/null || true)
    [ -n "$counted" ] && break
    sleep 0.1
done
[ -n "$counted" ] || { cat "$work/app.err" >&2; echo "demo: the count did not reach the server" >&2; exit 1; }
sleep 1
shot="$build/quellmark-demo.png"
import -window "$id" "$shot"
echo "demo: counted the \"Priority\" template: $counted rows."
echo "demo: screenshot: $shot"
