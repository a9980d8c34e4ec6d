#!/usr/bin/env bash
# Size of the product, the PE32 stub: every user downloads it with every
# self-extracting file. Prints stub_kib_win32 (KiB, one decimal; the target
# is at most 48).
#
# usage: bench/stub_size.sh WIN32_BUILD_FOLDER   (holding kvsfx32.exe)
set -euo pipefail
stub="${1:?win32 build folder}/kvsfx32.exe"
bytes=$(stat -c %s "$stub")
awk -v bytes="$bytes" 'BEGIN { printf "stub_kib_win32: %.1f\n", bytes / 1024 }'
