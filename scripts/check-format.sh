#!/usr/bin/env bash
# Checks the C++ sources against .clang-format with the pinned clang-format of
# .venv (requirements-dev.txt); `--fix` rewrites them instead (make format).
# Exit status: non-zero if any file would change.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

mode=(--dry-run --Werror)
[[ "${1:-}" == "--fix" ]] && mode=(-i)
mapfile -t files < <(find src tests/unit bench fuzz -type f \( -name '*.cc' -o -name '*.h' \) | sort)
((${#files[@]})) || { echo "check-format: no sources found" >&2; exit 1; }
if "$ROOT/.venv/bin/clang-format" "${mode[@]}" "${files[@]}"; then
  echo "check-format: ${#files[@]} files $([[ ${mode[0]} == -i ]] && echo formatted || echo clean)"
else
  echo "check-format: the files above need 'make format' (clang-format $("$ROOT/.venv/bin/clang-format" --version | grep -o '[0-9][0-9.]*' | head -1))" >&2
  exit 1
fi
