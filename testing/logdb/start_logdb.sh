# Sourced by the shell tests and the demo: starts the test log server.
#
#   start_logdb DIR QUELLMARK-LOGDB [ARGS...]
#
# Runs QUELLMARK-LOGDB --port 0 ARGS... in the background with its output in
# DIR/logdb.out and DIR/logdb.err, waits (at most 10 minutes: seeding many
# rows takes a while) for its "listening on" line, and sets LOGDB_PID,
# LOGDB_PORT and LOGDB_SHA256 (its certificate's SHA-256 fingerprint, empty
# with --encryption none). Returns 1, with the server's errors on stderr, when it ends or
# does not listen in time.
start_logdb() {
    local dir=$1 exe=$2
    shift 2
    "$exe" --port 0 "$@" >"$dir/logdb.out" 2>"$dir/logdb.err" &
    LOGDB_PID=$!
    LOGDB_PORT=""
    LOGDB_SHA256=""
    local i
    for ((i = 0; i < 6000; i++)); do
        LOGDB_PORT=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)\( sha256 [0-9A-F:]*\)\{0,1\}$/\1/p' "$dir/logdb.out")
        if [ -n "$LOGDB_PORT" ]; then
            LOGDB_SHA256=$(sed -n 's/^listening on .* sha256 \([0-9A-F:]*\)$/\1/p' "$dir/logdb.out")
            return 0
        fi
        if ! kill -0 "$LOGDB_PID" 2>/dev/null; then
            cat "$dir/logdb.err" >&2
            echo "quellmark-logdb ended before it listened" >&2
            return 1
        fi
        sleep 0.1
    done
    echo "quellmark-logdb did not start" >&2
    return 1
}
