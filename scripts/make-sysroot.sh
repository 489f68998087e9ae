#!/bin/bash
# make-sysroot.sh TARGET DIR: assembles the sysroot of a camera target (a
# name in cmake/targets.txt) from Debian 12 packages without touching the
# host's dpkg state: apt resolves and downloads into private folders, and
# every package is unpacked with dpkg -x.  The sysroot is built under a
# temporary name and renamed into place only when complete, so a half-made
# one can never be taken for a whole one.
set -euo pipefail

target=${1:?usage: make-sysroot.sh TARGET DIR}
dest=$(realpath -m "${2:?usage: make-sysroot.sh TARGET DIR}")
read -r _ arch _ _ loader _ < <(grep -E "^$target " "$(dirname "$0")/../cmake/targets.txt") ||
    { echo "sysroot: no camera target '$target' in cmake/targets.txt" >&2; exit 1; }
packages=(libc6-dev libstdc++-12-dev libgcc-12-dev libglib2.0-dev
          libsoup-3.0-dev libturbojpeg0-dev libgtest-dev libjson-glib-dev)

# The stamp names what the sysroot holds: a new package list makes a new one.
if [ -f "$dest/.complete" ] && [ "$(cat "$dest/.complete")" = "$arch: ${packages[*]}" ]; then
    exit 0
fi

work="$dest.partial"
rm -rf "$work" "$dest"
mkdir -p "$work/root"
. "$(dirname "$0")/apt-private.sh"
apt_private "$work" "$arch"

echo "sysroot: fetching package lists for $arch"
apt_lists sysroot || exit 1
echo "sysroot: downloading ${packages[*]} with their dependencies"
apt_get install -y --download-only "${packages[@]}" ||
    { apt_failed sysroot "the $arch packages could not be downloaded"; exit 1; }

n=0
for deb in "$work"/apt/cache/archives/*.deb; do
    dpkg -x "$deb" "$work/root"
    n=$((n + 1))
done
echo "sysroot: unpacked $n packages"

# Absolute symlinks (libfoo.so -> /lib/...) would point into the host:
# make them relative to the sysroot.
root="$work/root"
while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    case "$target" in
        /*) ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$root$target")" "$link" ;;
    esac
done < <(find "$root" -type l -print0)

# qemu-user falls back to the host's files where the sysroot has none; the
# dynamic loader must be the target's.
test -e "$root/$loader" || { echo "sysroot: no $arch dynamic loader ($loader)" >&2; exit 1; }

mv "$root" "$dest"
echo "$arch: ${packages[*]}" > "$dest/.complete"
rm -rf "$work"
echo "sysroot: ready at $dest"
