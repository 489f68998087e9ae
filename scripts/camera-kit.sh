#!/bin/bash
# camera-kit.sh TARGET DIR: what the emulated camera of a target boots,
# from Debian 12 packages of its architecture fetched as make-sysroot.sh
# fetches the sysroot: the kernel (and the modules of the targets.txt list
# with what they need, and a modules.dep for them) and busybox-static.
# Made under a temporary name and renamed into place when complete.
set -euo pipefail
here=$(dirname "$0")
. "$here/targets.sh"
. "$here/apt-private.sh"
camera_target "${1:?usage: camera-kit.sh TARGET DIR}"
dest=$(realpath -m "${2:?usage: camera-kit.sh TARGET DIR}")
stamp="$T_ARCH: $T_KERNEL busybox-static $T_MODULES"
if [ -f "$dest/.complete" ] && [ "$(cat "$dest/.complete")" = "$stamp" ]; then
    exit 0
fi

work="$dest.partial"
rm -rf "$work" "$dest"
mkdir -p "$work/debs" "$work/root"
apt_private "$work" "$T_ARCH"
echo "camera kit: fetching package lists for $T_ARCH"
apt_lists "camera kit" || exit 1
# The kernel package names the versioned image it depends on; only the two
# images and BusyBox are needed, none of their dependencies.
image=$(apt-cache "${APT_OPTS[@]}" depends --no-recommends --no-suggests "$T_KERNEL" 2>>"$APT_LOG" |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)
[ -n "$image" ] || { apt_failed "camera kit" "no kernel image behind $T_KERNEL for $T_ARCH"; exit 1; }
echo "camera kit: downloading $image and busybox-static"
(cd "$work/debs" && apt_get download "$image" busybox-static) ||
    { apt_failed "camera kit" "the $T_ARCH kernel or BusyBox could not be downloaded"; exit 1; }
for deb in "$work"/debs/*.deb; do
    dpkg -x "$deb" "$work/root"
done

root=$work/root
version=$(basename "$(ls -d "$root"/lib/modules/*/)")
kit=$work/kit
mkdir -p "$kit/modules/lib/modules/$version"
cp "$root/boot/vmlinuz-$version" "$kit/kernel"
cp "$root/bin/busybox" "$kit/busybox"
# The listed modules and what modules.dep says they need, each once.
depmod -b "$root" "$version"
declare -A have=()
wanted=()
for m in ${T_MODULES//,/ }; do
    rel=$(cd "$root/lib/modules/$version" && find kernel -name "$m.ko*" | head -n 1)
    [ -n "$rel" ] || { echo "camera kit: no module $m in $image" >&2; exit 1; }
    for dep in $(sed -n "s|^$rel:||p" "$root/lib/modules/$version/modules.dep") "$rel"; do
        [ -n "${have[$dep]:-}" ] && continue
        have[$dep]=1
        mkdir -p "$kit/modules/lib/modules/$version/$(dirname "$dep")"
        cp "$root/lib/modules/$version/$dep" "$kit/modules/lib/modules/$version/$dep"
    done
done
cp "$root/lib/modules/$version"/modules.{order,builtin,builtin.modinfo} "$kit/modules/lib/modules/$version/"
depmod -b "$kit/modules" "$version"
echo "$version" > "$kit/version"

mv "$kit" "$dest"
echo "$stamp" > "$dest/.complete"
rm -rf "$work"
echo "camera kit: ready at $dest (kernel $version)"
