#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build/fuzz) and runs them.
#   tools/fuzz.sh smoke [target...]        every seed of fuzz/corpus/<target> once
#   tools/fuzz.sh run SECONDS [target...]  fuzz each target for SECONDS,
#                                          FUZZ_JOBS (default 2) at a time
# New inputs go to build/fuzz/corpus/<target> (the committed seeds stay as
# they are); crashes go to build/fuzz/artifacts/<target>-crash-*, with the
# log in build/fuzz/logs/<target>.log. A crashing input belongs in
# fuzz/corpus/<target> once fixed, as a regression seed.
set -euo pipefail
cd "$(dirname "$0")/.."

ALL_TARGETS=(tokenizer_file utf8 grapheme encoder merge_passes)
BUILD=${FUZZ_BUILD:-build/fuzz}
JOBS=${JOBS:-2}
FUZZ_JOBS=${FUZZ_JOBS:-2}
VENV=${VENV:-.venv}
# UBSan findings already abort (-fno-sanitize-recover); LeakSanitizer is on.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

build() {
  local path_venv=""
  [ -d "$VENV/bin" ] && path_venv="$(realpath "$VENV")/bin:"
  PATH="$path_venv$PATH" cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_BUILD_EXTENSION=OFF -DVELKOR_BUILD_TESTS=OFF \
    -DVELKOR_BUILD_FUZZ=ON >/dev/null
  PATH="$path_venv$PATH" cmake --build "$BUILD" -j "$JOBS"
}

smoke() {
  local failed=0
  for t in "$@"; do
    if "$BUILD/fuzz/${t}_fuzzer" -runs=0 "fuzz/corpus/$t" >"$BUILD/logs/$t-smoke.log" 2>&1; then
      echo "fuzz smoke $t: $(ls "fuzz/corpus/$t" | wc -l) seeds pass"
    else
      echo "fuzz smoke $t: FAILED (log: $BUILD/logs/$t-smoke.log)"
      tail -n 30 "$BUILD/logs/$t-smoke.log"
      failed=1
    fi
  done
  return $failed
}

# One target for $1 seconds; prints the executions from libFuzzer's final
# statistics.
fuzz_one() {
  local seconds=$1 t=$2 status=0
  mkdir -p "$BUILD/corpus/$t"
  "$BUILD/fuzz/${t}_fuzzer" "$BUILD/corpus/$t" "fuzz/corpus/$t" \
    -max_total_time="$seconds" -max_len=4096 -timeout=30 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$t-" \
    >"$BUILD/logs/$t.log" 2>&1 || status=$?
  local execs
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$BUILD/logs/$t.log" | tail -n 1)
  if [ $status -eq 0 ]; then
    echo "fuzz $t: ${seconds}s, ${execs:-?} executions, no crash"
  else
    echo "fuzz $t: CRASH after ${execs:-?} executions (exit $status, log: $BUILD/logs/$t.log)"
    ls "$BUILD/artifacts/$t-"* 2>/dev/null || true
  fi
  return $status
}

run() {
  local seconds=$1
  shift
  local running=0 failed=0
  for t in "$@"; do
    if [ $running -ge "$FUZZ_JOBS" ]; then
      wait -n || failed=1
      running=$((running - 1))
    fi
    fuzz_one "$seconds" "$t" &
    running=$((running + 1))
  done
  while [ $running -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
  done
  return $failed
}

mode=${1:-smoke}
shift || true
if [ "$mode" = run ]; then
  seconds=${1:?tools/fuzz.sh run SECONDS [target...]}
  shift
fi
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${ALL_TARGETS[@]}")
build
mkdir -p "$BUILD/logs" "$BUILD/artifacts"
case "$mode" in
  smoke) smoke "${targets[@]}" ;;
  run) run "$seconds" "${targets[@]}" ;;
  *) echo "usage: tools/fuzz.sh smoke|run SECONDS [target...]" >&2; exit 2 ;;
esac
