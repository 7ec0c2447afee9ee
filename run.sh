#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on a generated demo library.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "${SONORIX_JOBS:-$(nproc)}" --target sonorix-cli

library="$(./scripts/make-demo-library)"
echo "Demo library: $library"
./build/sonorix-cli info --library "$library"
