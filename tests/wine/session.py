"""One Wine session for a test: a virtual display, the stub under Wine (the
host's for 64-bit programs, or the WoW64 root's, which runs the 32-bit stub
too: see wine.py) inside a Wine virtual desktop of the same size, xdotool as
the user's hands and the probe (probe.exe, run in the same session) as the
user's eyes.

Every wait has a deadline, and close() ends everything the session started:
the Wine processes of the prefix (wineserver -k) and the display.
"""
import filecmp
import os
import signal
import subprocess
import sys
import time

from wine import Unavailable, Wine  # noqa: F401 (Unavailable: for the scripts)

SCREEN = (800, 600)
# Seconds a window found is given to become the foreground one (wait_window).
FOCUS_GRACE = 10
TITLE = 'Kelvra Self-Extractor'


class TestFailure(Exception):
    pass


def expect(condition, text):
    if not condition:
        raise TestFailure(text)


def prepare_run(pieces, work):
    """pieces: (variable, value) pairs from the environment, each set and an
    existing file; work, the scratch folder, is made. The hard time limit
    ends a test with SIGTERM: it becomes an exit, so that the session is
    closed first. False, with the reason printed, when a piece is missing."""
    for variable, value in list(pieces) + [('KVSFX_WORK', work)]:
        if not value or (variable != 'KVSFX_WORK' and not os.path.exists(value)):
            print('%s is not set or does not exist: %r' % (variable, value))
            return False
    os.makedirs(work, exist_ok=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(124))
    return True


class Item:
    """One child control as the probe reports it."""

    def __init__(self, line):
        head, _, text = line.partition('|')
        fields = head.split()
        self.id = int(fields[1])
        self.kind = fields[2]
        self.visible, self.enabled, self.checked = (int(v) for v in fields[3:6])
        self.x, self.y, self.width, self.height, self.extra = (int(v) for v in fields[6:11])
        # The room a static text needs in the dialog font; -1 for other controls.
        self.need_width, self.need_height = int(fields[11]), int(fields[12])
        self.text = unescape(text)

    def text_fits(self):
        return self.need_width <= self.width and self.need_height <= self.height

    def __repr__(self):
        return '<%s %d %r%s%s>' % (self.kind, self.id, self.text, '' if self.visible else ' hidden',
                                   '' if self.enabled else ' disabled')


class Window:
    def __init__(self, line):
        head, _, caption = line.partition('|')
        fields = head.split()
        self.handle = fields[1]
        self.x, self.y, self.width, self.height, self.enabled, self.pid, self.foreground = (
            int(v) for v in fields[2:9])
        self.caption = unescape(caption)
        self.items = []

    def item(self, ident):
        for item in self.items:
            if item.id == ident:
                return item
        raise TestFailure('no control %d in %r: %r' % (ident, self.caption, self.items))

    def text(self):
        """The message text of a message box (its static control 0xFFFF)."""
        return self.item(0xFFFF).text

    def expect_texts_fit(self):
        """Every visible static text of the window fits its rectangle: no
        line cut at the bottom, no word cut at the right."""
        cut = [(item, (item.need_width, item.need_height), (item.width, item.height)) for item in self.items
               if item.visible and item.need_width >= 0 and item.text and not item.text_fits()]
        expect(not cut, 'texts cut in %r (control, needed, given): %r' % (self.caption, cut))

    def expect_items_inside(self):
        """Every visible control lies within the window."""
        outside = [item for item in self.items if item.visible and (
            item.x < self.x or item.y < self.y or item.x + item.width > self.x + self.width or
            item.y + item.height > self.y + self.height)]
        expect(not outside, 'controls beyond the edges of %r: %r' % (self.caption, outside))

    def buttons(self):
        return [item.text for item in self.items if item.kind.lower() == 'button' and item.visible]

    def __repr__(self):
        return '<window %r %r>' % (self.caption, self.items)


def unescape(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == '\\' and i + 1 < len(text):
            out.append({'n': '\n', 'r': '\r', '\\': '\\'}.get(text[i + 1], text[i + 1]))
            i += 2
        else:
            out.append(text[i])
            i += 1
    return ''.join(out)


def wine_kind():
    """KVSFX_WINE: "host" (the default) or "wow64"."""
    return os.environ.get('KVSFX_WINE', 'host')


class Session:
    def __init__(self, prefix, probe, shots, binds=()):
        """binds: the host folders the programs of the session use (the
        WoW64 root sees only these, at the same paths)."""
        self.prefix, self.probe_path, self.shots = prefix, probe, shots
        self.display = None
        self.xvfb = None
        self.probe = None
        self.programs = []
        self.wine = Wine(wine_kind(), prefix, list(binds) + ([os.path.dirname(os.path.abspath(probe))] if probe else []))
        self._start_display()
        self.env = self.wine.environment(self.display)
        # xdotool and import run on the host.
        self.host_env = dict(os.environ, DISPLAY=self.display)

    # --- the display -------------------------------------------------------

    def _start_display(self):
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(
            ['Xvfb', '-displayfd', str(write), '-screen', '0', '%dx%dx24' % SCREEN, '-nolisten', 'tcp'],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        number = b''
        deadline = time.time() + 20
        while not number.endswith(b'\n') and time.time() < deadline:
            chunk = os.read(read, 16)
            if not chunk:
                break
            number += chunk
        os.close(read)
        expect(number.strip().isdigit(), 'Xvfb did not start')
        self.display = ':' + number.decode().strip()

    # --- programs ----------------------------------------------------------

    def wine_path(self, path):
        return 'Z:' + os.path.abspath(path).replace('/', '\\')

    def start(self, exe, *arguments):
        """Starts a Windows program; its output is collected in the returned process."""
        program = subprocess.Popen(self.wine.command(exe, *arguments), env=self.env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.programs.append(program)
        return program

    def finish(self, program, timeout=60):
        """Waits for a program to end; its exit code."""
        try:
            program.wait(timeout)
        except subprocess.TimeoutExpired:
            raise TestFailure('the program did not end within %d s; windows: %r' % (timeout, self.windows()))
        return program.returncode

    # --- eyes ----------------------------------------------------------------

    def _ask(self, command):
        if self.probe is None:
            self.probe = subprocess.Popen(self.wine.command(self.probe_path), env=self.env, stdin=subprocess.PIPE,
                                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.probe.stdin.write((command + '\n').encode('cp1252'))
        self.probe.stdin.flush()
        lines = []
        while True:
            line = self.probe.stdout.readline()
            expect(line, 'the probe ended')
            line = line.decode('cp1252').rstrip('\r\n')
            if line == 'END':
                return lines
            lines.append(line)

    def _parse(self, lines):
        windows = []
        for line in lines:
            if line.startswith('WINDOW '):
                windows.append(Window(line))
            elif line.startswith('ITEM ') and windows:
                windows[-1].items.append(Item(line))
        return windows

    def windows(self):
        return self._parse(self._ask('list'))

    def dump(self, caption):
        return self._parse(self._ask('dump ' + caption))

    def wait_window(self, caption=TITLE, where=None, timeout=60, gone=False):
        """The first window with this caption whose contents satisfy where
        (a function of the window), or with gone set, waits until none is
        left. Fails with what is on the screen at the deadline."""
        deadline = time.time() + timeout
        # Keys go to the foreground window: a window that has just appeared
        # is given this long to become it before it is returned all the same.
        focus_deadline = None
        while True:
            found = [w for w in self.dump(caption) if where is None or where(w)]
            if gone and not found:
                return None
            if found and not gone:
                focus_deadline = focus_deadline or time.time() + FOCUS_GRACE
                if found[0].foreground or time.time() > min(focus_deadline, deadline):
                    return found[0]
            if time.time() > deadline:
                raise TestFailure('%s %r%s; on the screen: %r' % (
                    'still there:' if gone else 'no window', caption, '' if gone else ' as expected',
                    self.windows() if not gone else found))
            time.sleep(0.2)

    def wait_box(self, text_part, timeout=60):
        """A message box (caption "Kelvra Self-Extractor") whose text holds text_part."""
        return self.wait_window(TITLE, lambda w: any(i.id == 0xFFFF and text_part in i.text for i in w.items),
                                timeout)

    def wait_window_any(self, where, timeout=60):
        deadline = time.time() + timeout
        while True:
            for window in self.windows():
                full = self.dump(window.caption)
                for candidate in full:
                    if where(candidate):
                        return candidate
            if time.time() > deadline:
                raise TestFailure('no window as expected; on the screen: %r' % self.windows())
            time.sleep(0.2)

    def screenshot(self, name, margin=12):
        """The part of the screen that holds every visible window, with a
        margin of desktop around it."""
        os.makedirs(self.shots, exist_ok=True)
        path = os.path.join(self.shots, name + '.png')
        shown = [w for w in self.windows() if w.width > 1 and w.height > 1]
        left, top, right, bottom = 0, 0, SCREEN[0], SCREEN[1]
        if shown:
            left = max(0, min(w.x for w in shown) - margin)
            top = max(0, min(w.y for w in shown) - margin)
            right = min(SCREEN[0], max(w.x + w.width for w in shown) + margin)
            bottom = min(SCREEN[1], max(w.y + w.height for w in shown) + margin)
        subprocess.run(['import', '-display', self.display, '-window', 'root', '-crop',
                        '%dx%d+%d+%d' % (right - left, bottom - top, left, top), '+repage', path],
                       env=self.host_env, check=True, timeout=30)
        return path

    # --- hands ---------------------------------------------------------------

    def key(self, *keys):
        """Presses keys (xdotool names: Return, Escape, alt+d, y, ...)."""
        subprocess.run(['xdotool', 'key', '--delay', '60'] + list(keys), env=self.host_env, check=True, timeout=20)

    def type(self, text):
        subprocess.run(['xdotool', 'type', '--delay', '40', text], env=self.host_env, check=True, timeout=60)

    def click(self, window, ident, then_key=None):
        """A left click in the middle of control ident of window (the virtual
        desktop lies at the display's origin, so screen pixels are X pixels);
        then_key: a key pressed right after, in the same xdotool call, so
        that it is queued before whatever the click starts looks for input."""
        item = window.item(ident)
        keys = ['key', then_key] if then_key else []
        # No --sync: it waits for a pointer motion, which never comes when
        # the pointer already rests there (a second click at the same spot).
        # The server handles the motion and the click in the order sent.
        subprocess.run(['xdotool', 'mousemove', str(item.x + item.width // 2),
                        str(item.y + item.height // 2), 'click', '1'] + keys, env=self.host_env, check=True,
                       timeout=20)

    # --- the prefix's registry -----------------------------------------------

    def registry(self, *arguments):
        subprocess.run(self.wine.command('reg', *arguments), env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60, check=True)

    # --- the end -------------------------------------------------------------

    def close(self):
        if self.probe and self.probe.poll() is None:
            try:
                self.probe.stdin.write(b'quit\n')
                self.probe.stdin.flush()
            except OSError:
                pass
        subprocess.run(self.wine.server('-k'), env=self.env, timeout=60, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        for program in self.programs + ([self.probe] if self.probe else []):
            if program.poll() is None:
                program.kill()
            program.wait(10)
        if self.xvfb and self.xvfb.poll() is None:
            self.xvfb.send_signal(signal.SIGTERM)
            try:
                self.xvfb.wait(10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait(10)
        self.wine.close()


def tree_listing(root):
    """{relative path: ('folder',) or ('file', size, mtime)}; contents are compared apart."""
    listing = {}
    for folder, folders, names in os.walk(root):
        for name in folders + names:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, root)
            if os.path.isdir(path):
                listing[relative] = ('folder',)
            else:
                status = os.stat(path)
                listing[relative] = ('file', status.st_size, int(status.st_mtime))
    return listing


def expect_same_tree(actual, wanted, source):
    """The extracted tree actual equals wanted (made by source): names, sizes, times, bytes."""
    got, expected = tree_listing(actual), tree_listing(wanted)
    expect(got == expected, 'extracted tree differs from %s:\n  out: %r\n  %s: %r' % (source, got, source, expected))
    for relative, entry in expected.items():
        if entry[0] == 'file':
            expect(filecmp.cmp(os.path.join(actual, relative), os.path.join(wanted, relative), shallow=False),
                   '%s differs from %s' % (relative, source))
