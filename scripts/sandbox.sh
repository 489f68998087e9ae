# Sourced: sandbox_args PKG_DIR [LOG_SOCKET] fills the array SANDBOX with a
# bubblewrap command line that runs a program with PKG_DIR at the package
# directory (and LOG_SOCKET at /dev/log), leaving the host's /usr/local
# and /dev/log untouched.
sandbox_args() {
    SANDBOX=(bwrap --ro-bind / / --dev /dev --proc /proc --bind /tmp /tmp --tmpfs /usr/local)
    local e
    for e in /usr/local/*; do
        [ "$(basename "$e")" = packages ] || SANDBOX+=(--ro-bind "$e" "$e")
    done
    SANDBOX+=(--bind "$1" /usr/local/packages/lanternhill --die-with-parent)
    [ -z "${2:-}" ] || SANDBOX+=(--bind "$2" /dev/log)
}
