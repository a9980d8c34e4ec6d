#!/usr/bin/env python3
"""Static checks of the Windows stubs, read straight from their PE files.

    check_pe.py [--pe32 kvsfx32.exe] [--pe32plus kvsfx64.exe]

For each file: the machine and optional-header magic of its architecture, a
GUI subsystem and the system versions it asks for (4.0 for PE32, so that
Windows 95 and NT 4 load it; 5.2 for PE32+), no link time, a correct header
checksum, the terminal-server and NX flags, relocations (none in the PE32
product, kept with a randomised base in the PE32+ stub), imports from the
system DLLs every one of those Windows has only (no C runtime DLL; COMCTL32
by ordinal 17 alone), resources made of one icon group of four images, a
manifest that asks for common controls 6.0.0.0 for the file's architecture,
names Vista to 11 and declares DPI awareness, and the version information
with room for the builder's texts (no string tables, no dialogs), none of
the six ZIP signatures anywhere in the image, and for the PE32 product a
size of at most 48 KiB and code a 486 runs: its disassembly (objdump from
binutils-mingw-w64) holds no instruction of a later processor (CMOV, MMX,
SSE and their kin).
"""
import argparse
import re
import shutil
import struct
import subprocess
import sys

ALLOWED_DLLS = {'kernel32.dll', 'user32.dll', 'gdi32.dll', 'shell32.dll', 'advapi32.dll', 'comctl32.dll'}
ZIP_SIGNATURES = [b'PK\x03\x04', b'PK\x01\x02', b'PK\x05\x06', b'PK\x05\x05', b'PK\x07\x08', b'PK00']
RT_ICON, RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 6, 14, 16, 24
PE32_LIMIT = 48 * 1024
# DllCharacteristics: relocatable, NX compatible, terminal-server aware.
DYNAMIC_BASE, NX_COMPAT, TERMINAL_SERVER_AWARE = 0x40, 0x100, 0x8000
# File header Characteristics: the image holds no base relocations.
RELOCS_STRIPPED = 0x1
SUPPORTED_OS = ['e2011457-1546-43c5-a5fe-008deee3d3f0',   # Vista
                '35138b9a-5d96-4fbd-8e2d-a2440225f93a',   # 7
                '4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38',   # 8
                '1f676c76-80e1-4239-95bb-83d0f6d0da78',   # 8.1
                '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a']   # 10 and 11
# The texts of the version information and the least room (UTF-16 units,
# terminator included) the builder may count on.
VERSION_ROOM = {'CompanyName': 64, 'FileDescription': 64, 'ProductName': 64, 'LegalCopyright': 64,
                'FileVersion': 24, 'ProductVersion': 24}
# Instructions a 486 does not have: CMOV, FCMOV, FCOMI and SYSENTER (Pentium
# Pro and later), CMPXCHG8B, RDTSC, RDMSR and WRMSR (Pentium), any MMX or SSE
# register, and the SSE cache and fence instructions.
LATER_CPU = re.compile(r'\t(cmov\w*|fcmov\w*|f(u)?comip?|cmpxchg8b|rdtsc|rdmsr|wrmsr|sysenter|sysexit|emms|'
                       r'prefetch\w*|[lsm]fence|movnti|clflush)\b|%x?mm\d')


class PeFile:
    def __init__(self, data):
        self.data = data
        if data[:2] != b'MZ':
            raise ValueError('no MZ header')
        self.nt = struct.unpack_from('<I', data, 0x3C)[0]
        if data[self.nt:self.nt + 4] != b'PE\0\0':
            raise ValueError('no PE signature')
        (self.machine, sections, _, _, _, optional_size, self.characteristics) = struct.unpack_from(
            '<HHIIIHH', data, self.nt + 4)
        self.optional = self.nt + 24
        self.timestamp = struct.unpack_from('<I', data, self.nt + 8)[0]
        self.magic = struct.unpack_from('<H', data, self.optional)[0]
        (self.os_version, _, self.subsystem_version, _, _, _, self.checksum, self.subsystem,
         self.dll_characteristics) = struct.unpack_from('<4s4s4sIIIIHH', data, self.optional + 40)
        self.os_version = struct.unpack('<HH', self.os_version)
        self.subsystem_version = struct.unpack('<HH', self.subsystem_version)
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


def pe_checksum(data, field):
    """The header checksum of a whole file: its 16-bit words summed with the
    carries folded back, the checksum field taken as zero, plus its length."""
    words = bytearray(data)
    words[field:field + 4] = b'\0\0\0\0'
    if len(words) % 2:
        words.append(0)
    total = sum(struct.unpack('<%dH' % (len(words) // 2), words))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def version_strings(block):
    """{key: (text, room in UTF-16 units)} of the StringFileInfo of a
    VS_VERSIONINFO block, and its fixed part (VS_FIXEDFILEINFO)."""
    def node(at):
        length, value_length, kind = struct.unpack_from('<HHH', block, at)
        end_key = at + 6
        while block[end_key:end_key + 2] != b'\0\0':
            if end_key + 2 > len(block):
                raise ValueError('a key runs past the block')
            end_key += 2
        key = block[at + 6:end_key].decode('utf-16-le')
        value = (end_key + 2 + 3) & ~3
        children = (value + (2 * value_length if kind == 1 else value_length) + 3) & ~3
        return key, at + length, value, value_length, children

    def walk(at, end):
        while at + 6 <= end:
            found = node(at)
            if found[1] <= at:
                raise ValueError('a structure of length 0 at %#x' % at)
            yield found
            at = (found[1] + 3) & ~3

    key, end, fixed, _, children = node(0)
    strings = {}
    for group, group_end, _, _, tables in walk(children, end):
        if group != 'StringFileInfo':
            continue
        for _, table_end, _, _, first in walk(tables, group_end):
            for name, string_end, value, value_length, _ in walk(first, table_end):
                text = block[value:value + 2 * value_length].decode('utf-16-le').rstrip('\0')
                strings[name] = (text, (string_end - value) // 2)
    return key, block[fixed:fixed + 52], strings


def disassembly_problems(path, wide):
    """Instructions of a later processor than the 486, from objdump."""
    tool = shutil.which('x86_64-w64-mingw32-objdump' if wide else 'i686-w64-mingw32-objdump')
    if not tool:
        return ['objdump of binutils-mingw-w64 is missing: the instructions cannot be checked']
    listing = subprocess.run([tool, '-d', path], capture_output=True, text=True, check=True).stdout
    found = [line.strip() for line in listing.splitlines() if LATER_CPU.search(line)]
    return ['%d instructions a 486 does not have, such as: %s' % (len(found), '; '.join(found[:3]))] if found else []


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
    version = (5, 2) if wide else (4, 0)
    print('%s: %s, %d bytes, subsystem version %d.%d, system version %d.%d' %
          (path, 'PE32+' if wide else 'PE32', len(data), pe.subsystem_version[0], pe.subsystem_version[1],
           pe.os_version[0], pe.os_version[1]))
    if pe.subsystem_version != version or pe.os_version != version:
        fail('asks for subsystem %d.%d and system %d.%d; expected %d.%d' %
             (pe.subsystem_version + pe.os_version + version))
    if pe.timestamp != 0:
        fail('holds a link time (%#x): two builds of the same source would differ' % pe.timestamp)
    # The PE32 product carries no relocations and is loaded at its preferred
    # base; the PE32+ stub keeps them and a randomised base.
    wanted = NX_COMPAT | TERMINAL_SERVER_AWARE | (DYNAMIC_BASE if wide else 0)
    if pe.dll_characteristics & wanted != wanted:
        fail('DllCharacteristics %#x lack %#x' % (pe.dll_characteristics, wanted & ~pe.dll_characteristics))
    relocations_stripped = bool(pe.characteristics & RELOCS_STRIPPED)
    if wide == relocations_stripped or (not wide and pe.dll_characteristics & DYNAMIC_BASE):
        fail('relocations %s, DllCharacteristics %#x; expected %s' %
             ('stripped' if relocations_stripped else 'kept', pe.dll_characteristics,
              'relocations and a randomised base' if wide else 'no relocations and a fixed base'))
    field = pe.optional + 64
    if pe.checksum != pe_checksum(data, field):
        fail('header checksum %#x, the file sums to %#x' % (pe.checksum, pe_checksum(data, field)))
    if not wide:
        for problem in disassembly_problems(path, wide):
            fail(problem)

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
    unexpected = set(kinds) - {RT_ICON, RT_GROUP_ICON, RT_MANIFEST, RT_VERSION}
    if unexpected:
        fail('resources of types %s besides the icon, the manifest and the version' % sorted(unexpected))
    groups = kinds.get(RT_GROUP_ICON, [])
    if len(groups) != 1:
        fail('%d icon groups, expected 1' % len(groups))
    else:
        count = struct.unpack_from('<H', groups[0][1], 4)[0]
        if count != 4 or len(kinds.get(RT_ICON, [])) != 4:
            fail('icon group of %d images, %d icon resources; expected 4' % (count, len(kinds.get(RT_ICON, []))))
        # The two sizes Windows shows, 16 and 32 pixels, each in 16 colours
        # (what Windows 95 and NT 4 show), and for more colours the small
        # one in 32 bits, the large one in 256 colours.
        shapes = sorted(struct.unpack_from('<BBxxxxHxxxxxx', groups[0][1], 6 + 14 * i) for i in range(min(count, 4)))
        if shapes != [(16, 16, 4), (16, 16, 32), (32, 32, 4), (32, 32, 8)]:
            fail('icon images of sizes and depths %s; expected 16 pixels at 4 and 32 bits, 32 pixels at 4 and 8'
                 % shapes)
    manifests = kinds.get(RT_MANIFEST, [])
    if len(manifests) != 1 or manifests[0][0] != 1:
        fail('expected one manifest with id 1')
    else:
        text = manifests[0][1].decode('utf-8', 'replace')
        if 'Microsoft.Windows.Common-Controls' not in text or 'version="6.0.0.0"' not in text:
            fail('the manifest does not ask for common controls 6.0.0.0')
        if text.count('processorArchitecture="%s"' % arch) != 2:
            fail('the manifest does not name the architecture %s' % arch)
        named = re.findall(r'<supportedOS Id="\{([0-9a-f-]+)\}"/>', text)
        if named != SUPPORTED_OS:
            fail('the manifest names the systems %s; expected Vista, 7, 8, 8.1, 10 and 11' % named)
        if not re.search(r'<dpiAware[^>]*>true</dpiAware>', text):
            fail('the manifest does not declare DPI awareness')
    versions = kinds.get(RT_VERSION, [])
    if len(versions) != 1 or versions[0][0] != 1:
        fail('expected one version resource with id 1')
    else:
        try:
            key, fixed, strings = version_strings(versions[0][1])
        except (struct.error, UnicodeDecodeError, IndexError, ValueError) as error:
            fail('the version information cannot be walked: %s' % error)
        else:
            if key != 'VS_VERSION_INFO' or struct.unpack_from('<I', fixed)[0] != 0xFEEF04BD:
                fail('the version information does not start with its fixed part')
            for name, room in VERSION_ROOM.items():
                if name not in strings:
                    fail('the version information lacks %s' % name)
                elif strings[name][1] < room:
                    fail('%s keeps room for %d units, fewer than %d' % (name, strings[name][1], room))

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
