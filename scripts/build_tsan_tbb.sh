#!/usr/bin/env bash
# Builds oneTBB from Debian's source package with ThreadSanitizer instrumentation, so
# that races between our code and the worker pool are seen inside the pool as well:
# an uninstrumented libtbb hides its own synchronisation from TSan and yields both
# missed races and false reports.
#
# Runs as root on a Debian machine. Usage:
#   scripts/build_tsan_tbb.sh [PREFIX]        (default build/tsan-tbb/prefix of the current directory)
# Environment: TSAN_TBB_WORKDIR (default: PREFIX/../src), TSAN_TBB_JOBS (default 6).
# The result is used by scripts/sanitize.sh tsan through PREFIX/lib/pkgconfig.
set -euo pipefail

prefix=${1:-${TSAN_TBB_PREFIX:-$PWD/build/tsan-tbb/prefix}}
prefix=$(realpath -m "$prefix")
workdir=${TSAN_TBB_WORKDIR:-$(dirname "$prefix")/src}
jobs=${TSAN_TBB_JOBS:-6}

if [ "$(id -u)" -ne 0 ]; then
  echo "build_tsan_tbb.sh installs packages and must run as root" >&2
  exit 1
fi

# apt-get source needs source entries; add them beside the binary ones if none exist.
if ! grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -E 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      > /etc/apt/sources.list.d/debian-src.sources
  elif [ -f /etc/apt/sources.list ]; then
    sed -nE 's/^deb[[:space:]]+/deb-src /p' /etc/apt/sources.list \
      > /etc/apt/sources.list.d/debian-src.list
  else
    echo "no apt sources found to derive source entries from" >&2
    exit 1
  fi
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq dpkg-dev cmake ninja-build g++ >/dev/null

mkdir -p "$workdir"
cd "$workdir"
# A previous run may have left an unpacked tree; start from the package each time.
rm -rf onetbb-*/
apt-get source -qq onetbb
src=$(find . -maxdepth 1 -type d -name 'onetbb-*' | head -n1)
if [ -z "$src" ]; then
  echo "apt-get source onetbb left no source tree in $workdir" >&2
  exit 1
fi

# RelWithDebInfo keeps TSan's stacks readable inside the pool. TBB_STRICT would turn
# new compiler warnings under -fsanitize into errors; they are not ours to fix.
cmake -S "$src" -B "$src/build-tsan" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCMAKE_INSTALL_LIBDIR=lib \
  -DTBB_SANITIZE=thread \
  -DTBB_TEST=OFF \
  -DTBB_EXAMPLES=OFF \
  -DTBB_STRICT=OFF
cmake --build "$src/build-tsan" -j "$jobs"
cmake --install "$src/build-tsan"

pc="$prefix/lib/pkgconfig/tbb.pc"
if [ ! -f "$pc" ]; then
  echo "install left no $pc" >&2
  exit 1
fi
echo "TSan oneTBB installed in $prefix (pkg-config: $prefix/lib/pkgconfig)"
