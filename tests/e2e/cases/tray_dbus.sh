# shellcheck shell=bash disable=SC2154 # the runner and lib/ set the globals
# A panel that hosts tray items over D-Bus (a StatusNotifierWatcher on a private session bus)
# and comes up after the program: the item registers, its menu is exported over dbusmenu with
# live states, "Setup..." and the item's activation open the setup window, and a restarted
# watcher gets the item again. No XEmbed tray runs here.
case_tools=(dbus-daemon /usr/bin/python3)

waits="tellwick: no system tray is available yet; the icon waits for one."
placed="tellwick: a system tray is available; the icon is in place."

# The stand-in needs the system's Python with its D-Bus and GLib bindings.
sni() { timeout 10 /usr/bin/python3 "$here/lib/sni.py" "$@"; }

watcher_pid=
start_watcher() {
    /usr/bin/python3 "$here/lib/sni.py" watcher >"$tmp/watcher.log" 2>&1 &
    watcher_pid=$!
    started "$watcher_pid" StatusNotifierWatcher
    wait_until "the item to register with the watcher" grep -q '^registered ' "$tmp/watcher.log"
}

# expect_menu LINE...: the exported menu as sni.py menu lists it.
expect_menu() {
    printf '%s\n' "$@" >"$tmp/expected"
    sni menu >"$tmp/menu"
    expect_same "the exported menu" "$tmp/expected" "$tmp/menu"
}

run_case() {
    if ! /usr/bin/python3 -c 'import dbus, gi' 2>/dev/null; then
        echo "SKIP: python3-dbus or python3-gi is missing (scripts/install-deps --e2e installs them)"
        exit 77
    fi
    prepare_home
    start_display
    dbus-daemon --session --address="unix:path=$tmp/bus" --nofork --nopidfile \
        >"$tmp/bus.log" 2>&1 &
    started $! dbus-daemon
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$tmp/bus"
    wait_until "the session bus" test -S "$tmp/bus"

    start_program
    await_services
    wait_until "the program to say that it waits" grep -qxF "$waits" "$tmp/program.err"
    sleep 3
    start_watcher
    wait_until "the program to say that the icon is in place" \
        grep -qxF "$placed" "$tmp/program.err"
    printf '%s\n' "$waits" "$placed" >"$tmp/expected"
    expect_same "the program's error output" "$tmp/expected" "$tmp/program.err"

    expect_menu Setup... Statistics... Finger... "Enabled [x]" - About... Exit
    sni click Setup...
    await_window "Tellwick Setup"
    local setup=$window
    focus "$setup"
    xdotool key Escape
    await_window_gone "$setup" '"Tellwick Setup"'
    sni activate
    await_window "Tellwick Setup"

    # The states follow the program: "Finger..." while the client is open, "Enabled" as
    # the finger service.
    sni click Finger...
    await_window "Finger Client"
    sni click Enabled
    wait_until "the finger port to close" port_closed 79
    expect_menu Setup... Statistics... "Finger... (disabled)" "Enabled [ ]" - About... Exit

    # A panel that restarts registers the item again.
    stop_process "$watcher_pid" StatusNotifierWatcher
    forget "$watcher_pid"
    start_watcher
    [ "$(sni items | wc -l)" -eq 1 ] || fail "the new watcher does not have the one item"
    [ -z "$(program_windows popup)" ] || fail "the program opened a menu of its own"
}
