#!/usr/bin/env python3
"""The Windows build of the builder, kvsfx-make.exe.

    builder_on_windows.py imports PE...   each PE is a console program that
                                          imports only from system DLLs
    builder_on_windows.py wine            the builder under Wine makes
                                          self-extracting files; the stub
                                          extracts them again

For "wine" the environment names the pieces (tests/windows_make.cmake sets
them): KVSFX_WINE (host or wow64, see wine.py), KVSFX_MAKE_EXE
(kvsfx-make.exe, PE32+ or PE32), KVSFX_STUB (kvsfx64.exe or kvsfx32.exe),
KVSFX_WINEPREFIX (the prefix of the Wine fixture) and KVSFX_WORK (a scratch
folder). Info-ZIP unzip checks what needs no stub (volumes joined end to end,
a password-protected file).
"""
import os
import random
import shutil
import signal
import subprocess
import sys
import time
import zipfile

from session import Session, Unavailable, TestFailure, expect, expect_same_tree

SYSTEM_DLLS = {'kernel32.dll', 'advapi32.dll', 'msvcrt.dll'}

MAKE = os.environ.get('KVSFX_MAKE_EXE', '')
STUB = os.environ.get('KVSFX_STUB', '')
PREFIX = os.environ.get('KVSFX_WINEPREFIX', '')
WORK = os.environ.get('KVSFX_WORK', '')

# Fixed DOS-representable times (even seconds) for the sample tree.
SAMPLE_TIME = time.mktime((2019, 3, 8, 17, 45, 10, 0, 0, -1))


# --- imports -------------------------------------------------------------------

def check_imports(paths):
    objdump = shutil.which('x86_64-w64-mingw32-objdump') or 'objdump'
    for path in paths:
        expect(os.path.exists(path), '%s was not built' % path)
        dump = subprocess.run([objdump, '-p', path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=60).stdout.decode(errors='replace')
        expect('(Windows CUI)' in dump, '%s is not a console program' % path)
        dlls = {line.split(':', 1)[1].strip().lower() for line in dump.splitlines() if 'DLL Name:' in line}
        expect(dlls and dlls <= SYSTEM_DLLS,
               '%s imports %s beyond the system DLLs' % (path, sorted(dlls - SYSTEM_DLLS)))
        print('%s imports %s' % (path, ', '.join(sorted(dlls))))


# --- the sample tree -----------------------------------------------------------

def sample_files():
    generator = random.Random(11)
    text = ''.join(generator.choice('abcdefghij klmnop\n') for _ in range(60000)).encode()
    return {
        'lisez-moi.txt': b'Bonjour\r\n',
        'docs/guide.txt': text,
        'docs/vide.txt': b'',
        'docs/annexes/table.bin': bytes(generator.getrandbits(8) for _ in range(90000)),
        'été/à noter.txt': 'déjà noté\r\n'.encode('utf-8'),
        'images/logo.dat': bytes(range(256)) * 40,
    }


def write_tree(root, files, empty_folders=()):
    """Every file gets SAMPLE_TIME plus twice its index."""
    for index, (name, data) in enumerate(sorted(files.items())):
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as out:
            out.write(data)
        os.utime(path, (SAMPLE_TIME + 2 * index, SAMPLE_TIME + 2 * index))
    for name in empty_folders:
        os.makedirs(os.path.join(root, name), exist_ok=True)


def fresh(folder):
    if os.path.exists(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    return folder


# --- under Wine ------------------------------------------------------------------

def run_make(session, make, arguments, cwd, status=0, message=None):
    """Runs kvsfx-make.exe under Wine; its output. Wine reads the Linux
    command line in the locale's encoding: UTF-8 here."""
    result = subprocess.run(session.wine.command(make, *arguments, cwd=cwd), cwd=cwd,
                            env=dict(session.env, LC_ALL='C.UTF-8'),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=90)
    output = result.stdout.decode('utf-8', errors='replace')
    expect(result.returncode == status, 'kvsfx-make.exe %r ended with %d, not %d: %s' % (
        arguments, result.returncode, status, output))
    if message is not None:
        expect(message in output, 'kvsfx-make.exe %r said %r, not %r' % (arguments, output, message))
    return output


def unzip_test(archive, *options):
    result = subprocess.run(['unzip', '-tq'] + list(options) + [archive], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, timeout=120)
    expect(result.returncode in (0, 1) and b'No errors detected' in result.stdout,
           'unzip -t %s: %s' % (archive, result.stdout.decode(errors='replace')))


def scenario_wine(session):
    tree = fresh(os.path.join(WORK, 'tree'))
    write_tree(os.path.join(tree, 'paquet'), sample_files(), ['vide', 'docs/annexes/rien'])
    out = fresh(os.path.join(WORK, 'out'))

    # Relative paths with backslashes, a trailing separator, the stub by its
    # Windows path: the walk, compression, the header and the rename.
    run_make(session, MAKE, ['-o', '..\\out\\paquet.exe', '--stub', session.wine_path(STUB), 'paquet\\'], tree)
    expect(sorted(os.listdir(out)) == ['paquet.exe'], 'the output folder holds %r' % os.listdir(out))

    # The stub extracts it again: the same tree, times included.
    target = fresh(os.path.join(WORK, 'extracted'))
    program = session.start(os.path.join(out, 'paquet.exe'), '-auto', session.wine_path(target))
    expect(session.finish(program, 90) == 0, 'the self-extractor ended with %s' % program.returncode)
    expect_same_tree(os.path.join(target, 'paquet'), os.path.join(tree, 'paquet'), 'the input')

    # An input named with accents is stored under that name, in Windows-1252.
    run_make(session, MAKE, ['-o', '..\\out\\accents.exe', '--stub', session.wine_path(STUB), 'paquet\\été'], tree)
    with zipfile.ZipFile(os.path.join(out, 'accents.exe')) as archive:
        names = [entry.orig_filename.encode('cp437').decode('cp1252') for entry in archive.infolist()]
    expect(names == ['été/à noter.txt'], 'the accented input is stored as %r' % names)
    os.remove(os.path.join(out, 'accents.exe'))

    # An output inside an input folder is refused before anything is
    # written: the earlier file stays as it was.
    before = open(os.path.join(out, 'paquet.exe'), 'rb').read()
    run_make(session, MAKE, ['-o', 'paquet.exe', '--stub', session.wine_path(STUB), '.'], out, status=1,
             message='lies inside the input folder')
    expect(open(os.path.join(out, 'paquet.exe'), 'rb').read() == before, 'the earlier file was changed')
    expect(sorted(os.listdir(out)) == ['paquet.exe'], 'the output folder holds %r' % os.listdir(out))

    # Volumes (read back, cut, truncated), a password (random header bytes)
    # and a zip input (a file mapping), checked with Info-ZIP.
    run_make(session, MAKE, ['-o', 'span.exe', '--stub', session.wine_path(STUB), '--span', '60k',
                             os.path.join('..', 'tree', 'paquet')], out)
    disks = sorted(name for name in os.listdir(out) if name.startswith('disk'))
    expect(len(disks) >= 2, 'the volumes are %r' % os.listdir(out))
    with open(os.path.join(WORK, 'joined.zip'), 'wb') as joined:
        for part in [os.path.join(out, 'span.ZIP')] + [os.path.join(out, disk, 'span.ZIP') for disk in disks]:
            with open(part, 'rb') as volume:
                joined.write(volume.read())
    unzip_test(os.path.join(WORK, 'joined.zip'))
    run_make(session, MAKE, ['-o', 'locked.exe', '--stub', session.wine_path(STUB), '--password', 'clé',
                             os.path.join('..', 'tree', 'paquet')], out)
    unzip_test(os.path.join(out, 'locked.exe'), '-P', 'clé'.encode('cp1252'))
    subprocess.run(['zip', '-q', '-r', os.path.join(WORK, 'in.zip'), 'paquet'], cwd=tree, check=True, timeout=60)
    run_make(session, MAKE, ['-o', 'fromzip.exe', '--stub', session.wine_path(STUB),
                             session.wine_path(os.path.join(WORK, 'in.zip'))], out)
    unzip_test(os.path.join(out, 'fromzip.exe'))

    # The default stub is kvsfx32.exe beside the builder (under the host's
    # Wine a copy of the PE32+ stub stands in for it); --help says so.
    bin_folder = fresh(os.path.join(WORK, 'bin folder'))
    shutil.copy(MAKE, os.path.join(bin_folder, 'kvsfx-make.exe'))
    own_make = os.path.join(bin_folder, 'kvsfx-make.exe')
    expect('Default: kvsfx32.exe' in run_make(session, own_make, ['--help'], WORK), '--help names another default')
    run_make(session, own_make, ['-o', 'default.exe', os.path.join('..', 'tree', 'paquet')], out, 1,
             'name one with --stub')
    shutil.copy(STUB, os.path.join(bin_folder, 'kvsfx32.exe'))
    run_make(session, own_make, ['-o', 'default.exe', os.path.join('..', 'tree', 'paquet')], out)
    with open(STUB, 'rb') as stub, open(os.path.join(out, 'default.exe'), 'rb') as made:
        # The header checksum (optional header + 64) is the output's own.
        first, own = bytearray(stub.read(1024)), bytearray(made.read(1024))
        checksum = int.from_bytes(first[0x3C:0x40], 'little') + 24 + 64
        first[checksum:checksum + 4] = own[checksum:checksum + 4] = bytes(4)
        expect(own == first, 'default.exe does not start with the stub')

    # A link back up is a loop (told apart by volume and file index, since
    # the C library has no inode on Windows); names beyond Windows-1252 are
    # refused. Nothing is left behind.
    loop = fresh(os.path.join(WORK, 'loop'))
    os.makedirs(os.path.join(loop, 'inner'))
    os.symlink('..', os.path.join(loop, 'inner', 'back'))
    refused = fresh(os.path.join(WORK, 'refused'))
    run_make(session, MAKE, ['-o', 'x.exe', '--stub', session.wine_path(STUB), session.wine_path(loop)], refused,
             1, 'symbolic link loop')
    greek = fresh(os.path.join(WORK, 'greek'))
    with open(os.path.join(greek, 'Ω.txt'), 'wb') as out_file:
        out_file.write(b'x')
    run_make(session, MAKE, ['-o', 'x.exe', '--stub', session.wine_path(STUB), session.wine_path(greek)], refused, 1,
             'Windows-1252')
    expect(os.listdir(refused) == [], 'left behind: %r' % os.listdir(refused))


def main():
    if sys.argv[1] == 'imports':
        try:
            check_imports(sys.argv[2:])
        except TestFailure as failure:
            print('FAILED: %s' % failure)
            return 1
        return 0
    for variable, value in (('KVSFX_MAKE_EXE', MAKE), ('KVSFX_STUB', STUB), ('KVSFX_WINEPREFIX', PREFIX),
                            ('KVSFX_WORK', WORK)):
        if not value or (variable != 'KVSFX_WORK' and not os.path.exists(value)):
            print('%s is not set or does not exist: %r' % (variable, value))
            return 1
    os.makedirs(WORK, exist_ok=True)
    # The hard time limit ends the test with SIGTERM: close the session first.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(124))
    try:
        session = Session(PREFIX, None, os.path.join(WORK, 'shots'), [WORK, os.path.dirname(MAKE), os.path.dirname(STUB)])
    except Unavailable as reason:
        print('skipped: %s' % reason)
        return 77
    try:
        scenario_wine(session)
    except TestFailure as failure:
        print('FAILED: %s' % failure)
        return 1
    finally:
        session.close()
    print('builder on Windows: passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
