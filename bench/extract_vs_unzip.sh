#!/usr/bin/env bash
# Extraction speed of the Linux stub against the usual tools, on one zip of
# mixed data (headers and documentation text, programs and libraries) of
# at least 100 MB, made by Info-ZIP zip at its default level. Each tool
# extracts into an empty folder, three times, in the same run; the best time
# counts. Prints extract_vs_unzip (unzip's time divided by ours, higher is
# better) and the times of unzip, 7z and bsdtar beside ours.
#
# usage: bench/extract_vs_unzip.sh BUILD_FOLDER   (holding kvsfx and kvsfx-make)
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
work="$build/bench-extract"
corpus="$work/corpus"
mkdir -p "$work"

# The corpus: files from this machine under short numbered names (the stub
# keeps names under 260 characters), taken in a fixed order: C headers up
# to 50 MB, then programs and libraries up to 110 MB in all.
if [ ! -f "$work/corpus.zip" ]; then
  rm -rf "$corpus" && mkdir -p "$corpus"
  total=0 count=0
  take() {  # take LIMIT: copies the listed files until the corpus holds LIMIT bytes
    local limit=$1 file size name extension folder
    while IFS= read -r file; do
      [ "$total" -ge "$limit" ] && return 0
      size=$(stat -c %s "$file")
      [ "$size" -gt 0 ] && [ "$size" -lt $((8 * 1024 * 1024)) ] || continue
      folder="$corpus/d$((count / 200))"
      mkdir -p "$folder"
      name=$(basename "$file")
      extension="${name##*.}"; [ "$extension" = "$name" ] && extension=bin
      cp "$file" "$folder/f$count.${extension:0:8}"
      total=$((total + size)); count=$((count + 1))
    done
  }
  take $((50 * 1024 * 1024)) < <(find /usr/include -type f -name '*.h' 2>/dev/null | sort)
  take $((110 * 1024 * 1024)) < <(find /usr/bin /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f 2>/dev/null | sort)
  (cd "$corpus" && zip -q -r -X "$work/corpus.zip" .)
fi
"$build/kvsfx-make" -o "$work/setup" "$work/corpus.zip" >/dev/null

# Nanoseconds one extraction into a fresh folder takes.
elapsed() {
  rm -rf "$work/out" && mkdir -p "$work/out"
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 </dev/null || { echo "failed: $*" >&2; exit 1; }
  end=$(date +%s%N)
  echo $((end - start))
}

# Three rounds, the tools taking turns within each round so that whatever
# else the machine does falls on all of them alike; the best time counts.
declare -A best
tools=(kvsfx unzip 7z bsdtar)
for round in 1 2 3; do
  for tool in "${tools[@]}"; do
    case $tool in
      kvsfx)  t=$(elapsed "$work/setup" -auto "$work/out") ;;
      unzip)  t=$(elapsed unzip -o -q "$work/corpus.zip" -d "$work/out") ;;
      7z)     t=$(elapsed 7z x -y "-o$work/out" "$work/corpus.zip") ;;
      bsdtar) t=$(elapsed bsdtar -xf "$work/corpus.zip" -C "$work/out") ;;
    esac
    if [ -z "${best[$tool]:-}" ] || [ "$t" -lt "${best[$tool]}" ]; then best[$tool]=$t; fi
  done
done
rm -rf "$work/out"

seconds() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }
echo "extract_vs_unzip: $(awk -v a="${best[unzip]}" -v b="${best[kvsfx]}" 'BEGIN { printf "%.2f", a / b }')"
for tool in "${tools[@]}"; do echo "extract_seconds_$tool: $(seconds "${best[$tool]}")"; done
echo "extract_corpus_mb: $(du -sm "$corpus" | cut -f1)"
