#!/usr/bin/env bash
# Builds the Debian package with cpack, unpacks it with dpkg -x into a scratch
# root and checks what it installs: lintian's verdict, the file list, the
# Depends line, the desktop entry, icon, AppStream file and manual pages, the
# system group its maintainer script creates, quellmark-settings write (file
# modes), show and check, and the `quellmark` command starting the unpacked
# Quellmark, which counts the "Priority" template against a quellmark-logdb
# server named by the Sarnwick.mdb in its own folder.
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

# Not one error or warning; the informational tags are shown, not counted.
lintian_status=0
lintian --allow-root --fail-on error,warning --info --pedantic "$deb" >"$work/lintian.out" 2>&1 || lintian_status=$?
cat "$work/lintian.out"
if [ "$lintian_status" != 0 ] || grep -Eq '^[EW]: ' "$work/lintian.out"; then
    fail "lintian reports errors or warnings (status $lintian_status)"
fi

# Exactly these files, and nothing from the build or the tests.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
expected=$(printf '%s\n' ./usr/bin/quellmark ./usr/bin/quellmark-purge ./usr/bin/quellmark-settings ./usr/lib/quellmark/Quellmark \
    ./usr/share/applications/quellmark.desktop ./usr/share/doc/quellmark/changelog.gz \
    ./usr/share/doc/quellmark/copyright ./usr/share/icons/hicolor/scalable/apps/quellmark.svg \
    ./usr/share/man/man1/quellmark-purge.1.gz ./usr/share/man/man1/quellmark-settings.1.gz ./usr/share/man/man1/quellmark.1.gz \
    ./usr/share/metainfo/org.quellmark.quellmark.metainfo.xml | sort)
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
for f in usr/bin/quellmark usr/bin/quellmark-settings usr/bin/quellmark-purge usr/lib/quellmark/Quellmark; do
    [ -x "$root/$f" ] || fail "$f is not executable"
done
symbols=$(file "$app_dir/Quellmark" "$root/usr/bin/quellmark-settings" "$root/usr/bin/quellmark-purge")
if grep -q 'not stripped' <<<"$symbols"; then
    fail "the packaged executables still carry their symbols:
$symbols"
fi
desktop="$root/usr/share/applications/quellmark.desktop"
grep -qx 'Exec=quellmark' "$desktop" || fail "the desktop entry does not start the quellmark command"
# Not even a hint (two main categories would put the tool in two menus).
validated=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$validated" ] \
    || fail "desktop-file-validate: $validated"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "the desktop entry's icon \"$icon\" is not packaged"
metainfo="$root/usr/share/metainfo/org.quellmark.quellmark.metainfo.xml"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects the metainfo file"
grep -q "<launchable type=\"desktop-id\">$(basename "$desktop")</launchable>" "$metainfo" \
    || fail "the metainfo file does not launch the packaged desktop entry"
grep -qx 'License: Expat' "$root/usr/share/doc/quellmark/copyright" || fail "the copyright file names no MIT (Expat) licence"

# Every option the settings tool knows is in its manual page.
page=$(zcat "$root/usr/share/man/man1/quellmark-settings.1.gz" | sed 's/\\-/-/g')
for option in $("$root/usr/bin/quellmark-settings" --help | grep -oE -- '--[a-z][a-z-]+' | sort -u); do
    grep -qF -- "$option" <<<"$page" || fail "the manual page of quellmark-settings does not mention $option"
done
page=$(zcat "$root/usr/share/man/man1/quellmark-purge.1.gz" | sed 's/\\-/-/g')
for option in $("$root/usr/bin/quellmark-purge" --help | grep -oE -- '--[a-z][a-z-]+' | sort -u); do
    grep -qF -- "$option" <<<"$page" || fail "the manual page of quellmark-purge does not mention $option"
done
for status in 0 64 65 69 70 73 75 78; do
    grep -q "^\.B $status\$" <<<"$page" || fail "the manual page of quellmark-purge does not list exit status $status"
done
page=$(zcat "$root/usr/share/man/man1/quellmark-settings.1.gz" | sed 's/\\-/-/g')
for command in write show check trust; do
    grep -q "^\.B $command" <<<"$page" || fail "the manual page of quellmark-settings does not describe $command"
done

# The settings file beside the packaged executable, written and read back by
# the packaged quellmark-settings; show must not print the password.
start_logdb "$work" "$logdb" --database Sarnwick --user ops --password 'S3cret;pw' --rows 5000 --seed 3 \
    --db "$work/log.db" --stats "$work/stats" || fail "quellmark-logdb did not start"
port=$LOGDB_PORT

mdb="$app_dir/Sarnwick.mdb"
settings=(--type "Remote SQL Authentication" --timeout 5 --server 127.0.0.1 --port "$port" --database Sarnwick --user ops)
printf '%s\n' 'S3cret;pw' | "$root/usr/bin/quellmark-settings" write "$mdb" "${settings[@]}" --password-stdin
[ "$(stat -c %a "$mdb")" = 600 ] || fail "write made a file of mode $(stat -c %a "$mdb"), not 600"
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
# The server's certificate is pinned with trust --fingerprint, in a trust
# folder of this test, before the first login.
export QUELLMARK_TRUST_DIR="$work/trusted-servers"
"$root/usr/bin/quellmark-settings" trust "$mdb" --fingerprint "$LOGDB_SHA256" </dev/null \
    || fail "trust did not pin the server's certificate"
checked=$("$root/usr/bin/quellmark-settings" check "$mdb") || fail "check failed: $checked"
rows=$(sqlite3 "$work/log.db" "SELECT COUNT(*) FROM ATR_Log")
[ "$checked" = "connected to 127.0.0.1,$port (database Sarnwick) as ops: ATR_Log holds $rows rows
trusted: the certificate pinned in $QUELLMARK_TRUST_DIR/127.0.0.1,$port.pem (SHA-256 $LOGDB_SHA256)" ] \
    || fail "check printed: $checked"
echo "$checked"

# The packaged quellmark-purge finds the same settings file by itself.
matching=$(sqlite3 "$work/log.db" "SELECT COUNT(*) FROM ATR_Log WHERE priority = 7")
dry=$("$root/usr/bin/quellmark-purge" --dry-run --statement "DELETE TOP (500) FROM ATR_Log WHERE priority = '7'") \
    || fail "quellmark-purge --dry-run failed: $dry"
[[ $dry == "quellmark-purge: dry run: $matching rows match; "* ]] || fail "quellmark-purge --dry-run printed: $dry"
echo "$dry"

# The maintainer script creates the group quellmark, and write --group gives
# it the file. Both run in a mount namespace of their own over a copy of /etc,
# so the machine's groups stay as they are.
if [ "$(id -u)" = 0 ] && unshare --mount --propagation private true 2>/dev/null; then
    dpkg-deb -e "$deb" "$work/control"
    cp -a /etc "$work/etc"
    printf '%s\n' 'S3cret;pw' | unshare --mount --propagation private bash -euc '
        work=$1
        shift
        mount --bind "$work/etc" /etc
        if getent group quellmark >/dev/null; then echo "the group quellmark exists before the install" >&2; fi
        "$work/control/postinst" configure
        "$work/control/postinst" configure  # again: nothing left to do
        stat -c "trust folder %a %U:%G" /etc/quellmark/trusted-servers
        getent group quellmark
        "$@" --password-stdin --group quellmark
        stat -c "%a %G" "$work/group.mdb"
    ' _ "$work" "$root/usr/bin/quellmark-settings" write "$work/group.mdb" "${settings[@]}" \
        >"$work/group.out" 2>&1 || { cat "$work/group.out" >&2; fail "creating the group quellmark or writing for it failed"; }
    [ "$(tail -n1 "$work/group.out")" = "640 quellmark" ] || fail "write --group quellmark:
$(cat "$work/group.out")"
    grep -q '^quellmark:x:[0-9]*:$' "$work/group.out" || fail "no group quellmark: $(cat "$work/group.out")"
    grep -qx 'trust folder 755 root:root' "$work/group.out" \
        || fail "no trust folder /etc/quellmark/trusted-servers of root, mode 0755: $(cat "$work/group.out")"
    getent group quellmark >/dev/null && echo "note: this machine has a group quellmark of its own"
    echo "group quellmark created; write --group quellmark: $(tail -n1 "$work/group.out")"
else
    echo "SKIPPED: the group quellmark (needs root and mount namespaces)" >&2
fi

# The quellmark command starts the unpacked executable, which must find the
# settings in its own folder to reach the server.
# Only statements after this line of the server's log are the window's.
seen=$(wc -l <"$work/stats")
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
    counted=$(awk -F'\t' -v seen="$seen" 'NR > seen && $2 == "count" {print $3; exit}' "$work/stats" 2>/dev/null || true)
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
