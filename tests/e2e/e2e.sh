#!/bin/bash
# End-to-end cases: the built program runs for real on an X display (Xvfb) with an XEmbed
# tray host (trayer), in a private network namespace, with a settings file of its own. Real
# clients query it (finger, nc), xdotool drives its tray menu and windows as a person would,
# the clipboard (xclip) reads back what the windows show, and OCR (tesseract) reads the texts
# that only exist as pixels: the tray tooltip, the menu captions, the table header.
#
# Usage: e2e.sh CASE PROGRAM ARTIFACTS
#   CASE       one of the case_* functions below, without the prefix
#   PROGRAM    the built tellwick
#   ARTIFACTS  folder for the screenshots a person may want to look at
# Exit status 0 passed, 1 failed, 77 skipped (a tool is missing, or this machine allows no
# private network namespace).
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 CASE PROGRAM ARTIFACTS" >&2
    exit 2
fi
case_name=$1
program=$(realpath "$2")
here=$(dirname "$(realpath "$0")")
artifacts=$3

# Time limit of every wait, in seconds: generous, since a loaded CI machine or a sanitizer
# build may be slow; a passing case never waits for it.
limit=30

if [ -z "${TELLWICK_E2E_NETNS:-}" ]; then
    if ! grep -q "^case_$case_name() {" "$0"; then
        echo "unknown case: $case_name" >&2
        exit 2
    fi
    for tool in Xvfb trayer xdotool xwininfo xprop xdpyinfo xclip finger nc import convert \
        tesseract ip ss unshare timeout sha256sum; do
        if ! command -v "$tool" >/dev/null; then
            echo "SKIP: $tool is missing (scripts/install-deps --e2e installs it)"
            exit 77
        fi
    done
    [ -x "$program" ] || {
        echo "FAIL: $program is not a built program"
        exit 1
    }
    # Ports 79 and 13 and every query stay inside a network namespace of this case alone; a
    # mount namespace gives its X server a socket folder of its own (below).
    if [ "$(id -u)" -eq 0 ]; then
        netns=(unshare --net --mount)
    else
        netns=(unshare --user --map-root-user --net --mount)
    fi
    if ! "${netns[@]}" true 2>/dev/null; then
        echo "SKIP: this machine allows no private network namespace (${netns[*]})"
        exit 77
    fi
    TELLWICK_E2E_NETNS=1 exec "${netns[@]}" bash "$0" "$@"
fi

ip link set lo up
# X servers of cases running side by side take distinct display numbers through their lock
# files in /tmp, but a server unlinks and re-creates its socket file in /tmp/.X11-unix: each
# case keeps its sockets in a private folder so that no server takes over another's.
mkdir -p /tmp/.X11-unix 2>/dev/null || true
mount -t tmpfs -o mode=1777 tellwick-x11 /tmp/.X11-unix ||
    echo "note: no private /tmp/.X11-unix; the X server shares the system's" >&2

# ImageMagick's own convert, also where another program of that name comes first in PATH.
convert=/usr/bin/convert
[ -x "$convert" ] || convert=$(command -v convert)

# Every X client gets a time limit, so that a wait ends in a failure and never hangs.
xdotool() { timeout 10 xdotool "$@"; }
xwininfo() { timeout 10 xwininfo "$@"; }
xprop() { timeout 10 xprop "$@"; }
import() { timeout 20 import "$@"; }

export TZ=UTC LC_ALL=C.UTF-8
unset XAUTHORITY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS

tmp=$(mktemp -d /tmp/tellwick-e2e.XXXXXX)
shots="$artifacts/$case_name"
rm -rf "$shots"
mkdir -p "$shots"

# ---------------------------------------------------------------------------------------------
# Processes: each one started is stopped by its id, the last started first, also on failure.

pids=()
names=()
program_pid=
xvfb_pid=
trayer_pid=

started() {
    pids+=("$1")
    names+=("$2")
}

alive() {
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

# stop_process PID NAME
stop_process() {
    local pid=$1 i
    if alive "$pid"; then
        kill -TERM "$pid" 2>/dev/null || true
        for ((i = 0; i < 50; i++)); do
            alive "$pid" || break
            sleep 0.1
        done
        if alive "$pid"; then
            echo "note: $2 ($pid) did not end on SIGTERM; killing it" >&2
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    wait "$pid" 2>/dev/null || true
}

stop_all() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        stop_process "${pids[i]}" "${names[i]}"
    done
    pids=()
    names=()
}

# A process that ended on its own is no longer ours to stop.
forget() {
    local pid=$1 i
    for i in "${!pids[@]}"; do
        if [ "${pids[i]}" = "$pid" ]; then
            unset 'pids[i]' 'names[i]'
        fi
    done
    pids=("${pids[@]}")
    names=("${names[@]}")
}

on_exit() {
    local status=$?
    trap - EXIT
    if [ "$status" -ne 0 ]; then
        if [ -n "${DISPLAY:-}" ]; then
            import -window root "$shots/failure.png" 2>/dev/null || true
        fi
        for log in program.err xvfb.log trayer.log; do
            if [ -s "$tmp/$log" ]; then
                echo "--- $log"
                cat "$tmp/$log"
            fi
        done
        echo "--- screenshots in $shots"
    fi
    stop_all
    rm -rf "$tmp"
    exit "$status"
}
trap on_exit EXIT
# A command that fails outside a check ends the case: say which (not from inside a command
# substitution, whose failures the caller judges).
set -E
on_error() {
    [ "$BASH_SUBSHELL" -ne 0 ] || echo "FAIL: $case_name: line $2: $3 (status $1)" >&2
}
trap 'on_error $? $LINENO "$BASH_COMMAND"' ERR
trap 'echo "FAIL: $case_name: interrupted"; exit 1' INT TERM HUP

fail() {
    echo "FAIL: $case_name: $*" >&2
    exit 1
}

note() {
    echo "$case_name: $*"
}

# wait_until WHAT COMMAND...: runs COMMAND until it succeeds, for at most $limit seconds.
wait_until() {
    local what=$1
    shift
    local deadline=$((SECONDS + limit))
    until "$@"; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            fail "timed out after ${limit}s waiting for $what"
        fi
        sleep 0.1
    done
}

# expect_same WHAT EXPECTED_FILE ACTUAL_FILE: exact bytes, with a readable difference.
expect_same() {
    if ! cmp -s "$2" "$3"; then
        echo "--- expected $1 (od -c)"
        od -c "$2"
        echo "--- got"
        od -c "$3"
        fail "$1 differs"
    fi
}

# ---------------------------------------------------------------------------------------------
# The desktop: Xvfb, the tray host, the program.

start_desktop() {
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

start_program() {
    local environment=(
        PATH="$PATH" DISPLAY="$DISPLAY" HOME="$tmp/home" XDG_CONFIG_HOME="$config"
        XDG_RUNTIME_DIR="$tmp/runtime" LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 TZ=UTC
        QT_QPA_PLATFORM=xcb QT_STYLE_OVERRIDE=Fusion
    )
    local name
    for name in ASAN_OPTIONS UBSAN_OPTIONS; do
        if [ -n "${!name:-}" ]; then
            environment+=("$name=${!name}")
        fi
    done
    # A sanitizer build reports leaks of its own only.
    environment+=("LSAN_OPTIONS=suppressions=$here/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}")
    env -i "${environment[@]}" "$program" >"$tmp/program.out" 2>"$tmp/program.err" &
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

# ---------------------------------------------------------------------------------------------
# Windows.

# A window whose parent is the root window: one that no other program has taken in.
is_toplevel() {
    xwininfo -tree -id "$1" 2>/dev/null | grep -q '^  Parent window id: .*(the root window)'
}

window_type() {
    xprop -id "$1" _NET_WM_WINDOW_TYPE 2>/dev/null
}

# The program's tray icon: its visible window that the tray host has taken in.
icon=
find_icon() {
    local window
    icon=
    for window in $(xdotool search --onlyvisible --classname '^tellwick$' 2>/dev/null); do
        if ! is_toplevel "$window" && [ "$(window_pid "$window")" = "$program_pid" ]; then
            icon=$window
            return 0
        fi
    done
    return 1
}

window_pid() {
    xprop -id "$1" _NET_WM_PID 2>/dev/null | sed -n 's/^_NET_WM_PID(CARDINAL) = //p'
}

await_icon() {
    wait_until "the tray icon" find_icon
}

# The program's visible top-level windows of one kind, one id a line: "window" (the windows
# a window manager would manage: setup, statistics, message boxes...), "popup" (menus) or
# "tooltip". Menus and tooltips bypass the window manager; only tooltips say what they are.
program_windows() {
    local kind=$1 window info type
    for window in $(xdotool search --onlyvisible --classname '^tellwick$' 2>/dev/null); do
        info=$(xwininfo -tree -id "$window" 2>/dev/null; xwininfo -id "$window" 2>/dev/null) ||
            continue
        grep -q '^  Parent window id: .*(the root window)' <<<"$info" || continue
        if grep -q 'Override Redirect State: yes' <<<"$info"; then
            if window_type "$window" | grep -q _NET_WM_WINDOW_TYPE_TOOLTIP; then
                type=tooltip
            else
                type=popup
            fi
        else
            type=window
        fi
        [ "$type" != "$kind" ] || echo "$window"
    done
}

window_title() {
    xprop -id "$1" WM_NAME 2>/dev/null | sed -n 's/^WM_NAME([A-Z_]*) = "\(.*\)"$/\1/p'
}

# await_window TITLE: the program's visible window with exactly this title; its id in $window.
window=
await_window() {
    wait_until "the window \"$1\"" find_window "$1"
}

find_window() {
    local candidate
    window=
    for candidate in $(program_windows window); do
        if [ "$(window_title "$candidate")" = "$1" ]; then
            window=$candidate
            return 0
        fi
    done
    return 1
}

await_window_gone() {
    wait_until "the window $2 to close" window_hidden "$1"
}

window_hidden() {
    ! xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'
}

# Keyboard input goes to the window that has the input focus; there is no window manager.
focus() {
    xdotool windowfocus --sync "$1" || fail "window $1 does not take the focus"
}

# Geometry of a window as WIDTHxHEIGHT+X+Y.
geometry() {
    [ -n "$1" ] || fail "no window to measure"
    xwininfo -id "$1" | awk '
        /Absolute upper-left X/ { x = $NF }
        /Absolute upper-left Y/ { y = $NF }
        /^  Width/ { w = $NF }
        /^  Height/ { h = $NF }
        END { printf "%dx%d+%d+%d\n", w, h, x, y }'
}

screenshot_window() {
    import -window root -crop "$(geometry "$1")" +repage "$2"
}

# ---------------------------------------------------------------------------------------------
# Reading what the screen shows.

# ocr GEOMETRY SCALE MODE: the text inside GEOMETRY of the screen, enlarged for the reader.
ocr() {
    import -window root "$tmp/ocr-screen.png"
    "$convert" "$tmp/ocr-screen.png" -crop "$1" +repage -colorspace Gray -resize "$2%" \
        "$tmp/ocr.png"
    tesseract "$tmp/ocr.png" - --psm "$3" 2>/dev/null | sed -e 's/[[:space:]]*$//' -e '/^$/d'
}

# expect_ocr WHAT EXPECTED GEOMETRY-COMMAND...: reads until the text is the expected one,
# since a window may still be drawing when it is first seen.
last_read=
expect_ocr() {
    local what=$1 expected=$2
    shift 2
    local deadline=$((SECONDS + limit))
    while :; do
        last_read=$("$@") || last_read= # the window may have gone meanwhile
        [ "$last_read" = "$expected" ] && return 0
        if [ "$SECONDS" -ge "$deadline" ]; then
            printf -- '--- expected %s:\n%s\n--- read:\n%s\n' "$what" "$expected" "$last_read"
            fail "$what does not read as expected"
        fi
        sleep 0.3
    done
}

# The tray tooltip, read off the screen while the pointer rests on the icon. Qt shows it after
# the pointer has moved over the icon for a while, so every try moves it a little.
read_tooltip() {
    local tooltip_window
    xdotool mousemove --window "$icon" 4 4 mousemove --window "$icon" 8 8
    tooltip_window=$(program_windows tooltip | sed -n 1p)
    [ -n "$tooltip_window" ] || return 0
    ocr "$(geometry "$tooltip_window")" 400 7
}

# Moving away first makes the next hover show the current tooltip from scratch.
expect_tooltip() {
    xdotool mousemove 300 400
    wait_until "the tooltip to go" no_tooltip
    expect_ocr "the tray tooltip" "$1" read_tooltip
}

no_tooltip() {
    [ -z "$(program_windows tooltip)" ]
}

# The clipboard, which Qt serves while its event loop runs.
clipboard() {
    timeout 5 xclip -o -selection clipboard 2>/dev/null || true
}

# copy_expect WHAT EXPECTED KEYS...: presses the keys (which copy something) until the
# clipboard holds the expected text; each try presses them again.
copy_expect() {
    local what=$1 expected=$2
    shift 2
    local deadline=$((SECONDS + limit)) got
    while :; do
        xdotool key "$@"
        got=$(clipboard; printf x)
        got=${got%x}
        [ "$got" = "$expected" ] && return 0
        if [ "$SECONDS" -ge "$deadline" ]; then
            printf -- '--- expected %s (od -c):\n' "$what"
            printf '%s' "$expected" | od -c
            printf -- '--- clipboard:\n'
            printf '%s' "$got" | od -c
            fail "$what is not the expected text"
        fi
        sleep 0.3
    done
}

# expect_black_lines WHAT EXPECTED: waits until the open menu shows the expected lines.
expect_black_lines() {
    local deadline=$((SECONDS + limit)) got
    until got=$(menu_black_lines) && [ "$got" = "$2" ]; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            printf -- '--- expected lines of black text at:\n%s\n--- got:\n%s\n' "$2" "$got"
            fail "$1 does not show the expected lines of black text"
        fi
        sleep 0.3
    done
}

# box_text WINDOW LEFT LINES: the first lines of a message box, right of LEFT pixels (its
# icon); the buttons below them are left out.
box_text() {
    local width height x y
    IFS='x+' read -r width height x y <<<"$(geometry "$1")"
    ocr "$((width - $2))x$height+$((x + $2))+$y" 300 6 | sed -n "1,$3p"
}

# ---------------------------------------------------------------------------------------------
# The tray menu.

# Two presses close in time and place make a double click, which opens no menu: each click
# lands on the other of two points of the icon, further apart than a double click may be.
popup=
clicks=0
open_menu() {
    wait_until "no menu to be open" no_menu
    clicks=$((clicks + 1))
    if ((clicks % 2)); then
        xdotool mousemove --window "$icon" 4 4 click 3
    else
        xdotool mousemove --window "$icon" 16 20 click 3
    fi
    wait_until "the tray menu" find_menu
}

no_menu() {
    [ -z "$(program_windows popup)" ]
}

find_menu() {
    popup=$(program_windows popup | sed -n 1p)
    [ -n "$popup" ]
}

# choose KEYS...: opens the menu and picks an item with the keyboard.
choose() {
    open_menu
    xdotool key "$@"
    wait_until "the menu to close" no_menu
}

menu_captions=$(printf '%s\n' Setup... Statistics... Finger... Enabled About... Exit)

# The item captions as the menu shows them; the check mark column on the left is left out.
read_menu_captions() {
    local width height x y
    IFS='x+' read -r width height x y <<<"$(geometry "$popup")"
    ocr "$((width - 26))x$((height - 2))+$((x + 26))+$((y + 1))" 300 6
}

# The text column of the open menu (right of the check marks, inside the border), as one
# value a pixel row: how much of the row is dark at a threshold, 0 to 255, "Y VALUE" a line.
menu_rows() {
    local width height x y
    IFS='x+' read -r width height x y <<<"$(geometry "$popup")"
    import -window root -crop "$((width - 26))x$((height - 2))+$((x + 26))+$((y + 1))" +repage \
        "$tmp/column.png"
    "$convert" "$tmp/column.png" -colorspace Gray -threshold "$1" -negate -scale '1x!' \
        -depth 8 txt:- | sed -En 's/^0,([0-9]+):.*gray\(([0-9.]+)\).*/\1 \2/p'
}

# Where the menu shows black text: the first pixel row of each line of black text, one a
# line. A disabled item is drawn in grey, so its line is missing here.
menu_black_lines() {
    menu_rows 20% | awk '{ dark = $2 > 0; if (dark && !inside) print $1; inside = dark }'
}

# The pixel rows of the menu's separators: grey lines across the whole text column.
menu_separators() {
    menu_rows 95% | awk '$2 >= 200 { print $1 }'
}

# The dark pixels in the check mark column of the menu: none where no item is checked (an
# unchecked "Enabled" shows an empty light box), a tick's worth where it is.
menu_check_marks() {
    local width height x y
    IFS='x+' read -r width height x y <<<"$(geometry "$popup")"
    import -window root -crop "26x$height+$x+$y" +repage "$tmp/check.png"
    "$convert" "$tmp/check.png" -colorspace Gray -threshold 40% -negate \
        -format '%[fx:int(mean*w*h+0.5)]' info:
}

# ---------------------------------------------------------------------------------------------
# The services, through real clients.

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
}

# Starts everything a case needs and waits until the program serves and shows its icon.
start_all() {
    prepare_home
    start_desktop
    start_program
    await_icon
    await_services
}

# ---------------------------------------------------------------------------------------------
# The cases.

# Start: the icon with its tooltip, no window, and the three kinds of query answered.
case_start() {
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

# The tray menu: its items, the setup window filled from the file, live edits, OK saves.
case_menu() {
    start_all
    local sum
    sum=$(registry_sum)

    open_menu
    expect_ocr "the tray menu" "$menu_captions" read_menu_captions
    screenshot_window "$popup" "$shots/menu.png"
    # The seventh item: one separator, between "Enabled" and "About...".
    local lines separator
    lines=$(menu_black_lines)
    separator=$(menu_separators)
    [ "$(wc -l <<<"$lines")" -eq 6 ] || fail "the menu does not show six lines of text: $lines"
    if [ "$(wc -w <<<"$separator")" -ne 1 ] || [ "$separator" -le "$(sed -n 4p <<<"$lines")" ] ||
        [ "$separator" -ge "$(sed -n 5p <<<"$lines")" ]; then
        fail "no single separator between the fourth and fifth item: at [$separator], text at [$lines]"
    fi
    # Six items to choose from: from the top, the seventh step down is the first again.
    xdotool key Down Down Down Down Down Down Down Return
    wait_until "the menu to close" no_menu
    await_window "Tellwick Setup"
    local setup=$window
    focus "$setup"

    # Each edit, reached in tab order from the first one, holds its setting.
    copy_expect "Login Name" "$login" ctrl+a ctrl+c
    xdotool key Tab
    copy_expect "Real Name" "Lab User" ctrl+a ctrl+c
    xdotool key Tab
    copy_expect "Home Phone" "555-0100" ctrl+a ctrl+c
    xdotool key Tab
    copy_expect "Office Phone" "555-0199" ctrl+a ctrl+c
    xdotool key Tab
    copy_expect "Plan" "$tmp/plan.txt" ctrl+a ctrl+c
    xdotool key Tab Tab
    copy_expect "Project" "$tmp/project.txt" ctrl+a ctrl+c

    # A new real name is handed out at once, before OK.
    xdotool key shift+Tab shift+Tab shift+Tab shift+Tab shift+Tab
    copy_expect "Real Name (again)" "Lab User" ctrl+a ctrl+c
    xdotool type --delay 20 "Ada King"
    copy_expect "Real Name (typed)" "Ada King" ctrl+a ctrl+c
    user_reply_lines "$login" "Ada King" >"$tmp/expected"
    finger_expect "the user reply after typing a new name" "$login@127.0.0.1" "$tmp/expected"
    [ "$(registry_sum)" = "$sum" ] || fail "typing saved the settings before OK"
    xdotool key End
    screenshot_window "$setup" "$shots/setup.png"

    # Enter presses OK: the file gets all eleven values, and the window goes.
    xdotool key Return
    await_window_gone "$setup" '"Tellwick Setup"'
    saved_registry "Ada King" 1 >"$tmp/expected"
    expect_same "the settings file after OK" "$tmp/expected" "$registry"
}

# Statistics: two finger queries and a daytime query, then the table and the log.
case_statistics() {
    start_all
    raw_query '\r\n' 40011
    raw_query "$login\r\n" 40012
    daytime_expect 40013

    choose Down Down Return
    await_window "Statistics"
    local statistics=$window
    screenshot_window "$statistics" "$shots/statistics.png"
    local width height x y
    IFS='x+' read -r width height x y <<<"$(geometry "$statistics")"
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

    # Shown again, the window keeps its table and log. A click puts the cursor into the log,
    # which is copied whole.
    choose Down Down Return
    await_window "Statistics"
    statistics=$window
    focus "$statistics"
    xdotool mousemove --window "$statistics" 236 216 click 1
    local log
    log=$(copy_any ctrl+a ctrl+c)
    printf '%s' "$log" >"$tmp/log.txt"
    expected_log "$log" >"$tmp/expected"
    expect_same "the statistics log" "$tmp/expected" "$tmp/log.txt"
}

# copy_any KEYS...: presses the keys and prints what the clipboard then holds (it must change
# from what it held before, so a copy that did nothing is not taken for one).
copy_any() {
    local before got deadline=$((SECONDS + limit))
    before=$(clipboard; printf x)
    while :; do
        xdotool key "$@"
        got=$(clipboard; printf x)
        if [ "$got" != "$before" ]; then
            printf '%s' "${got%x}"
            return 0
        fi
        [ "$SECONDS" -lt "$deadline" ] || fail "nothing was copied by $*"
        sleep 0.3
    done
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

# The log that the three queries of case_statistics leave, with the socket numbers that the
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


# "Enabled" closes the finger port and opens it again; the daytime port stays.
case_enabled() {
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

# The finger client window queries the program's own service.
case_client() {
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
    local width height x y
    IFS='x+' read -r width height x y <<<"$(geometry "$client")"
    # Into the result, then Select All and Copy.
    xdotool mousemove $((x + width / 2)) $((y + height / 2)) click 1
    # The reply as one block, then the line break that ends each block: it ends in an empty
    # line, as the block brought its own line end.
    local expected
    expected=$(list_reply_lines; printf '\nx')
    copy_expect "the finger client's result" "${expected%x}" ctrl+a ctrl+c
    expect_ocr "the status bar" "Connection closed." \
        ocr "$((width - 20))x20+$x+$((y + height - 20))" 300 7
    xdotool mousemove $((x + width / 2)) $((y + height / 2)) click 1 # no selection
    screenshot_window "$client" "$shots/client.png"

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

# Exit asks first; No keeps the program, Yes ends it and saves the state the person left.
case_exit() {
    start_all
    local sum
    sum=$(registry_sum)
    choose Up Return
    await_window "Information"
    local question=$window
    screenshot_window "$question" "$shots/exit-question.png"
    expect_ocr "the Exit question" "$(printf '%s\n' \
        "Finger service will not be available if you exit." \
        "Are you sure you wan't to exit ?")" box_text "$question" 60 2
    focus "$question"
    xdotool key alt+n
    await_window_gone "$question" '"Information"'
    alive "$program_pid" || fail "the program ended although the answer was No"
    list_reply_lines >"$tmp/expected"
    finger_expect "the list reply after No" @127.0.0.1 "$tmp/expected"
    daytime_expect 40013
    [ "$(registry_sum)" = "$sum" ] || fail "Exit answered No saved the settings"

    # The finger service off, then Exit again (the item is enabled again) and Yes.
    choose Down Down Down Down Return
    wait_until "the finger port to close" port_closed 79
    choose Up Return
    await_window "Information"
    question=$window
    focus "$question"
    xdotool key alt+y
    await_program_end
    [ "$program_status" -eq 0 ] || fail "the program ended with status $program_status"
    saved_registry "Lab User" 0 >"$tmp/expected"
    expect_same "the settings file after Exit" "$tmp/expected" "$registry"
}

# Another program holds port 79: the message, then the end, and nothing saved.
case_port_taken() {
    prepare_home
    start_desktop
    local sum
    sum=$(registry_sum)
    nc -l 0.0.0.0 79 </dev/null >/dev/null 2>&1 &
    started $! "nc -l 79"
    wait_until "the other program to listen on port 79" port_open 79
    start_program
    await_window "Tellwick"
    local box=$window
    # The icon is there while the message is shown, and no other window.
    find_icon || fail "no tray icon while the message is shown"
    [ "$(program_windows window)" = "$box" ] || fail "another window is shown with the message"
    screenshot_window "$box" "$shots/port-taken.png"
    expect_ocr "the message" "Finger port already in use. Terminating" box_text "$box" 0 1
    focus "$box"
    xdotool key Return
    await_program_end
    [ "$program_status" -eq 0 ] || fail "the program ended with status $program_status"
    [ "$(registry_sum)" = "$sum" ] || fail "the settings file changed"
    grep -q 'cannot open the finger port 79' "$tmp/program.err" ||
        fail "the program did not say why on its error output"
}

# SIGTERM ends the program as the end of its message loop does, with a window open too.
case_sigterm() {
    start_all
    local sum
    sum=$(registry_sum)
    choose Down Down Return
    await_window "Statistics"
    kill -TERM "$program_pid"
    await_program_end
    [ "$program_status" -eq 0 ] || fail "the program ended with status $program_status"
    wait_until "the icon to leave the tray" no_icon_left
    [ "$(registry_sum)" = "$sum" ] || fail "the settings file changed"
    wait_until "the finger port to close" port_closed 79
}

no_icon_left() {
    local panel
    panel=$(xdotool search --onlyvisible --classname '^panel$' | sed -n 1p)
    ! xwininfo -tree -id "$panel" | grep -q '"Tellwick"'
}

# Every case ends with the program gone cleanly: ended by the case, or else by SIGTERM now,
# with status 0 and no report of a sanitizer build on its error output.
end_case() {
    if [ -n "$program_pid" ] && alive "$program_pid"; then
        kill -TERM "$program_pid"
        await_program_end
        [ "$program_status" -eq 0 ] || fail "the program ended with status $program_status"
    fi
    if grep -E 'Sanitizer|runtime error:' "$tmp/program.err"; then
        fail "the program's error output has a sanitizer report"
    fi
}

"case_$case_name"
end_case
note "passed"
