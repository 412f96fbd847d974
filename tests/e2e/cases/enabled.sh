# shellcheck shell=bash disable=SC2154 # the runner and lib/ set the globals
# "Enabled" closes the finger port and opens it again; the daytime port stays.
run_case() {
    start_all
    local sum
    sum=$(registry_sum)
    open_menu
    expect_ocr "the tray menu" "$menu_captions" read_menu_captions
    [ "$(menu_check_marks)" -gt 5 ] || fail "\"Enabled\" has no check mark at start"
    xdotool key Down Down Down Down Return
    wait_until "the menu to close" no_menu
    wait_until "the finger port to close" port_closed 79
    if timeout 20 finger "@127.0.0.1" >"$tmp/finger.out" 2>&1; then
        fail "finger still answers with the service off: $(cat "$tmp/finger.out")"
    fi
    grep -q 'Connection refused' "$tmp/finger.out" ||
        fail "finger does not report a refused connection: $(cat "$tmp/finger.out")"
    port_open 13 || fail "the daytime port closed with the finger service"

    open_menu
    expect_ocr "the tray menu with the service off" "$menu_captions" read_menu_captions
    [ "$(menu_check_marks)" -eq 0 ] || fail "\"Enabled\" is still checked with the service off"
    screenshot_window "$popup" "$shots/menu-unchecked.png"
    xdotool key Down Down Down Down Return
    wait_until "the menu to close" no_menu
    wait_until "the finger port to open again" port_open 79
    list_reply_lines >"$tmp/expected"
    finger_expect "the list reply after enabling again" @127.0.0.1 "$tmp/expected"
    open_menu
    expect_ocr "the tray menu" "$menu_captions" read_menu_captions
    [ "$(menu_check_marks)" -gt 5 ] || fail "\"Enabled\" has no check mark when enabled again"
    xdotool key Escape
    wait_until "the menu to close" no_menu
    [ "$(registry_sum)" = "$sum" ] || fail "switching the service saved the settings"
}
