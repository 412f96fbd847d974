#!/bin/bash
# Builds the Debian package with CPack, installs it with apt as on a fresh machine, checks
# that the installed program has the capability to bind ports below 1024, then starts it as
# a normal user in a private network namespace and asks it for the user list on port 79
# and for the time on port 13. Removes the package (and the test user, if it made one) at
# the end, also on failure.
#
# Usage: test-deb.sh CPACK BUILD_DIR (builds nothing but the package: the build must be done).
# It changes the machine, so it runs only as root and only where asked: in CI (CI set) or
# with TELLWICK_PACKAGE_TEST=1. Exit status 77 (skip) otherwise, when a tool is missing, or
# where network namespaces are not allowed.
set -euo pipefail

export PATH="$PATH:/usr/sbin:/sbin"
export LC_ALL=C.UTF-8

user=tellwick-test
program=/usr/bin/tellwick

# Runs inside the network namespace, as root: brings loopback up, starts the program as the
# test user and queries it. Everything it needs comes through the environment.
if [ "${1:-}" = --in-namespace ]; then
    ip link set lo up
    # A fresh namespace allows no port below 1024 to a normal user; if this one did, the
    # test would prove nothing about the capability.
    lowest=$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start)
    if [ "$lowest" -le 79 ]; then
        echo "FAIL: ports from $lowest on are open to every user here; the capability cannot be tested"
        exit 1
    fi

    setpriv --reuid="$TEST_UID" --regid="$TEST_GID" --init-groups --inh-caps=-all \
        env -i PATH=/usr/bin:/bin HOME="$TEST_HOME" XDG_CONFIG_HOME="$TEST_HOME/.config" \
        XDG_RUNTIME_DIR="$TEST_RUNTIME" QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 \
        "$program" </dev/null >"$TEST_LOG" 2>&1 &
    pid=$!

    stop() {
        if kill -0 "$pid" 2>/dev/null; then
            kill -TERM "$pid"
            for _ in $(seq 50); do
                kill -0 "$pid" 2>/dev/null || break
                sleep 0.1
            done
            kill -KILL "$pid" 2>/dev/null || true
        fi
        wait "$pid" 2>/dev/null || true
    }
    trap stop EXIT

    listening() { [ -n "$(ss -Hltn "sport = :$1")" ]; }
    for _ in $(seq 300); do
        if listening 79 && listening 13; then
            break
        fi
        if ! kill -0 "$pid" 2>/dev/null; then
            echo "FAIL: $program ended before it listened on ports 79 and 13; it said:"
            cat "$TEST_LOG"
            exit 1
        fi
        sleep 0.1
    done
    if ! listening 79 || ! listening 13; then
        echo "FAIL: $program does not listen on ports 79 and 13 after 30 s; listening: $(ss -Hltn)"
        echo "It said:"
        cat "$TEST_LOG"
        exit 1
    fi

    failed=0
    # A list request is a bare CR LF. With the default settings the reply names the user.
    printf '\r\n' | timeout 20 nc -N -w 10 127.0.0.1 79 >"$TEST_WORK/reply" || true
    printf 'Finger Reply:\r\n-------------------------\r\n' >"$TEST_WORK/reply-start"
    printf '1 user logged in:\r\n%s\r\n' "$user" >"$TEST_WORK/reply-end"
    if ! head -c "$(stat -c %s "$TEST_WORK/reply-start")" "$TEST_WORK/reply" | cmp -s - "$TEST_WORK/reply-start"; then
        echo "FAIL: the finger reply does not start with 'Finger Reply:' and the dashes"
        failed=1
    elif ! tail -c "$(stat -c %s "$TEST_WORK/reply-end")" "$TEST_WORK/reply" | cmp -s - "$TEST_WORK/reply-end"; then
        echo "FAIL: the finger reply does not end by naming $user"
        failed=1
    fi
    if [ "$failed" -ne 0 ]; then
        echo "The reply was:"
        cat -v "$TEST_WORK/reply"
    fi

    daytime=$(timeout 20 nc -N -w 10 127.0.0.1 13 </dev/null) || true
    if [ -z "$daytime" ]; then
        echo "FAIL: the daytime service answered nothing on port 13"
        failed=1
    fi

    if [ "$failed" -ne 0 ]; then
        echo "$program said:"
        cat "$TEST_LOG"
        exit 1
    fi
    echo "finger reply on port 79 as $user: ok; daytime on port 13: $daytime"
    exit 0
fi

cpack=$1
build=$2

skip() {
    echo "SKIP: $*"
    exit 77
}

[ "$(id -u)" -eq 0 ] || skip "installing the package needs root"
if [ -z "${CI:-}" ] && [ "${TELLWICK_PACKAGE_TEST:-}" != 1 ]; then
    skip "this test installs a package and adds a user; it runs in CI, or with TELLWICK_PACKAGE_TEST=1"
fi
for tool in "$cpack" dpkg dpkg-deb dpkg-query apt-get getcap setpriv unshare ip ss nc od objdump \
    useradd userdel timeout; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps --e2e installs it)"
done
unshare --net true 2>/dev/null || skip "network namespaces are not allowed here (unshare --net failed)"

# A package installed by an earlier run that could not clean up carries this mark; any
# other tellwick package is somebody's own, and the test leaves it alone.
mark=/var/tmp/tellwick-package-test.installed
package_status() { dpkg-query -W -f='${Status}' tellwick 2>/dev/null || true; }
if [[ "$(package_status)" == *" ok installed" ]] && [ ! -e "$mark" ]; then
    skip "a tellwick package is installed here already; remove it first (apt-get remove tellwick)"
fi

work=$(mktemp -d)
# apt reads the package as its own unprivileged user.
chmod 755 "$work"
created_user=no

remove_package() {
    local status
    status=$(package_status)
    if [ -n "$status" ] && [[ "$status" != *not-installed ]]; then
        DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y tellwick >"$work/remove.log" 2>&1 ||
            cat "$work/remove.log"
    fi
}
cleanup() {
    set +e
    remove_package
    rm -f "$mark"
    [ "$created_user" = yes ] && userdel "$user"
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# 1. The package: its name, control fields and contents.
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
if ! (cd "$work" && "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/package") >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack -G DEB failed"
    exit 1
fi
deb="$work/package/tellwick_${version}_${arch}.deb"
if [ ! -f "$deb" ]; then
    echo "FAIL: cpack made no $(basename "$deb"); it made: $(ls "$work/package")"
    exit 1
fi
chmod 644 "$deb"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tellwick ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = net ] || fail "Section is '$(field Section)', not net"
address='^[^<]+ <[^@>]+@[^>]+>$'
[[ "$(field Maintainer)" =~ $address ]] || fail "Maintainer '$(field Maintainer)' is no name with an address"
[ "$(field Description | wc -l)" -ge 2 ] || fail "Description has no long description: $(field Description)"

depends=$(field Depends)
depends_on() {
    local entry=", $1( \\([^)]*\\))?,"
    [[ ", $depends," =~ $entry ]]
}
dpkg-deb -x "$deb" "$work/contents"
# Every Qt library the program links is a dependency, and so are the run-time pieces that
# no linker sees.
qt_packages=$(objdump -p "$work/contents$program" | awk '$1 == "NEEDED" && $2 ~ /^libQt6/ { print $2 }' |
    tr 'A-Z' 'a-z' | sed 's/\.so\.\([0-9]*\)$/\1/')
[ -n "$qt_packages" ] || fail "$program links no Qt library?"
for package in $qt_packages qt6-qpa-plugins qt6-wayland libcap2-bin; do
    depends_on "$package" || fail "Depends lacks $package: $depends"
done

dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$work/contents.list"
for path in "$program" /usr/share/applications/tellwick.desktop /etc/xdg/autostart/tellwick.desktop \
    /usr/share/icons/hicolor/16x16/apps/tellwick.png /usr/share/icons/hicolor/32x32/apps/tellwick.png \
    /usr/share/icons/hicolor/48x48/apps/tellwick.png /usr/share/icons/hicolor/scalable/apps/tellwick.svg \
    /usr/share/man/man1/tellwick.1; do
    grep -qx "$path" "$work/contents.list" || fail "the package lacks $path"
done
if grep -v -e '^/usr/' -e '^/etc/' -e '^/$' "$work/contents.list"; then
    fail "the package has files outside /usr and /etc (above)"
fi
dpkg-deb -e "$deb" "$work/control"
grep -qx /etc/xdg/autostart/tellwick.desktop "$work/control/conffiles" 2>/dev/null ||
    fail "the autostart entry is not a conffile"
[ -x "$work/control/postinst" ] || fail "the package has no executable postinst"

# 2. Install as apt does on a user's machine: the postinst grants the capability.
touch "$mark"
if ! DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$deb" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "FAIL: apt-get install $(basename "$deb") failed"
    exit 1
fi
if grep -q 'could not give' "$work/install.log"; then
    fail "the postinst could not grant the capability: $(grep tellwick: "$work/install.log")"
fi
capabilities=$(getcap "$program")
[[ "$capabilities" =~ cap_net_bind_service[=+]ep ]] || fail "getcap $program shows '$capabilities', no cap_net_bind_service=ep"

# 3. A normal user's program answers on ports 79 and 13, in a network namespace of its own.
if ! id -u "$user" >/dev/null 2>&1; then
    useradd --system --user-group --no-create-home --shell /usr/sbin/nologin "$user"
    created_user=yes
fi
uid=$(id -u "$user")
gid=$(id -g "$user")
mkdir -p "$work/home/.config" "$work/runtime"
chown -R "$uid:$gid" "$work/home" "$work/runtime"
chmod 700 "$work/home" "$work/runtime"
if ! TEST_UID=$uid TEST_GID=$gid TEST_HOME="$work/home" TEST_RUNTIME="$work/runtime" TEST_LOG="$work/program.log" TEST_WORK="$work" \
    unshare --net bash "$0" --in-namespace; then
    fail "the installed program does not answer as a normal user (above)"
fi

# 4. Removal takes everything away again.
remove_package
if [ -e "$program" ] || [ -e /etc/xdg/autostart/tellwick.desktop ]; then
    fail "apt-get remove --purge tellwick left files behind: $(ls -d "$program" /etc/xdg/autostart/tellwick.desktop 2>/dev/null)"
fi
rm -f "$mark"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "package: all checks passed"
