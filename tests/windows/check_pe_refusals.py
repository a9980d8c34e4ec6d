#!/usr/bin/env python3
"""The static check of the PE32 stub refuses what it is meant to refuse.

    check_pe_refusals.py kvsfx32.exe

Copies of the stub, each spoilt in one way, must each be refused with the
reason named: a CMOV instruction in the code, an import from the C runtime
DLL, a link time, the terminal-server flag cleared, a randomised base asked
for without relocations, a stale header checksum, bytes beyond the size the
product is held to.
The stub itself must pass.
"""
import os
import struct
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_pe import PeFile, check  # noqa: E402


def spoil_code(data):
    """The first `mov 0x8(%ebp),%eax` of the code becomes `cmove %edx,%eax`."""
    pe = PeFile(bytes(data))
    name, _, size, raw = pe.sections[0]
    assert name == '.text', name
    at = data.index(b'\x8b\x45\x08', raw, raw + size)
    data[at:at + 3] = b'\x0f\x44\xc2'


def spoil_import(data):
    at = data.index(b'ADVAPI32.dll\0')
    data[at:at + 13] = b'msvcrt.dll\0\0\0'


def spoil_timestamp(data):
    nt = struct.unpack_from('<I', data, 0x3C)[0]
    struct.pack_into('<I', data, nt + 8, 0x6B1671C2)


def spoil_flags(data):
    nt = struct.unpack_from('<I', data, 0x3C)[0]
    at = nt + 24 + 70
    struct.pack_into('<H', data, at, struct.unpack_from('<H', data, at)[0] & ~0x8000)


def spoil_base(data):
    nt = struct.unpack_from('<I', data, 0x3C)[0]
    at = nt + 24 + 70
    struct.pack_into('<H', data, at, struct.unpack_from('<H', data, at)[0] | 0x40)


def spoil_size(data):
    data += bytes(49 * 1024 - len(data) + 1)


def spoil_checksum(data):
    nt = struct.unpack_from('<I', data, 0x3C)[0]
    struct.pack_into('<I', data, nt + 24 + 64, 0x1C39B)


CASES = [
    (spoil_code, 'a 486 does not have'),
    (spoil_import, 'imports from msvcrt.dll'),
    (spoil_timestamp, 'holds a link time'),
    (spoil_flags, 'lack 0x8000'),
    (spoil_base, 'expected no relocations and a fixed base'),
    (spoil_size, 'more than 49152'),
    (spoil_checksum, 'header checksum 0x1c39b'),
]


def main():
    original = open(sys.argv[1], 'rb').read()
    failures = []
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, 'kvsfx32.exe')
        for spoil, reason in [(None, None)] + CASES:
            data = bytearray(original)
            if spoil:
                spoil(data)
            with open(path, 'wb') as out:
                out.write(data)
            problems = []
            check(path, False, problems)
            if spoil is None and problems:
                failures.append('the stub itself is refused: %r' % problems)
            elif spoil and not any(reason in problem for problem in problems):
                failures.append('%s: not refused for %r; said %r' % (spoil.__name__, reason, problems))
    for failure in failures:
        print('FAILED: ' + failure)
    print('passed' if not failures else '%d failures' % len(failures))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
