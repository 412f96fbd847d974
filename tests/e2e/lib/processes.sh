# shellcheck shell=bash
# Processes, failures and waits. Each process started is stopped by its id, the last started
# first, also on failure; a failing case leaves a screenshot and the logs of the desktop.

pids=()
names=()

started() {
    pids+=("$1")
    names+=("$2")
}

alive() {
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

# stop_process PID NAME
stop_process() {
    local pid=$1 i
    if alive "$pid"; then
        kill -TERM "$pid" 2>/dev/null || true
        for ((i = 0; i < 50; i++)); do
            alive "$pid" || break
            sleep 0.1
        done
        if alive "$pid"; then
            echo "note: $2 ($pid) did not end on SIGTERM; killing it" >&2
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    wait "$pid" 2>/dev/null || true
}

stop_all() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        stop_process "${pids[i]}" "${names[i]}"
    done
    pids=()
    names=()
}

# A process that ended on its own is no longer ours to stop.
forget() {
    local pid=$1 i
    for i in "${!pids[@]}"; do
        if [ "${pids[i]}" = "$pid" ]; then
            unset 'pids[i]' 'names[i]'
        fi
    done
    pids=("${pids[@]}")
    names=("${names[@]}")
}

on_exit() {
    local status=$?
    trap - EXIT
    if [ "$status" -ne 0 ]; then
        if [ -n "${DISPLAY:-}" ]; then
            import -window root "$shots/failure.png" 2>/dev/null || true
        fi
        for log in program.err xvfb.log trayer.log; do
            if [ -s "$tmp/$log" ]; then
                echo "--- $log"
                cat "$tmp/$log"
            fi
        done
        echo "--- screenshots in $shots"
    fi
    stop_all
    rm -rf "$tmp"
    exit "$status"
}
trap on_exit EXIT
# A command that fails outside a check ends the case: say which (not from inside a command
# substitution, whose failures the caller judges).
set -E
on_error() {
    [ "$BASH_SUBSHELL" -ne 0 ] || echo "FAIL: $case_name: $2: $3 (status $1)" >&2
}
trap 'on_error $? "${BASH_SOURCE[0]##*/}:$LINENO" "$BASH_COMMAND"' ERR
trap 'echo "FAIL: $case_name: interrupted"; exit 1' INT TERM HUP

fail() {
    echo "FAIL: $case_name: $*" >&2
    exit 1
}

note() {
    echo "$case_name: $*"
}

# wait_until WHAT COMMAND...: runs COMMAND until it succeeds, for at most $limit seconds.
wait_until() {
    local what=$1
    shift
    local deadline=$((SECONDS + limit))
    until "$@"; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            fail "timed out after ${limit}s waiting for $what"
        fi
        sleep 0.1
    done
}

# expect_same WHAT EXPECTED_FILE ACTUAL_FILE: exact bytes, with a readable difference.
expect_same() {
    if ! cmp -s "$2" "$3"; then
        echo "--- expected $1 (od -c)"
        od -c "$2"
        echo "--- got"
        od -c "$3"
        fail "$1 differs"
    fi
}
