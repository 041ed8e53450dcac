#!/usr/bin/env bash
# The C++ unit tests and the whole pytest suite under AddressSanitizer and
# UndefinedBehaviorSanitizer (with LeakSanitizer), in the clang build that
# also holds the fuzz targets (build/asan, or ASAN_BUILD; scripts/lib.sh).
#
# Meson builds everything here itself (no pip): the unit tests, the module
# (src/binding/dovek_native.abi3.so) and its test-hooks variant
# (src/binding/hooks/dovek_native.abi3.so). pytest then imports the sanitised
# module through PYTHONPATH, in an interpreter that has the ASan runtime
# preloaded (it must be the first library loaded) and uses the system malloc
# (PYTHONMALLOC=malloc) so that ASan sees every Python allocation.
#
# Configures only when the build directory has no build.ninja or its options
# changed, so a rerun only rebuilds what changed. Extra arguments go to pytest
# instead of the default (the whole suite), e.g.
# scripts/test-asan.sh tests/python/test_stress.py -x.
# Exit status: non-zero if the build, any unit test or any Python test fails,
# or if any sanitizer report appears.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
BUILD=$ASAN_BUILD

step "build ($ASAN_CXX)"
asan_configure
MODULE_DIR=$ROOT/$BUILD/src/binding
HOOKS_DIR=$MODULE_DIR/hooks
"$MESON" compile -C "$BUILD" unit-tests src/binding/dovek_native.abi3.so \
  src/binding/hooks/dovek_native.abi3.so

# The ASan runtime of the compiler that built the module must be the first
# library of the process, so it is preloaded; clang's shared runtime also
# holds the UBSan handlers and the coverage hooks the module calls. The C++
# runtime is preloaded behind it: ASan binds its __cxa_throw interceptor when
# it starts, and the interpreter does not link libstdc++, so without it the
# first C++ exception in the module aborts the process.
LIBASAN=$("$ASAN_CXX" -print-file-name=libclang_rt.asan-x86_64.so)
LIBSTDCXX=$("$ASAN_CXX" -print-file-name=libstdc++.so)
for lib in "$LIBASAN" "$LIBSTDCXX"; do
  [[ -f $lib ]] || { echo "test-asan: $lib not found for $ASAN_CXX" >&2; exit 1; }
done

SUPP=$ROOT/tests/sanitizers
# Reports go to files (log_path) instead of stderr: a report from a child
# process whose stderr a test captures is not lost, and the summary counts
# every one of them.
LOGDIR=$ROOT/$BUILD/sanitizer-logs
rm -rf "$LOGDIR"
mkdir -p "$LOGDIR"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$SUPP/ubsan.supp:log_path=$LOGDIR/ubsan"

step "C++ unit tests"
unit_status=0
# Checks beyond the defaults: use of a stack frame after return, reads past
# a string's terminator in libc calls, globals used before initialisation.
CHECKS="strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:$CHECKS" \
  "$MESON" test -C "$BUILD" --no-rebuild --suite unit --print-errorlogs || unit_status=$?

step "pytest against $MODULE_DIR"
py_status=0
PYTHONPATH=$MODULE_DIR \
DOVEK_EXPECT_MODULE_DIR=$MODULE_DIR \
DOVEK_TEST_HOOKS_MODULE_DIR=$HOOKS_DIR \
PYTHONMALLOC=malloc \
LD_PRELOAD="$LIBASAN $LIBSTDCXX" \
ASAN_OPTIONS="detect_leaks=1:$CHECKS:log_path=$LOGDIR/asan" \
LSAN_OPTIONS="suppressions=$SUPP/lsan.supp:print_suppressions=0" \
  "$PY" -m pytest -q -rs -p no:cacheprovider "$@" || py_status=$?  # no arguments: testpaths (tests/python)

step "summary"
reports=$(ls "$LOGDIR" 2>/dev/null | wc -l)
if ((reports)); then
  echo "test-asan: $reports sanitizer report file(s) in $LOGDIR:"
  for f in "$LOGDIR"/*; do
    echo "--- $f"
    head -60 "$f"
  done
fi
echo "test-asan: unit tests $([[ $unit_status == 0 ]] && echo passed || echo FAILED)," \
  "pytest $([[ $py_status == 0 ]] && echo passed || echo FAILED)," \
  "$reports sanitizer report(s), $(elapsed) s"
[[ $unit_status == 0 && $py_status == 0 && $reports == 0 ]]
