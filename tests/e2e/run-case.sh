#!/bin/bash
# Runs one end-to-end case: the built program runs for real on an X display (Xvfb) with an
# XEmbed tray host (trayer), in a private network namespace, with a settings file of its own.
# Real clients query it (finger, nc), xdotool drives its tray menu and windows as a person
# would, the clipboard (xclip) reads back what the windows show, and OCR (tesseract) reads the
# texts that only exist as pixels: the tray tooltip, the menu captions, the table header, the
# status bar, the message boxes.
#
# Usage: run-case.sh CASE PROGRAM ARTIFACTS
#   CASE       a file of cases/ (see README.md)
#   PROGRAM    the built tellwick
#   ARTIFACTS  folder for the screenshots a person may want to look at
# Exit status 0 passed, 1 failed, 77 skipped (a tool is missing, or this machine allows no
# private network namespace).
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 CASE PROGRAM ARTIFACTS" >&2
    exit 2
fi
case_file=$(realpath "$1")
case_name=$(basename "$case_file" .sh)
program=$(realpath "$2")
here=$(dirname "$(realpath "$0")")
artifacts=$3

if [ ! -f "$case_file" ]; then
    echo "unknown case: $1" >&2
    exit 2
fi

# The case: its run_case, its own helpers and the tools it needs beyond the common ones.
case_tools=()
# shellcheck source=/dev/null
. "$case_file"
if [ "$(type -t run_case)" != function ]; then
    echo "$case_file defines no run_case" >&2
    exit 2
fi

# Time limit of every wait, in seconds: generous, since a loaded CI machine or a sanitizer
# build may be slow; a passing case never waits for it.
limit=30

if [ -z "${TELLWICK_E2E_NETNS:-}" ]; then
    for tool in Xvfb trayer xdotool xwininfo xprop xdpyinfo xclip finger nc import convert \
        tesseract ip ss unshare timeout sha256sum "${case_tools[@]}"; do
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

export TZ=UTC LC_ALL=C.UTF-8
unset XAUTHORITY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS

tmp=$(mktemp -d /tmp/tellwick-e2e.XXXXXX)
shots="$artifacts/$case_name"
rm -rf "$shots"
mkdir -p "$shots"

# shellcheck source=lib/processes.sh
. "$here/lib/processes.sh"
# shellcheck source=lib/desktop.sh
. "$here/lib/desktop.sh"
# shellcheck source=lib/windows.sh
. "$here/lib/windows.sh"
# shellcheck source=lib/reading.sh
. "$here/lib/reading.sh"
# shellcheck source=lib/menu.sh
. "$here/lib/menu.sh"
# shellcheck source=lib/services.sh
. "$here/lib/services.sh"

run_case
end_case
note "passed"
