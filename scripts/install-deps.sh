#!/bin/bash
# Installs the Debian 12 packages that a make target needs, and only when
# one of them is missing.
set -uo pipefail

demo=(cmake make g++ pkg-config libglib2.0-dev libsoup-3.0-dev libturbojpeg0-dev
      libgtest-dev libjson-glib-dev bubblewrap curl busybox)
test=("${demo[@]}" file strace faketime valgrind qemu-user
      g++-mipsel-linux-gnu binutils-mipsel-linux-gnu g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf
      g++-aarch64-linux-gnu binutils-aarch64-linux-gnu apt dpkg clang libclang-rt-14-dev
      libbenchmark-dev wrk
      qemu-system-mips qemu-system-arm cpio kmod e2fsprogs libjpeg-turbo-progs zopfli)

case "${1:-}" in
    demo) want=("${demo[@]}") ;;
    test) want=("${test[@]}") ;;
    *) echo "usage: install-deps.sh demo|test" >&2; exit 2 ;;
esac

missing=()
for p in "${want[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null; then
        sudo=(sudo)
    else
        echo "Missing Debian packages: ${missing[*]}. Run as root: apt-get install ${missing[*]}" >&2
        exit 1
    fi
fi
echo "Installing Debian packages: ${missing[*]}"
. "$(dirname "$0")/apt-private.sh"
apt_host "${sudo[@]}"
apt_lists "Debian packages" || exit 1
# Only the download is tried again: a failed install is not a mirror's fault.
if ! apt_get install -y --download-only "${missing[@]}" ||
   ! "${APT_AS[@]}" apt-get "${APT_OPTS[@]}" install -y "${missing[@]}" >>"$APT_LOG" 2>&1; then
    apt_failed "Debian packages" "could not install ${missing[*]}"
    exit 1
fi
rm -f "$APT_LOG"
