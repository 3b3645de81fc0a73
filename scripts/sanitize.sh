#!/usr/bin/env bash
# Builds the tree in the current directory under a sanitizer and runs its tests there.
#
#   scripts/sanitize.sh asan|tsan [--gtest FILTER] [--pytest 'ARGS'] [-j N]
#
#   asan  AddressSanitizer + UndefinedBehaviorSanitizer, build/asan, venv build/asan-venv
#   tsan  ThreadSanitizer, linked against an instrumented oneTBB, build/tsan,
#         venv build/tsan-venv
#
# --gtest FILTER  runs core_tests with --gtest_filter=FILTER
# --pytest ARGS   runs pytest with ARGS, split like a shell command line
#                 (e.g. 'tests/python/test_search.py -k thread')
# With neither, both suites run whole; with one, only that suite runs.
# -j N            build jobs (default 4; the machine is shared).
#
# The source tree is the current directory, not this script's: other work trees run
# this same file on their own sources. Build directories are kept, so a second run
# only rebuilds what changed.
#
# tsan needs the instrumented oneTBB of scripts/build_tsan_tbb.sh; its prefix is
# TSAN_TBB_PREFIX (default build/tsan-tbb/prefix).
#
# Exit status: non-zero when a build fails, a test fails or a sanitizer reports.
set -euo pipefail

usage() {
  sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

[ $# -ge 1 ] || usage
mode=$1
shift
case "$mode" in
  asan|tsan) ;;
  *) usage ;;
esac

gtest_filter=
pytest_args=
run_gtest=
run_pytest=
jobs=4
while [ $# -gt 0 ]; do
  case "$1" in
    --gtest) [ $# -ge 2 ] || usage; gtest_filter=$2; run_gtest=1; shift 2 ;;
    --pytest) [ $# -ge 2 ] || usage; pytest_args=$2; run_pytest=1; shift 2 ;;
    -j) [ $# -ge 2 ] || usage; jobs=$2; shift 2 ;;
    -h|--help) usage ;;
    *) echo "unknown argument: $1" >&2; usage ;;
  esac
done
if [ -z "$run_gtest" ] && [ -z "$run_pytest" ]; then
  run_gtest=1
  run_pytest=1
fi

if [ ! -f meson.build ] || [ ! -f pyproject.toml ] || [ ! -d tests/python ]; then
  echo "run this from the top of a tornquil source tree (no meson.build here: $PWD)" >&2
  exit 2
fi
src=$PWD
build=$src/build/$mode
venv=$src/build/$mode-venv

# Asserts stay on and frames stay in the stacks; -O1 keeps the runs bearable. Both suites
# need the tests feature: core_tests, and the test-only module of the Python tests.
setup_args=(-Ddebug=true -Doptimization=1 -Db_ndebug=false -Dtests=enabled)
here=$(dirname "$(realpath "$0")")
export PYTHONMALLOC=malloc   # let the sanitizer see every Python object allocation

case "$mode" in
  asan)
    setup_args+=(-Db_sanitize=address,undefined)
    flag=-fsanitize=address
    runtime=$(realpath "$(g++ -print-file-name=libasan.so)")
    # With the runtime preloaded ahead of a Python that does not link libstdc++, ASan finds
    # no __cxa_throw to pass a C++ exception on to (MemoryError from the module needs one):
    # libstdc++ goes in right behind it.
    runtime="$runtime $(realpath "$(g++ -print-file-name=libstdc++.so.6)")"
    # UBSan only warns by default; a report must fail the run.
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    gtest_env=(ASAN_OPTIONS=check_initialization_order=1:detect_leaks=1)
    # CPython frees neither its interned objects nor its modules at exit, so leak
    # checking inside the interpreter reports only the interpreter.
    pytest_env=(ASAN_OPTIONS=check_initialization_order=1:detect_leaks=0)
    ;;
  tsan)
    tbb_prefix=${TSAN_TBB_PREFIX:-$src/build/tsan-tbb/prefix}
    if [ ! -f "$tbb_prefix/lib/pkgconfig/tbb.pc" ]; then
      echo "no instrumented oneTBB in $tbb_prefix; build it with scripts/build_tsan_tbb.sh" >&2
      exit 2
    fi
    export PKG_CONFIG_PATH=$tbb_prefix/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
    # The run path makes both the test binary and the installed module load the
    # instrumented libtbb instead of Debian's. GCC warns at every atomic_thread_fence in
    # the oneTBB headers that TSan does not model fences; that is known and not ours.
    flag=-fsanitize=thread
    setup_args+=(-Db_sanitize=thread "-Dcpp_link_args=-Wl,-rpath,$tbb_prefix/lib"
      -Dcpp_args=-Wno-tsan)
    runtime=$(realpath "$(g++ -print-file-name=libtsan.so)")
    export LD_LIBRARY_PATH=$tbb_prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
    supp=$here/tsan-python.supp
    tsan_common=halt_on_error=0:second_deadlock_stack=1:history_size=4
    gtest_env=(TSAN_OPTIONS=$tsan_common)
    pytest_env=(TSAN_OPTIONS=$tsan_common${supp:+:suppressions=$supp})
    [ -f "$supp" ] || pytest_env=(TSAN_OPTIONS=$tsan_common)
    ;;
esac

# A directory that is configured already may have been so without the tests, and the setup
# arguments below reach it only when meson-python reconfigures it, which it does only when
# its native file names this venv's interpreter.
bash "$here/prepare_build.sh" "$build" tests
mkdir -p "$src/build"
if [ ! -x "$venv/bin/python" ]; then
  /usr/bin/python3 -m venv --system-site-packages "$venv"
fi

echo "== building $mode in $build"
start=$SECONDS
# The same PEP 517 build that `pip install .` runs, called directly: this pip passes
# only the last of repeated --config-settings, and the build needs several setup
# arguments. It builds every target of the tree, so core_tests comes from it too.
wheels=$src/build/$mode-wheel
rm -rf "$wheels"
mkdir -p "$wheels"
log=$src/build/$mode-build.log
if ! "$venv/bin/python" - "$wheels" "build/$mode" "-j$jobs" "${setup_args[@]}" >"$log" 2>&1 <<'PY'
import sys
import mesonpy
wheels, builddir, jobs, *setup = sys.argv[1:]
mesonpy.build_wheel(wheels, {"builddir": builddir, "setup-args": setup, "compile-args": [jobs]})
PY
then
  tail -n 40 "$log" >&2
  echo "build failed; the whole log is $log" >&2
  exit 1
fi
"$venv/bin/python" -m pip install -q --no-deps --force-reinstall --root-user-action=ignore \
  "$wheels"/*.whl
if ! grep -q -- "$flag" "$build/build.ninja"; then
  echo "$build was configured without the $mode sanitizer; remove it and rerun" >&2
  exit 1
fi
echo "== built in $((SECONDS - start)) s"

status=0
if [ -n "$run_gtest" ]; then
  echo "== core_tests${gtest_filter:+ --gtest_filter=$gtest_filter}"
  start=$SECONDS
  env "${gtest_env[@]}" "$build/tests/core/core_tests" --gtest_brief=1 \
    ${gtest_filter:+"--gtest_filter=$gtest_filter"} || status=1
  echo "== core_tests took $((SECONDS - start)) s"
fi

if [ -n "$run_pytest" ]; then
  # shlex splits the argument string the way a shell would, quotes included.
  mapfile -d '' py_args < <(/usr/bin/python3 -c \
    'import shlex, sys; sys.stdout.write("".join(a + "\0" for a in shlex.split(sys.argv[1])))' \
    "$pytest_args")
  [ ${#py_args[@]} -gt 0 ] || py_args=(tests/python)
  echo "== pytest ${py_args[*]}"
  start=$SECONDS
  # Debian's python is not instrumented, so the runtime must be loaded before it.
  set +e
  env "${pytest_env[@]}" LD_PRELOAD="$runtime" \
    TORNQUIL_TEST_MODULE_DIR="$build/src/python/testing" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "${py_args[@]}"
  rc=$?
  set -e
  echo "== pytest took $((SECONDS - start)) s (exit $rc)"
  # 5 is pytest's "no test collected": a selection that matched nothing is an error
  # here too, since it checked nothing.
  [ $rc -eq 0 ] || status=1
fi

if [ $status -ne 0 ]; then
  echo "== $mode: FAILED (a test failed or the sanitizer reported; see above)"
else
  echo "== $mode: clean"
fi
exit $status
