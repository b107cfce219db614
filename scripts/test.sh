#!/usr/bin/env bash
# Installs what is missing, checks that no file includes another folder's internal header
# (scripts/check-includes.py), builds everything and runs every test twice: once in a normal
# build, once under AddressSanitizer and UndefinedBehaviorSanitizer (any report fails); then
# runs every fuzz target for a few seconds (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --tests

jobs=$(nproc)
# Python tests use Debian's interpreter (python3-pil), not a user-installed one.
export KESTROW_PYTHON=/usr/bin/python3

echo "== Layers: includes of other folders' internal headers" >&2
"$KESTROW_PYTHON" scripts/check-includes.py

echo "== Normal build" >&2
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/test -j "$jobs"
ctest --test-dir build/test -j "$jobs" --output-on-failure

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build" >&2
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTROW_SANITIZE=ON -DKESTROW_BENCH=OFF >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan -j "$jobs" --output-on-failure

echo "== Fuzz targets (libFuzzer, a short run each)" >&2
scripts/fuzz.sh "${KESTROW_FUZZ_SECONDS:-10}"
