#!/usr/bin/env bash
# Starts the real Quellmark executable under Xvfb, finds its window by its
# caption, checks the client area is 622 x 344, saves a screenshot, and closes
# the window the way a window manager would.
# Usage: window_smoke.sh QUELLMARK XCLOSE SCREENSHOT.png
source "$(dirname "$0")/xvfb_session.sh"
app=$1 xclose=$2 shot=$3

start_xvfb
"$app" 2>/dev/null &
APP_PID=$!
id=$(wait_for_window)
size=$(client_size "$id")
echo "window $id client area $size"
[ "$size" = "622x344" ] || { echo "expected 622x344, got $size" >&2; exit 1; }
sleep 0.5
import -window root -crop 622x344+0+0 "$shot"
echo "screenshot: $shot"
"$xclose" "$id"
wait_exit "$APP_PID" 10
[ "$EXIT_STATUS" = "0" ] || { echo "Quellmark did not exit cleanly after close: $EXIT_STATUS" >&2; exit 1; }
APP_PID=""
echo "closed cleanly"
