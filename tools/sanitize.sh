#!/usr/bin/env bash
# Runs the test suites under AddressSanitizer and UndefinedBehaviorSanitizer:
#   1. the core and the C++ tests (LeakSanitizer on), in build/asan;
#   2. the extension, built with the sanitizers into its own venv
#      (.venv-asan, build dir build/asan-ext), running the Python suite with
#      the sanitizer runtimes preloaded into the interpreter;
#   3. the Python suite on the ordinary install under `python -X dev -W error`;
#   4. the threaded batch path's C++ tests under ThreadSanitizer, in build/tsan.
# Usage: tools/sanitize.sh [cpp|python|devmode|tsan]...   (default: all four)
# VENV and ASAN_VENV name the two venvs (absolute, or relative to the repo).
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-2}
VENV=${VENV:-.venv}
ASAN_VENV=${ASAN_VENV:-.venv-asan}
VENV=$(realpath -m "$VENV")
ASAN_VENV=$(realpath -m "$ASAN_VENV")
TOOLS="scikit-build-core cmake ninja boost-headers>=1.81,<2 pytest numpy hypothesis mypy"
SANITIZERS=address,undefined
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

step() { printf '\n== %s\n' "$*"; }

# A venv from the same Python 3.12 as .venv, with the build and test tools.
ensure_venv() {
  if [ ! -x "$1/bin/python" ]; then
    "$(tools/find_python.sh)" -m venv "$1"
    "$1/bin/python" -m pip install -q --upgrade pip
    "$1/bin/python" -m pip install -q $TOOLS
  fi
}

run_cpp() {
  step "C++ tests under ASan+UBSan+LSan"
  # cmake and ninja come from the ordinary venv, as in `make cpp-test`.
  ensure_venv "$VENV"
  PATH="$VENV/bin:$PATH" cmake -S . -B build/asan -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_BUILD_EXTENSION=OFF \
    -DVELKOR_BUILD_TESTS=ON -DVELKOR_SANITIZE="$SANITIZERS" >/dev/null
  PATH="$VENV/bin:$PATH" cmake --build build/asan -j "$JOBS"
  # The whole binary once: one process, so leaks are checked at its exit.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
    build/asan/velkor_tests --gtest_brief=1
}

run_python() {
  step "Python suite on an ASan+UBSan extension"
  ensure_venv "$ASAN_VENV"
  "$ASAN_VENV/bin/python" -m pip install -q --no-build-isolation \
    -Cbuild-dir=build/asan-ext -Ccmake.build-type=RelWithDebInfo \
    -Ccmake.define.VELKOR_SANITIZE="$SANITIZERS" '.[corpus]'
  # The interpreter is not built with the sanitizers, so their runtimes are
  # preloaded; pymalloc's arenas would hide heap errors from ASan; the
  # interpreter leaks by design at exit, so leak checking is off here. The
  # resident-memory leak tests are left out: ASan's quarantine and shadow
  # memory grow the RSS by design (they run in the -X dev step).
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
    PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
    "$ASAN_VENV/bin/python" -m pytest -q -p no:cacheprovider \
    --ignore=tests/python/test_leaks.py tests/python
}

run_devmode() {
  step "Python suite under -X dev -W error"
  ensure_venv "$VENV"
  "$VENV/bin/python" -m pip install -q --no-build-isolation '.[corpus]'
  "$VENV/bin/python" -X dev -W error -m pytest -q -p no:cacheprovider tests/python
}

run_tsan() {
  step "Batch encoder under ThreadSanitizer"
  ensure_venv "$VENV"
  PATH="$VENV/bin:$PATH" cmake -S . -B build/tsan -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_BUILD_EXTENSION=OFF \
    -DVELKOR_BUILD_TESTS=ON -DVELKOR_SANITIZE=thread >/dev/null
  PATH="$VENV/bin:$PATH" cmake --build build/tsan -j "$JOBS" --target velkor_tests
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    build/tsan/velkor_tests --gtest_brief=1 --gtest_filter='Batch.*'
}

steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(cpp python devmode tsan)
for s in "${steps[@]}"; do
  case "$s" in
    cpp) run_cpp ;;
    python) run_python ;;
    devmode) run_devmode ;;
    tsan) run_tsan ;;
    *) echo "unknown step: $s (cpp, python, devmode, tsan)" >&2; exit 2 ;;
  esac
done
step "sanitizer runs passed"
