# Sourced: sandbox_args PKG_DIR [LOG_SOCKET] fills the array SANDBOX with a
# bubblewrap command line that runs a program with PKG_DIR at the package
# directory (and LOG_SOCKET at /dev/log), leaving the host's /usr/local
# and /dev/log untouched. sandbox_check tells whether bwrap works here.
sandbox_args() {
    SANDBOX=(bwrap --ro-bind / / --dev /dev --proc /proc --bind /tmp /tmp --tmpfs /usr/local)
    local e
    for e in /usr/local/*; do
        [ "$(basename "$e")" = packages ] || SANDBOX+=(--ro-bind "$e" "$e")
    done
    SANDBOX+=(--bind "$1" /usr/local/packages/lanternhill --die-with-parent)
    # Without a log socket, syslog falls back to the console, which bwrap
    # makes the caller's terminal: every message would show twice there.
    if [ -n "${2:-}" ]; then
        SANDBOX+=(--bind "$2" /dev/log)
    else
        SANDBOX+=(--bind /dev/null /dev/console)
    fi
}

# sandbox_check: true when bwrap can make a mount namespace here; otherwise
# one line that says what to do.
sandbox_check() {
    if ! command -v bwrap >/dev/null; then
        echo "bubblewrap is missing: run 'apt-get install bubblewrap' as root, then run again." >&2
        return 1
    fi
    # The very sandbox the programs get, around a command that does nothing.
    local SANDBOX
    sandbox_args "${TMPDIR:-/tmp}"
    if ! "${SANDBOX[@]}" -- true 2>/dev/null; then
        echo "bubblewrap can't make a private mount namespace here: run as root (or allow unprivileged user namespaces), then run again." >&2
        return 1
    fi
}
