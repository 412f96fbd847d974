# shellcheck shell=bash
# The desktop (Xvfb and the tray host), the person's files, and the program itself.

# Every X client gets a time limit, so that a wait ends in a failure and never hangs.
xdotool() { timeout 10 xdotool "$@"; }
xwininfo() { timeout 10 xwininfo "$@"; }
xprop() { timeout 10 xprop "$@"; }
import() { timeout 20 import "$@"; }

xvfb_pid=
trayer_pid=

start_desktop() {
    start_display
    start_trayer
}

start_display() {
    rm -f "$tmp/display"
    # -noreset: a server that resets when its last client leaves (xdpyinfo below) may turn
    # away whoever connects during the reset.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$tmp/display" \
        2>"$tmp/xvfb.log" &
    xvfb_pid=$!
    started $xvfb_pid Xvfb
    wait_until "Xvfb to name its display" grep -qx '[0-9]\+' "$tmp/display"
    DISPLAY=":$(cat "$tmp/display")"
    export DISPLAY
    wait_until "the display $DISPLAY to answer" xdpyinfo_quiet
}

start_trayer() {
    trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
        --transparent false >"$tmp/trayer.log" 2>&1 &
    trayer_pid=$!
    started $trayer_pid trayer
    wait_until "the tray panel" tray_panel_shown
}

xdpyinfo_quiet() {
    timeout 10 xdpyinfo >/dev/null 2>&1
}

# A desktop process that died will not come back: say so at once instead of waiting it out.
tray_panel_shown() {
    alive "$xvfb_pid" || fail "Xvfb ended"
    alive "$trayer_pid" || fail "trayer ended"
    xdotool search --onlyvisible --class '^trayer$' >/dev/null 2>&1
}

login=
config="$tmp/config"
registry="$config/Tellwick/registry.reg"

# The login as the program derives it: A to Z lower-cased, every blank but a last one an
# underscore.
derive_login() {
    local name last
    # shellcheck disable=SC2018,SC2019 # A to Z only, as the program does
    name=$(id -un | tr 'A-Z' 'a-z')
    if [ "${name: -1}" = " " ]; then
        last=" "
        name=${name%?}
    else
        last=
    fi
    printf '%s%s' "${name// /_}" "$last"
}

# The person's files: the settings (in registry-export form), a plan and a project file.
prepare_home() {
    login=$(derive_login)
    mkdir -p "$tmp/home" "$config/Tellwick" "$tmp/runtime"
    chmod 0700 "$tmp/runtime"
    # The plan has no final line end, the project one; both become CR LF lines on the wire.
    printf 'Ship the end-to-end suite.\nThen rest.' >"$tmp/plan.txt"
    printf 'Tellwick\n' >"$tmp/project.txt"
    {
        printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tellwick]\n'
        printf '"Beep"="0"\n'
        printf '"%sRealName"="Lab User"\n' "$login"
        printf '"%sHPhone"="555-0100"\n' "$login"
        printf '"%sOPhone"="555-0199"\n' "$login"
        printf '"%sPlan"="%s"\n' "$login" "$tmp/plan.txt"
        printf '"%sProject"="%s"\n' "$login" "$tmp/project.txt"
        printf '"Elsewhere"="not ours"\n'
    } >"$registry"
}

registry_sum() {
    sha256sum <"$registry"
}

# The registry file after a save: the prepared one with the values that Tellwick owns
# brought up to date, and the missing switches added in the order they are saved.
# saved_registry REALNAME ENABLE
saved_registry() {
    printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tellwick]\n'
    printf '"Beep"="0"\n'
    printf '"%sRealName"="%s"\n' "$login" "$1"
    printf '"%sHPhone"="555-0100"\n' "$login"
    printf '"%sOPhone"="555-0199"\n' "$login"
    printf '"%sPlan"="%s"\n' "$login" "$tmp/plan.txt"
    printf '"%sProject"="%s"\n' "$login" "$tmp/project.txt"
    printf '"Elsewhere"="not ours"\n'
    printf '"Enable"="%s"\n' "$2"
    printf '"EnableList"="1"\n"EnableInfo"="1"\n"EnableUserInfo"="1"\n"EnableDayTime"="1"\n'
    printf '"AllowFrom"="anyone"\n'
}

# start_program [ARGUMENTS...]: the program in the prepared home, on the display, with only
# the environment a desktop session would give it.
program_pid=
start_program() {
    local environment=(
        PATH="$PATH" DISPLAY="$DISPLAY" HOME="$tmp/home" XDG_CONFIG_HOME="$config"
        XDG_RUNTIME_DIR="$tmp/runtime" LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 TZ=UTC
        QT_QPA_PLATFORM=xcb QT_STYLE_OVERRIDE=Fusion
    )
    local name
    for name in ASAN_OPTIONS UBSAN_OPTIONS DBUS_SESSION_BUS_ADDRESS; do
        if [ -n "${!name:-}" ]; then
            environment+=("$name=${!name}")
        fi
    done
    # A sanitizer build reports leaks of its own only.
    environment+=("LSAN_OPTIONS=suppressions=$here/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}")
    env -i "${environment[@]}" "$program" "$@" >"$tmp/program.out" 2>"$tmp/program.err" &
    program_pid=$!
    started "$program_pid" tellwick
}

# Waits for the program to end by itself and leaves its exit status in $program_status.
program_status=
await_program_end() {
    wait_until "the program to end" program_ended
    program_status=0
    wait "$program_pid" || program_status=$?
    forget "$program_pid"
}

program_ended() {
    ! alive "$program_pid"
}

# Starts everything a case needs and waits until the program serves and shows its icon.
start_all() {
    prepare_home
    start_desktop
    start_program
    await_icon
    await_services
}

# Every case ends with the program gone cleanly: ended by the case, or else by SIGTERM now,
# with status 0 and no report of a sanitizer build on its error output.
end_case() {
    if [ -n "$program_pid" ] && alive "$program_pid"; then
        kill -TERM "$program_pid"
        await_program_end
        [ "$program_status" -eq 0 ] || fail "the program ended with status $program_status"
    fi
    if [ -f "$tmp/program.err" ] && grep -E 'Sanitizer|runtime error:' "$tmp/program.err"; then
        fail "the program's error output has a sanitizer report"
    fi
}
