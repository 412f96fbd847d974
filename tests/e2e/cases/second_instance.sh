# shellcheck shell=bash disable=SC2154 # the runner and lib/ set the globals
# A later start in the same session hands over to the running program and ends with status 0:
# a plain start opens the setup window, with no message box and no second icon; a finger link
# opens the client, which shows the reply of the running program's own service.
run_case() {
    start_all
    later_start
    await_window "Tellwick Setup"
    [ "$(program_windows window)" = "$window" ] || fail "another window came with the setup window"
    [ "$(tray_icons | wc -l)" -eq 1 ] || fail "the tray holds $(tray_icons | wc -l) icons"
    screenshot_window "$window" "$shots/setup-from-second-start.png"

    later_start "finger://127.0.0.1/$login"
    await_window "Finger Client"
    local client=$window expected
    focus "$client"
    expected=$(user_reply_lines "$login" "Lab User"; printf '\nx')
    copied_expect "the client's result for the finger link" "${expected%x}" copy_result
    screenshot_window "$client" "$shots/client-from-link.png"
    list_reply_lines >"$tmp/expected"
    finger_expect "the list reply, still from the first program" @127.0.0.1 "$tmp/expected"
}

# later_start [ARGUMENTS...]: the program started again with the environment of the running
# one; it must end by itself, with status 0 and nothing on its outputs.
later_start() {
    local environment status=0
    mapfile -d '' environment <"/proc/$program_pid/environ"
    timeout 20 env -i "${environment[@]}" "$program" "$@" >"$tmp/later.out" 2>"$tmp/later.err" ||
        status=$?
    [ "$status" -eq 0 ] || fail "tellwick $* ended with status $status: $(cat "$tmp/later.err")"
    [ ! -s "$tmp/later.out" ] && [ ! -s "$tmp/later.err" ] ||
        fail "tellwick $* said: $(cat "$tmp/later.out" "$tmp/later.err")"
}

# The windows that the tray host has taken in from any program of the class.
tray_icons() {
    local window
    for window in $(xdotool search --onlyvisible --classname '^tellwick$' 2>/dev/null); do
        is_toplevel "$window" || echo "$window"
    done
}

# Select All, then Copy, through the client's Edit menu.
copy_result() {
    local key
    for key in a c; do
        xdotool key alt+e
        wait_until "the Edit menu" find_menu
        xdotool key "$key"
        wait_until "the Edit menu to close" no_menu
    done
}
