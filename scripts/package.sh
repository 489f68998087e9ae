#!/bin/bash
# Makes the camera package from a build tree: the programs at the top level,
# stripped, without RPATH and without the platform stand-ins.
set -euo pipefail
build=${1:?usage: package.sh BUILD_DIR}
version=${2:?version}
arch=${3:?arch}

stage="$build/package-root"
rm -rf "$stage"
cmake --install "$build" --prefix "$stage" --strip >/dev/null
tarball="$build/lanternhill-$version-$arch.tar.gz"
# What a camera downloads and stores: a gzip file, compressed further than
# gzip itself goes (zopfli: about 6 % less, the same format).
command -v zopfli >/dev/null || { echo "package.sh: zopfli is missing: run scripts/install-deps.sh test" >&2; exit 1; }
# The same programs make the same package: every file dated by the last
# commit, and zopfli's extra rounds (24 bytes less). The programs only:
# an entry for the folder itself would set the mode of the one it is
# unpacked into, and costs about 100 bytes. Owners by number only: the
# camera unpacks as root, and "root" twice a header is bytes for nothing.
when=$(git -C "$(dirname "$0")" log -1 --format=%ct 2>/dev/null) || when=0
programs=$(cd "$stage" && ls | sed 's|^|./|')
# shellcheck disable=SC2086 # the programs' names have no spaces
tar -cf "$tarball.tar" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$when" -C "$stage" $programs
zopfli --i100 -c "$tarball.tar" >"$tarball.tmp"
rm -f "$tarball.tar"
mv "$tarball.tmp" "$tarball"
echo "package: $tarball"
