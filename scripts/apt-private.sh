# Sourced by the scripts that fetch Debian 12 packages: those of a camera
# target's architecture (apt_private) and the host's own (apt_host). Either
# sets APT_OPTS, APT_LOG, APT_ARCH and APT_AS (what apt-get runs under), for
# apt_lists, apt_get and apt_failed.

# apt_private WORK ARCH: apt resolves and downloads in private folders under
# WORK (the host's dpkg state and lists stay untouched) with apt's
# configured sources.
apt_private() {
    mkdir -p "$1/apt/lists/partial" "$1/apt/cache/archives/partial"
    : > "$1/apt/status"
    APT_OPTS=(-o APT::Architecture="$2" -o APT::Architectures::="$2"
              -o Dir::State::Status="$1/apt/status"
              -o Dir::State::Lists="$1/apt/lists"
              -o Dir::Cache="$1/apt/cache"
              -o Debug::NoLocking=1 -o APT::Install-Recommends=false
              -o Acquire::Languages=none -o Acquire::Retries=3 -q)
    APT_LOG=$1/apt.log
    APT_ARCH=$2
    APT_AS=()
    : > "$APT_LOG"
}

# apt_host PREFIX...: the host's own apt state, apt-get run under PREFIX
# (sudo, or nothing as root).
apt_host() {
    APT_OPTS=(-o Acquire::Retries=3 -q)
    APT_LOG=$(mktemp)
    APT_ARCH=$(dpkg --print-architecture)
    APT_AS=("$@" env DEBIAN_FRONTEND=noninteractive)
}

# A mirror's fault is often brief: a failed apt-get is tried again after a
# pause before it counts.
apt_tries=3 apt_pause=5

# apt_get ARGS...: apt-get ARGS, its output in the log.
apt_get() {
    local try
    for ((try = 1; try <= apt_tries; try++)); do
        "${APT_AS[@]}" apt-get "${APT_OPTS[@]}" "$@" >>"$APT_LOG" 2>&1 && return 0
        ((try == apt_tries)) || sleep "$apt_pause"
    done
    return 1
}

# apt_lists WHO: fetches the package lists. A mirror may serve an index out
# of step with its release file for a while: once the tries are spent, the
# indexes that are there do if the main suite's index of the architecture
# is one of them, and one line says what was left out.
apt_lists() {
    local try out rc main left
    for ((try = 1; try <= apt_tries; try++)); do
        out=$("${APT_AS[@]}" apt-get "${APT_OPTS[@]}" update 2>&1) && rc=0 || rc=$?
        printf '%s\n' "$out" >>"$APT_LOG"
        # apt may only warn of an index it could not fetch.
        [ "$rc" -eq 0 ] && ! grep -qE '^(Err:|[WE]: (Failed to fetch|Some index files))' <<<"$out" &&
            return 0
        ((try == apt_tries)) || sleep "$apt_pause"
    done
    # The suite without a '-' holds the whole release; -updates and
    # -security only amend it.
    main=$(apt-get "${APT_OPTS[@]}" indextargets --no-release-info \
               --format '$(RELEASE) $(COMPONENT) $(FILENAME)' \
               'Identifier: Packages' "Architecture: $APT_ARCH" 2>>"$APT_LOG" |
           awk '$1 !~ /-/ && $2 == "main" { print $3; exit }')
    if [ -z "$main" ] || ! compgen -G "$main*" >/dev/null; then
        apt_failed "$1" "the $APT_ARCH package lists could not be fetched"
        return 1
    fi
    # Each index apt gave up on, with the first line of its reason.
    left=$(awk '/^Err:/ { sub(/^Err:[0-9]* [^ ]* /, ""); sub(/ +$/, ""); name = $0; next }
                name != "" { r = $0; sub(/^ +/, "", r); sub(/ *\[IP: [^]]*\]$/, "", r)
                             print name (r != "" && $0 ~ /^ / ? " (" r ")" : ""); name = "" }
                END { if (name != "") print name }' <<<"$out" |
           sort -u | paste -sd ',' | sed 's/,/, /g')
    echo "$1: left out ${left:-an index that could not be fetched}; the versions come from the other indexes"
}

# apt_failed WHO WHAT: one line with apt's own reason and what to do.
apt_failed() {
    local reason
    reason=$(grep -E '^(E|Err):' "$APT_LOG" | tail -n 1)
    echo "$1: $2${reason:+ ($reason)}: check the network and the apt sources, then run again (apt's output: $APT_LOG)." >&2
}
