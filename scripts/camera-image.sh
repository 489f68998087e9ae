#!/bin/bash
# camera-image.sh TARGET OUT: the emulated camera's root file system, as
# OUT (a gzip'd cpio for the kernel's initramfs), from what ships: the
# package .tar.gz of `make package`, the platform stand-ins as the camera's
# libraries, and of the target's sysroot only the shared libraries that
# these need; BusyBox, the kernel modules and camera/ from the camera kit.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/targets.sh
camera_target "${1:?usage: camera-image.sh TARGET OUT}"
out=$(realpath -m "${2:?usage: camera-image.sh TARGET OUT}")
build=build/$T_NAME
kit=$build/camera-kit
# The package of the version this build tree was configured with.
package=$build/lanternhill-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt" 2>/dev/null)-$T_NAME.tar.gz
[ -f "$package" ] || { echo "No $T_NAME camera package $package: run 'make package' first." >&2; exit 1; }
[ -x "$build/bin/camclock" ] && [ -f "$build/lib/libcutpoint.so" ] ||
    { echo "No $T_NAME camclock or cut preload: run 'cmake --build --preset $T_NAME --target camclock cutpoint' first." >&2; exit 1; }

root=$(mktemp -d "${TMPDIR:-/tmp}/lhcamera.XXXXXX")
trap 'rm -rf "$root"' EXIT
chmod 755 "$root"
mkdir -p "$root"/{bin,sbin,etc/camera,usr/lib,usr/bin,usr/sbin,camera/modes,lib,proc,sys,dev,tmp,run,var/log,usr/local}
cp "$kit/busybox" "$root/bin/busybox"
# BusyBox's links made here: past 2038 its 32-bit stat() fails on every
# folder the kernel made at boot, and --install with it.
for applet in $("$T_USER_EMU" "$kit/busybox" --list-full); do
    [ -e "$root/$applet" ] || ln -s /bin/busybox "$root/$applet"
done
cp -r "$kit/modules/lib/modules" "$root/lib/"
echo "${T_MODULES//,/ }" >"$root/etc/camera/modules"
install -m 755 camera/init "$root/init"
cp camera/modes/*.sh "$root/camera/modes/"
cp camera/checks.sh "$root/camera/"
cp "$package" "$root/camera/package.tar.gz"
cp demo/lanternhillworker "$root/camera/lanternhillworker"
printf 'root:x:0:0:root:/root:/bin/sh\nlanternhill:x:1000:1000:package user:/usr/local/packages/lanternhill:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\nlanternhill:x:1000:\n' >"$root/etc/group"
helpers=("$root/usr/bin/camclock")
"$T_TRIPLET-strip" -o "$root/usr/bin/camclock" "$build/bin/camclock"
# The benchmark's helpers, when it built them.
for helper in benchspin floorrelay; do
    if [ -x "$build/bin/$helper" ]; then
        "$T_TRIPLET-strip" -o "$root/usr/bin/$helper" "$build/bin/$helper"
        helpers+=("$root/usr/bin/$helper")
    fi
done
for lib in "$build"/lib/lib{axhttp,axptz,capture,cutpoint}.so; do
    "$T_TRIPLET-strip" --strip-unneeded -o "$root/usr/lib/$(basename "$lib")" "$lib"
done

# The shared libraries the programs need, from the sysroot, by NEEDED
# until nothing new comes.
sysroot=$build/sysroot
pkgdir=$(mktemp -d "$root/camera/.pkg.XXXXXX")
tar -xzf "$package" -C "$pkgdir"
queue=("$pkgdir"/* "${helpers[@]}" "$root"/usr/lib/*.so)
declare -A have=([libaxhttp.so]=1 [libaxptz.so]=1 [libcapture.so]=1)
while [ ${#queue[@]} -gt 0 ]; do
    f=${queue[0]}
    queue=("${queue[@]:1}")
    for need in $("$T_TRIPLET-readelf" -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        [ -n "${have[$need]:-}" ] && continue
        have[$need]=1
        found=
        for dir in "lib/$T_TRIPLET" "usr/lib/$T_TRIPLET" lib usr/lib; do
            [ -e "$sysroot/$dir/$need" ] && { found=$sysroot/$dir/$need; break; }
        done
        [ -n "$found" ] || { echo "camera image: $need (needed by $(basename "$f")) is not in the $T_NAME sysroot" >&2; exit 1; }
        cp -L "$found" "$root/usr/lib/$need"
        queue+=("$root/usr/lib/$need")
    done
done
rm -rf "$pkgdir"
mkdir -p "$root/$(dirname "$T_LOADER")"
cp -L "$sysroot/$T_LOADER" "$root/$T_LOADER"

mkdir -p "$(dirname "$out")"
(cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet | gzip -1) >"$out.tmp"
mv "$out.tmp" "$out"
