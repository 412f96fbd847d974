# shellcheck shell=bash disable=SC2154 # the runner and lib/ set the globals
# --help and --version print and end with status 0, opening no port and no window: also with
# no display at all, and beside a running program, which they do not disturb.
run_case() {
    prepare_home
    local option
    for option in --version -v --help -h; do
        print_only "$option"
    done
    grep -qx "Tellwick [0-9].*" "$tmp/--version.out" || fail "--version printed: $(cat "$tmp/--version.out")"
    cmp -s "$tmp/--version.out" "$tmp/-v.out" || fail "-v and --version differ"
    local line
    for line in "Usage: tellwick [options] [address]" "  --setup        Open the setup window." \
        "  -v, --version  Show the version and end."; do
        grep -qxF -- "$line" "$tmp/--help.out" || fail "--help lacks the line '$line'"
    done

    start_desktop
    start_program
    await_icon
    await_services
    print_only --version
    # A hand-over would open the setup window of the running program.
    sleep 1
    [ -z "$(program_windows window)" ] || fail "--version beside the running program opened a window"
    alive "$program_pid" || fail "the running program ended"

    # A command line that is wrong says so and ends with status 2, also beside the program.
    local status=0
    run_bare --bogus >"$tmp/bogus.out" 2>"$tmp/bogus.err" || status=$?
    [ "$status" -eq 2 ] || fail "--bogus ended with status $status"
    grep -q "Unknown option 'bogus'" "$tmp/bogus.err" || fail "--bogus said: $(cat "$tmp/bogus.err")"
}

# run_bare ARGUMENTS...: the program with the person's files but no display variable.
run_bare() {
    timeout 20 env -i PATH="$PATH" HOME="$tmp/home" XDG_CONFIG_HOME="$config" \
        XDG_RUNTIME_DIR="$tmp/runtime" LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 ${DISPLAY:+DISPLAY=$DISPLAY} \
        "$program" "$@"
}

# print_only OPTION: prints into $tmp/OPTION.out, with status 0, nothing on its error output,
# and no port of its own.
print_only() {
    local status=0 ports_before
    ports_before=$(ss -Hltn | sort)
    run_bare "$1" >"$tmp/$1.out" 2>"$tmp/$1.err" || status=$?
    [ "$status" -eq 0 ] || fail "$1 ended with status $status: $(cat "$tmp/$1.err")"
    [ -s "$tmp/$1.out" ] || fail "$1 printed nothing"
    [ ! -s "$tmp/$1.err" ] || fail "$1 complained: $(cat "$tmp/$1.err")"
    [ "$(ss -Hltn | sort)" = "$ports_before" ] || fail "$1 left a port open"
}
