# Shared by the scripts in this directory; sourced, never run. Moves to the
# repository root and sets ROOT, MESON, PY and PATH (the tools of .venv first).
#   step NAME                      prints a step header with the seconds since the start
#   apt_install PACKAGE...         installs the Debian packages that are missing
#   clang_version                  the clang major version of this Debian release
#   find_python                    the interpreter for a new .venv (see below)
#   cpython_version PYTHON         its version, if it is a CPython the module serves
#   find_abi_python                the CPython 3.11 the module is compiled against
#   meson_configure DIR CXX ARG... sets DIR up once, reconfigures on change only
#   asan_configure                 the clang ASan + UBSan build (ASAN_BUILD)
cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
MESON=$ROOT/.venv/bin/meson
PY=$ROOT/.venv/bin/python
# The build environment: CPython 3.11 with Meson, meson-python and Ninja
# (requirements-build.txt), made by bootstrap.sh. Every build of the module
# runs its Python through it (python-abi.ini), so the module is compiled
# against the headers of 3.11, the floor of the stable ABI it targets, and
# meson-python tags the wheel cp311-abi3.
BUILD_PY=$ROOT/.venv-build/bin/python
PYTHON_NATIVE_FILE=$ROOT/build/python-abi.ini
_lib_path=${PATH:-}  # before .venv/bin: find_python searches the caller's PATH
export PATH="$ROOT/.venv/bin:$PATH"
export UV_PYTHON_DOWNLOADS=never
export CARGO_NET_OFFLINE=true

_lib_started=$SECONDS
_lib_name=$(basename "$0" .sh)
step() { printf '\n=== %s: %s (%ds)\n' "$_lib_name" "$1" $((SECONDS - _lib_started)); }
elapsed() { echo $((SECONDS - _lib_started)); }

apt_install() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "$_lib_name: installing ${missing[*]}"
  local sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Prints the path of the interpreter a new .venv gets: $DOVEK_PYTHON when set
# (it must be CPython 3.11 or later), else the first CPython 3.13 found, else
# the newest CPython 3.11 or later, searching in this order:
# ~/.pyenv/versions/*/bin, $DOVEK_SYSTEM_PYTHON_DIR (/usr/bin; a test points it
# elsewhere), then every directory of PATH but .venv/bin; names python3.N and
# python3 only (no python3.Nt: a free-threaded interpreter cannot load an abi3
# module).
# Says on stderr which one it chose; returns 1 with a message when none fits.
find_python() {
  local c dirs=() path_dirs=() d best="" best_version="" best_key=-1 version minor key
  if [[ -n "${DOVEK_PYTHON:-}" ]]; then
    if version=$(cpython_version "$DOVEK_PYTHON"); then
      echo "$_lib_name: using CPython $version at $DOVEK_PYTHON (DOVEK_PYTHON)" >&2
      echo "$DOVEK_PYTHON"
      return 0
    fi
    echo "$_lib_name: DOVEK_PYTHON=$DOVEK_PYTHON is not a CPython 3.11 or later" >&2
    return 1
  fi
  dirs=("$HOME"/.pyenv/versions/*/bin "${DOVEK_SYSTEM_PYTHON_DIR:-/usr/bin}")
  IFS=: read -ra path_dirs <<<"$_lib_path"
  dirs+=("${path_dirs[@]}")
  for d in "${dirs[@]}"; do
    [[ -n $d && -d $d && $d != "$ROOT/.venv/bin" ]] || continue
    for c in "$d"/python3.* "$d"/python3; do
      [[ ${c##*/} =~ ^python3(\.[0-9]+)?$ && -x $c && ! -d $c ]] || continue
      version=$(cpython_version "$c") || continue
      minor=${version#3.}
      minor=${minor%%.*}
      key=$minor
      ((minor == 13)) && key=1000
      if ((key > best_key)); then
        best=$c best_version=$version best_key=$key
      fi
      ((key == 1000)) && break 2
    done
  done
  if [[ -z $best ]]; then
    echo "$_lib_name: no CPython 3.11 or later found (looked in ~/.pyenv/versions," \
      "${DOVEK_SYSTEM_PYTHON_DIR:-/usr/bin} and PATH); install one, or name it:" \
      "DOVEK_PYTHON=/path/to/python3 make demo" >&2
    return 1
  fi
  ((best_key == 1000)) || echo "$_lib_name: CPython 3.13 not found" >&2
  echo "$_lib_name: using CPython $best_version at $best" >&2
  echo "$best"
}

# Prints the path of a CPython 3.11 with its headers (Python.h): $DOVEK_ABI_PYTHON
# when set, else the newest 3.11 of ~/.pyenv/versions, /usr/bin or PATH.
# Debian's python3.11 gets its headers and venv module from apt first.
# Returns 1 with a message when there is none.
find_abi_python() {
  local c candidates=()
  if [[ -n "${DOVEK_ABI_PYTHON:-}" ]]; then
    candidates=("$DOVEK_ABI_PYTHON")
  else
    candidates=($(ls -d "$HOME"/.pyenv/versions/3.11.*/bin/python3.11 2>/dev/null | sort -Vr)       /usr/bin/python3.11 $(command -v python3.11 2>/dev/null || true))
  fi
  for c in "${candidates[@]}"; do
    [[ -x $c ]] || continue
    [[ $(cpython_version "$c") == 3.11.* ]] || continue
    if [[ $c == /usr/bin/python3.11 ]] && ! _has_python_h "$c"; then
      apt_install python3.11-dev python3.11-venv
    fi
    if _has_python_h "$c"; then
      echo "$c"
      return 0
    fi
  done
  echo "$_lib_name: no CPython 3.11 with its headers found (looked in ~/.pyenv/versions," \
    "/usr/bin and PATH); the module is compiled against 3.11, the floor of the stable ABI" \
    "it targets. Install one (Debian: apt-get install python3.11-dev python3.11-venv)," \
    "or name it: DOVEK_ABI_PYTHON=/path/to/python3.11" >&2
  return 1
}

_has_python_h() {
  "$1" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
    2>/dev/null </dev/null
}

# Meson's native file that names the build environment's Python.
write_python_native_file() {
  mkdir -p "$(dirname "$PYTHON_NATIVE_FILE")"
  local want="[binaries]
python = '$BUILD_PY'"
  [[ -f $PYTHON_NATIVE_FILE && $(<"$PYTHON_NATIVE_FILE") == "$want" ]] ||
    echo "$want" >"$PYTHON_NATIVE_FILE"
}

# The version ("3.11.7") of the interpreter $1 when it is one the module
# serves: CPython 3.11 or later, not a free-threaded build (the abi3 module
# does not load there). Fails, printing nothing, for any other or one that
# does not run.
cpython_version() {
  local impl major minor micro gil
  read -r impl major minor micro gil < <("$1" -c 'import sys, sysconfig
v = sys.version_info
print(sys.implementation.name, v[0], v[1], v[2], int(bool(sysconfig.get_config_var("Py_GIL_DISABLED"))))' \
    2>/dev/null </dev/null) || return 1
  [[ $impl == cpython && $major == 3 && $minor -ge 11 && $gil == 0 ]] || return 1
  echo "$major.$minor.$micro"
}

# 16 on Debian 12, 19 on Debian 13 and later; CLANG_VERSION overrides.
# scripts/apt-packages-clang.txt names Debian 12's packages; bootstrap.sh
# --clang installs the same packages of the version chosen here.
clang_version() {
  local major
  major=$(cut -d. -f1 /etc/debian_version 2>/dev/null || echo 12)
  if [[ -n "${CLANG_VERSION:-}" ]]; then
    echo "$CLANG_VERSION"
  elif [[ "$major" =~ ^[0-9]+$ && "$major" -ge 13 ]]; then
    echo 19
  else
    echo 16
  fi
}

# Sets DIR up with compiler CXX and the meson options ARG... when DIR has no
# build.ninja yet. Later calls with the same compiler and options do nothing,
# so a rerun only rebuilds what changed; other options reconfigure DIR, another
# compiler sets it up anew (meson cannot switch compilers in place).
meson_configure() {
  local dir=$1 cxx=$2
  shift 2
  local want="CXX=$cxx $*" stamp=$dir/.setup-args have="" log=$dir.setup.log
  [[ -f $stamp ]] && have=$(<"$stamp")
  mkdir -p "$(dirname "$dir")"
  if [[ -f $dir/build.ninja && $have == "$want" ]]; then
    return 0
  elif [[ -f $dir/build.ninja && ${have%% *} == "CXX=$cxx" ]]; then
    "$MESON" configure "$dir" "$@" >"$log" 2>&1 || { cat "$log" >&2; return 1; }
  else
    local wipe=()
    [[ -f $dir/build.ninja ]] && wipe=(--wipe)
    write_python_native_file
    CXX=$cxx "$MESON" setup "${wipe[@]}" --native-file "$PYTHON_NATIVE_FILE" "$dir" "$@" \
      >"$log" 2>&1 || { cat "$log" >&2; return 1; }
  fi
  echo "$want" >"$stamp"
}

# One clang build with AddressSanitizer and UndefinedBehaviorSanitizer serves
# the unit tests, the module for pytest (scripts/test-asan.sh) and the
# libFuzzer targets (scripts/fuzz.sh). -Dfuzz=true gives every library
# libFuzzer's coverage instrumentation; outside a fuzzer the ASan runtime's
# empty hooks take its calls. -O1 with line tables only (-g1) halves the
# compile time of -O2 -g, and the sanitizers need no more than that for exact
# reports with file:line stacks. Assertions (and libstdc++'s) stay on.
ASAN_BUILD=${ASAN_BUILD:-build/asan}
ASAN_CXX=clang++-$(clang_version)
asan_configure() {
  bash scripts/bootstrap.sh --clang
  meson_configure "$ASAN_BUILD" "$ASAN_CXX" -Dbuildtype=debugoptimized -Doptimization=1 \
    -Dcpp_args=-g1 -Db_sanitize=address,undefined -Db_lundef=false -Dfuzz=true \
    -Dtests=enabled -Dpython_module=true -Dbenchmarks=disabled
}
