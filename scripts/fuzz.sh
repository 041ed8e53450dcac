#!/usr/bin/env bash
# Builds the libFuzzer targets (build/fuzz: clang, ASan + UBSan, the
# libraries instrumented for coverage) and runs each one for SECONDS seconds.
#   scripts/fuzz.sh             60 seconds per target
#   SECONDS=600 scripts/fuzz.sh (or scripts/fuzz.sh 600)
#   FUZZ_TARGETS="fuzz_json" scripts/fuzz.sh   a subset
# Each target starts from a copy of its seed corpus (fuzz/corpus/<target>)
# in build/fuzz/corpus, which keeps what earlier runs found; the repository's
# corpus is never written. Reproducers of crashes, leaks, timeouts and
# out-of-memory go to build/fuzz/crashes/. Exits non-zero when any target
# failed. Total time: about 3 x SECONDS plus the build.
#
# A reproducer runs with the same options, e.g.
#   build/fuzz/fuzz/fuzz_json build/fuzz/crashes/fuzz_json-crash-...

# SECONDS is also bash's clock: read the caller's value before anything else.
# Unset, the clock starts at 0 and the default applies.
duration="${1:-$SECONDS}"
set -euo pipefail
cd "$(dirname "$0")/.."
[[ "$duration" =~ ^[0-9]+$ && "$duration" -gt 0 ]] || duration=60

build=build/fuzz
targets=(${FUZZ_TARGETS:-fuzz_command fuzz_artifact fuzz_json})

# The clang of this Debian release and its runtime: 16 on Debian 12, 19 on
# Debian 13 and later; CLANG_VERSION overrides.
debian_major=$(cut -d. -f1 /etc/debian_version 2>/dev/null || echo 12)
if [[ -n "${CLANG_VERSION:-}" ]]; then
  llvm="$CLANG_VERSION"
elif [[ "$debian_major" =~ ^[0-9]+$ && "$debian_major" -ge 13 ]]; then
  llvm=19
else
  llvm=16
fi

if [[ "$llvm" == 16 ]]; then
  bash scripts/bootstrap.sh --clang
else
  bash scripts/bootstrap.sh
  missing=()
  for p in "clang-$llvm" "libclang-rt-$llvm-dev"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "fuzz: installing ${missing[*]}"
    SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
fi

meson=.venv/bin/meson
if [[ ! -f "$build/build.ninja" ]]; then
  CXX="clang++-$llvm" "$meson" setup "$build" -Dbuildtype=debugoptimized -Dfuzz=true \
    -Db_sanitize=address,undefined -Db_lundef=false -Dpython_module=false \
    -Dtests=disabled -Dbenchmarks=disabled >/dev/null
fi
"$meson" compile -C "$build" fuzz-targets

# UBSan findings are fatal; the suppressions cover third-party headers only.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$PWD/fuzz/ubsan.supp"
export ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}"

mkdir -p "$build/crashes" "$build/logs"
failed=()
summary=()
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  cp -n fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null || true
  log="$build/logs/$t.log"
  echo "fuzz: $t for ${duration}s (log: $log)"
  # The command target keeps one core across inputs, so almost every input
  # allocates more than it frees and libFuzzer's per-input leak check would
  # scan the whole heap each time (about 30 times slower); its leaks are
  # caught by the check at exit instead, which still fails the run.
  extra=()
  [[ "$t" == fuzz_command ]] && extra+=(-detect_leaks=0)
  rc=0
  "$build/fuzz/$t" "$corpus" "${extra[@]}" -dict="fuzz/$t.dict" -max_total_time="$duration" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/crashes/$t-" \
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
  echo "fuzz: failures in ${failed[*]}; reproducers in $build/crashes/" >&2
  exit 1
fi
