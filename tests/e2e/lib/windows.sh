# shellcheck shell=bash
# The program's windows, found through the X server: ids, kinds, titles and geometry.

# A window whose parent is the root window: one that no other program has taken in.
is_toplevel() {
    xwininfo -tree -id "$1" 2>/dev/null | grep -q '^  Parent window id: .*(the root window)'
}

window_type() {
    xprop -id "$1" _NET_WM_WINDOW_TYPE 2>/dev/null
}

window_pid() {
    xprop -id "$1" _NET_WM_PID 2>/dev/null | sed -n 's/^_NET_WM_PID(CARDINAL) = //p'
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

await_icon() {
    wait_until "the tray icon" find_icon
}

no_icon_left() {
    local panel
    panel=$(xdotool search --onlyvisible --classname '^panel$' | sed -n 1p)
    ! xwininfo -tree -id "$panel" | grep -q '"Tellwick"'
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

# await_window_gone WINDOW WHAT
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
