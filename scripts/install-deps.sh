#!/usr/bin/env bash
# Installs the Debian packages a task needs. Usage: install-deps.sh GROUP...
#   build  compiler and build tools (enough for the simulated bench job)
#   test   unit tests and benchmarks, the MQTT broker and its clients for the line's tests
#   ci     sanitizer and fuzzing toolchain (clang)
#   cross  mingw-w64 cross compiler and Wine for the Windows-side tests, a virtual display for
#          the Windows window's screenshots, NSIS and zip for its installer
#   usb    libusb, libudev and libsystemd for the Linux platform layer, umockdev for its tests,
#          libmosquitto for the line's broker
#   qt     Qt 6 Widgets and Test for the desktop window, a real font for its pixel tests and a
#          Korean one for its warnings
#   pkg    the Debian packaging: shlibdeps, lintian, help2man, desktop-file and AppStream
#          validators, and the Korean font the packages depend on
set -euo pipefail
declare -A groups=(
  [build]="cmake g++ ninja-build make libcli11-dev nlohmann-json3-dev libsqlite3-dev"
  [test]="cmake g++ ninja-build make libcli11-dev nlohmann-json3-dev libsqlite3-dev libgtest-dev libgmock-dev libbenchmark-dev mosquitto mosquitto-clients openssl"
  [ci]="clang libclang-rt-14-dev"
  [cross]="g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 googletest xvfb xauth nsis zip"
  [usb]="pkg-config libusb-1.0-0-dev libudev-dev libsystemd-dev umockdev libumockdev-dev libmosquitto-dev"
  [qt]="qt6-base-dev fonts-dejavu-core fonts-nanum"
  [pkg]="dpkg-dev file lintian help2man desktop-file-utils appstream fonts-nanum"
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
  sudo=()
  if ((EUID != 0)); then
    command -v sudo >/dev/null || {
      echo "install-deps.sh: run as root to install: ${missing[*]}" >&2
      exit 1
    }
    sudo=(sudo)
  fi
  echo "install-deps.sh: installing ${missing[*]}"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
fi
