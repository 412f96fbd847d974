# shellcheck shell=bash
# The tray menu: opened with the mouse as a person would, driven with the keyboard, and read
# off the screen (its captions by OCR, its checked, disabled and separator lines by pixels),
# since a menu lets nothing of it be copied.

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

# The first open menu of the program (the tray menu, or a window's menu), its id in $popup.
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
