#!/usr/bin/env bash
# Drives the real Quellmark executable under Xvfb with xdotool against a
# quellmark-logdb server: Create SQL ("Priority", chunk 2000), then Delete All
# Records. Afterwards the server must hold no row with priority 7 and every
# other row it held before.
# Usage: delete_smoke.sh QUELLMARK XCLOSE QUELLMARK-SETTINGS QUELLMARK-LOGDB SCREENSHOT.png
source "$(dirname "$0")/xvfb_session.sh"
source "$(dirname "$0")/../../testing/logdb/start_logdb.sh"
app=$1 xclose=$2 settings=$3 logdb=$4 shot=$5

work=$(mktemp -d)
LOGDB_PID=""
stop_all() {
    [ -n "$LOGDB_PID" ] && kill -9 "$LOGDB_PID" 2>/dev/null || true
    cleanup
    rm -rf "$work"
}
trap stop_all EXIT

count() { sqlite3 "$work/log.db" "SELECT COUNT(*) FROM ATR_Log WHERE $1"; }

start_logdb "$work" "$logdb" --database Sarnwick --user ops --password 'pw;1' --rows 20000 --seed 7 \
    --db "$work/log.db" || exit 1
port=$LOGDB_PORT

mkdir -p "$work/app"
cp "$app" "$work/app/Quellmark"
"$settings" write "$work/app/Sarnwick.mdb" --type "Remote SQL Authentication" --timeout 5 \
    --server 127.0.0.1 --port "$port" --database Sarnwick --user ops --password 'pw;1'
# The server's certificate is pinned in a trust folder of this test.
export QUELLMARK_TRUST_DIR="$work/trusted-servers"
"$settings" trust "$work/app/Sarnwick.mdb" --fingerprint "$LOGDB_SHA256" >/dev/null || exit 1

before_other=$(count "priority <> 7")
before_seven=$(count "priority = 7")
echo "before: $before_seven rows with priority 7, $before_other others"
[ "$before_seven" -gt 2000 ] || { echo "the seeded data should hold more than one chunk of priority 7" >&2; exit 1; }

start_xvfb
"$work/app/Quellmark" 2>"$work/app.err" &
APP_PID=$!
id=$(wait_for_window)
sleep 1  # let the window settle on a loaded machine before the first click
xdotool mousemove --window "$id" 44 76 click 1      # Create SQL
sleep 0.5
xdotool mousemove --window "$id" 520 108 click 1    # Delete All Records

for _ in $(seq 1 600); do
    [ "$(count "priority = 7")" = "0" ] && break
    sleep 0.1
done
if [ "$(count "priority = 7")" != "0" ] && xdotool search --name '^Quellmark$' >/dev/null 2>&1; then
    echo "a message box is open; the run did not go as planned" >&2
fi
sleep 1  # the last pass counts 0, pauses, then the controls come back
import -window root -crop 622x344+0+0 "$shot"
echo "screenshot: $shot"

after_other=$(count "priority <> 7")
after_seven=$(count "priority = 7")
echo "after: $after_seven rows with priority 7, $after_other others"

"$xclose" "$id"
wait_exit "$APP_PID" 10
[ "$EXIT_STATUS" = "0" ] || { echo "Quellmark did not exit cleanly: $EXIT_STATUS" >&2; cat "$work/app.err" >&2; exit 1; }
APP_PID=""

[ "$after_seven" = "0" ] || { echo "rows with priority 7 are left" >&2; exit 1; }
[ "$after_other" = "$before_other" ] || { echo "other rows were deleted" >&2; exit 1; }
echo "deleted exactly the $before_seven rows with priority 7"
