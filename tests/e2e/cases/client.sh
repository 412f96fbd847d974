# shellcheck shell=bash disable=SC2154 # the runner and lib/ set the globals
# The finger client window queries the program's own service.
run_case() {
    start_all
    # Where the six captions stand while all items are enabled.
    open_menu
    expect_ocr "the tray menu" "$menu_captions" read_menu_captions
    local enabled_lines
    enabled_lines=$(menu_black_lines)
    [ "$(wc -l <<<"$enabled_lines")" -eq 6 ] ||
        fail "the menu does not show six lines of black text: $enabled_lines"
    xdotool key Down Down Down Return
    wait_until "the menu to close" no_menu
    await_window "Finger Client"
    local client=$window
    focus "$client"
    # The user-name box has the focus and stays empty: a list query. The host comes next.
    xdotool key Tab
    xdotool type --delay 20 "127.0.0.1"
    xdotool key Return
    # The status bar says when the query is over; it lets nothing be copied.
    local width height x y
    IFS='x+' read -r width height x y <<<"$(geometry "$client")"
    expect_ocr "the status bar" "Connection closed." \
        ocr "$((width - 20))x20+$x+$((y + height - 20))" 300 7
    screenshot_window "$client" "$shots/client.png"
    # The result, through the window's own Edit menu (Select All, then Copy): the reply as one
    # block, then the line break that ends each block. It ends in an empty line, as the block
    # brought its own line end.
    local expected
    expected=$(list_reply_lines; printf '\nx')
    copied_expect "the finger client's result" "${expected%x}" copy_result

    # "Finger..." is disabled while the window is open: it is drawn grey, the third of the six
    # lines of black text is gone, and the keyboard skips it, so the third step down reaches
    # "Enabled" and switches the service off (and on again).
    open_menu
    expect_black_lines "the menu with \"Finger...\" disabled" \
        "$(sed -n '1,2p;4,6p' <<<"$enabled_lines")"
    screenshot_window "$popup" "$shots/menu-finger-disabled.png"
    xdotool key Down Down Down Return
    wait_until "the menu to close" no_menu
    wait_until "the finger port to close (Finger... skipped)" port_closed 79
    choose Down Down Down Return
    wait_until "the finger port to open again" port_open 79
    # Closing the window (File, Close) gives the item back: the third step opens it again.
    focus "$client"
    xdotool key alt+f
    wait_until "the File menu" find_menu
    xdotool key Up Return # "&Close", the last item
    await_window_gone "$client" '"Finger Client"'
    choose Down Down Down Return
    await_window "Finger Client"
}

# "Select All" and "Copy" of the Edit menu: Alt+E, then each item's underlined letter.
copy_result() {
    edit_menu a
    edit_menu c
}

# edit_menu KEY: opens the client's Edit menu and picks the item of that letter.
edit_menu() {
    xdotool key alt+e
    wait_until "the Edit menu" find_menu
    xdotool key "$1"
    wait_until "the Edit menu to close" no_menu
}
