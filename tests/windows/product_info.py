#!/usr/bin/env python3
"""What kvsfx-make writes into the Windows stubs besides the archive, read
back from the PE files with the readers of check_pe.py as the control.

    product_info.py KVSFX_MAKE KVSFX32_EXE KVSFX64_EXE LINUX_STUB

- the version information: the creator's texts in place (accents, symbols
  and a character beyond the Basic Multilingual Plane included), the title
  as description and product name by default, the stub's own without a
  title, the numbers of --version in the fixed part; a text longer than its
  room, a version number over 65535, or version texts for the Linux stub
  refused with nothing left behind;
- the header checksum of the whole output, correct for PE32 and PE32+ and
  for a file whose archive has an odd length; 0 with --crc-with-headers;
- the start-up check: from the end of the NT headers by default, from the
  file's start with --crc-with-headers.
"""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_pe import PeFile, RT_VERSION, pe_checksum, version_strings  # noqa: E402

BLOCK_SIGNATURE = b'QXB\x01sfx\x02'
CRC_AFTER_HEADERS = 0x800

failures = []


def expect(condition, text):
    if not condition:
        failures.append(text)
    return condition


def build(make, stub, work, name, *options, content=b'bonjour\n'):
    source = os.path.join(work, 'source-' + name)
    os.makedirs(source, exist_ok=True)
    with open(os.path.join(source, 'lisez-moi.txt'), 'wb') as out:
        out.write(content)
    output = os.path.join(work, name)
    result = subprocess.run([make, '-o', output, '--stub', stub] + list(options) + [source],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return result.returncode, result.stdout.decode('utf-8', 'replace'), output


def read_version(data):
    pe = PeFile(data)
    blocks = [payload for kind, _, _, payload in pe.resources() if kind == RT_VERSION]
    _, fixed, strings = version_strings(blocks[0])
    texts = {key: text for key, (text, _) in strings.items()}
    numbers = struct.unpack_from('<4I', fixed, 8)  # file version MS, LS, product version MS, LS
    return texts, numbers


def check_block(data, path, with_headers):
    """The checksum field and the start-up check of a built file."""
    pe = PeFile(data)
    field = pe.optional + 64
    block = data.index(BLOCK_SIGNATURE)
    stub_crc, archive_start = struct.unpack_from('<II', data, block + 8)
    flags = struct.unpack_from('<I', data, block + 0x1C)[0]
    covered = bytearray(data[:archive_start])
    covered[block + 8:block + 12] = b'\0\0\0\0'
    if with_headers:
        expect(pe.checksum == 0, '%s: header checksum %#x, expected 0 with --crc-with-headers' % (path, pe.checksum))
        expect(not flags & CRC_AFTER_HEADERS, '%s: flags %#x' % (path, flags))
        expect(stub_crc == zlib.crc32(covered), '%s: the start-up check does not cover the headers' % path)
    else:
        expect(pe.checksum == pe_checksum(data, field),
               '%s: header checksum %#x, the file sums to %#x' % (path, pe.checksum, pe_checksum(data, field)))
        expect(flags & CRC_AFTER_HEADERS, '%s: flags %#x lack the check after the headers' % (path, flags))
        headers_end = pe.optional + struct.unpack_from('<H', data, pe.nt + 20)[0]
        expect(stub_crc == zlib.crc32(covered[headers_end:]),
               '%s: the start-up check does not start after the headers' % path)


def main():
    make, stub32, stub64, linux_stub = sys.argv[1:5]
    with tempfile.TemporaryDirectory() as work:
        # The title by default; the numbers of the default version 1.0.
        for stub, name in ((stub32, 'titre32.exe'), (stub64, 'titre64.exe')):
            status, output, path = build(make, stub, work, name, '--title', 'Démo Kelvra')
            if not expect(status == 0, '%s refused: %s' % (name, output)):
                continue
            data = open(path, 'rb').read()
            texts, numbers = read_version(data)
            expect(texts == {'CompanyName': '', 'FileDescription': 'Démo Kelvra', 'FileVersion': '1.0',
                             'LegalCopyright': '', 'ProductName': 'Démo Kelvra', 'ProductVersion': '1.0'},
                   '%s: version texts %r' % (name, texts))
            expect(numbers == (0x10000, 0, 0x10000, 0), '%s: version numbers %r' % (name, numbers))
            check_block(data, name, False)

        # Every text given; an archive of odd length for the checksum.
        status, output, path = build(make, stub32, work, 'complet.exe', '--title', 'Ignoré',
                                     '--description', 'Outil d\u2019installation \U0001F600',
                                     '--company', 'Société Exemple', '--product', 'Exemple Pro',
                                     '--version', '2.10.65535 bêta', '--copyright', '© 2026 Société Exemple',
                                     content=b'x' * 1001)
        if expect(status == 0, 'complet.exe refused: %s' % output):
            data = open(path, 'rb').read()
            texts, numbers = read_version(data)
            expect(texts == {'CompanyName': 'Société Exemple', 'FileDescription': 'Outil d\u2019installation \U0001F600',
                             'FileVersion': '2.10.65535 bêta', 'LegalCopyright': '© 2026 Société Exemple',
                             'ProductName': 'Exemple Pro', 'ProductVersion': '2.10.65535 bêta'},
                   'complet.exe: version texts %r' % texts)
            expect(numbers == (0x2000A, 0xFFFF0000, 0x2000A, 0xFFFF0000), 'complet.exe: numbers %r' % (numbers,))
            check_block(data, 'complet.exe', False)

        # Without a title: the stub's own names.
        status, output, path = build(make, stub64, work, 'nu.exe', '--version', '3')
        if expect(status == 0, 'nu.exe refused: %s' % output):
            texts, numbers = read_version(open(path, 'rb').read())
            expect(texts['FileDescription'] == texts['ProductName'] == 'Kelvra Self-Extractor',
                   'nu.exe: names %r' % texts)
            expect(numbers == (0x30000, 0, 0x30000, 0), 'nu.exe: numbers %r' % (numbers,))

        # The old coverage of the start-up check.
        status, output, path = build(make, stub32, work, 'ancien.exe', '--crc-with-headers')
        if expect(status == 0, 'ancien.exe refused: %s' % output):
            check_block(open(path, 'rb').read(), 'ancien.exe', True)

        # Refusals: the message names the room; nothing is left behind.
        for name, stub, options, message in (
                ('long.exe', stub32, ['--description', 'd' * 64], 'room for 63'),
                ('long-version.exe', stub64, ['--version', '1.2.3.4.5.6.7.8.9.10.11.12'], 'room for 23'),
                ('grand.exe', stub32, ['--version', '1.65536'], 'over 65535'),
                ('linux', linux_stub, ['--company', 'Exemple'], 'no version information')):
            status, output, path = build(make, stub, work, name, *options)
            expect(status == 1 and message in output, '%s: status %d, %r' % (name, status, output))
            expect(not os.path.exists(path), '%s: a file was left behind' % name)
        status, output, path = build(make, linux_stub, work, 'linux-ok', '--title', 'Titre')
        expect(status == 0, 'the Linux stub with a title refused: %s' % output)

    for failure in failures:
        print('FAILED: ' + failure)
    print('%s' % ('passed' if not failures else '%d failures' % len(failures)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
