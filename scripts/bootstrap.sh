#!/usr/bin/env bash
# Installs what the build and the tests need, and only what is missing, so a
# rerun costs a few seconds: Debian packages (C++ libraries) and a virtual
# environment .venv on CPython 3.13 with the pinned development tools.
#   scripts/bootstrap.sh            the normal toolchain
#   scripts/bootstrap.sh --clang    also clang and its sanitizer/fuzzer runtime
set -euo pipefail
source "$(dirname "$0")/lib.sh"

packages=($(grep -v '^#' scripts/apt-packages.txt))
if [[ "${1:-}" == "--clang" ]]; then
  # The list names Debian 12's clang 16; another release gets its own version.
  llvm=$(clang_version)
  for p in $(grep -v '^#' scripts/apt-packages-clang.txt); do
    packages+=("${p/-16/-$llvm}")
  done
fi
apt_install "${packages[@]}"

find_python313() {
  for c in "${PYTHON313:-}" "$HOME/.pyenv/versions/3.13"*/bin/python3.13 /usr/bin/python3.13 "$(command -v python3.13 || true)"; do
    [[ -n "$c" && -x "$c" ]] && "$c" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null && { echo "$c"; return; }
  done
  echo "bootstrap: CPython 3.13 not found" >&2; exit 1
}

if [[ ! -x .venv/bin/python ]]; then
  "$(find_python313)" -m venv .venv
fi
stamp=.venv/.requirements-dev.txt
if ! cmp -s requirements-dev.txt "$stamp"; then
  .venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt
  cp requirements-dev.txt "$stamp"
fi
