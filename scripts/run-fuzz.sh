#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer), writes
# their seed corpus with the image builder and runs each target for a bounded time. Exits non-zero
# when a target crashes or a sanitizer reports.
#   VARNEL_FUZZ_SECONDS  seconds per target (default 60)
#   VARNEL_FUZZ_BUILD    build directory (default build-fuzz in the checkout)
#   VARNEL_FUZZ_JOBS     parallel build jobs (default 2)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VARNEL_FUZZ_BUILD:-$root/build-fuzz}
seconds=${VARNEL_FUZZ_SECONDS:-60}
jobs=${VARNEL_FUZZ_JOBS:-2}
targets=(fuzz_csc_parser fuzz_pda_header fuzz_telvik_header fuzz_integrated_image)

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVARNEL_BUILD_FUZZ=ON -DVARNEL_BUILD_TESTS=OFF -DVARNEL_BUILD_BENCH=OFF \
  -DVARNEL_PORTABLE_ONLY=ON -DVARNEL_SANITIZE=address,undefined -DVARNEL_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}" varnel_fuzz_seeds

seeds=$build/fuzz-seeds
rm -rf "$seeds"
"$build/fuzz/varnel_fuzz_seeds" "$seeds"
mkdir -p "$build/fuzz-artifacts"

failed=0
for target in "${targets[@]}"; do
  corpus=$build/fuzz-corpus/$target
  log=$build/fuzz-artifacts/$target.log
  mkdir -p "$corpus"
  echo "run-fuzz: $target for ${seconds}s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$target-" \
      "$corpus" "$seeds/$target" >"$log" 2>&1 \
    || grep -aqE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
    echo "run-fuzz: $target FAILED; see $log" >&2
    tail -n 40 "$log" >&2
    failed=1
  else
    grep -aE '^stat::number_of_executed_units|^Done' "$log" | sed "s/^/run-fuzz: $target: /" || true
  fi
done
exit "$failed"
