# shellcheck shell=bash disable=SC2154 # the runner and lib/ set the globals
# Exit asks first; No keeps the program, Yes ends it and saves the state the person left.
run_case() {
    start_all
    local sum
    sum=$(registry_sum)
    choose Up Return
    await_window "Information"
    local question=$window
    screenshot_window "$question" "$shots/exit-question.png"
    expect_box_text "the Exit question" "Finger service will not be available if you exit.
Are you sure you wan't to exit ?" "$question"
    focus "$question"
    xdotool key alt+n
    await_window_gone "$question" '"Information"'
    alive "$program_pid" || fail "the program ended although the answer was No"
    list_reply_lines >"$tmp/expected"
    finger_expect "the list reply after No" @127.0.0.1 "$tmp/expected"
    daytime_expect 40013
    [ "$(registry_sum)" = "$sum" ] || fail "Exit answered No saved the settings"

    # The finger service off, then Exit again (the item is enabled again) and Yes.
    choose Down Down Down Down Return
    wait_until "the finger port to close" port_closed 79
    choose Up Return
    await_window "Information"
    question=$window
    focus "$question"
    xdotool key alt+y
    await_program_end
    [ "$program_status" -eq 0 ] || fail "the program ended with status $program_status"
    saved_registry "Lab User" 0 >"$tmp/expected"
    expect_same "the settings file after Exit" "$tmp/expected" "$registry"
}
