#!/usr/bin/env python3
"""Windows programs under Wine, for the tests: either the host's Wine (64-bit
programs only) or the Wine of the WoW64 root that wow64_root.sh makes, which
runs 32-bit and 64-bit programs alike.

As a module:
    wine = Wine('wow64', prefix, binds=[folders...])
    subprocess.Popen(wine.command('prog.exe', 'arg'), env=wine.environment(display))
    wine.close()
In the root every command runs in one mount namespace per Wine object, whose
root is the WoW64 root, with /dev, /proc, /tmp (X sockets, wineserver) and
the folders named in binds mounted at the same paths as on the host, so that
Z:\\path is the host's /path for every program of a session.

As a program (tests/wine/run.sh calls it):
    wine.py run [--wow64] [--prefix DIR] [--bind DIR]... [--display :N] PROGRAM [ARG...]
        runs PROGRAM and waits for it and for the prefix's wineserver; exits
        with PROGRAM's exit code; the folder of PROGRAM, the current folder
        and the prefix are mounted in the root. Without --prefix a new prefix
        is made in a temporary folder and removed after. Exit 77 when the
        WoW64 root cannot be made here.
    wine.py prefix create|remove [--wow64] [--check32 PROGRAM] DIR
        a prefix for the tests: virtual desktop of 800 x 600, the fonts of
        Windows dialogs (MS Sans Serif for "MS Shell Dlg", Tahoma) and
        Marlett for the caption buttons. --check32 runs a 32-bit console
        program (input "quit", exit code 0 expected) in a WoW64 prefix; if
        it fails, the prefix is marked as unable to run 32-bit programs,
        every later use of it is skipped with the reason, and the exit code
        is 77.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT_SCRIPT = os.path.join(HERE, 'wow64_root.sh')
HOST_WINE = '/usr/lib/wine/wine64'
ROOT_WINE = '/usr/lib/wine/wine64'
HOST_SERVER = 'wineserver'
ROOT_SERVER = '/usr/lib/wine/wineserver'
SKIPPED = 77
# Written in a WoW64 prefix whose 32-bit programs cannot run on this
# machine; it holds the reason.
NO_32BIT = '.kvsfx-no-32bit'
# Fonts copied from Wine's own into each prefix: the faces Windows draws
# dialogs with (MS Sans Serif, its bitmap twin, Tahoma) and the caption glyphs.
PREFIX_FONTS = ('marlett.ttf', 'ms_sans_serif.ttf', 'sserife.fon', 'tahoma.ttf', 'tahomabd.ttf')


class Unavailable(Exception):
    """The chosen Wine cannot run here; the text says why in plain words."""


def wow64_root(make=True):
    """The WoW64 root's folder, made first if make is set and it is missing."""
    result = subprocess.run([ROOT_SCRIPT, 'ensure' if make else 'path'], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=1800)
    if result.returncode == SKIPPED:
        raise Unavailable(result.stderr.decode(errors='replace').strip())
    if result.returncode != 0:
        raise RuntimeError('making the WoW64 root failed:\n' + result.stderr.decode(errors='replace'))
    return result.stdout.decode().strip()


def wow64_root_ready():
    """The root's folder when it is complete, else None; never makes it."""
    root = subprocess.run([ROOT_SCRIPT, 'path'], stdout=subprocess.PIPE, timeout=60).stdout.decode().strip()
    return root if os.path.exists(os.path.join(root, '.kvsfx-wow64-complete')) else None


class Wine:
    def __init__(self, kind, prefix, binds=()):
        self.kind, self.prefix = kind, os.path.abspath(prefix)
        self.anchor = None
        if kind == 'host':
            if not os.path.exists(HOST_WINE):
                raise Unavailable('the host has no 64-bit Wine (%s)' % HOST_WINE)
            return
        if kind != 'wow64':
            raise ValueError(kind)
        root = wow64_root_ready()
        if root is None:
            raise Unavailable('the WoW64 root is not made (%s ensure makes it, with root rights)' % ROOT_SCRIPT)
        self.root = root
        refusal = os.path.join(self.prefix, NO_32BIT)
        if os.path.exists(refusal):
            raise Unavailable(open(refusal).read().strip())
        folders = sorted({os.path.abspath(f) for f in list(binds) + [os.path.dirname(self.prefix)]})
        # The namespace's first process mounts everything, says so, and then
        # sleeps in the root until close(); later commands enter it.
        script = r'''
root=$1; shift
mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" && mount --bind /tmp "$root/tmp" || exit 1
for folder in "$@"; do
  mkdir -p "$folder" "$root$folder" && mount --bind "$folder" "$root$folder" || exit 1
done
echo ready
exec chroot "$root" /bin/sleep infinity
'''
        self.anchor = subprocess.Popen(['unshare', '-m', '--propagation', 'private', '--', '/bin/sh', '-c', script,
                                        'sh', root] + folders, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        line = self.anchor.stdout.readline()
        if line.strip() != b'ready':
            self.anchor.wait(10)
            raise RuntimeError('could not enter the WoW64 root (unshare, mount or chroot failed)')

    def environment(self, display=None):
        """The environment of a Wine command: only what Wine needs."""
        env = {'WINEPREFIX': self.prefix, 'WINEDEBUG': '-all', 'WINEDLLOVERRIDES': 'mscoree,mshtml=',
               'PATH': '/usr/local/bin:/usr/bin:/bin', 'HOME': os.environ.get('HOME', '/root'),
               'LANG': 'C.UTF-8'}
        if self.kind == 'host':
            env = dict(os.environ, **env)
            env.pop('DISPLAY', None)
        else:
            env['HOME'] = '/root'
        if display:
            env['DISPLAY'] = display
        return env

    def _enter(self, argv, cwd=None):
        """argv run in the root, in folder cwd (which must be a bound one;
        default: the root's top). On the host, Popen's cwd does it."""
        if self.kind == 'host':
            return argv
        # nsenter would open a folder given to --wd on the host's side.
        return ['nsenter', '-t', str(self.anchor.pid), '-m', '-r', '/usr/bin/env', '-C', os.path.abspath(cwd or '/')] + argv

    def command(self, *argv, cwd=None):
        """The command line that runs a Windows program (or a Wine tool such
        as reg); pass cwd both here and to Popen."""
        return self._enter([HOST_WINE if self.kind == 'host' else ROOT_WINE] + list(argv), cwd)

    def server(self, *arguments):
        """The command line of the prefix's wineserver (-k ends it, -w waits for it)."""
        return self._enter([HOST_SERVER if self.kind == 'host' else ROOT_SERVER] + list(arguments))

    def path(self, host_path):
        return 'Z:' + os.path.abspath(host_path).replace('/', '\\')

    def fonts_folder(self):
        return '/usr/share/wine/fonts' if self.kind == 'host' else self.root + '/usr/share/wine/fonts'

    def close(self):
        if self.anchor and self.anchor.poll() is None:
            subprocess.run(self.server('-k'), env=self.environment(), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
            self.anchor.kill()
            self.anchor.wait(10)


def run_quiet(wine, argv, timeout, env=None):
    subprocess.run(argv, env=env or wine.environment(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=timeout, check=True)


def check_32bit(wine, program):
    """Runs a 32-bit console program that ends at once (the probe, told to
    quit). Some kernels cannot run 32-bit code at all (IA-32 emulation off,
    or a virtual machine without compatibility mode): then every 32-bit
    program dies at its first instruction, and the reason is returned."""
    result = subprocess.run(wine.command(program, cwd=os.path.dirname(program)), env=wine.environment(),
                            input=b'quit\n', stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    if result.returncode == 0:
        return None
    return ('this machine cannot run 32-bit programs under Wine (WoW64): a 32-bit test program ended '
            'with code %d, as when the kernel refuses 32-bit code (IA-32 emulation off or not offered '
            'by the virtual machine; see dmesg for a general protection fault in ntdll.so)' % result.returncode)


def create_prefix(kind, prefix, program32=None):
    """Returns None, or why 32-bit programs cannot run in a WoW64 prefix."""
    if os.path.isdir(prefix):
        remove_prefix(kind, prefix)
    os.makedirs(os.path.dirname(os.path.abspath(prefix)), exist_ok=True)
    wine = Wine(kind, prefix, [os.path.dirname(os.path.abspath(program32))] if program32 else [])
    refusal = None
    try:
        run_quiet(wine, wine.command('wineboot', '-i'), 600)
        keys = [('HKCU\\Software\\Wine\\Explorer', 'Desktop', 'Default'),
                ('HKCU\\Software\\Wine\\Explorer\\Desktops', 'Default', '800x600')]
        for view in ('/reg:64', '/reg:32'):
            keys.append(('HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes', 'MS Shell Dlg',
                         'MS Sans Serif', view))
        for key in keys:
            run_quiet(wine, wine.command('reg', 'add', key[0], '/v', key[1], '/d', key[2], '/f', *key[3:]), 120)
        run_quiet(wine, wine.server('-w'), 120)
        fonts = os.path.join(prefix, 'drive_c', 'windows', 'Fonts')
        os.makedirs(fonts, exist_ok=True)
        for name in PREFIX_FONTS:
            shutil.copy(os.path.join(wine.fonts_folder(), name), fonts)
        if kind == 'wow64' and program32:
            refusal = check_32bit(wine, os.path.abspath(program32))
    except (subprocess.SubprocessError, OSError) as error:
        # Where the kernel runs no 32-bit code, the WoW64 Wine may not even
        # finish its prefix (its 32-bit half dies): the suite is skipped
        # with that reason, never passed.
        if kind != 'wow64':
            raise
        refusal = ('the WoW64 prefix could not be made (%s); this machine may not run 32-bit code '
                   '(see dmesg for a general protection fault in ntdll.so)' % error)
    finally:
        wine.close()
    if not refusal and not os.path.exists(os.path.join(prefix, 'system.reg')):
        raise RuntimeError('wineboot made no prefix in ' + prefix)
    if refusal:
        os.makedirs(prefix, exist_ok=True)
        with open(os.path.join(prefix, NO_32BIT), 'w') as out:
            out.write(refusal + '\n')
    return refusal


def remove_prefix(kind, prefix):
    try:
        wine = Wine(kind, prefix)
        wine.close()
        if kind == 'host':
            subprocess.run(wine.server('-k'), env=wine.environment(), timeout=60, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    except Unavailable:
        pass
    shutil.rmtree(prefix, ignore_errors=True)


def run_program(options):
    kind = 'wow64' if options.wow64 else 'host'
    if kind == 'wow64':
        wow64_root()
    temporary = None
    prefix = options.prefix
    if prefix is None:
        temporary = tempfile.mkdtemp(prefix='kvsfx-wine-')
        prefix = os.path.join(temporary, 'prefix')
        create_prefix(kind, prefix)
    binds = list(options.bind) + [os.path.dirname(os.path.abspath(options.program)), os.getcwd()]
    wine = Wine(kind, prefix, binds)
    try:
        code = subprocess.run(wine.command(options.program, *options.arguments, cwd=os.getcwd()),
                              env=wine.environment(options.display)).returncode
        subprocess.run(wine.server('-w'), env=wine.environment(), timeout=120)
        return code
    finally:
        wine.close()
        if temporary:
            shutil.rmtree(temporary, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest='command', required=True)
    run = commands.add_parser('run')
    run.add_argument('--wow64', action='store_true', help="the WoW64 root's Wine (32-bit and 64-bit programs)")
    run.add_argument('--prefix')
    run.add_argument('--bind', action='append', default=[])
    run.add_argument('--display')
    run.add_argument('program')
    run.add_argument('arguments', nargs=argparse.REMAINDER)
    prefix = commands.add_parser('prefix')
    prefix.add_argument('action', choices=('create', 'remove'))
    prefix.add_argument('--wow64', action='store_true')
    prefix.add_argument('--check32', help='a 32-bit console program that ends with code 0 when its input says quit')
    prefix.add_argument('folder')
    options = parser.parse_args()
    try:
        if options.command == 'run':
            return run_program(options)
        kind = 'wow64' if options.wow64 else 'host'
        if options.action == 'create':
            if kind == 'wow64':
                wow64_root()
            refusal = create_prefix(kind, options.folder, options.check32)
            if refusal:
                raise Unavailable(refusal)
        else:
            remove_prefix(kind, options.folder)
        return 0
    except Unavailable as reason:
        print('skipped: %s' % reason, file=sys.stderr)
        return SKIPPED


if __name__ == '__main__':
    sys.exit(main())
