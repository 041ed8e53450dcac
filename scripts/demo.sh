#!/usr/bin/env bash
# `make demo`: what a newcomer runs first. Needs only a C++ compiler and a
# CPython >= 3.11 with pip (no apt, no development tools): a plain release
# build of the module into its own virtual environment, .venv-demo, then
# examples/quickstart.py, whose agent-core tour needs nothing else and whose
# skill tour runs each kind of skill whose tool (`cargo`, `uv`) is present.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
venv=$ROOT/.venv-demo

if [[ ! -x $venv/bin/python ]]; then
  python=$(find_python) || exit 1
  echo "demo: creating .venv-demo"
  "$python" -m venv "$venv"
fi
# Rebuilt only when a source changed since the last demo build.
stamp=$venv/.built
if [[ ! -f $stamp ]] || [[ -n $(find "$ROOT/src" "$ROOT/meson.build" "$ROOT/meson.options" \
    "$ROOT/pyproject.toml" -newer "$stamp" -print -quit) ]]; then
  echo "demo: building the module and installing it into .venv-demo (pip install .;" \
    "about 2 minutes on 2 cores, the first time also fetching Meson, meson-python and Ninja)"
  started=$SECONDS
  # pip is quiet while the compiler runs; a dot every 10 s says it is working.
  ( while sleep 10; do printf '.'; done ) &
  ticker=$!
  trap 'kill $ticker 2>/dev/null || true' EXIT
  log=$ROOT/build/demo-install.log
  mkdir -p "$(dirname "$log")"
  if ! "$venv/bin/python" -m pip install --disable-pip-version-check -q \
      --config-settings=build-dir=build/demo "$ROOT" >"$log" 2>&1; then
    kill $ticker 2>/dev/null || true
    echo
    echo "demo: the build failed; the end of $log:" >&2
    tail -n 40 "$log" >&2
    exit 1
  fi
  kill $ticker 2>/dev/null || true
  echo
  echo "demo: built in $((SECONDS - started)) s"
  touch "$stamp"
fi
# cargo where rustup puts it, should the shell not have it on PATH (lib.sh
# already put the development venv's bin, with its pinned uv, first).
export PATH="$PATH:$HOME/.cargo/bin"
exec "$venv/bin/python" "$ROOT/examples/quickstart.py"
