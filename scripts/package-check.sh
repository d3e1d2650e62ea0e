#!/usr/bin/env bash
# Builds the Debian packages, lints them, installs them, runs the installed programs, then
# removes them and checks that nothing but their conffiles is left. Run as root on a machine
# where the packages are not installed otherwise (CI); safe to run again.
#   BUILD_DIR   build directory; one made by scripts/build-and-test.sh is reused (default: build)
#   JOBS        parallel jobs (default: all cores)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build_dir="${BUILD_DIR:-build}"
jobs="${JOBS:-$(nproc)}"
packages=(varnel-downloader varnel-tools)
conffiles=(/etc/varnel/usb-ids)

scripts/install-deps.sh build usb qt pkg
if [[ -f "$build_dir/CMakeCache.txt" ]]; then
    # Configure again: help2man and the validators may have been installed since.
    cmake -S . -B "$build_dir"
else
    cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVARNEL_BUILD_TESTS=OFF -DVARNEL_BUILD_BENCH=OFF
fi
cmake --build "$build_dir" -j"$jobs"
if grep -q '^VARNEL_BUILD_TESTS:BOOL=ON' "$build_dir/CMakeCache.txt"; then
    ctest --test-dir "$build_dir" -L packaging --output-on-failure --no-tests=error </dev/null
fi

out="$build_dir/packages"
rm -rf "$out"
(cd "$build_dir" && cpack -G DEB)
debs=("$out"/*.deb)
if ((${#debs[@]} != ${#packages[@]})); then
    echo "package-check.sh: expected ${#packages[@]} .deb files in $out" >&2
    exit 1
fi
for deb in "${debs[@]}"; do
    echo "--- $(basename "$deb")"
    dpkg-deb --field "$deb" Package Version Depends
done

# Errors and warnings fail the check (informational tags such as hardening flags do not).
lintian --fail-on error,warning "${debs[@]}" "$out"/*.ddeb

# Removes whatever an earlier run left installed, then installs the fresh packages.
dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
dpkg -i "${debs[@]}"

bin=/usr/bin
"$bin/varnel-cli" --version
job=$(mktemp -d)
trap 'rm -rf "$job"' EXIT
"$bin/varnel-mkimage" --size 256K "$job/pda.nb0"
"$bin/varnel-cli" --pda "$job/pda.nb0" --skip-boot-wait --simulate 1 --report "$job/report.json" \
    </dev/null
grep -q '"state": "finished"' "$job/report.json"

dpkg -r "${packages[@]}"
left=$(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${packages[@]}" 2>/dev/null |
    awk '$1 != "rc" && $1 != "un"' || true)
[[ -z "$left" ]] || { echo "package-check.sh: still installed: $left" >&2; exit 1; }
# Every file the packages carried is gone, except the conffiles that dpkg -r keeps by design.
for deb in "${debs[@]}"; do
    while read -r path; do
        path=${path#.}
        [[ -z "$path" || -d "$path" ]] && continue
        if [[ -e "$path" || -L "$path" ]] &&
            ! printf '%s\n' "${conffiles[@]}" | grep -qxF "$path"; then
            echo "package-check.sh: $path is left behind by dpkg -r" >&2
            exit 1
        fi
    done < <(dpkg-deb --fsys-tarfile "$deb" | tar -t)
done
for file in "${conffiles[@]}"; do
    [[ -e "$file" ]] || { echo "package-check.sh: conffile $file was not kept" >&2; exit 1; }
done
dpkg --purge "${packages[@]}"
for file in "${conffiles[@]}"; do
    [[ ! -e "$file" ]] || { echo "package-check.sh: $file is left after purging" >&2; exit 1; }
done
echo "package-check.sh: ${debs[*]##*/} built, lint-clean, installed, ran and removed"
