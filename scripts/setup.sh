#!/usr/bin/env bash
# Brings a fresh Debian machine to the point where tornquil builds and its tests run:
# installs the missing system packages, makes .venv from Debian's Python and builds
# the extension into it. Quick when everything is already there.
#
#   scripts/setup.sh [tests] [bench]
#
# With no argument only the module is built. `tests` also builds the GoogleTest core tests
# and the test-only module of the Python tests, `bench` the C++ benchmarks, all in the same
# tree, build/release, beside the module.
set -euo pipefail
cd "$(dirname "$0")/.."

features=()
for f in "$@"; do
  case "$f" in
    tests|bench) features+=("$f") ;;
    *) echo "usage: $0 [tests] [bench]" >&2; exit 2 ;;
  esac
done

packages=(build-essential meson ninja-build pkg-config python3-dev python3-venv python3-numpy
  python3-pytest python3-mesonpy liblmdb-dev libtbb-dev zlib1g-dev libgtest-dev
  libbenchmark-dev libhnswlib-dev python3-lmdb)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages; run as root:" >&2
    echo "  apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  /usr/bin/python3 -m venv --system-site-packages .venv
fi

# A persistent build directory keeps rebuilds incremental; the same tree holds the
# tests and the benchmarks, so they share the core's objects with the module. A tree that
# is configured already gets its features before the install, which then builds them with
# the module in one go. This pip passes only one --config-settings, the build directory, so
# a tree that the install configures gets the defaults (the module alone) and its features
# after it.
mkdir -p build
bash scripts/prepare_build.sh build/release "${features[@]}"
.venv/bin/python -m pip install -q --no-build-isolation --no-deps \
  --root-user-action=ignore --config-settings=builddir=build/release .
.venv/bin/python -c 'import tornquil' >/dev/null
if [ ${#features[@]} -gt 0 ]; then
  bash scripts/prepare_build.sh build/release "${features[@]}"
  ninja -C build/release
fi
