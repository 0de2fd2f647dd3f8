#!/usr/bin/env bash
# Cross-builds, once, what the Windows target needs from Debian's sources:
#   glog       static, from the google-glog source package (no gflags, no libunwind)
#   GoogleTest static, from /usr/src/googletest
#   7za.exe    7-Zip's standalone console, from the 7zip source package
# Usage: windows-deps.sh <deps-dir>. Results go to <deps-dir>/prefix (libraries,
# headers, CMake packages) and <deps-dir>/bin/7za.exe; a stamp per piece makes
# reruns return at once.
set -euo pipefail

deps=${1:?usage: windows-deps.sh <deps-dir>}
here=$(cd "$(dirname "$0")" && pwd)
toolchain=$here/mingw-i686.cmake
mkdir -p "$deps"
deps=$(cd "$deps" && pwd)
prefix=$deps/prefix
src=$deps/src
jobs=$(nproc)
mkdir -p "$prefix" "$src" "$deps/bin"

say() { echo "windows-deps: $*" >&2; }

# apt-get source unpacks into the current folder; as root apt warns that the
# download is not sandboxed, which does not matter here.
fetch_source() {
  local package=$1
  local dir
  dir=$(find "$src" -maxdepth 1 -type d -name "$package-*" | head -n 1)
  if [ -z "$dir" ]; then
    say "fetching the $package source package"
    (cd "$src" && apt-get source -qq "$package" >/dev/null 2>&1) ||
      { echo "windows-deps: apt-get source $package failed (is deb-src on? run scripts/bootstrap)" >&2; exit 1; }
    dir=$(find "$src" -maxdepth 1 -type d -name "$package-*" | head -n 1)
  fi
  echo "$dir"
}

cmake_build() {
  local name=$1 source=$2
  shift 2
  say "building $name"
  cmake -S "$source" -B "$deps/build-$name" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF "$@" >"$deps/build-$name.log" 2>&1
  cmake --build "$deps/build-$name" -j "$jobs" >>"$deps/build-$name.log" 2>&1
  cmake --install "$deps/build-$name" >>"$deps/build-$name.log" 2>&1
}

if [ ! -f "$deps/glog.stamp" ]; then
  glog_src=$(fetch_source google-glog)
  cmake_build glog "$glog_src" -DWITH_GFLAGS=OFF -DWITH_UNWIND=OFF -DWITH_GTEST=OFF -DBUILD_TESTING=OFF
  touch "$deps/glog.stamp"
fi

if [ ! -f "$deps/gtest.stamp" ]; then
  cmake_build gtest /usr/src/googletest -Dgtest_disable_pthreads=OFF
  touch "$deps/gtest.stamp"
fi

if [ ! -f "$deps/7zip.stamp" ]; then
  sz_src=$(fetch_source 7zip)
  say "building 7za.exe (a few minutes)"
  (
    cd "$sz_src/CPP/7zip/Bundles/Alone"
    make -j "$jobs" -f makefile.gcc IS_MINGW=1 SystemDrive=C: MSYSTEM=1 CFLAGS_WARN_WALL= \
      CC=i686-w64-mingw32-gcc CXX=i686-w64-mingw32-g++ RC=i686-w64-mingw32-windres
  ) >"$deps/build-7zip.log" 2>&1 || { tail -n 30 "$deps/build-7zip.log" >&2; exit 1; }
  cp "$sz_src/CPP/7zip/Bundles/Alone/_o/7za.exe" "$deps/bin/7za.exe"
  for f in License.txt copying.txt; do
    [ -f "$sz_src/DOC/$f" ] && cp "$sz_src/DOC/$f" "$deps/bin/7zip-$f"
  done
  touch "$deps/7zip.stamp"
fi
say "ready in $deps"
