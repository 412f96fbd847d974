# shellcheck shell=bash disable=SC2154 # the runner and lib/ set the globals
# --help and --version print and end with status 0 on a machine with no display, without
# trying the ports (another program holds 79, which they would complain about); a wrong
# command line says so and ends with status 2.
run_case() {
    prepare_home
    nc -l 0.0.0.0 79 </dev/null >/dev/null 2>&1 &
    started $! "nc -l 79"
    wait_until "the other program to listen on port 79" port_open 79
    local option status
    for option in --version --help --bogus; do
        status=0
        timeout 20 env -i PATH="$PATH" HOME="$tmp/home" XDG_CONFIG_HOME="$config" \
            XDG_RUNTIME_DIR="$tmp/runtime" LANG=en_US.UTF-8 "$program" "$option" \
            >"$tmp/$option.out" 2>"$tmp/$option.err" || status=$?
        [ "$status" -eq "$([ "$option" = --bogus ] && echo 2 || echo 0)" ] ||
            fail "$option ended with status $status: $(cat "$tmp/$option.err")"
    done
    [ ! -s "$tmp/--version.err" ] && [ ! -s "$tmp/--help.err" ] ||
        fail "--version or --help complained: $(cat "$tmp/--version.err" "$tmp/--help.err")"
    grep -qx "Tellwick [0-9].*" "$tmp/--version.out" || fail "--version printed: $(cat "$tmp/--version.out")"
    grep -qxF -- "Usage: tellwick [options] [address]" "$tmp/--help.out" &&
        grep -qF -- "--setup" "$tmp/--help.out" || fail "--help printed: $(cat "$tmp/--help.out")"
    grep -q "Unknown option 'bogus'" "$tmp/--bogus.err" || fail "--bogus said: $(cat "$tmp/--bogus.err")"
}
