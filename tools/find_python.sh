#!/usr/bin/env bash
# Prints the path of a working standard (not free-threaded) Python of the
# version given (default 3.12): pythonX.Y on PATH first (a pyenv shim that
# cannot run it does not count), then pyenv's installs.
set -u
version=${1:-3.12}
candidates=()
if command -v "python$version" >/dev/null 2>&1; then
  candidates+=("$(command -v "python$version")")
fi
root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
for p in "$root"/versions/"$version".*/bin/python"$version"; do
  [ -x "$p" ] && candidates+=("$p")
done
for p in "${candidates[@]}"; do
  if "$p" -c "
import sys, sysconfig
assert '%d.%d' % sys.version_info[:2] == '$version'
assert not sysconfig.get_config_var('Py_GIL_DISABLED')" >/dev/null 2>&1; then
    echo "$p"
    exit 0
  fi
done
echo "no working python$version found (PATH, then pyenv)" >&2
exit 1
