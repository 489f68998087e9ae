#!/bin/bash
# check-package.sh TARBALL READELF FILE-SAYS PROGRAM...: the camera package
# holds exactly the programs, each a stripped ELF of the target (what file(1)
# says of it matches the glob FILE-SAYS) without RPATH.
set -uo pipefail
tarball=$1 readelf=$2 says=$3; shift 3
fail=0
[ -f "$tarball" ] || { echo "missing $tarball"; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
tar -xzf "$tarball" -C "$dir"
got=$(cd "$dir" && find . -mindepth 1 | sed 's|^\./||' | sort | tr '\n' ' ')
want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
[ "$got" = "$want" ] || { echo "package holds '$got', expected '$want'"; fail=1; }
for p in "$@"; do
    f="$dir/$p"
    desc=$(file -b "$f")
    case "$desc" in
        $says*stripped*) ;;
        *) echo "$p: $desc"; fail=1 ;;
    esac
    case "$desc" in *"not stripped"*) echo "$p: not stripped"; fail=1 ;; esac
    if "$readelf" -d "$f" | grep -qE 'RPATH|RUNPATH'; then
        echo "$p: carries an RPATH"; fail=1
    fi
    [ -x "$f" ] || { echo "$p: not executable"; fail=1; }
done
[ $fail -eq 0 ] && echo "package ok: $want"
exit $fail
