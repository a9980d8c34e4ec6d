#!/usr/bin/env python3
"""Static checks of the Windows stubs, read straight from their PE files.

    check_pe.py [--pe32 kvsfx32.exe] [--pe32plus kvsfx64.exe]

For each file: the machine and optional-header magic of its architecture, a
GUI subsystem, imports from the allowed system DLLs only (COMCTL32 by
ordinal 17 alone), resources made of one icon group of nine images and a
manifest that asks for common controls 6.0.0.0 for the file's architecture
(no texts, no dialogs), none of the six ZIP signatures anywhere in the
image, and for the PE32 product a size of at most 64 KiB.
"""
import argparse
import struct
import sys

ALLOWED_DLLS = {'kernel32.dll', 'user32.dll', 'gdi32.dll', 'shell32.dll', 'advapi32.dll', 'comctl32.dll',
                'msvcrt.dll'}
ZIP_SIGNATURES = [b'PK\x03\x04', b'PK\x01\x02', b'PK\x05\x06', b'PK\x05\x05', b'PK\x07\x08', b'PK00']
RT_ICON, RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_MANIFEST = 3, 5, 6, 14, 24
PE32_LIMIT = 64 * 1024


class PeFile:
    def __init__(self, data):
        self.data = data
        if data[:2] != b'MZ':
            raise ValueError('no MZ header')
        self.nt = struct.unpack_from('<I', data, 0x3C)[0]
        if data[self.nt:self.nt + 4] != b'PE\0\0':
            raise ValueError('no PE signature')
        (self.machine, sections, _, _, _, optional_size, _) = struct.unpack_from('<HHIIIHH', data, self.nt + 4)
        self.optional = self.nt + 24
        self.magic = struct.unpack_from('<H', data, self.optional)[0]
        self.subsystem = struct.unpack_from('<H', data, self.optional + 68)[0]
        directories = self.optional + (96 if self.magic == 0x10B else 112)
        self.directories = [struct.unpack_from('<II', data, directories + 8 * i) for i in range(16)]
        table = self.optional + optional_size
        self.sections = []
        for i in range(sections):
            name, virtual_size, rva, raw_size, raw_offset = struct.unpack_from('<8sIIII', data, table + 40 * i)
            self.sections.append((name.rstrip(b'\0').decode(), rva, max(virtual_size, raw_size), raw_offset))

    def offset(self, rva):
        for _, start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError('RVA %#x outside every section' % rva)

    def text_at(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b'\0', at)].decode('ascii')

    def imports(self):
        """{dll name: [name or ordinal number]}"""
        rva, size = self.directories[1]
        result = {}
        if not rva:
            return result
        at = self.offset(rva)
        wide = self.magic == 0x20B
        while True:
            lookup, _, _, name_rva, thunks = struct.unpack_from('<IIIII', self.data, at)
            if name_rva == 0:
                return result
            entries = []
            cursor = self.offset(lookup or thunks)
            while True:
                value = struct.unpack_from('<Q' if wide else '<I', self.data, cursor)[0]
                if value == 0:
                    break
                if value >> (63 if wide else 31):
                    entries.append(value & 0xFFFF)
                else:
                    entries.append(self.text_at((value & 0x7FFFFFFF) + 2))
                cursor += 8 if wide else 4
            result[self.text_at(name_rva)] = entries
            at += 20

    def resources(self):
        """[(type, name, language, bytes)] of the resource tree."""
        rva, _ = self.directories[2]
        if not rva:
            return []
        base = self.offset(rva)
        found = []

        def walk(at, path):
            _, _, _, _, named, numbered = struct.unpack_from('<IIHHHH', self.data, base + at)
            for i in range(named + numbered):
                ident, child = struct.unpack_from('<II', self.data, base + at + 16 + 8 * i)
                if child & 0x80000000:
                    walk(child & 0x7FFFFFFF, path + [ident])
                else:
                    data_rva, size, _, _ = struct.unpack_from('<IIII', self.data, base + child)
                    at_data = self.offset(data_rva)
                    found.append((path[0], path[1], ident, self.data[at_data:at_data + size]))

        walk(0, [])
        return found


def check(path, wide, problems):
    def fail(text):
        problems.append('%s: %s' % (path, text))

    data = open(path, 'rb').read()
    try:
        pe = PeFile(data)
    except (ValueError, struct.error) as error:
        fail(str(error))
        return
    machine, magic, arch = (0x8664, 0x20B, 'amd64') if wide else (0x14C, 0x10B, 'x86')
    if pe.machine != machine or pe.magic != magic:
        fail('machine %#x magic %#x, expected %#x %#x' % (pe.machine, pe.magic, machine, magic))
    if pe.subsystem != 2:
        fail('subsystem %d is not the GUI' % pe.subsystem)

    imports = pe.imports()
    for dll, entries in imports.items():
        if dll.lower() not in ALLOWED_DLLS:
            fail('imports from %s (%s)' % (dll, ', '.join(map(str, entries[:5]))))
        if dll.lower() == 'comctl32.dll' and entries != [17]:
            fail('COMCTL32 imports %r, expected ordinal 17 alone' % entries)
    if not any(dll.lower() == 'comctl32.dll' for dll in imports):
        fail('the common-controls initialisation is not imported')

    resources = pe.resources()
    kinds = {}
    for kind, name, _, payload in resources:
        kinds.setdefault(kind, []).append((name, payload))
    unexpected = set(kinds) - {RT_ICON, RT_GROUP_ICON, RT_MANIFEST}
    if unexpected:
        fail('resources of types %s besides the icon and the manifest' % sorted(unexpected))
    groups = kinds.get(RT_GROUP_ICON, [])
    if len(groups) != 1:
        fail('%d icon groups, expected 1' % len(groups))
    else:
        count = struct.unpack_from('<H', groups[0][1], 4)[0]
        if count != 9 or len(kinds.get(RT_ICON, [])) != 9:
            fail('icon group of %d images, %d icon resources; expected 9' % (count, len(kinds.get(RT_ICON, []))))
    manifests = kinds.get(RT_MANIFEST, [])
    if len(manifests) != 1 or manifests[0][0] != 1:
        fail('expected one manifest with id 1')
    else:
        text = manifests[0][1].decode('utf-8', 'replace')
        if 'Microsoft.Windows.Common-Controls' not in text or 'version="6.0.0.0"' not in text:
            fail('the manifest does not ask for common controls 6.0.0.0')
        if text.count('processorArchitecture="%s"' % arch) != 2:
            fail('the manifest does not name the architecture %s' % arch)

    for signature in ZIP_SIGNATURES:
        if signature in data:
            fail('holds the ZIP signature %r at %#x' % (signature, data.index(signature)))
    if not wide and len(data) > PE32_LIMIT:
        fail('%d bytes, more than %d' % (len(data), PE32_LIMIT))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--pe32')
    parser.add_argument('--pe32plus')
    options = parser.parse_args()
    problems = []
    checked = 0
    for path, wide in ((options.pe32, False), (options.pe32plus, True)):
        if path:
            check(path, wide, problems)
            checked += 1
    for problem in problems:
        print(problem)
    print('%d passed, %d failed' % (checked - len({p.split(':')[0] for p in problems}),
                                    len({p.split(':')[0] for p in problems})))
    return 1 if problems or not checked else 0


if __name__ == '__main__':
    sys.exit(main())
