# Sourced by the smoke tests: starts a private Xvfb display, and helpers to find
# and close the Quellmark window. Everything started here is stopped on exit.
set -euo pipefail

XVFB_PID=""
APP_PID=""
cleanup() {
    [ -n "$APP_PID" ] && kill -9 "$APP_PID" 2>/dev/null || true
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null || true
}
trap cleanup EXIT

start_xvfb() {
    local fd_file
    fd_file=$(mktemp)
    Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp >"$fd_file" 2>/dev/null &
    XVFB_PID=$!
    for _ in $(seq 1 100); do
        [ -s "$fd_file" ] && break
        sleep 0.1
    done
    [ -s "$fd_file" ] || { echo "Xvfb did not start" >&2; exit 1; }
    export DISPLAY=":$(head -n1 "$fd_file")"
    rm -f "$fd_file"
}

# Prints the id of the window whose caption is exactly "  Quellmark", once it
# is mapped and viewable (a click before that could be lost).
wait_for_window() {
    local id=""
    for _ in $(seq 1 300); do
        id=$(xdotool search --onlyvisible --name '^  Quellmark$' 2>/dev/null | head -n1 || true)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    echo "the Quellmark window did not appear" >&2
    return 1
}

client_size() {
    xwininfo -id "$1" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}'
}

# Waits up to $2 seconds (default 10) for the child process $1 to end and sets
# EXIT_STATUS to its exit status, or to "timeout".
wait_exit() {
    local pid=$1 limit=${2:-10}
    EXIT_STATUS="timeout"
    for _ in $(seq 1 $((limit * 10))); do
        if ! kill -0 "$pid" 2>/dev/null; then
            EXIT_STATUS=0
            wait "$pid" || EXIT_STATUS=$?
            return 0
        fi
        sleep 0.1
    done
}
