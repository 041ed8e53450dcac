#!/usr/bin/env bash
# The C++ unit tests under ThreadSanitizer, in build/tsan (no Python module:
# an uninstrumented interpreter cannot host a TSan-instrumented extension).
#
# Runs every unit test executable, which includes the threading tests: store
# readers and writers, commands from many threads on one GuardedCore and on
# separate ones, reset while commands run, and skill runs, installs and
# listings from many threads at once.
#
# Configures only when build/tsan/build.ninja is missing or its options
# changed, so a rerun only rebuilds what changed. Exit status: non-zero if the
# build or any test fails or TSan reports anything (halt_on_error makes a
# report fail its test).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
BUILD=build/tsan

bash scripts/bootstrap.sh

step "build"
# -O1 with line tables only (-g1): see asan_configure in scripts/lib.sh.
meson_configure "$BUILD" "${CXX:-g++}" -Dbuildtype=debugoptimized -Doptimization=1 -Dcpp_args=-g1 \
  -Db_sanitize=thread -Db_lundef=false -Dbenchmarks=disabled -Dtests=enabled -Dpython_module=false
"$MESON" compile -C "$BUILD" unit-tests

LOGDIR=$ROOT/$BUILD/sanitizer-logs
rm -rf "$LOGDIR"
mkdir -p "$LOGDIR"

step "C++ unit tests under TSan"
status=0
# second_deadlock_stack: both stacks of a lock-order inversion.
# log_path: reports also land in files, counted below, so none goes unseen.
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:history_size=4:log_path=$LOGDIR/tsan" \
  "$MESON" test -C "$BUILD" --no-rebuild --suite unit --print-errorlogs \
  --timeout-multiplier 3 || status=$?

step "summary"
reports=$(find "$LOGDIR" -type f | wc -l)
if ((reports)); then
  echo "test-tsan: $reports report file(s) in $LOGDIR:"
  for f in "$LOGDIR"/*; do
    echo "--- $f"
    head -80 "$f"
  done
fi
echo "test-tsan: unit tests $([[ $status == 0 ]] && echo passed || echo FAILED)," \
  "$reports ThreadSanitizer report(s), $(elapsed) s"
[[ $status == 0 && $reports == 0 ]]
