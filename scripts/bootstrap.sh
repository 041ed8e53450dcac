#!/usr/bin/env bash
# Installs what the build and the tests need, and only what is missing, so a
# rerun costs a few seconds: Debian packages (C++ libraries) and a virtual
# environment .venv on CPython 3.13 with the pinned development tools.
#   scripts/bootstrap.sh            the normal toolchain
#   scripts/bootstrap.sh --clang    also clang and its sanitizer/fuzzer runtime
set -euo pipefail
cd "$(dirname "$0")/.."

packages=$(grep -v '^#' scripts/apt-packages.txt)
if [[ "${1:-}" == "--clang" ]]; then
  packages+=" $(grep -v '^#' scripts/apt-packages-clang.txt 2>/dev/null || true)"
fi
missing=()
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "bootstrap: installing ${missing[*]}"
  SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

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
