#!/usr/bin/env bash
# Readies a build directory of this tree for a meson-python build into it, and turns meson
# features (tests, bench; see meson_options.txt) on in it.
#
#   scripts/prepare_build.sh BUILD_DIR [FEATURE...]
#
# A directory that is not configured is removed, with meson-python's native file: a
# configure that failed half-way leaves a directory meson-python cannot reuse, and
# meson-python reconfigures instead of configuring whenever that file (written in the source
# tree by every build of it) names the interpreter it runs, which fails on a directory that
# is not configured. Whoever configures it next passes the features then.
#
# In a configured directory the features are turned on, and everything else is left as it
# is. They are only ever turned on, never off: turning one off makes meson delete what it
# built, and the next command that needs it would compile it all again. A feature that is on
# already is not set again, since setting an option makes the next build regenerate the
# build files.
#
# The source tree is the current directory, as in scripts/sanitize.sh.
set -euo pipefail

[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [FEATURE...]" >&2; exit 2; }
build=$1
shift

if [ ! -f "$build/meson-private/coredata.dat" ]; then
  rm -rf "$build" .mesonpy-native-file.ini
  exit 0
fi
[ $# -gt 0 ] || exit 0

# The options as the directory holds them; one configured by an older tree may not know a
# feature yet, which counts as off.
enabled=$(meson introspect --buildoptions "$build" | /usr/bin/python3 -c '
import json, sys
print(" ".join(o["name"] for o in json.load(sys.stdin)
               if o["section"] == "user" and o["value"] == "enabled"))')

args=()
for feature in "$@"; do
  case " $enabled " in
    *" $feature "*) ;;
    *) args+=("-D$feature=enabled") ;;
  esac
done
[ ${#args[@]} -gt 0 ] || exit 0

echo "enabling in $build: ${args[*]}"
# A reconfigure, not `meson configure`: it reads meson_options.txt again, so it also knows a
# feature that the directory's first configure did not. It keeps every other setting, the
# interpreter that meson-python chose among them.
if ! out=$(meson setup --reconfigure "$build" . "${args[@]}" 2>&1); then
  printf '%s\n' "$out" >&2
  exit 1
fi
