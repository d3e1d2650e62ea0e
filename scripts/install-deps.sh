#!/usr/bin/env bash
# Installs the Debian packages a task needs. Usage: install-deps.sh GROUP...
#   build  compiler and build tools (enough for the simulated bench job)
#   test   unit tests and benchmarks
#   ci     sanitizer and fuzzing toolchain (clang)
#   cross  mingw-w64 cross compiler and Wine for the Windows-side tests
set -euo pipefail
declare -A groups=(
  [build]="cmake g++ ninja-build make"
  [test]="cmake g++ ninja-build make libgtest-dev libgmock-dev libbenchmark-dev"
  [ci]="clang libclang-rt-14-dev"
  [cross]="g++-mingw-w64-x86-64-posix mingw-w64-tools wine64"
)
wanted=()
for group in "$@"; do
  [[ -n "${groups[$group]+x}" ]] || { echo "install-deps.sh: unknown group '$group'" >&2; exit 2; }
  read -ra names <<<"${groups[$group]}"
  wanted+=("${names[@]}")
done
missing=()
for name in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed' || missing+=("$name")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
