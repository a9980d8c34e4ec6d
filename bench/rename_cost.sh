#!/usr/bin/env bash
# What writing each file under a temporary name and renaming it costs, on
# the large corpus of bench/corpus.sh. The system calls of one extraction
# are counted with strace, ours beside Info-ZIP unzip's in the same run.
# Prints the renames and system calls per file, and the share of the
# system-call time the renames and removals take.
#
# usage: bench/rename_cost.sh BUILD_FOLDER   (holding kvsfx and kvsfx-make)
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
cache=$("$(dirname "$0")/corpus.sh")
work=$(mktemp -d /dev/shm/kvsfx-rename.XXXXXX)
trap 'rm -rf "$work"' EXIT
ln -s "$cache/large.zip" "$work/corpus.zip"
"$build/kvsfx-make" -o "$work/setup" "$work/corpus.zip" >/dev/null

# count TOOL COMMAND...: strace's summary of one extraction into a fresh
# folder, in $work/TOOL.calls.
count() {
  local tool=$1
  shift
  rm -rf "$work/out-calls" && mkdir -p "$work/out-calls"
  strace -f -c -o "$work/$tool.calls" "$@" >/dev/null 2>&1 </dev/null || { echo "failed: $*" >&2; exit 1; }
}
count kvsfx "$work/setup" -auto "$work/out-calls"
files=$(find "$work/out-calls" -type f | wc -l)
count unzip unzip -o -q "$work/corpus.zip" -d "$work/out-calls"
rm -rf "$work/out-calls"

# calls FILE [NAME...]: the calls of the named system calls; of all without
# names. A line of the summary: % time, seconds, usecs/call, calls, [errors,]
# name.
calls() {
  local file=$1
  shift
  awk -v names=" $* " '
    $1 ~ /^[0-9.]+$/ && $NF != "total" && (names == "  " || index(names, " " $NF " ")) { n += $4 }
    END { print n + 0 }' "$file"
}
# share FILE NAME...: percent of the system-call time taken by those calls.
share() {
  local file=$1
  shift
  awk -v names=" $* " '$1 ~ /^[0-9.]+$/ && index(names, " " $NF " ") { p += $1 } END { printf "%.2f", p }' "$file"
}
per_file() { awk -v n="$1" -v f="$files" 'BEGIN { printf "%.2f", n / f }'; }

echo "rename_cost_files: $files"
echo "rename_cost_renames_per_file: $(per_file "$(calls "$work/kvsfx.calls" rename renameat renameat2)")"
echo "rename_cost_syscalls_per_file_kvsfx: $(per_file "$(calls "$work/kvsfx.calls")")"
echo "rename_cost_syscalls_per_file_unzip: $(per_file "$(calls "$work/unzip.calls")")"
echo "rename_cost_rename_time_percent: $(share "$work/kvsfx.calls" rename renameat renameat2 unlink unlinkat)"
