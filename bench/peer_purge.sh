#!/usr/bin/env bash
# The chunked purge as an operator scripts it without Quellmark: FreeTDS's
# bsqldb counts the rows left, deletes one chunk while any is left, then
# `sleep 0.2`, until the count is 0 (the same statements and pauses as a
# Quellmark deletion run, one bsqldb login per statement).
#
# Usage: peer_purge.sh HOST PORT DATABASE USER PASSWORD COUNT-STATEMENT DELETE-STATEMENT
# Prints one line: "passes=N deletes=D slept_us=S" (S: time spent in the sleeps).
set -euo pipefail
export LC_ALL=C
[ $# -eq 7 ] || { echo "usage: $0 HOST PORT DATABASE USER PASSWORD COUNT-STATEMENT DELETE-STATEMENT" >&2; exit 2; }
host=$1 port=$2 database=$3 user=$4 password=$5 count_sql=$6 delete_sql=$7

conf=$(mktemp)
trap 'rm -f "$conf"' EXIT
# Encrypted throughout, as Quellmark's connections are, so that the two are
# compared like for like.
printf '[purge]\n\thost = %s\n\tport = %s\n\ttds version = 7.4\n\tencryption = require\n' "$host" "$port" >"$conf"
export FREETDSCONF=$conf

sql() { printf '%s\n' "$1" | bsqldb -S purge -D "$database" -U "$user" -P "$password" -q; }

passes=0 deletes=0 slept=0
while :; do
    left=$(sql "$count_sql" | tr -d '[:space:]')
    [[ $left =~ ^[0-9]+$ ]] || { echo "peer_purge: the count statement gave '$left'" >&2; exit 1; }
    passes=$((passes + 1))
    if ((left > 0)); then
        sql "$delete_sql" >/dev/null
        deletes=$((deletes + 1))
    fi
    t0=${EPOCHREALTIME/./}
    sleep 0.2
    t1=${EPOCHREALTIME/./}
    slept=$((slept + t1 - t0))
    ((left > 0)) || break
done
echo "passes=$passes deletes=$deletes slept_us=$slept"
