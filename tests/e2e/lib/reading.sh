# shellcheck shell=bash
# Reading back what the program shows: through the clipboard wherever a window lets its text
# be copied, by OCR off the screen where the text exists only as pixels.

# The clipboard, which Qt serves while its event loop runs.
clipboard() {
    timeout 5 xclip -o -selection clipboard 2>/dev/null || true
}

# copied_expect WHAT EXPECTED COMMAND...: runs the command (which copies something) until
# the clipboard holds the expected text; each try runs it again.
copied_expect() {
    local what=$1 expected=$2
    shift 2
    local deadline=$((SECONDS + limit)) got
    while :; do
        "$@"
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

# copy_expect WHAT EXPECTED KEYS...: presses the keys (which copy something) until the
# clipboard holds the expected text.
copy_expect() {
    local what=$1 expected=$2
    shift 2
    copied_expect "$what" "$expected" xdotool key "$@"
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

# The text of a message box, through the clipboard: Qt lets the mouse select that text, and
# once clicked it takes Ctrl+A and Ctrl+C. Its place in the box is not known to the pixel:
# the clicks go down the middle of the upper half of the box, above the buttons, where a
# click that misses the text changes nothing (the box has no copy of its own here).
# copy_box_text WINDOW
copy_box_text() {
    local width height x y offset steps=()
    IFS='x+' read -r width height x y <<<"$(geometry "$1")"
    for ((offset = 6; offset < height / 2; offset += 4)); do
        steps+=(mousemove $((x + width / 2)) $((y + offset)) click 1 key ctrl+a ctrl+c)
    done
    xdotool "${steps[@]}"
}

# expect_box_text WHAT EXPECTED WINDOW: copies the text of a message box until it is the
# expected one (the box may not take clicks yet when it is first seen).
expect_box_text() {
    copied_expect "$1" "$2" copy_box_text "$3"
}
