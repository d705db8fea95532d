#!/usr/bin/env bash
# Builds the Debian package with cpack, unpacks it with dpkg -x into a scratch
# root and checks what it installs: the file list, the Depends line, a
# quellmark-settings write/show round trip, and the `quellmark` command
# starting the unpacked Quellmark, which counts the "Priority" template against
# a quellmark-logdb server named by the Sarnwick.mdb in its own folder.
# Usage: package_smoke.sh CPACK CPACK-CONFIG XCLOSE QUELLMARK-LOGDB
source "$(dirname "$0")/../smoke/xvfb_session.sh"
source "$(dirname "$0")/../../testing/logdb/start_logdb.sh"
cpack=$1 config=$2 xclose=$3 logdb=$4

work=$(mktemp -d)
LOGDB_PID=""
stop_all() {
    if [ -n "$LOGDB_PID" ]; then
        kill "$LOGDB_PID" 2>/dev/null || true
        wait "$LOGDB_PID" 2>/dev/null || true
    fi
    cleanup
    rm -rf "$work"
}
trap stop_all EXIT
fail() { echo "$*" >&2; exit 1; }

# cpack works in -B, so neither the build folder nor the sources get files.
"$cpack" --config "$config" -G DEB -B "$work/cpack" </dev/null >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
debs=("$work"/cpack/quellmark_*.deb)
[ "${#debs[@]}" = 1 ] && [ -f "${debs[0]}" ] || fail "expected one quellmark_*.deb, got: ${debs[*]}"
deb=${debs[0]}
echo "package: $(basename "$deb")"

# Exactly these files, and nothing from the build or the tests.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
expected=$(printf '%s\n' ./usr/bin/quellmark ./usr/bin/quellmark-settings \
    ./usr/lib/quellmark/Quellmark ./usr/share/applications/quellmark.desktop)
[ "$files" = "$expected" ] || fail "unexpected file list:
$files"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for p in tdsodbc unixodbc libqt6widgets6 libmdb3; do
    grep -Eq "(^|, )$p( |,|$)" <<<"$depends" || fail "Depends does not name $p"
done

root="$work/root"
dpkg -x "$deb" "$root"
app_dir="$root/usr/lib/quellmark"
for f in usr/bin/quellmark usr/bin/quellmark-settings usr/lib/quellmark/Quellmark; do
    [ -x "$root/$f" ] || fail "$f is not executable"
done
symbols=$(file "$app_dir/Quellmark" "$root/usr/bin/quellmark-settings")
if grep -q 'not stripped' <<<"$symbols"; then
    fail "the packaged executables still carry their symbols:
$symbols"
fi
grep -qx 'Exec=quellmark' "$root/usr/share/applications/quellmark.desktop" \
    || fail "the desktop entry does not start the quellmark command"

# The settings file beside the packaged executable, written and read back by
# the packaged quellmark-settings; show must not print the password.
start_logdb "$work" "$logdb" --database Sarnwick --user ops --password 'S3cret;pw' --rows 5000 --seed 3 \
    --db "$work/log.db" --stats "$work/stats" || fail "quellmark-logdb did not start"
port=$LOGDB_PORT

mdb="$app_dir/Sarnwick.mdb"
"$root/usr/bin/quellmark-settings" write "$mdb" --type "Remote SQL Authentication" --timeout 5 \
    --server 127.0.0.1 --port "$port" --database Sarnwick --user ops --password 'S3cret;pw'
shown=$("$root/usr/bin/quellmark-settings" show "$mdb")
want="OnlConnType=Remote SQL Authentication
OnlConnTimeout=5
OnlDbServer=127.0.0.1
OnlDbPort=$port
OnlDatabase=Sarnwick
OnlDbUser=ops
OnlDbPass=****"
[ "$shown" = "$want" ] || fail "show printed:
$shown"

# The quellmark command starts the unpacked executable, which must find the
# settings in its own folder to reach the server.
start_xvfb
"$root/usr/bin/quellmark" 2>"$work/app.err" &
APP_PID=$!
id=$(wait_for_window)
exe=$(readlink -f "/proc/$APP_PID/exe")
[ "$exe" = "$(readlink -f "$app_dir/Quellmark")" ] || fail "the quellmark command runs $exe"
sleep 0.3
xdotool mousemove --window "$id" 44 76 click 1     # Create SQL ("Priority")
sleep 0.3
xdotool mousemove --window "$id" 480 68 click 1    # Count Records
counted=""
for _ in $(seq 1 200); do
    counted=$(awk -F'\t' '$2 == "count" {print $3; exit}' "$work/stats" 2>/dev/null || true)
    [ -n "$counted" ] && break
    sleep 0.1
done
expected_count=$(sqlite3 "$work/log.db" "SELECT COUNT(*) FROM ATR_Log WHERE priority = 7")
[ -n "$counted" ] || { cat "$work/app.err" >&2; fail "the packaged Quellmark sent no count to the server"; }
[ "$counted" = "$expected_count" ] && [ "$counted" -gt 0 ] \
    || fail "the server counted $counted rows, expected $expected_count"
echo "counted $counted rows through the packaged Quellmark"

"$xclose" "$id"
wait_exit "$APP_PID" 10
[ "$EXIT_STATUS" = "0" ] || { cat "$work/app.err" >&2; fail "Quellmark did not exit cleanly after close: $EXIT_STATUS"; }
APP_PID=""
echo "closed cleanly"
