# shellcheck shell=bash disable=SC2154 # the runner and lib/ set the globals
# Statistics: two finger queries and a daytime query, then the table and the log.
run_case() {
    start_all
    raw_query '\r\n' 40011
    raw_query "$login\r\n" 40012
    daytime_expect 40013

    choose Down Down Return
    await_window "Statistics"
    local statistics=$window
    screenshot_window "$statistics" "$shots/statistics.png"
    local x y
    IFS='x+' read -r _ _ x y <<<"$(geometry "$statistics")"
    # The header row of the table, three columns of 143 pixels from (8, 24).
    local column
    local headers=("From:" "Time:" "Asked For:")
    for column in 0 1 2; do
        expect_ocr "the table header of column $column" "${headers[column]}" \
            ocr "141x18+$((x + 10 + column * 143))+$((y + 25))" 400 7
    done

    # The cells, one by one through the keyboard: OK has the focus, the table is next. Each
    # copy is awaited until the clipboard holds the expected text, or at least a new one.
    focus "$statistics"
    xdotool key Tab
    local row1_time row2_time
    copy_expect "row 1, From:" "127.0.0.1" ctrl+Home ctrl+c
    xdotool key Right
    row1_time=$(copy_any ctrl+c)
    xdotool key Right
    copy_expect "row 1, Asked For:" $'\r\n' ctrl+c
    xdotool key Down
    copy_expect "row 2, Asked For:" "$login"$'\r\n' ctrl+c
    xdotool key Left
    row2_time=$(copy_any ctrl+c)
    xdotool key Left
    copy_expect "row 2, From:" "127.0.0.1" ctrl+c
    expect_query_time "row 1, Time:" "$row1_time"
    expect_query_time "row 2, Time:" "$row2_time"
    # Exactly one row follows row 2: from the bottom, one step up is row 2.
    xdotool key Right Right Down Down Down Down Down Up
    copy_expect "the row above the last" "$login"$'\r\n' ctrl+c
    # That last row is empty: copying it leaves the clipboard alone. Closing the window
    # afterwards (Escape) shows that the program has handled the keys before it.
    xdotool key Up
    copy_expect "row 1, Asked For: (again)" $'\r\n' ctrl+c
    xdotool key Down Down ctrl+c Escape
    await_window_gone "$statistics" '"Statistics"'
    local last
    last=$(clipboard; printf x)
    [ "${last%x}" = $'\r\n' ] || fail "the last row of the table is not empty: ${last%x}"

    # Shown again, the window keeps its table, its log and its focus: on the table, from
    # which the log is two steps on (past "Clear Log"). The log is copied whole.
    choose Down Down Return
    await_window "Statistics"
    statistics=$window
    focus "$statistics"
    xdotool key Tab Tab
    local log
    log=$(copy_any ctrl+a ctrl+c)
    printf '%s' "$log" >"$tmp/log.txt"
    expected_log "$log" >"$tmp/expected"
    expect_same "the statistics log" "$tmp/expected" "$tmp/log.txt"
}

# The time column: the locale's short date, a blank and its long time, of the last minutes.
expect_query_time() {
    local now second
    now=$(date +%s)
    for ((second = now - 120; second <= now; second++)); do
        [ "$(date -d "@$second" +'%-m/%-d/%y %-I:%M:%S %p %Z')" = "$2" ] && return 0
    done
    fail "$1 is \"$2\", not a time of the last two minutes as M/d/yy h:mm:ss AP zone"
}

# The log that the three queries of this case leave, with the socket numbers that the
# log itself gives (they are the program's own descriptors) and the ports nc used.
expected_log() {
    local first second daytime
    first=$(sed -n '1s/^Client session accepted, socket(\([0-9]*\)).*/\1/p' <<<"$1")
    second=$(grep '^Client session accepted' <<<"$1" | sed -n '2s/.*socket(\([0-9]*\)).*/\1/p')
    daytime=$(sed -n 's/^Daytime req, socket(\([0-9]*\)).*/\1/p' <<<"$1")
    printf '%s\n' \
        "Client session accepted, socket($first) Peer IP=127.0.0.1 Peer Port=40011" \
        "Starting send on socket($first) Peer IP=127.0.0.1 Peer Port=40011" \
        "Socket($first), sent: " \
        "" \
        "Buffer Len: 2" \
        "Sending data to Socket: $first" \
        "Sending user list to socket$first:" \
        "Client session accepted, socket($second) Peer IP=127.0.0.1 Peer Port=40012" \
        "Starting send on socket($second) Peer IP=127.0.0.1 Peer Port=40012" \
        "Socket($second), sent: $login" \
        "" \
        "Buffer Len: $((${#login} + 2))" \
        "Sending data to Socket: $second" \
        "Socket($second), asked for: $login" \
        "Data len: $(user_reply_lines "$login" "Lab User" | with_crlf | wc -c)" \
        "Daytime req, socket($daytime) Peer IP=127.0.0.1 Peer Port=40013" \
        "DayTime req:$daytime" \
        "DayTime Closed." | head -c -1 # the copy of a text ends without a line end
}
