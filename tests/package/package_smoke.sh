#!/usr/bin/env bash
# Builds the Debian package with cpack, unpacks it with dpkg -x into a scratch
# root and checks what it installs: lintian's verdict, the file list, the
# Depends line, the desktop entry, icon, AppStream file and manual pages, the
# system group its maintainer script creates, quellmark-settings write (file
# modes), show and check, the example purge job (inert as installed, a job
# once uncommented), the purge units (systemd-analyze verify and security, in
# a mount namespace with the package's files laid over the machine's), and
# the `quellmark` command starting the unpacked
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
expected=$(printf '%s\n' ./etc/quellmark/purge/example.conf \
    ./lib/systemd/system/quellmark-purge@.service ./lib/systemd/system/quellmark-purge@.timer \
    ./usr/bin/quellmark ./usr/bin/quellmark-purge ./usr/bin/quellmark-settings ./usr/lib/quellmark/Quellmark \
    ./usr/share/applications/quellmark.desktop ./usr/share/doc/quellmark/changelog.gz \
    ./usr/share/doc/quellmark/copyright ./usr/share/icons/hicolor/scalable/apps/quellmark.svg \
    ./usr/share/man/man1/quellmark-purge.1.gz ./usr/share/man/man1/quellmark-settings.1.gz ./usr/share/man/man1/quellmark.1.gz \
    ./usr/share/metainfo/org.quellmark.quellmark.metainfo.xml ./usr/lib/tmpfiles.d/quellmark.conf | sort)
[ "$files" = "$expected" ] || fail "unexpected file list:
$files"

# The example job is a conffile (an operator's edits survive an upgrade).
conffiles=$(dpkg-deb -I "$deb" conffiles)
[ "$conffiles" = /etc/quellmark/purge/example.conf ] || fail "conffiles: $conffiles"

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
# Its last line gives the count (the lines before it: chunks and the log).
[[ ${dry##*$'\n'} == "quellmark-purge: dry run: $matching rows match; "* ]] || fail "quellmark-purge --dry-run printed: $dry"
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
        mount -t tmpfs tmpfs /run/lock
        mount -t overlay overlay -o "lowerdir=$work/root/usr/lib/tmpfiles.d:/usr/lib/tmpfiles.d" /usr/lib/tmpfiles.d
        if getent group quellmark >/dev/null; then echo "the group quellmark exists before the install" >&2; fi
        "$work/control/postinst" configure
        "$work/control/postinst" configure  # again: nothing left to do
        stat -c "trust folder %a %U:%G" /etc/quellmark/trusted-servers
        stat -c "lock folder %a %U:%G" /run/lock/quellmark-purge
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
    grep -qx 'lock folder 2770 root:quellmark' "$work/group.out" || fail "no lock folder: $(cat "$work/group.out")"
    getent group quellmark >/dev/null && echo "note: this machine has a group quellmark of its own"
    echo "group quellmark created; write --group quellmark: $(tail -n1 "$work/group.out")"
else
    echo "SKIPPED: the group quellmark (needs root and mount namespaces)" >&2
fi

# The example job does nothing as installed: every line is a comment, and
# quellmark-purge refuses it for want of a statement. Its lines, uncommented
# (but the keytab and the JSON file, which this machine has no place for),
# make a job the packaged quellmark-purge runs.
example="$root/etc/quellmark/purge/example.conf"
active=$(grep -Ev '^[[:space:]]*(#|$)' "$example" || true)
[ -z "$active" ] || fail "the example job has active lines: $active"
status=0
refused=$("$root/usr/bin/quellmark-purge" --job "$example" 2>&1) || status=$?
[ "$status" = 64 ] && grep -q 'a statement is needed' <<<"$refused" \
    || fail "the example job as installed gave status $status: $refused"
mkdir -m 0755 "$work/jobs"
sed -nE 's/^#([a-z-]+ = )/\1/p' "$example" | grep -Ev '^(keytab|json) ' >"$work/jobs/netmon.conf"
grep -q '^statement = ' "$work/jobs/netmon.conf" || fail "the example job shows no statement"
status=0
dry=$("$root/usr/bin/quellmark-purge" --job "$work/jobs/netmon.conf" --settings "$mdb" --dry-run=yes \
    --statement "DELETE TOP (500) FROM ATR_Log WHERE priority = '7'" 2>&1) || status=$?
[ "$status" = 0 ] && [[ ${dry##*$'\n'} == "quellmark-purge: dry run: $matching rows match; "* ]] \
    || fail "the example job, uncommented, gave status $status: $dry"
echo "example job, uncommented: $dry"

# The units: what they start, and a stop that outlasts the statement under
# way (its 30 s limit and about 10 s for the server to answer a cancellation).
units="$root/lib/systemd/system"
service="$units/quellmark-purge@.service"
grep -qx 'ExecStart=/usr/bin/quellmark-purge --job /etc/quellmark/purge/%i.conf' "$service" \
    || fail "the service does not run the job /etc/quellmark/purge/%i.conf"
stop=$(sed -n 's/^TimeoutStopSec=\([0-9]*\)s\{0,1\}$/\1/p' "$service")
[ -n "$stop" ] && [ "$stop" -ge 60 ] || fail "TimeoutStopSec is not at least 60 s: $(grep TimeoutStopSec "$service")"

# systemd-analyze sees the package's files in place: in a mount namespace of
# its own, the package's units, commands and manual pages are laid over the
# machine's folders (overlay mounts that end with the namespace). verify must
# print nothing for an instance of each unit; the service's exposure must be
# at most 3.0.
if [ "$(id -u)" = 0 ] && unshare --mount --propagation private true 2>/dev/null; then
    unshare --mount --propagation private bash -euc '
        root=$1
        for pair in lib/systemd/system:/usr/lib/systemd/system usr/bin:/usr/bin usr/share/man/man1:/usr/share/man/man1; do
            mount -t overlay overlay -o "lowerdir=$root/${pair%%:*}:${pair#*:}" "${pair#*:}"
        done
        echo "--- verify"
        systemd-analyze verify quellmark-purge@netmon.service quellmark-purge@netmon.timer 2>&1
        echo "--- security"
        systemd-analyze security --offline=true --no-pager quellmark-purge@netmon.service 2>&1
    ' _ "$root" >"$work/analyze.out" 2>&1 || { cat "$work/analyze.out" >&2; fail "systemd-analyze could not run"; }
    verified=$(sed -n '/^--- verify$/,/^--- security$/p' "$work/analyze.out" | sed '1d;$d')
    [ -z "$verified" ] || fail "systemd-analyze verify:
$verified"
    rating=$(sed -n 's/^.*Overall exposure level for quellmark-purge@netmon.service: \([0-9.]*\) .*$/\1/p' "$work/analyze.out")
    [ -n "$rating" ] || { cat "$work/analyze.out" >&2; fail "systemd-analyze security gave no rating"; }
    awk -v r="$rating" 'BEGIN { exit !(r <= 3.0) }' \
        || { grep '✗' "$work/analyze.out" >&2; fail "systemd-analyze security rates the service $rating, above 3.0"; }
    echo "systemd-analyze verify: nothing to say; security: quellmark-purge@netmon.service rated $rating"
    grep '✗' "$work/analyze.out" || true
else
    echo "SKIPPED: systemd-analyze of the units (needs root and mount namespaces)" >&2
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
