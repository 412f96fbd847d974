# shellcheck shell=bash
# The finger and daytime services, through real clients, and the replies they must give.

kernel_version=$(uname -r | sed -E 's/^([0-9]+)\.([0-9]+).*/\1.\2/')
computer_name=$(uname -n)

# What the finger service must send: each line followed by CR LF.
list_reply_lines() {
    printf '%s\n' "Finger Reply:" "-------------------------" "Information: " \
        "OS Type: Unknown" "OS Version: $kernel_version" "Computer Name: $computer_name" \
        "-------------------------" "1 user logged in:" "$login"
}

# user_reply_lines NAME REALNAME
user_reply_lines() {
    printf '%s\n' "Finger Reply:" "-------------------------" "Information on user: $1" \
        "Real Name: $2" "Home Phone: 555-0100" "Office Phone: 555-0199" "Plan:" \
        "Ship the end-to-end suite." "Then rest." "" "" "Project:" "Tellwick" ""
}

with_crlf() {
    sed 's/$/\r/'
}

port_open() {
    ss -Hltn "sport = :$1" | grep -q .
}

port_closed() {
    ! port_open "$1"
}

await_services() {
    wait_until "the finger port to listen" port_open 79
    wait_until "the daytime port to listen" port_open 13
}

# finger_expect WHAT ARGUMENT EXPECTED_FILE: Debian's finger client against 127.0.0.1; what it
# prints must be exactly the expected lines (it shows CR LF lines with LF ends).
finger_expect() {
    timeout 20 finger "$2" >"$tmp/finger.out" 2>"$tmp/finger.err" ||
        fail "finger $2 failed: $(cat "$tmp/finger.err")"
    [ ! -s "$tmp/finger.err" ] || fail "finger $2 complained: $(cat "$tmp/finger.err")"
    expect_same "$1" "$3" "$tmp/finger.out"
}

# raw_query REQUEST SOURCE_PORT: the bytes a finger query gets on the wire, from nc.
raw_query() {
    printf '%b' "$1" | timeout 20 nc -p "$2" 127.0.0.1 79 >"$tmp/raw.out" ||
        fail "nc to port 79 failed"
}

# The daytime reply: the local time, "Www Mmm dd h:mm AM yyyy", no line end.
# daytime_expect SOURCE_PORT
daytime_expect() {
    local before after
    before=$(date +'%a %b %d %-I:%M %p %Y')
    timeout 20 nc -p "$1" 127.0.0.1 13 </dev/null >"$tmp/daytime.out" || fail "nc to port 13 failed"
    after=$(date +'%a %b %d %-I:%M %p %Y')
    if ! printf '%s' "$before" | cmp -s - "$tmp/daytime.out" &&
        ! printf '%s' "$after" | cmp -s - "$tmp/daytime.out"; then
        od -c "$tmp/daytime.out"
        fail "the daytime reply is not \"$before\" (nor \"$after\") without a line end"
    fi
}
