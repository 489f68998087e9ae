# Sourced by the scripts that fetch Debian 12 packages of a camera target's
# architecture. apt_private WORK ARCH: apt resolves and downloads in private
# folders under WORK (the host's dpkg state and lists stay untouched) with
# apt's configured sources; sets APT_OPTS and APT_LOG.
apt_private() {
    mkdir -p "$1/apt/lists/partial" "$1/apt/cache/archives/partial"
    : > "$1/apt/status"
    APT_OPTS=(-o APT::Architecture="$2" -o APT::Architectures::="$2"
              -o Dir::State::Status="$1/apt/status"
              -o Dir::State::Lists="$1/apt/lists"
              -o Dir::Cache="$1/apt/cache"
              -o Debug::NoLocking=1 -o APT::Install-Recommends=false
              -o Acquire::Languages=none -q)
    APT_LOG=$1/apt.log
    : > "$APT_LOG"
}

# apt_failed WHO WHAT: one line with apt's own reason and what to do.
apt_failed() {
    local reason
    reason=$(grep -E '^(E|Err):' "$APT_LOG" | tail -n 1)
    echo "$1: $2${reason:+ ($reason)}: check the network and the apt sources, then run again (apt's output: $APT_LOG)." >&2
}
