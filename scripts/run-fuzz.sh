#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer), writes
# their seed corpus with the image builder and runs each target for a bounded time. Exits non-zero
# when a target crashes or a sanitizer reports.
#   VARNEL_FUZZ_SECONDS  seconds per target (default 60)
#   VARNEL_FUZZ_BUILD    build directory (default build-fuzz in the checkout)
#   VARNEL_FUZZ_JOBS     parallel build jobs and targets run at once (default 2)
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

# fuzz_one TARGET: runs one target for its time; its outcome is left in TARGET.status.
fuzz_one() {
  local target=$1 corpus=$build/fuzz-corpus/$1 log=$build/fuzz-artifacts/$1.log status=0
  mkdir -p "$corpus"
  "$build/fuzz/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$target-" \
    "$corpus" "$seeds/$target" >"$log" 2>&1 || status=$?
  if ((status == 0)) && grep -aqE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
    status=1
  fi
  echo "$status" >"$build/fuzz-artifacts/$target.status"
}

# As many targets at a time as there are jobs: each still gets its whole time.
for ((first = 0; first < ${#targets[@]}; first += jobs)); do
  for target in "${targets[@]:first:jobs}"; do
    echo "run-fuzz: $target for ${seconds}s"
    fuzz_one "$target" &
  done
  wait
done

failed=0
for target in "${targets[@]}"; do
  log=$build/fuzz-artifacts/$target.log
  if [[ "$(cat "$build/fuzz-artifacts/$target.status" 2>/dev/null)" != 0 ]]; then
    echo "run-fuzz: $target FAILED; see $log" >&2
    tail -n 40 "$log" >&2
    failed=1
  else
    grep -aE '^stat::number_of_executed_units|^Done' "$log" | sed "s/^/run-fuzz: $target: /" || true
  fi
done
exit "$failed"
