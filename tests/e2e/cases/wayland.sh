# shellcheck shell=bash disable=SC2154 # the runner and lib/ set the globals
# Wayland without Qt's Wayland plugin: the program never aborts. With no X11 display either it
# serves without windows and says why; with one it falls back to X11 and shows its icon. On a
# real compositor (weston's headless backend, where weston and the plugin are installed) it
# runs as a Wayland client and names its windows after tellwick.desktop.
run_case() {
    prepare_home
    # The installed Qt less its Wayland plugin: a copy of the program beside a qt.conf whose
    # plugin folder holds only the X11 and the no-display platforms.
    local platforms
    platforms=$(dirname "$(find /usr/lib -path '*/qt6/plugins/platforms/libqxcb.so' -print -quit)")
    [ -f "$platforms/libqoffscreen.so" ] || fail "no Qt platform plugins found under /usr/lib"
    mkdir -p "$tmp/qt/bin" "$tmp/qt/plugins/platforms"
    cp "$program" "$tmp/qt/bin/tellwick"
    ln -s "$platforms/libqxcb.so" "$platforms/libqoffscreen.so" "$tmp/qt/plugins/platforms/"
    printf '[Paths]\nPlugins = %s\n' "$tmp/qt/plugins" >"$tmp/qt/bin/qt.conf"

    start_with "$tmp/qt/bin/tellwick" WAYLAND_DISPLAY=wayland-0
    await_services
    list_reply_lines >"$tmp/expected"
    finger_expect "the list reply without a display" @127.0.0.1 "$tmp/expected"
    grep -q "cannot open the display" "$tmp/program.err" ||
        fail "the program did not say that it has no display: $(cat "$tmp/program.err")"
    stop_program

    start_desktop
    start_with "$tmp/qt/bin/tellwick" WAYLAND_DISPLAY=wayland-0 DISPLAY="$DISPLAY"
    await_icon
    await_services
    ! grep -q "cannot open the display" "$tmp/program.err" || fail "X11 was not used"
    stop_program

    if ! command -v weston >/dev/null || ! ls "$platforms"/libqwayland-*.so >/dev/null 2>&1; then
        note "weston or qt6-wayland is not installed: no run on a real compositor"
        return
    fi
    XDG_RUNTIME_DIR="$tmp/runtime" weston --backend=headless-backend.so --socket=tellwick-wayland --idle-time=0 \
        >"$tmp/weston.log" 2>&1 &
    started $! weston
    wait_until "weston's socket" test -S "$tmp/runtime/tellwick-wayland"
    # WAYLAND_DEBUG shows the requests the program makes of the compositor.
    start_with "$program" WAYLAND_DISPLAY=tellwick-wayland WAYLAND_DEBUG=client
    await_services
    finger_expect "the list reply on Wayland" @127.0.0.1 "$tmp/expected"
    timeout 20 env -i "${launch_environment[@]}" WAYLAND_DISPLAY=tellwick-wayland "$program" \
        --setup || fail "tellwick --setup did not hand over on Wayland"
    wait_until "the setup window on Wayland" grep -q 'set_title("Tellwick Setup")' \
        "$tmp/program.err"
    grep -q 'set_app_id("tellwick")' "$tmp/program.err" ||
        fail "the windows are not named after tellwick.desktop"
    ! grep -q "cannot open the display" "$tmp/program.err" || fail "Wayland was not used"
}

# The environment that start_program gives, without its display variables.
launch_environment=()

# start_with PROGRAM NAME=VALUE...: PROGRAM as start_program starts it, but with only these
# display variables.
start_with() {
    local file=$1
    shift
    launch_environment=(
        PATH="$PATH" HOME="$tmp/home" XDG_CONFIG_HOME="$config" XDG_RUNTIME_DIR="$tmp/runtime"
        LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 TZ=UTC QT_STYLE_OVERRIDE=Fusion
        "LSAN_OPTIONS=suppressions=$here/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
    )
    local name
    for name in ASAN_OPTIONS UBSAN_OPTIONS; do
        [ -z "${!name:-}" ] || launch_environment+=("$name=${!name}")
    done
    env -i "${launch_environment[@]}" "$@" "$file" >"$tmp/program.out" 2>"$tmp/program.err" &
    program_pid=$!
    started "$program_pid" tellwick
}

stop_program() {
    kill -TERM "$program_pid"
    await_program_end
    [ "$program_status" -eq 0 ] || fail "the program ended with status $program_status"
    wait_until "the finger port to close" port_closed 79
}
