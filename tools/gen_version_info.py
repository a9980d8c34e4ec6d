#!/usr/bin/env python3
"""Writes the stub's version resource: a VS_VERSIONINFO block, raw.

    gen_version_info.py OUTPUT

The resource compiler writes each string of a VERSIONINFO statement at its
exact length, and the builder must be able to put the publisher's texts in
the same place without moving anything. So the block is written here: each
string's structure (wLength) keeps a fixed room, its value is the default
text and zero units up to the end of that room, and wValueLength counts the
text and its terminator only. kvsfx-make writes other texts into the same
room (tools/make/version_info.cpp), and the numbers of the fixed part.

Layout (every structure aligned to 4 bytes from the block's start):
  VS_VERSIONINFO  "VS_VERSION_INFO", a VS_FIXEDFILEINFO of 52 bytes
    StringFileInfo
      StringTable "040C04B0" (French, UTF-16)
        String * 6
    VarFileInfo
      Var "Translation" = 0x040C, 1200
"""
import struct
import sys

VERSION = (1, 0, 0, 0)
VERSION_TEXT = '1.0.0.0'

# key, room in UTF-16 units (terminator included; even, so that every value
# ends on a 4-byte boundary), text of the bare stub
STRINGS = [
    ('CompanyName', 64, 'Kelvra'),
    ('FileDescription', 64, 'Kelvra Self-Extractor'),
    ('FileVersion', 24, VERSION_TEXT),
    ('LegalCopyright', 64, 'Kelvra'),
    ('ProductName', 64, 'Kelvra Self-Extractor'),
    ('ProductVersion', 24, VERSION_TEXT),
]

VS_FF_SIGNATURE = 0xFEEF04BD
VOS_NT_WINDOWS32 = 0x40004
VFT_APP = 1


def pad4(data):
    return data + b'\0' * (-len(data) % 4)


def node(key, value, value_length, kind, children=b''):
    """One structure: header, key, padding, value, padding, children."""
    head = pad4(struct.pack('<HHH', 0, value_length, kind) + (key + '\0').encode('utf-16-le'))
    body = head + pad4(value) + children
    return struct.pack('<H', len(body)) + body[2:]


def string(key, room, text):
    assert room % 2 == 0 and len(text) < room
    value = (text + '\0' * (room - len(text))).encode('utf-16-le')
    return node(key, value, len(text) + 1, 1)


def version_info():
    major, minor, build, revision = VERSION
    ms, ls = (major << 16) | minor, (build << 16) | revision
    fixed = struct.pack('<13I', VS_FF_SIGNATURE, 0x10000, ms, ls, ms, ls, 0x3F, 0, VOS_NT_WINDOWS32, VFT_APP,
                        0, 0, 0)
    table = node('040C04B0', b'', 0, 1, b''.join(string(*entry) for entry in STRINGS))
    strings = node('StringFileInfo', b'', 0, 1, table)
    variables = node('VarFileInfo', b'', 0, 1, node('Translation', struct.pack('<HH', 0x040C, 1200), 4, 0))
    return node('VS_VERSION_INFO', fixed, len(fixed), 0, strings + variables)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1], 'wb') as out:
        out.write(version_info())


if __name__ == '__main__':
    main()
