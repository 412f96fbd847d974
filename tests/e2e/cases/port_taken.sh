# shellcheck shell=bash disable=SC2154 # the runner and lib/ set the globals
# Another program holds port 79: the message, then the end, and nothing saved.
run_case() {
    prepare_home
    start_desktop
    local sum
    sum=$(registry_sum)
    nc -l 0.0.0.0 79 </dev/null >/dev/null 2>&1 &
    started $! "nc -l 79"
    wait_until "the other program to listen on port 79" port_open 79
    start_program
    await_window "Tellwick"
    local box=$window
    # The icon is there while the message is shown, and no other window.
    find_icon || fail "no tray icon while the message is shown"
    [ "$(program_windows window)" = "$box" ] || fail "another window is shown with the message"
    screenshot_window "$box" "$shots/port-taken.png"
    expect_box_text "the message" "Finger port already in use. Terminating" "$box"
    focus "$box"
    xdotool key Return
    await_program_end
    [ "$program_status" -eq 0 ] || fail "the program ended with status $program_status"
    [ "$(registry_sum)" = "$sum" ] || fail "the settings file changed"
    grep -q 'cannot open the finger port 79' "$tmp/program.err" ||
        fail "the program did not say why on its error output"
}
