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
# What a camera downloads and stores: compressed as far as gzip goes.
tar -cf - --sort=name --owner=0 --group=0 -C "$stage" . | gzip -9n >"$tarball.tmp"
mv "$tarball.tmp" "$tarball"
echo "package: $tarball"
