#!/usr/bin/env bash
# Installs what the build and the tests need, and only what is missing, so a
# rerun costs a few seconds: Debian packages (C++ libraries) and a virtual
# environment .venv with the pinned development tools. The venv's interpreter
# is CPython 3.13 where there is one, else the newest CPython 3.11 or later
# found (find_python in lib.sh; DOVEK_PYTHON names one explicitly).
#   scripts/bootstrap.sh                 the normal toolchain
#   scripts/bootstrap.sh --clang         also clang and its sanitizer/fuzzer runtime
#   scripts/bootstrap.sh --print-python  prints the interpreter a new .venv would
#                                        use, and installs nothing
# Exit status 1 when no usable interpreter is found.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

if [[ "${1:-}" == "--print-python" ]]; then
  find_python
  exit 0
fi

# The interpreter first: without one, fail before installing anything.
# find_python's failure ends only the $(...) subshell: the status is checked here.
python=""
if [[ ! -x .venv/bin/python ]]; then
  python=$(find_python) || exit 1
fi

packages=($(grep -v '^#' scripts/apt-packages.txt))
if [[ "${1:-}" == "--clang" ]]; then
  # The list names Debian 12's clang 16; another release gets its own version.
  llvm=$(clang_version)
  for p in $(grep -v '^#' scripts/apt-packages-clang.txt); do
    packages+=("${p/-16/-$llvm}")
  done
fi
apt_install "${packages[@]}"

if [[ -n $python ]]; then
  # Debian splits venv's pip bootstrap out of the interpreter's package.
  if ! "$python" -c 'import ensurepip' 2>/dev/null && [[ $python == /usr/bin/python3* ]]; then
    apt_install "$(basename "$python")-venv"
  fi
  echo "bootstrap: creating .venv"
  "$python" -m venv .venv
fi
# The build environment on CPython 3.11 (see BUILD_PY in lib.sh).
if [[ ! -x $BUILD_PY ]]; then
  abi_python=$(find_abi_python) || exit 1
  echo "bootstrap: creating .venv-build on $abi_python (the module's headers are 3.11's)"
  "$abi_python" -m venv .venv-build
fi
if ! cmp -s requirements-build.txt .venv-build/.requirements-build.txt; then
  "$BUILD_PY" -m pip install -q --disable-pip-version-check --progress-bar off \
    -r requirements-build.txt
  cp requirements-build.txt .venv-build/.requirements-build.txt
fi

stamp=.venv/.requirements-dev.txt
if ! cmp -s requirements-dev.txt "$stamp"; then
  started=$SECONDS
  echo "bootstrap: installing the pinned tools of requirements-dev.txt into .venv"
  # One line per package instead of pip's download chatter; errors (stderr)
  # pass through unfiltered.
  .venv/bin/python -m pip install --disable-pip-version-check --progress-bar off \
    -r requirements-dev.txt | sed -u -n -e 's/^Collecting \([^ ]*\).*/bootstrap:   \1/p' \
    -e 's/^Processing .*\/\([^/ ]*\)$/bootstrap:   \1/p' -e '/^Successfully installed/p'
  echo "bootstrap: tools installed in $((SECONDS - started)) s"
  cp requirements-dev.txt "$stamp"
fi
