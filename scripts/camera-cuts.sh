# Sourced by camera-test.sh: the exact power cuts. The cut preload first
# lists the update's file-changing calls for either owner of the old
# programs (root's: the kernel refuses the backup's hard link; the package
# user's); the list must be the plan of camera/cut-plan.txt, so that a
# change of the update can't go untested. Then one round per call and
# owner, plus one after the last call: the camera is reset on entry of
# that call. Each boot checks the round before it, then sets up and cuts
# its own: every program whole, executable, old before its rename and new
# once that rename was flushed; the next start finishes what survived of
# the update (a staged file the runner had not flushed yet may be lost
# with the page cache) and the runner answers.

# plan_of OWNER: the plan's calls of that owner, one "OWNER N NAME ARGS" a line.
plan_of() { grep -E "^$1 [0-9]+ " camera/cut-plan.txt; }
# index_of OWNER PATTERN: the number of the first planned call that matches.
index_of() { plan_of "$1" | grep -E -m 1 " [0-9]+ $2 = " | cut -d' ' -f2; }

# judge OWNER N ANNOUNCED: the round cut at call N, from the boot that
# followed it.
judge() {
    local owner=$1 n=$2 announced=$3 f w r s bad= expect planned
    planned=$(plan_of "$owner" | sed -n "${n}s/^$owner \(.*\) = [^ ]*$/\1/p")
    [ "$announced" = "${planned:-$n exit}" ] || bad="cut at '$announced', not at '${planned:-$n exit}'"
    after_check
    bad=${bad:+$bad; }$BAD
    for f in lanternhill doer; do
        r=$(index_of "$owner" "rename \./update/$f \./$f")
        s=$(index_of "$owner" "fsync /usr/local/packages/lanternhill/update/$f")
        w=$(sed -n "s/.* $f=\([^ ]*\).*/\1/p" <<<" $state ")
        # Before its rename: old; once the rename is flushed: new.
        if [ "$n" -le "$r" ]; then expect=old
        elif [ "$n" -ge $((r + 2)) ]; then expect=new
        else expect="old|new"
        fi
        [[ "$w" =~ ^($expect)$ ]] || bad="${bad:+$bad; }$f after the cut: ${w:-missing}, not $expect"
        # The next start installs a staged file the runner had flushed.
        [[ " $NOT_NEW " == *" $f "* ]] && [ "$n" -gt "$s" ] &&
            bad="${bad:+$bad; }$f not new after the next start, though its staged file was flushed"
    done
    [ "$runner" = started ] || bad="${bad:+$bad; }the runner did not answer"
    echo "$bad"
}

exact_cuts() {
    local t0 owner n count lost=0 rounds=0 prev=() why=() listed bad
    echo "=== camera-$target: a power cut at every call of the update"
    t0=$(date +%s)
    # The list, and the first round's cut, in one boot.
    LISTED=()
    if ! run_boot cut "$disk" "$port" utc lh.list=1 lh.call=1 lh.owner=root; then
        result fail "power-cuts" "the listing boot failed"
        return
    fi
    for owner in root user; do
        listed=${LISTED[$owner]:-}
        listed=${listed%$'\n'}
        echo "  (calls with the old programs $owner's:)"
        sed 's/^/  |   /' <<<"$listed"
        if [ "$listed" != "$(plan_of "$owner")" ]; then
            result fail "power-cut-plan-$owner" "the update's calls are not camera/cut-plan.txt's: $(diff <(plan_of "$owner") <(printf '%s\n' "$listed") | grep '^[<>]' | tr '\n' ' ')"
            return
        fi
        result ok "power-cut-plan-$owner"
    done
    prev=(root 1 "$cutat")
    for owner in root user; do
        count=$(plan_of "$owner" | wc -l)
        for n in $(seq 1 $((count + 1))); do
            [ "$owner $n" = "root 1" ] && continue
            rounds=$((rounds + 1))
            run_boot cut "$disk" "$port" utc "lh.call=$n" "lh.owner=$owner" ||
                { lost=$((lost + 1)); why+=("cut $owner $n: the boot failed"); }
            bad=$(judge "${prev[@]}")
            echo "  (cut ${prev[0]} ${prev[2]}:$state; then $after)"
            [ -z "$bad" ] || { lost=$((lost + 1)); why+=("cut ${prev[0]} ${prev[1]}: $bad"); }
            prev=("$owner" "$n" "$cutat")
        done
    done
    rounds=$((rounds + 1))
    run_boot cut "$disk" "$port" utc || { lost=$((lost + 1)); why+=("last check: the boot failed"); }
    bad=$(judge "${prev[@]}")
    echo "  (cut ${prev[0]} ${prev[2]}:$state; then $after)"
    [ -z "$bad" ] || { lost=$((lost + 1)); why+=("cut ${prev[0]} ${prev[1]}: $bad"); }
    echo "  ($rounds cuts in $(( $(date +%s) - t0 )) s, $lost lost)"
    if [ "$lost" -eq 0 ]; then
        result ok "power-cuts: $rounds, none lost"
    else
        result fail "power-cuts: $lost of $rounds lost" "${why[*]}"
    fi
}
