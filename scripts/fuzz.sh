#!/usr/bin/env bash
# Builds the libFuzzer targets in the clang ASan + UBSan build that also holds
# the sanitised unit tests and module (build/asan, or ASAN_BUILD; the
# libraries there are instrumented for coverage) and runs each one for
# SECONDS seconds.
#   scripts/fuzz.sh             60 seconds per target
#   SECONDS=600 scripts/fuzz.sh (or scripts/fuzz.sh 600)
#   FUZZ_TARGETS="fuzz_json" scripts/fuzz.sh   a subset
#   FUZZ_SEED=1 scripts/fuzz.sh  the same mutations on every run (CI's smoke
#                                run), instead of a fresh random seed each time
# Each target starts from a copy of its seed corpus (fuzz/corpus/<target>)
# in build/fuzz/corpus, which keeps what earlier runs found; the repository's
# corpus is never written. Reproducers of crashes, leaks, timeouts and
# out-of-memory go to build/fuzz/crashes/. Exits non-zero when any target
# failed. Total time: about 3 x SECONDS plus the build.
#
# A reproducer runs with the same options, e.g.
#   build/asan/fuzz/fuzz_json build/fuzz/crashes/fuzz_json-crash-...

# SECONDS is also bash's clock: read the caller's value before anything else.
# Unset, the clock starts at 0 and the default applies.
duration="${1:-$SECONDS}"
set -euo pipefail
source "$(dirname "$0")/lib.sh"
[[ "$duration" =~ ^[0-9]+$ && "$duration" -gt 0 ]] || duration=60

runs=build/fuzz
targets=(${FUZZ_TARGETS:-fuzz_command fuzz_artifact fuzz_json})

step "build ($ASAN_CXX, $ASAN_BUILD)"
asan_configure
"$MESON" compile -C "$ASAN_BUILD" fuzz-targets

# UBSan findings are fatal; the suppressions cover third-party headers only.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$ROOT/tests/sanitizers/ubsan.supp"
export ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}"

mkdir -p "$runs/crashes" "$runs/logs"
failed=()
summary=()
for t in "${targets[@]}"; do
  corpus="$runs/corpus/$t"
  mkdir -p "$corpus"
  cp -n fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null || true
  log="$runs/logs/$t.log"
  step "$t for ${duration}s (log: $log)"
  # The command target keeps one core across inputs, so almost every input
  # allocates more than it frees and libFuzzer's per-input leak check would
  # scan the whole heap each time (about 30 times slower); its leaks are
  # caught by the check at exit instead, which still fails the run.
  extra=()
  [[ "$t" == fuzz_command ]] && extra+=(-detect_leaks=0)
  [[ -n "${FUZZ_SEED:-}" ]] && extra+=(-seed="$FUZZ_SEED")
  rc=0
  "$ASAN_BUILD/fuzz/$t" "$corpus" "${extra[@]}" -dict="fuzz/$t.dict" -max_total_time="$duration" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$runs/crashes/$t-" \
    >"$log" 2>&1 || rc=$?
  execs=$(grep -o "number_of_executed_units: *[0-9]*" "$log" | tail -1 | grep -o "[0-9]*$" || echo "?")
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1 || true)
  if ((rc != 0)); then
    failed+=("$t")
    summary+=("$t: FAILED (exit $rc) after ${execs} executions; ${cov}")
    grep -E 'ERROR|runtime error|SUMMARY|fuzz_[a-z]+: |Test unit written' "$log" | head -20 || true
  else
    summary+=("$t: ok, ${execs} executions, ${cov:-no coverage line}")
  fi
done

printf 'fuzz: %s\n' "${summary[@]}"
if ((${#failed[@]})); then
  echo "fuzz: failures in ${failed[*]}; reproducers in $runs/crashes/" >&2
  exit 1
fi
