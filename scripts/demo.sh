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
build=${QUELLMARK_BUILD_DIR:-$root/build}
rows=${QUELLMARK_DEMO_ROWS:-200000}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target Quellmark quellmark-settings quellmark-logdb

app="$build/app/Quellmark"
settings_tool="$build/tools/settings/quellmark-settings"
logdb="$build/tools/logdb/quellmark-logdb"
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
finish() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap finish EXIT

echo "demo: starting the log server with $rows rows..."
"$logdb" --port 0 --database Sarnwick --user demo --password demo --rows "$rows" --seed 1 \
    >"$work/logdb.out" 2>"$work/logdb.err" &
pids+=($!)
port=""
for _ in $(seq 1 600); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/logdb.out")
    [ -n "$port" ] && break
    kill -0 "${pids[0]}" 2>/dev/null || { cat "$work/logdb.err" >&2; exit 1; }
    sleep 0.1
done
[ -n "$port" ] || { echo "demo: the log server did not start" >&2; exit 1; }
echo "demo: log server listening on 127.0.0.1:$port (database Sarnwick, user demo)"

"$settings_tool" write "$mdb" --type "Remote SQL Authentication" --timeout 15 --server 127.0.0.1 \
    --port "$port" --database Sarnwick --user demo --password demo
sha256sum "$mdb" | cut -d' ' -f1 >"$stamp"
echo "demo: wrote $mdb"

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    echo "demo: opening the window; close it to stop the server."
    "$app"
    exit 0
fi

echo "demo: no display is available, so the window runs under Xvfb."
Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp >"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"
"$app" 2>"$work/app.err" &
app_pid=$!
pids+=($app_pid)
id=""
for _ in $(seq 1 100); do
    id=$(xdotool search --name '^  Quellmark$' 2>/dev/null | head -n1 || true)
    [ -n "$id" ] && break
    sleep 0.1
done
[ -n "$id" ] || { echo "demo: the window did not appear" >&2; exit 1; }
sleep 0.5
xdotool mousemove --window "$id" 44 76 click 1     # Create SQL ("Priority")
sleep 0.3
xdotool mousemove --window "$id" 480 68 click 1    # Count Records
sleep 3
shot="$build/quellmark-demo.png"
import -window root -crop 622x344+0+0 "$shot"
echo "demo: counted the \"Priority\" template; screenshot: $shot"
