# shellcheck shell=bash disable=SC2154 # the runner and lib/ set the globals
# The tray menu: its items, the setup window filled from the file, live edits, OK saves.
run_case() {
    start_all
    local sum
    sum=$(registry_sum)

    open_menu
    expect_ocr "the tray menu" "$menu_captions" read_menu_captions
    screenshot_window "$popup" "$shots/menu.png"
    # The seventh item: one separator, between "Enabled" and "About...".
    local lines separator
    lines=$(menu_black_lines)
    separator=$(menu_separators)
    [ "$(wc -l <<<"$lines")" -eq 6 ] || fail "the menu does not show six lines of text: $lines"
    if [ "$(wc -w <<<"$separator")" -ne 1 ] || [ "$separator" -le "$(sed -n 4p <<<"$lines")" ] ||
        [ "$separator" -ge "$(sed -n 5p <<<"$lines")" ]; then
        fail "no single separator between the fourth and fifth item: at [$separator], text at [$lines]"
    fi
    # Six items to choose from: from the top, the seventh step down is the first again.
    xdotool key Down Down Down Down Down Down Down Return
    wait_until "the menu to close" no_menu
    await_window "Tellwick Setup"
    local setup=$window
    focus "$setup"

    # Each edit, reached in tab order from the first one, holds its setting.
    copy_expect "Login Name" "$login" ctrl+a ctrl+c
    xdotool key Tab
    copy_expect "Real Name" "Lab User" ctrl+a ctrl+c
    xdotool key Tab
    copy_expect "Home Phone" "555-0100" ctrl+a ctrl+c
    xdotool key Tab
    copy_expect "Office Phone" "555-0199" ctrl+a ctrl+c
    xdotool key Tab
    copy_expect "Plan" "$tmp/plan.txt" ctrl+a ctrl+c
    xdotool key Tab Tab
    copy_expect "Project" "$tmp/project.txt" ctrl+a ctrl+c

    # A new real name is handed out at once, before OK.
    xdotool key shift+Tab shift+Tab shift+Tab shift+Tab shift+Tab
    copy_expect "Real Name (again)" "Lab User" ctrl+a ctrl+c
    xdotool type --delay 20 "Ada King"
    copy_expect "Real Name (typed)" "Ada King" ctrl+a ctrl+c
    user_reply_lines "$login" "Ada King" >"$tmp/expected"
    finger_expect "the user reply after typing a new name" "$login@127.0.0.1" "$tmp/expected"
    [ "$(registry_sum)" = "$sum" ] || fail "typing saved the settings before OK"
    xdotool key End
    screenshot_window "$setup" "$shots/setup.png"

    # Enter presses OK: the file gets all eleven values, and the window goes.
    xdotool key Return
    await_window_gone "$setup" '"Tellwick Setup"'
    saved_registry "Ada King" 1 >"$tmp/expected"
    expect_same "the settings file after OK" "$tmp/expected" "$registry"
}
