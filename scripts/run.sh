#!/usr/bin/env bash
# Installs what is missing, builds the programs `counter` and `tallbrook` (release build), and
# serves `counter` as a CGI program through lighttpd on 127.0.0.1 (port 8080, or the first
# argument) until Ctrl-C. The runtime folder, with the database, is build/runtime.
set -euo pipefail
cd "$(dirname "$0")/.."
port=${1:-8080}
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROW_TESTS=OFF -DKESTROW_BENCH=OFF >/dev/null
cmake --build build/release -j "$(nproc)"
echo "Built: build/release/webadmin/counter and build/release/adminutil/tallbrook" >&2
exec scripts/serve.sh build/release/webadmin/counter build/runtime "$port"
