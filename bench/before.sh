#!/bin/bash
# The runner from before the relay's rework, for the bench to measure beside
# today's: bench/before.sh [host|TARGET] builds it in a worktree of its own
# and prints its path. A camera target's build uses the main checkout's
# sysroot, so build that first (scripts/build-package.sh TARGET).
set -uo pipefail
# The revision measured as "before"; a later rework moves it.
BEFORE_REV=${BEFORE_REV:-504e245}
cd "$(dirname "$0")/.."
top=$PWD
preset=${1:-host}
src=$top/build/before/src
log=$top/build/before/$preset.log
rev=$(git rev-parse -q --verify "$BEFORE_REV^{commit}") ||
    { echo "before: no revision $BEFORE_REV in this repository" >&2; exit 1; }
mkdir -p "$top/build/before"

# A worktree is reused only when it is one of its own (inside the main
# checkout, git would otherwise answer for that), at the revision and
# unchanged; anything else, half-made or stale, is made again.
if [ "$(git -C "$src" rev-parse --show-toplevel 2>/dev/null)" = "$src" ]; then
    [ "$(git -C "$src" rev-parse HEAD)" = "$rev" ] && [ -z "$(git -C "$src" status --porcelain)" ] ||
        { git -C "$src" checkout -q -f --detach "$rev" && git -C "$src" clean -fdq; } >/dev/null 2>&1 ||
        rm -rf "$src"
else
    rm -rf "$src"
fi
if [ ! -d "$src" ]; then
    git worktree prune
    git worktree add -q --detach "$src" "$rev" >/dev/null 2>&1 ||
        { echo "before: could not make the worktree of $BEFORE_REV at $src" >&2; exit 1; }
fi

# Only the runner: it is what the bench compares.
configure=(--preset "$preset")
[ "$preset" = host ] || configure+=("-DLH_SYSROOT=$top/build/$preset/sysroot")
build() { (cd "$src" && cmake "${configure[@]}" && cmake --build --preset "$preset" -j"$(nproc)" --target lanternhill) >"$log" 2>&1; }
# A build tree left by an interrupted run gets one fresh try.
build || { rm -rf "$src/build/$preset"; build; } ||
    { echo "before: the runner of $BEFORE_REV ($preset) did not build: see $log" >&2; exit 1; }
echo "$src/build/$preset/bin/lanternhill"
