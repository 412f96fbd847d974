#!/bin/bash
# Installs the built tree into temporary prefixes, plainly and staged through DESTDIR, and
# checks that every file lands where a Linux desktop looks for it, that the desktop entries
# and the manual page are well-formed, that the theme icons are the program's own, and
# that the capability to bind ports 79 and 13 is granted where possible and otherwise
# explained, without failing the installation.
#
# Usage: test-install.sh CMAKE BUILD_DIR SOURCE_DIR (builds nothing: the build must be done).
# Exit status 77 (skip) only when a tool is missing.
set -euo pipefail

cmake=$1
build=$2
source=$3

export PATH="$PATH:/usr/sbin:/sbin"
export LC_ALL=C.UTF-8 MANPAGER=cat PAGER=cat
unset DESTDIR

for tool in desktop-file-validate man file sha256sum getcap; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is missing (scripts/install-deps --e2e installs it)"
        exit 77
    fi
done

# The version the build was configured with, as the package carries it.
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
if [ -z "$version" ]; then
    echo "FAIL: $build/CPackConfig.cmake names no package version"
    exit 1
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The files of an installation below its prefix; the autostart entry is listed by each case,
# since its folder depends on the prefix.
layout() {
    echo bin/tellwick
    echo share/applications/tellwick.desktop
    echo share/icons/hicolor/16x16/apps/tellwick.png
    echo share/icons/hicolor/32x32/apps/tellwick.png
    echo share/icons/hicolor/48x48/apps/tellwick.png
    echo share/icons/hicolor/scalable/apps/tellwick.svg
    echo share/man/man1/tellwick.1
}

# install_into NAME PREFIX [DESTDIR]: runs the install, keeps its output in $tmp/NAME.log.
# An install that fails is a failure whatever happens to the capability.
install_into() {
    local name=$1 prefix=$2 destdir=${3:-}
    if ! DESTDIR=$destdir "$cmake" --install "$build" --prefix "$prefix" >"$tmp/$name.log" 2>&1; then
        cat "$tmp/$name.log"
        fail "$name: cmake --install failed"
    fi
}

# check_tree NAME ROOT EXPECTED...: ROOT holds exactly the EXPECTED files (relative paths).
check_tree() {
    local name=$1 root=$2
    shift 2
    printf '%s\n' "$@" | sort >"$tmp/$name.expected"
    (cd "$root" && find . \( -type f -o -type l \) -printf '%P\n' | sort) >"$tmp/$name.found"
    if ! diff -u "$tmp/$name.expected" "$tmp/$name.found"; then
        fail "$name: the installed files are not the expected ones (- expected, + found)"
    fi
}

# check_files NAME PREFIXDIR AUTOSTARTDIR: the content of one installation.
check_files() {
    local name=$1 dir=$2 autostart=$3

    local program="$dir/bin/tellwick"
    [ -x "$program" ] || fail "$name: $program is not executable"
    file -b "$program" | grep -q '^ELF' || fail "$name: $program is not an ELF program"

    local entry
    for entry in "$dir/share/applications/tellwick.desktop" "$autostart/tellwick.desktop"; do
        [ -f "$entry" ] || continue
        local report
        if ! report=$(desktop-file-validate "$entry" 2>&1) || [ -n "$report" ]; then
            fail "$name: desktop-file-validate $entry: $report"
        fi
        local key
        for key in Type=Application Name=Tellwick Icon=tellwick 'Exec=tellwick %u' Terminal=false \
            'MimeType=x-scheme-handler/finger;'; do
            grep -qx "$key" "$entry" || fail "$name: $entry lacks $key"
        done
        grep -qE '^Categories=(.*;)?Network;' "$entry" || fail "$name: $entry is not in the Network category"
        grep -qE '^Comment=.' "$entry" || fail "$name: $entry has no Comment"
        # Hidden=true is how a user turns the entry off; the entry itself must not say it.
        if grep -qE '^(Hidden|NoDisplay)=' "$entry"; then
            fail "$name: $entry hides itself"
        fi
    done

    local page="$dir/share/man/man1/tellwick.1"
    if [ -f "$page" ]; then
        if ! MANWIDTH=80 man -l --warnings "$page" >"$tmp/$name.man" 2>"$tmp/$name.man-warnings"; then
            fail "$name: man -l $page failed"
        fi
        if [ -s "$tmp/$name.man-warnings" ]; then
            fail "$name: man -l --warnings $page warns: $(cat "$tmp/$name.man-warnings")"
        fi
        local text
        for text in '^TELLWICK\(1\)' '^NAME' 'tellwick +- ' 'XDG_CONFIG_HOME:-~/.config}/Tellwick/registry\.reg' \
            '79/tcp' '13/tcp' 'finger' 'daytime' 'setcap cap_net_bind_service=ep /usr/bin/tellwick' \
            'Hidden=true'; do
            grep -qE -- "$text" "$tmp/$name.man" || fail "$name: the manual page does not show /$text/"
        done
        grep -qE "Tellwick ${version//./\\.}( |$)" "$tmp/$name.man" ||
            fail "$name: the manual page does not name the release Tellwick $version"
    fi

    local size
    for size in 16 32 48; do
        local icon="$dir/share/icons/hicolor/${size}x${size}/apps/tellwick.png"
        [ -f "$icon" ] || continue
        same_file "$name" "$icon" "$source/src/widgets/icons/tellwick-$size.png"
        file -b "$icon" | grep -q "^PNG image data, $size x $size," ||
            fail "$name: $icon is not a $size x $size PNG: $(file -b "$icon")"
    done
    local svg="$dir/share/icons/hicolor/scalable/apps/tellwick.svg"
    if [ -f "$svg" ]; then
        same_file "$name" "$svg" "$source/src/widgets/icons/tellwick.svg"
        file -b "$svg" | grep -q 'SVG' || fail "$name: $svg is not an SVG image: $(file -b "$svg")"
    fi
}

same_file() {
    local name=$1 installed=$2 original=$3
    if [ "$(sha256sum <"$installed")" != "$(sha256sum <"$original")" ]; then
        fail "$name: $installed is not the program's own $original"
    fi
}

# check_told_to_grant NAME PROGRAM PATH: PROGRAM lacks the capability, and the install's log
# gives the command that grants it to PATH, where the program will run from.
check_told_to_grant() {
    local name=$1 program=$2 path=$3
    if getcap "$program" | grep -q cap_net_bind_service; then
        fail "$name: $program has the capability although it should not"
    fi
    grep -qF "setcap cap_net_bind_service=ep $path" "$tmp/$name.log" ||
        fail "$name: the install does not say how to grant the capability: $(cat "$tmp/$name.log")"
}

prefixed() {
    local prefix=$1
    layout | sed "s|^|${prefix#/}/|"
}

# Can this user give a file in $tmp the capability here? Then the install must do so.
cp /bin/true "$tmp/probe"
if setcap cap_net_bind_service=ep "$tmp/probe" 2>/dev/null; then
    can_grant=yes
else
    can_grant=no
fi

# 1. A prefix of the user's choice: the configuration folder is below the prefix.
prefix="$tmp/prefix"
install_into plain "$prefix"
mapfile -t files < <(layout)
check_tree plain "$prefix" "${files[@]}" etc/xdg/autostart/tellwick.desktop
check_files plain "$prefix" "$prefix/etc/xdg/autostart"
if [ "$can_grant" = yes ]; then
    getcap "$prefix/bin/tellwick" | grep -q 'cap_net_bind_service[=+]ep' ||
        fail "plain: $prefix/bin/tellwick did not get cap_net_bind_service: $(cat "$tmp/plain.log")"
else
    check_told_to_grant plain "$prefix/bin/tellwick" "$prefix/bin/tellwick"
fi
cmp -s "$prefix/share/applications/tellwick.desktop" "$prefix/etc/xdg/autostart/tellwick.desktop" ||
    fail "plain: the autostart entry differs from the menu entry"

# 2. Staged for /usr, as a package does: the autostart entry goes to /etc/xdg/autostart,
#    and a staged file gets no capability.
stage="$tmp/stage-usr"
install_into staged-usr /usr "$stage"
mapfile -t files < <(prefixed /usr)
check_tree staged-usr "$stage" "${files[@]}" etc/xdg/autostart/tellwick.desktop
check_files staged-usr "$stage/usr" "$stage/etc/xdg/autostart"
check_told_to_grant staged-usr "$stage/usr/bin/tellwick" /usr/bin/tellwick

# 3. Staged for an add-on prefix in /opt: its configuration goes to /etc/opt/NAME.
stage="$tmp/stage-opt"
install_into staged-opt /opt/tellwick "$stage"
mapfile -t files < <(prefixed /opt/tellwick)
check_tree staged-opt "$stage" "${files[@]}" etc/opt/tellwick/xdg/autostart/tellwick.desktop
check_files staged-opt "$stage/opt/tellwick" "$stage/etc/opt/tellwick/xdg/autostart"
check_told_to_grant staged-opt "$stage/opt/tellwick/bin/tellwick" /opt/tellwick/bin/tellwick

# 4. setcap refuses, as it does for a normal user: the install still succeeds and says what
#    to run.
mkdir "$tmp/refusing-setcap"
printf '#!/bin/sh\necho "unable to set CAP_SETFCAP effective capability: Operation not permitted" >&2\nexit 1\n' \
    >"$tmp/refusing-setcap/setcap"
chmod +x "$tmp/refusing-setcap/setcap"
prefix="$tmp/refused"
PATH="$tmp/refusing-setcap:$PATH" install_into refused "$prefix"
mapfile -t files < <(layout)
check_tree refused "$prefix" "${files[@]}" etc/xdg/autostart/tellwick.desktop
check_told_to_grant refused "$prefix/bin/tellwick" "$prefix/bin/tellwick"
grep -q 'Operation not permitted' "$tmp/refused.log" || fail "refused: the install hides why setcap failed"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "install: all checks passed (capability granted here: $can_grant)"
