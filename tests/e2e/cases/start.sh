# shellcheck shell=bash disable=SC2154 # the runner and lib/ set the globals
# Start: the icon with its tooltip, no window, and the three kinds of query answered.
run_case() {
    start_all
    local sum
    sum=$(registry_sum)

    [ -z "$(program_windows window)" ] || fail "a window is shown at start"
    [ ! -s "$tmp/program.err" ] || fail "the program complained at start: $(cat "$tmp/program.err")"

    # The tray with the icon, and the icon itself enlarged.
    import -window root -crop "$(geometry "$(xdotool search --onlyvisible --classname '^panel$' |
        sed -n 1p)")" +repage "$shots/tray.png"
    import -window root -crop "$(geometry "$icon")" +repage "$tmp/icon.png"
    "$convert" "$tmp/icon.png" -scale 800% "$shots/tray-icon-x8.png"
    # The icon is painted: its main colour is the blue of the program's picture.
    local main_colour
    main_colour=$("$convert" "$tmp/icon.png" -format %c histogram:info:- | sort -rn | sed -n 1p)
    [[ $main_colour == *"#2A78C8"* ]] || fail "the tray icon is not the program's: $main_colour"

    expect_tooltip "Tellwick Idle"
    screenshot_window "$(program_windows tooltip | sed -n 1p)" "$shots/tooltip.png"

    list_reply_lines >"$tmp/expected"
    finger_expect "the list reply to finger @127.0.0.1" @127.0.0.1 "$tmp/expected"
    user_reply_lines "$login" "Lab User" >"$tmp/expected"
    finger_expect "the user reply to finger $login@127.0.0.1" "$login@127.0.0.1" "$tmp/expected"

    # The same on the wire, byte for byte.
    raw_query '\r\n' 40001
    list_reply_lines | with_crlf >"$tmp/expected"
    expect_same "the list reply bytes" "$tmp/expected" "$tmp/raw.out"
    raw_query "x${login}x\r\n" 40002
    user_reply_lines "x${login}x" "Lab User" | with_crlf >"$tmp/expected"
    expect_same "the user reply bytes for a name holding the login" "$tmp/expected" "$tmp/raw.out"
    raw_query 'nobody\r\n' 40003
    printf '%s\n' "Finger Reply:" "-------------------------" "Information on user: nobody" \
        "No such user logged on." | with_crlf >"$tmp/expected"
    expect_same "the reply for an unknown user" "$tmp/expected" "$tmp/raw.out"

    daytime_expect 40013

    # The latest client now names itself in the tooltip.
    expect_tooltip "Latest from: 127.0.0.1"

    [ "$(registry_sum)" = "$sum" ] || fail "the settings file changed although nothing was saved"
}
