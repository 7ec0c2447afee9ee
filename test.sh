#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
# Environment: SONORIX_JOBS (parallel build jobs), SONORIX_SKIP_SANITIZERS=1 to skip the
# sanitized runs of the concurrency tests, SONORIX_SKIP_FUZZ=1 to skip the short fuzz runs.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
jobs="${SONORIX_JOBS:-$(nproc)}"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
# A temporary data folder keeps the tests away from the user's own.
export XDG_DATA_HOME="$(mktemp -d)"
trap 'rm -rf "$XDG_DATA_HOME"' EXIT
ctest --test-dir build --output-on-failure -j "$jobs"

# Short fuzz runs of the checks that guard in-place edits, the MPEG-4 reader and the property-list
# reader's strategies against each other; scripts/fuzz.sh runs them for as long as you like. Only
# a failure prints the fuzzer's whole output.
if [ "${SONORIX_SKIP_FUZZ:-0}" != 1 ]; then
  for target in fuzz_inplace_check fuzz_mp4_nesting fuzz_plist; do
    log="$(mktemp)"
    if ! SONORIX_JOBS="$jobs" ./scripts/fuzz.sh "$target" 30 >"$log" 2>&1; then
      tail -n 100 "$log"
      echo "$target failed" >&2
      exit 1
    fi
    echo "$target: $(grep -E '^Done [0-9]+ runs' "$log")"
    rm -f "$log"
  done
fi

if [ "${SONORIX_SKIP_SANITIZERS:-0}" != 1 ]; then
  for kind in thread address; do
    dir="build-$kind"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSONORIX_SANITIZE="$kind" \
      -DSONORIX_BUILD_UI=OFF -DSONORIX_BUILD_BENCH=OFF >/dev/null
    cmake --build "$dir" -j "$jobs"
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
      ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
      LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
      ctest --test-dir "$dir" --output-on-failure -j "$jobs"
  done
fi
