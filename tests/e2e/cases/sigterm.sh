# shellcheck shell=bash disable=SC2154 # the runner and lib/ set the globals
# SIGTERM ends the program as the end of its message loop does, with a window open too.
run_case() {
    start_all
    local sum
    sum=$(registry_sum)
    choose Down Down Return
    await_window "Statistics"
    kill -TERM "$program_pid"
    await_program_end
    [ "$program_status" -eq 0 ] || fail "the program ended with status $program_status"
    wait_until "the icon to leave the tray" no_icon_left
    [ "$(registry_sum)" = "$sum" ] || fail "the settings file changed"
    wait_until "the finger port to close" port_closed 79
}
