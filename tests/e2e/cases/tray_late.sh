# shellcheck shell=bash disable=SC2154 # the runner and lib/ set the globals
# An XEmbed tray that comes up after the program, and again after a restart: the icon docks
# each time, and the program says once that it waits and once that the icon is in place.
run_case() {
    prepare_home
    start_display
    start_program
    await_services
    wait_until "the program to say that it waits" grep -qxF \
        "tellwick: no system tray is available yet; the icon waits for one." "$tmp/program.err"
    sleep 2
    start_trayer
    await_icon
    printf '%s\n' "tellwick: no system tray is available yet; the icon waits for one." \
        "tellwick: a system tray is available; the icon is in place." >"$tmp/expected"
    wait_until "the program to say that the icon is in place" cmp -s "$tmp/expected" \
        "$tmp/program.err"

    stop_process "$trayer_pid" trayer
    forget "$trayer_pid"
    start_trayer
    await_icon
    open_menu
    expect_ocr "the tray menu after a restart of the tray" "$menu_captions" read_menu_captions
    xdotool key Escape
    expect_same "the program's error output" "$tmp/expected" "$tmp/program.err"
}
