#!/usr/bin/env bash
# Profile-guided optimisation of the release module, step one: builds an
# instrumented module in build/pgo-train (GCC, -Db_pgo=generate), runs
# scripts/pgo_train.py on it, and copies the profiles it wrote into build
# directory $1 at the same relative paths. The caller then compiles $1 with
# -Db_pgo=use (meson-python's setup-args), and GCC lays out, inlines and
# predicts branches by them (the gain is quoted once, in README.md,
# "Profile-guided builds").
#
# The profiles are made afresh at every call, from the sources as they are,
# so a release build never uses stale ones. A build from the sdist, or with
# DOVEK_PGO=0, skips all this and is just not profile-guided.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
BUILD=${1:?usage: pgo-profile.sh BUILD_DIR}
TRAIN=build/pgo-train

if [[ ${DOVEK_PGO:-1} == 0 ]]; then
  echo "pgo-profile: skipped (DOVEK_PGO=0)"
  exit 0
fi
echo "pgo-profile: training an instrumented module in $TRAIN for $BUILD"
meson_configure "$TRAIN" c++ -Dbuildtype=release -Db_ndebug=if-release -Db_pgo=generate \
  -Dtests=disabled -Dbenchmarks=disabled
"$MESON" compile -C "$TRAIN" src/binding/dovek_native.abi3.so >"$TRAIN.compile.log" 2>&1 ||
  { cat "$TRAIN.compile.log" >&2; exit 1; }
find "$TRAIN" -name '*.gcda' -delete  # counts from this run only
"$PY" scripts/pgo_train.py "$ROOT/$TRAIN/src/binding"
# Old profiles in $BUILD would outlive a source file that is gone.
[[ -d $BUILD ]] && find "$BUILD" -name '*.gcda' -delete
count=0
while IFS= read -r -d '' f; do
  mkdir -p "$BUILD/$(dirname "$f")"
  cp "$TRAIN/$f" "$BUILD/$f"
  count=$((count + 1))
done < <(cd "$TRAIN" && find . -name '*.gcda' -print0)
echo "pgo-profile: $count profiles copied into $BUILD in $(elapsed) s"
