#!/usr/bin/env bash
# Builds a libFuzzer target with clang in its own folder and runs it.
# Usage: scripts/fuzz.sh [TARGET] [SECONDS]   (default: fuzz_plist for 600 seconds)
# The corpus is kept in build-fuzz/corpus-TARGET; crashes land in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."

target="${1:-fuzz_plist}"
seconds="${2:-600}"
dir=build-fuzz

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is needed (scripts/install-deps.sh installs it)" >&2
  exit 2
fi
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSONORIX_BUILD_FUZZ=ON -DSONORIX_BUILD_UI=OFF -DSONORIX_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "${SONORIX_JOBS:-2}" --target "$target"

corpus="$dir/corpus-$target"
mkdir -p "$corpus"
# Seed with real structure: the project's own property lists, and generated tags and atoms for
# the structure checks.
case "$target" in
  fuzz_inplace_check|fuzz_mp4_nesting) ./scripts/make-fuzz-seeds "$target" "$corpus" ;;
  *) if [ -d tests/fuzz/seeds ]; then cp -n tests/fuzz/seeds/* "$corpus"/ 2>/dev/null || true; fi ;;
esac
cd "$dir"
exec "./tests/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 "corpus-$target"
