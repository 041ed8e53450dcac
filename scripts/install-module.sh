#!/usr/bin/env bash
# Builds the module as an abi3 wheel (meson-python on CPython 3.11, in build directory $1,
# default build/py), profile-guided (scripts/pgo-profile.sh; DOVEK_PGO=0
# builds without), and installs it into .venv: what `make install` runs.
#
# pip runs the build verbosely into $1.install.log; the terminal gets about a
# dozen lines of it: meson's setup, ninja's [n/N] progress at every tenth of
# the build, and the result, with the seconds taken. On failure the log from
# the first error on (or its end) is printed too.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
BUILD=${1:-build/py}
log=$ROOT/$BUILD.install.log
mkdir -p "$(dirname "$log")"

bash "$ROOT/scripts/pgo-profile.sh" "$BUILD"
pgo=(--config-settings=setup-args=-Db_pgo=use)
[[ ${DOVEK_PGO:-1} == 0 ]] && pgo=(--config-settings=setup-args=-Db_pgo=off)

echo "install: building the module in $BUILD and installing it into .venv (log: $BUILD.install.log)"
status=0
# The wheel is built by CPython 3.11 (.venv-build: the module is compiled
# against the headers of the stable ABI's floor, and tagged cp311-abi3), then
# installed into .venv like any wheel.
# --config-settings, not -C: the pip of Debian 12's python3.11-venv predates -C.
wheels=$ROOT/$BUILD.wheel
rm -rf "$wheels"
{ "$BUILD_PY" -m pip wheel -v --disable-pip-version-check --no-build-isolation --no-deps \
    -w "$wheels" --config-settings=compile-args=-j2 --config-settings=build-dir="$BUILD" \
    "${pgo[@]}" . &&
  "$PY" -m pip install --disable-pip-version-check --no-index --no-deps --force-reinstall \
    "$wheels"/dovek_native-*.whl; } 2>&1 | tee "$log" | awk '
  /^ *\+ meson setup/ { print "install:   meson setup"; fflush() }
  # ninja'"'"'s compile and link lines; not meson-python'"'"'s [n/N] of the files it installs
  match($0, /\[[0-9]+\/[0-9]+\] [^\/]/) {
    split(substr($0, RSTART + 1, RLENGTH - 4), nN, "/")
    n = nN[1] + 0; total = nN[2] + 0
    if (total != last_total || n < last_n) shown = -1  # a new ninja run
    last_total = total; last_n = n
    tenth = int(10 * n / total)
    if (n == 1 || n == total || tenth > shown) {
      shown = tenth
      sub(/^ +/, "")
      print "install:   " $0; fflush()
    }
  }
  /^Successfully installed/ { print "install: " $0; fflush() }
' || status=$?

if ((status != 0)); then
  echo "install: FAILED after $(elapsed) s (status $status); from $BUILD.install.log:" >&2
  failure=$(awk '/FAILED:|ERROR:|error:/ { p = 1 } p' "$log" | head -n 200)
  if [[ -n $failure ]]; then echo "$failure" >&2; else tail -n 60 "$log" >&2; fi
  exit "$status"
fi
echo "install: done in $(elapsed) s"
