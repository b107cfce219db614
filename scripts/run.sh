#!/usr/bin/env bash
# Installs what is missing and builds the programs `counter` and `tallbrook` (release build).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROW_TESTS=OFF -DKESTROW_BENCH=OFF >/dev/null
cmake --build build/release -j "$(nproc)"
echo "Built: build/release/webadmin/counter and build/release/adminutil/tallbrook" >&2
