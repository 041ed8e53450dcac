#!/usr/bin/env bash
# Installs the release wheel from dist/ (`make wheel`) into a clean virtual
# environment of every CPython >= 3.11 on the machine and runs
# tests/smoke/smoke.py there, outside the source tree. Offline: the module has
# no dependencies, so pip installs with --no-index.
#   scripts/check-wheel.sh [WHEEL]
# Interpreters: pyenv's versions (~/.pyenv/versions/3.*) and /usr/bin/python3.*;
# a missing one (or one without the venv module) is skipped, but at least
# one must pass. Free-threaded builds are skipped: the abi3 module does not
# load there.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
repo=$ROOT

if [[ $# -ge 1 ]]; then
  wheel=$(realpath "$1")
else
  wheels=(dist/dovek_native-*.whl)
  [[ -e "${wheels[0]}" ]] || { echo "check-wheel: no wheel in dist/ (run make wheel)" >&2; exit 1; }
  [[ ${#wheels[@]} -eq 1 ]] || { echo "check-wheel: more than one wheel in dist/: ${wheels[*]}" >&2; exit 1; }
  wheel=$(realpath "${wheels[0]}")
fi
case "$(basename "$wheel")" in
  *-cp311-abi3-manylinux_*_x86_64.whl) ;;
  *) echo "check-wheel: $(basename "$wheel") is not tagged cp311-abi3-manylinux_*" >&2; exit 1 ;;
esac
echo "check-wheel: $(basename "$wheel")"

# cargo builds the Rust example skill; rustup puts it in ~/.cargo/bin.
export PATH="$PATH:$HOME/.cargo/bin"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/dovek-check-wheel.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# One line per distinct interpreter: "<version> <path>".
interpreters() {
  local seen=" " c real version
  for c in "$HOME"/.pyenv/versions/3.*/bin/python3 /usr/bin/python3.*; do
    [[ -x "$c" && "$c" != *-config ]] || continue
    real=$(realpath "$c")
    [[ "$seen" == *" $real "* ]] && continue
    seen+="$real "
    version=$(cpython_version "$c") && echo "$version $c"
  done
  return 0
}

mapfile -t found < <(interpreters)
[[ ${#found[@]} -gt 0 ]] || { echo "check-wheel: no CPython >= 3.11 found" >&2; exit 1; }

results=()
n=0
passed=0
for line in "${found[@]}"; do
  version=${line%% *}
  python=${line#* }
  n=$((n + 1))
  venv="$tmp/venv-$n"
  echo "check-wheel: CPython $version ($python)"
  # Debian's interpreters need python3.X-venv for this; without it, skip.
  if ! "$python" -m venv "$venv" >"$tmp/venv.log" 2>&1; then
    echo "check-wheel: skipped, \`$python -m venv\` failed: $(tail -n 1 "$tmp/venv.log")"
    results+=("CPython $version ($python): skipped, no venv module")
    continue
  fi
  "$venv/bin/python" -m pip install -q --no-index --disable-pip-version-check "$wheel"
  (cd "$tmp" && "$venv/bin/python" "$repo/tests/smoke/smoke.py" "$repo/examples/skills")
  results+=("CPython $version ($python): ok")
  passed=$((passed + 1))
done

echo "check-wheel: $(basename "$wheel"), smoke test per interpreter:"
printf '  %s\n' "${results[@]}"
((passed > 0)) || { echo "check-wheel: no interpreter could test the wheel" >&2; exit 1; }
