#!/usr/bin/env bash
# Prints the path of a working Python 3.12: python3.12 on PATH first (a
# pyenv shim that cannot run it does not count), then pyenv's installs.
set -u
candidates=()
if command -v python3.12 >/dev/null 2>&1; then
  candidates+=("$(command -v python3.12)")
fi
root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
for p in "$root"/versions/3.12.*/bin/python3.12; do
  [ -x "$p" ] && candidates+=("$p")
done
for p in "${candidates[@]}"; do
  if "$p" -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1; then
    echo "$p"
    exit 0
  fi
done
echo "no working python3.12 found (PATH, then pyenv)" >&2
exit 1
