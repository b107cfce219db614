#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for SECONDS (default 10), starting from the seed
# corpus the tests make. A crash, leak, timeout or memory blow-up fails the run and leaves its
# input in build/fuzz/artifacts/. Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(gif bmp icon ani_cursor skin_file multipart cgi_fields capabilities param_list typed_stream storage_open)
fi

cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DKESTROW_FUZZ=ON -DKESTROW_TESTS=OFF -DKESTROW_GUI=OFF -DKESTROW_BENCH=OFF >/dev/null
cmake --build build/fuzz -j "${KESTROW_JOBS:-$(nproc)}"
build/fuzz/tests/fuzz/fuzz_seeds build/fuzz/seeds

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p build/fuzz/artifacts
for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  inputs=("$corpus" build/fuzz/seeds/"$target")
  [[ -d tests/fuzz/reproducers/$target ]] && inputs+=(tests/fuzz/reproducers/"$target")
  echo "== fuzz_$target for ${seconds} s" >&2
  # Inputs found earlier stay in the corpus. -timeout, -rss_limit_mb and -malloc_limit_mb turn
  # an input that makes a reader work or allocate far beyond its size (a gigabyte block, say)
  # into a failure.
  build/fuzz/tests/fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=1000 \
    -print_final_stats=0 -artifact_prefix=build/fuzz/artifacts/"$target"- \
    "${inputs[@]}" 2>build/fuzz/"$target".log ||
    { tail -n 40 build/fuzz/"$target".log >&2; echo "fuzz_$target failed: see build/fuzz/artifacts/" >&2; exit 1; }
  grep -E '^Done' build/fuzz/"$target".log >&2 || true
done
