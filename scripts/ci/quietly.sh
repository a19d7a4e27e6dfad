# Sourced by the stage scripts. quietly runs a command and shows its output only if it fails,
# so that pip's chatter stays out of the log of a green run.
quietly() {
    local log
    log=$(mktemp)
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
}
