#!/usr/bin/env python3
"""Drops the zero bytes that end a section's file data in a PE image.

    trim_section_zeros.py IMAGE SECTION

The loader fills a section's memory past its file data (SizeOfRawData) up
to its VirtualSize with zeros, so zeros at the end of the file data are
bytes the file carries for nothing. The stub's linker script puts its
zero-filled variables (about 140 KB) at the end of its data section, which
saves the section of their own and, in the PE32 product, a block of
headers; the linker writes them out as zeros, and this step takes them
back out: the section keeps its file data up to its last byte that is not
zero, rounded up to the file alignment, and the sections after it move
down by as many bytes. Their addresses in memory do not change; nothing in
the image holds a file offset but the section table. The header checksum
is computed again. The image is rewritten in place; a second run changes
nothing.
"""
import struct
import sys


# The header checksum: the file's 16-bit words summed with the carries
# folded back, the checksum field taken as zero, plus the file's length.
# tests/windows/check_pe.py computes it on its own to check this result.
def pe_checksum(data, field):
    words = bytearray(data)
    words[field:field + 4] = b'\0\0\0\0'
    if len(words) % 2:
        words.append(0)
    total = sum(struct.unpack('<%dH' % (len(words) // 2), words))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def trim(data, wanted):
    nt = struct.unpack_from('<I', data, 0x3C)[0]
    if data[:2] != b'MZ' or data[nt:nt + 4] != b'PE\0\0':
        raise ValueError('not a PE image')
    count, optional_size = struct.unpack_from('<H', data, nt + 6)[0], struct.unpack_from('<H', data, nt + 20)[0]
    optional = nt + 24
    file_alignment = struct.unpack_from('<I', data, optional + 36)[0]
    table = optional + optional_size
    sections = []
    for i in range(count):
        at = table + 40 * i
        name = data[at:at + 8].rstrip(b'\0').decode()
        raw_size, raw_offset = struct.unpack_from('<II', data, at + 16)
        sections.append((name, at, raw_size, raw_offset))
    found = [s for s in sections if s[0] == wanted]
    if len(found) != 1:
        raise ValueError('%d sections named %s' % (len(found), wanted))
    _, header, raw_size, raw_offset = found[0]
    content = data[raw_offset:raw_offset + raw_size]
    used = len(content.rstrip(b'\0'))
    kept = (used + file_alignment - 1) // file_alignment * file_alignment
    cut = raw_size - kept
    if cut == 0:
        return data
    out = bytearray(data[:raw_offset + kept])
    struct.pack_into('<I', out, header + 16, kept)
    # Every section whose data lies after the trimmed one moves down, in
    # file order; anything after the last section (there is nothing in the
    # stub) moves with it.
    end = raw_offset + raw_size
    for name, at, size, offset in sorted(sections, key=lambda s: s[3]):
        if offset >= end and size:
            struct.pack_into('<I', out, at + 20, offset - cut)
    out += data[end:]
    # SizeOfInitializedData counts file data.
    initialized = struct.unpack_from('<I', out, optional + 8)[0]
    struct.pack_into('<I', out, optional + 8, max(0, initialized - cut))
    struct.pack_into('<I', out, optional + 64, pe_checksum(out, optional + 64))
    return bytes(out)


def main():
    path, section = sys.argv[1], sys.argv[2]
    data = open(path, 'rb').read()
    try:
        result = trim(data, section)
    except (ValueError, struct.error) as error:
        print('trim_section_zeros.py: %s: %s' % (path, error), file=sys.stderr)
        return 1
    if result != data:
        with open(path, 'wb') as out:
            out.write(result)
    return 0


if __name__ == '__main__':
    sys.exit(main())
