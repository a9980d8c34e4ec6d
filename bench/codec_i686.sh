#!/usr/bin/env bash
# The inflater against zlib on the product's processor, 32-bit x86: prints
# inflate_vs_zlib_i686 and crc32_vs_zlib_i686, each with a line saying how
# it was measured, or "inflate_vs_zlib_i686: skipped: REASON".
#
# usage: bench/codec_i686.sh WIN32_BUILD_FOLDER   (holding bench/bench_codec.exe)
#
# First choice: bench_codec.exe, the i686 Windows build (the product's
# compiler, MinGW's zlib), under the WoW64 Wine of tests/wine. That Wine
# runs 32-bit code in a 64-bit process and needs the kernel's IA-32
# emulation, which some kernels leave out (ia32_emulation=off, or a virtual
# machine without compatibility mode); a 32-bit program tells at once.
# Then: the same benchmark built for i686 Linux, static, with the product's
# flags for the codec (486 code, the inflater at -Os, the CRC-32 and the
# output stage at -O2) against Debian's i386 zlib, run under qemu-i386 in
# user mode, which translates every instruction and system call and needs
# nothing of the kernel. Both decoders run under the same emulator in the
# same process, so the figure is a ratio of emulated processor times: the
# emulator's costs are not a 32-bit processor's, and the figure says so.
#
# The corpus is smaller than the native benchmark's (KVSFX_BENCH_CORPUS_MB,
# default 24 here): emulated code runs several times slower.
set -euo pipefail
cd "$(dirname "$0")/.."
win32=${1:?win32 build folder}
work=build/i686-linux
mkdir -p "$work"
export KVSFX_BENCH_CORPUS_MB=${KVSFX_BENCH_CORPUS_MB:-24}

# figures HOW < bench_codec output: the i686 lines.
figures() {
  local how=$1 line
  while IFS= read -r line; do
    case $line in
      inflate_vs_zlib:* | crc32_vs_zlib:*)
        echo "${line%%:*}_i686:${line#*:}"
        echo "${line%%:*}_i686_how: $how"
        ;;
    esac
  done
}

# Does this kernel run 32-bit x86 code? A 32-bit ELF program of three
# instructions (exit 0) answers.
runs_32bit_code() {
  local probe=$work/exit0-i386
  python3 - "$probe" <<'EOF'
import struct, sys
code = bytes([0xB8, 1, 0, 0, 0, 0x31, 0xDB, 0xCD, 0x80])  # exit(0) through int 0x80
base, header, program = 0x08048000, 52, 32
ident = b'\x7fELF' + bytes([1, 1, 1]) + bytes(9)
elf = ident + struct.pack('<HHIIIIIHHHHHH', 2, 3, 1, base + header + program, header, 0, 0, header, program, 1, 0, 0, 0)
size = header + program + len(code)
elf += struct.pack('<8I', 1, 0, base, base, size, size, 5, 0x1000) + code
with open(sys.argv[1], 'wb') as out:
    out.write(elf)
EOF
  chmod +x "$probe"
  "$probe" 2>/dev/null
}

# 1. The Windows build under the WoW64 Wine.
reason=""
if [ ! -f "$win32/bench/bench_codec.exe" ]; then
  reason="no $win32/bench/bench_codec.exe (MinGW's static zlib missing?)"
elif ! runs_32bit_code; then
  reason="this kernel runs no 32-bit code (IA-32 emulation off or not offered), so neither does Wine's WoW64"
else
  status=0
  output=$(tests/wine/run.sh --wow64 "$win32/bench/bench_codec.exe") || status=$?
  if [ "$status" = 0 ] && grep -q '^inflate_vs_zlib:' <<<"$output"; then
    figures "i686 Windows build under the WoW64 Wine" <<<"$output"
    exit 0
  fi
  reason="bench_codec.exe under the WoW64 Wine ended with code $status"
fi
echo "bench_codec.exe not run: $reason" >&2

# 2. The i686 Linux build under qemu-i386.
if ! command -v qemu-i386 >/dev/null || ! command -v g++ >/dev/null ||
   [ ! -f /usr/lib/i386-linux-gnu/libz.a ] || [ ! -f /usr/lib/i386-linux-gnu/libdeflate.a ]; then
  echo "inflate_vs_zlib_i686: skipped: $reason; and qemu-user, g++-multilib, zlib1g-dev:i386 or libdeflate-dev:i386 is missing (script/deps --bench)"
  exit 0
fi
flags=(-m32 -march=i486 -std=c++17 -Isrc -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
       -fno-threadsafe-statics -DNDEBUG)
sources=(src/startup/*.cpp src/resources/*.cpp src/archive/*.cpp src/codec/*.cpp src/output/*.cpp src/ui/*.cpp
         src/failure/*.cpp src/platform/posix/*.cpp src/ui/terminal/*.cpp)
objects=()
for source in "${sources[@]}"; do
  [ "$source" = src/platform/posix/main.cpp ] && continue
  case $source in
    src/codec/crc.cpp | src/codec/output.cpp) level=-O2 ;;
    *) level=-Os ;;
  esac
  object=$work/$(echo "${source#src/}" | tr / _).o
  objects+=("$object")
  g++ "${flags[@]}" "$level" -c "$source" -o "$object" &
  # Two compilers at a time.
  while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n; done
done
wait
g++ -m32 -std=c++17 -O2 -Isrc -c bench/bench_codec.cpp -o "$work/bench_codec.o"
g++ -m32 -static -o "$work/bench_codec" "$work/bench_codec.o" "${objects[@]}" \
    -L/usr/lib/i386-linux-gnu -ldeflate -lz
status=0
output=$(qemu-i386 "$work/bench_codec") || status=$?
if [ "$status" != 0 ] || ! grep -q '^inflate_vs_zlib:' <<<"$output"; then
  echo "inflate_vs_zlib_i686: skipped: $reason; and the i686 Linux build under qemu-i386 ended with code $status"
  exit 0
fi
figures "emulated: i686 Linux build under qemu-i386 (user mode), ours and zlib under the same emulator, ${KVSFX_BENCH_CORPUS_MB} MB" <<<"$output"
