#!/usr/bin/env bash
# Installs the Windows installer silently under Wine into a fresh folder, checks what it left,
# then uninstalls it silently and checks that nothing is left: install-check.sh PREFIX INSTALLER
set -euo pipefail
(($# == 2)) || { echo "usage: install-check.sh PREFIX INSTALLER" >&2; exit 2; }
prefix=$1
installer=$2
run="$(cd "$(dirname "$0")/../.." && pwd)/cmake/wine-run.sh"
target=$(mktemp -d)
trap 'rm -rf "$target"' EXIT
# No blank in it: NSIS takes /D unquoted, and Wine quotes an argument with a blank.
folder="$target/VarnelDownloader"
windows_folder="Z:${folder//\//\\}"
failed=0
check() { # check DESCRIPTION COMMAND...
    if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failed=1; fi
}

"$run" "$prefix" "$installer" /S "/D=$windows_folder" </dev/null
check "the window program is installed" test -f "$folder/varnel-downloader.exe"
check "the boot-loader driver file is beside the programs" \
    cmp -s "$(dirname "$0")/varnel-bootloader.inf" "$folder/varnel-bootloader.inf"
check "the uninstaller is installed" test -f "$folder/uninstall.exe"
check "the installed program runs" \
    bash -c '"$0" "$1" "$2" --version </dev/null | grep -q "^varnel-downloader "' \
    "$run" "$prefix" "$folder/varnel-downloader.exe"
check "the uninstall entry is registered" bash -c \
    '"$0" "$1" reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VarnelDownloader" /v DisplayName </dev/null | grep -q "Varnel Downloader"' \
    "$run" "$prefix"

# _? runs the uninstaller where it is and waits for it (it cannot then remove itself).
"$run" "$prefix" "$folder/uninstall.exe" /S "_?=$windows_folder" </dev/null
check "the programs are removed" test ! -e "$folder/varnel-downloader.exe"
check "the driver file is removed" test ! -e "$folder/varnel-bootloader.inf"
check "the licence is removed" test ! -e "$folder/LICENSE.txt"
check "the uninstall entry is removed" bash -c \
    '! "$0" "$1" reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VarnelDownloader" </dev/null >/dev/null 2>&1' \
    "$run" "$prefix"
exit "$failed"
