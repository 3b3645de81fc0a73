#!/usr/bin/env bash
# Builds oneTBB with ThreadSanitizer from Debian's source package, so that TSan sees the
# worker pool's synchronisation (Debian's libtbb is not instrumented, and TSan then reports
# races inside it that are not real), then builds tornquil's core tests against it with
# -fsanitize=thread and runs the threaded ones.
#
#   bash scripts/tsan_tbb.sh [gtest filter]
#
# The instrumented oneTBB goes to build/tsan-tbb/prefix, the TSan build of tornquil to
# build/tsan. Needs root for apt-get (build dependencies and the source package).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/tsan-tbb
prefix=$work/prefix
filter=${1:-'*Concurren*:*InFlight*:*Thread*:*Interleav*:*Parallel*:*Mix*'}

if [ ! -f "$prefix/lib/pkgconfig/tbb.pc" ] && [ ! -f "$prefix/lib64/pkgconfig/tbb.pc" ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq cmake dpkg-dev >/dev/null
  mkdir -p "$work"
  (cd "$work" && apt-get source -qq onetbb >/dev/null)
  src=$(find "$work" -maxdepth 1 -type d -name 'onetbb-*' | head -n1)
  cmake -S "$src" -B "$work/cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DTBB_SANITIZE=thread -DTBB_TEST=OFF \
    -DTBB_STRICT=OFF -DTBBMALLOC_BUILD=OFF >/dev/null
  cmake --build "$work/cmake" -j"$(nproc)" >/dev/null
  cmake --install "$work/cmake" >/dev/null
fi
pc=$(dirname "$(find "$prefix" -name tbb.pc | head -n1)")
libdir=$(dirname "$pc")

if [ ! -f build/tsan/build.ninja ]; then
  PKG_CONFIG_PATH=$pc meson setup build/tsan -Dbuildtype=debugoptimized -Db_sanitize=thread \
    -Db_lundef=false -Dtests=enabled >/dev/null
fi
ninja -C build/tsan tests/core/core_tests >/dev/null
TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
  LD_LIBRARY_PATH=$libdir build/tsan/tests/core/core_tests --gtest_filter="$filter" --gtest_brief=1
