#!/usr/bin/env bash
# Builds the programs and runs the main job: eight simulated handsets on one bench, each given
# an EBoot, a multi-CSC image with a language, a PDA image with a LANGPACK, a Phone image and a
# Telvik image. varnel-mkimage builds the images, varnel-cli runs the job, which ends on
# "[Success] All Download finished.". Arguments go to varnel-cli after the job's own, e.g.
# `--sim-fault 3:wrong-chunk-sum=100` to fail port 3. Installs the Debian packages it needs.
#   BUILD_DIR   build directory (default: build)
#   OUT_DIR     images, report and logs of the job (default: BUILD_DIR/bench-job)
#   JOBS        parallel jobs (default: all cores)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build_dir="${BUILD_DIR:-build}"
out_dir="${OUT_DIR:-$build_dir/bench-job}"
jobs="${JOBS:-$(nproc)}"

# The programs link the platform layer, whose USB transport needs libusb.
scripts/install-deps.sh build usb
# The job needs neither the tests nor the benchmarks, so a bare machine needs no test packages.
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVARNEL_BUILD_TESTS=OFF -DVARNEL_BUILD_BENCH=OFF -DVARNEL_WERROR=ON
cmake --build "$build_dir" -j"$jobs" --target varnel-cli varnel-mkimage
programs="$build_dir/src/app/programs"

images="$out_dir/images"
rm -rf "$out_dir"
mkdir -p "$images"
"$programs/varnel-mkimage" --size 256K "$images/eboot.eb0"
"$programs/varnel-mkimage" --multi --csc-file EUR:64K --csc-file NEE:64K --languages 5,7,8 \
  "$images/multi.csc"
"$programs/varnel-mkimage" --size 8M --langpack 1M "$images/pda.nb0"
"$programs/varnel-mkimage" --size 2M "$images/modem.bin"
"$programs/varnel-mkimage" --first 1M --second 512K "$images/telvik.mst"

status=0
"$programs/varnel-cli" \
  --eboot "$images/eboot.eb0" --csc "$images/multi.csc" --language 1 \
  --pda "$images/pda.nb0" --phone "$images/modem.bin" --telvik "$images/telvik.mst" \
  --skip-boot-wait --simulate 8 --ports 8 \
  --log "$out_dir/main.log" --port-logs "$out_dir/ports" --report "$out_dir/report.json" \
  "$@" || status=$?
echo "run-bench-job.sh: report, main log and port logs are in $out_dir (exit status $status)" >&2
exit "$status"
