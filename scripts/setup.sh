#!/usr/bin/env bash
# Brings a fresh Debian machine to the point where tornquil builds and its tests run:
# installs the missing system packages, makes .venv from Debian's Python and builds
# the extension into it. Quick when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

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

# A configure that failed half-way leaves a directory meson-python cannot reuse.
if [ -d build/release ] && [ ! -f build/release/meson-private/coredata.dat ]; then
  rm -rf build/release .mesonpy-native-file.ini
fi

# A persistent build directory keeps rebuilds incremental; the same tree holds the
# GoogleTest binary, so the core tests need no second build.
mkdir -p build
.venv/bin/python -m pip install -q --no-build-isolation --no-deps \
  --root-user-action=ignore --config-settings=builddir=build/release .
.venv/bin/python -c 'import tornquil' >/dev/null
