#!/usr/bin/env python3
"""The Windows stub under Wine, used as a person would use it.

    scenarios.py NAME       runs one scenario (see SCENARIOS below)

The environment names the pieces (tests/windows.cmake sets them):
KVSFX_STUB (kvsfx64.exe), KVSFX_MAKE (the native builder), KVSFX_PROBE
(probe.exe), KVSFX_WINEPREFIX (the prefix made by the fixture), KVSFX_WORK
(a scratch folder of this test) and KVSFX_SHOTS (where screenshots go).

Self-extracting files are made with the builder from trees written here;
Info-ZIP unzip run on the same file is the control for what the stub
extracts. Each scenario ends everything it started, whatever happens.
"""
import os
import random
import shutil
import signal
import subprocess
import sys
import time

from session import Session, TestFailure, expect, expect_same_tree

STUB = os.environ.get('KVSFX_STUB', '')
MAKE = os.environ.get('KVSFX_MAKE', '')
PROBE = os.environ.get('KVSFX_PROBE', '')
PREFIX = os.environ.get('KVSFX_WINEPREFIX', '')
WORK = os.environ.get('KVSFX_WORK', '')
SHOTS = os.environ.get('KVSFX_SHOTS', '')

DONE_COUNT = 'fichier(s) décompressé(s) avec succès'
ABORTED = 'Abandon de la décompression'
# Fixed DOS-representable times (even seconds) for the sample trees.
SAMPLE_TIME = time.mktime((2021, 6, 14, 9, 30, 42, 0, 0, -1))


# --- sample trees and self-extracting files ---------------------------------

def write_tree(root, files):
    """files: {relative path: bytes, or a size for a sparse file of zeros};
    every file gets SAMPLE_TIME plus twice its index."""
    for index, (name, data) in enumerate(sorted(files.items())):
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as out:
            if isinstance(data, int):
                out.truncate(data)
            else:
                out.write(data)
        os.utime(path, (SAMPLE_TIME + 2 * index, SAMPLE_TIME + 2 * index))


def sample_files():
    generator = random.Random(5)
    text = ''.join(generator.choice('abcdefghij klmnop\n') for _ in range(40000)).encode()
    return {
        'lisez-moi.txt': b'Bonjour\r\n',
        'docs/guide.txt': text,
        'docs/vide.txt': b'',
        'docs/annexes/table.bin': bytes(generator.getrandbits(8) for _ in range(70000)),
        'images/logo.dat': bytes(range(256)) * 40,
    }


def make_sfx(name, files, *options, level=None):
    """Builds WORK/name from a tree of files; returns its path."""
    source = os.path.join(WORK, name + '.tree', 'paquet')
    if os.path.exists(os.path.dirname(source)):
        shutil.rmtree(os.path.dirname(source))
    write_tree(source, files)
    output = os.path.join(WORK, name)
    command = [MAKE, '-o', output, '--stub', STUB] + list(options)
    if level is not None:
        command += ['--level', str(level)]
    result = subprocess.run(command + [source], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
    expect(result.returncode == 0, 'the builder refused: %s' % result.stdout.decode(errors='replace'))
    return output


def unzip_reference(sfx, folder):
    if os.path.exists(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    result = subprocess.run(['unzip', '-q', '-o', sfx, '-d', folder], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, timeout=300)
    # unzip warns (code 1) about the bytes in front of the archive.
    expect(result.returncode in (0, 1), 'unzip failed: %s' % result.stdout.decode(errors='replace'))


def fresh(folder):
    if os.path.exists(folder):
        shutil.rmtree(folder)
    return folder


# --- scenarios ---------------------------------------------------------------

def scenario_auto(session):
    """-auto FOLDER, and the builder's --auto with its --dest: the tree of
    unzip, with its times; exit code 0; no window left."""
    sfx = make_sfx('auto.exe', sample_files())
    reference = os.path.join(WORK, 'auto.reference')
    unzip_reference(sfx, reference)

    target = fresh(os.path.join(WORK, 'auto.out'))
    program = session.start(sfx, '-auto', session.wine_path(target))
    expect(session.finish(program) == 0, 'exit code %s' % program.returncode)
    expect_same_tree(target, reference, "unzip's")
    expect(not session.dump(session_title(sfx)), 'a window is left')

    target = fresh(os.path.join(WORK, 'built-auto.out'))
    sfx = make_sfx('built-auto.exe', sample_files(), '--auto', '--dest', session.wine_path(target))
    program = session.start(sfx)
    expect(session.finish(program) == 0, 'exit code %s' % program.returncode)
    expect_same_tree(target, reference, "unzip's")
    expect(not [w for w in session.windows() if w.pid and 'Kelvra' in w.caption], 'a window is left')


def session_title(sfx):
    return 'Kelvra Self-Extractor - ' + os.path.basename(sfx)


def scenario_dialog(session):
    """The main dialog: its look, Unzip, the count box, a second run with
    the overwrite box ticked, Close."""
    target = fresh(os.path.join(WORK, 'dialog.out'))
    sfx = make_sfx('dialog.exe', sample_files(), '--dest', session.wine_path(target))
    program = session.start(sfx)
    dialog = session.wait_window(session_title(sfx))
    expect(dialog.item(106).text == session.wine_path(target), 'folder field %r' % dialog.item(106).text)
    expect('dialog.exe' in dialog.item(101).text and dialog.item(101).text.startswith('Pour décompresser'),
           'explanation %r' % dialog.item(101).text)
    expect(not dialog.item(201).visible and not dialog.item(111).visible, 'meter or check box 111 shown')
    expect(dialog.item(102).checked == 0, 'overwrite box ticked')
    expect(dialog.item(1).enabled and dialog.item(1).text == '&Décompresser', 'Unzip button %r' % dialog.item(1))
    session.screenshot('main-dialog')

    session.key('Return')  # Unzip is the default button
    box = session.wait_box(DONE_COUNT)
    expect(box.text().startswith('5 '), 'count box %r' % box.text())  # the empty file counts too
    session.screenshot('count-box')
    session.key('Return')
    dialog = session.wait_window(session_title(sfx), lambda w: w.item(1).enabled)
    expect(DONE_COUNT in dialog.item(109).text, 'status line %r' % dialog.item(109).text)
    reference = os.path.join(WORK, 'dialog.reference')
    unzip_reference(sfx, reference)
    expect_same_tree(target, reference, "unzip's")

    # Second run: the files exist; with the box ticked nobody is asked.
    with open(os.path.join(target, 'paquet', 'lisez-moi.txt'), 'wb') as out:
        out.write(b'changed')
    session.key('alt+e', 'alt+d')
    session.wait_box(DONE_COUNT)
    session.key('Return')
    dialog = session.wait_window(session_title(sfx), lambda w: w.item(1).enabled)
    expect(dialog.item(102).checked == 1, 'overwrite box not ticked')
    expect_same_tree(target, reference, "unzip's")

    session.key('alt+f')  # Close
    expect(session.finish(program) == 0, 'exit code %s' % program.returncode)
    expect(not session.dump(session_title(sfx)), 'the dialog is still there')


def scenario_overwrite(session):
    """The overwrite question answered Yes, No, then Cancel."""
    files = {'a.txt': b'new a\n', 'b.txt': b'new b\n'}
    target = fresh(os.path.join(WORK, 'overwrite.out'))
    sfx = make_sfx('overwrite.exe', files, '--dest', session.wine_path(target))
    existing = os.path.join(target, 'paquet', 'a.txt')

    for answer, expected_content, expected_count in (('y', b'new a\n', '2 '), ('n', b'old\n', '1 ')):
        os.makedirs(os.path.dirname(existing), exist_ok=True)
        with open(existing, 'wb') as out:
            out.write(b'old\n')
        if os.path.exists(os.path.join(target, 'paquet', 'b.txt')):
            os.remove(os.path.join(target, 'paquet', 'b.txt'))
        program = session.start(sfx)
        session.wait_window(session_title(sfx))
        session.key('Return')
        box = session.wait_box('existe déjà')
        expect('a.txt' in box.text() and box.buttons() == ['&Yes', '&No', 'Cancel'], 'question %r' % box)
        if answer == 'y':
            session.screenshot('overwrite-question')
        session.key(answer)
        box = session.wait_box(DONE_COUNT)
        expect(box.text().startswith(expected_count), 'count %r after %s' % (box.text(), answer))
        session.key('Return')
        session.wait_window(session_title(sfx), lambda w: w.item(1).enabled)
        session.key('Escape')
        expect(session.finish(program) == 0, 'exit code %s' % program.returncode)
        expect(open(existing, 'rb').read() == expected_content, 'a.txt after %s' % answer)

    # Cancel: the run ends, the dialog closes, the file is untouched.
    with open(existing, 'wb') as out:
        out.write(b'old\n')
    os.remove(os.path.join(target, 'paquet', 'b.txt'))
    program = session.start(sfx)
    session.wait_window(session_title(sfx))
    session.key('Return')
    session.wait_box('existe déjà')
    session.key('Escape')
    session.finish(program)
    expect(open(existing, 'rb').read() == b'old\n', 'a.txt changed after Cancel')
    expect(not os.path.exists(os.path.join(target, 'paquet', 'b.txt')), 'b.txt extracted after Cancel')


def scenario_crc(session):
    """A damaged stored entry: the CRC box, then the dialog closes; nothing of
    the damaged entry stays."""
    content = b'0123456789abcdef' * 300
    target = fresh(os.path.join(WORK, 'crc.out'))
    sfx = make_sfx('crc.exe', {'premier.txt': b'first\n', 'second.dat': content}, '--dest',
                   session.wine_path(target), level=0)
    data = bytearray(open(sfx, 'rb').read())
    at = data.rindex(content)
    data[at + 1000] ^= 0x55
    open(sfx, 'wb').write(data)

    program = session.start(sfx)
    session.wait_window(session_title(sfx))
    session.key('Return')
    box = session.wait_box('Mauvais CRC')
    expect('second.dat' in box.text() and 'ZIP endommagé' in box.text(), 'CRC box %r' % box.text())
    session.screenshot('crc-error')
    session.key('Return')
    session.finish(program)
    expect(not session.dump(session_title(sfx)), 'the dialog stayed after the error')
    expect(open(os.path.join(target, 'paquet', 'premier.txt'), 'rb').read() == b'first\n',
           'the entry before the damaged one is missing')
    left = sorted(os.listdir(os.path.join(target, 'paquet')))
    expect(left == ['premier.txt'], 'the damaged entry left %r' % left)


def scenario_password(session):
    """The password dialog: a wrong password ends the run; the right one extracts."""
    files = {'secret.txt': b'le tresor est sous le chene\n' * 50, 'autre.txt': b'rien\n'}
    target = fresh(os.path.join(WORK, 'password.out'))
    sfx = make_sfx('password.exe', files, '--password', 'Sesame42', '--dest', session.wine_path(target))

    # Cancel: no run, Unzip enabled again.
    program = session.start(sfx)
    session.wait_window(session_title(sfx))
    session.key('Return')
    session.wait_window('Kelvra Self-Extractor - Mot de passe')
    session.key('Escape')
    session.wait_window('Kelvra Self-Extractor - Mot de passe', gone=True)
    session.wait_window(session_title(sfx), lambda w: w.item(1).enabled)
    expect(not os.path.exists(target), 'extracted after Cancel')

    session.key('alt+d')
    prompt = session.wait_window('Kelvra Self-Extractor - Mot de passe')
    expect('mot de passe' in prompt.item(401).text, 'prompt text %r' % prompt.item(401).text)
    session.key('Return')  # empty field: the dialog stays
    time.sleep(0.5)
    expect(session.dump('Kelvra Self-Extractor - Mot de passe'), 'OK with an empty field closed the dialog')
    session.type('faux')
    session.screenshot('password-dialog')
    session.key('Return')
    session.wait_box('Mot de passe incorrect')
    session.key('Return')
    session.finish(program)
    expect(not os.path.exists(os.path.join(target, 'paquet', 'secret.txt')), 'extracted with a wrong password')

    program = session.start(sfx)
    session.wait_window(session_title(sfx))
    session.key('Return')
    session.wait_window('Kelvra Self-Extractor - Mot de passe')
    session.type('Sesame42')
    session.key('Return')
    box = session.wait_box(DONE_COUNT)
    expect(box.text().startswith('2 '), 'count %r' % box.text())
    session.key('Return')
    session.key('Escape')
    expect(session.finish(program) == 0, 'exit code %s' % program.returncode)
    expect(open(os.path.join(target, 'paquet', 'secret.txt'), 'rb').read() == files['secret.txt'], 'content')


def scenario_abort(session):
    """A key press during a long run asks whether to abort; No goes on, Yes
    ends the run and the dialog, and removes the file it was writing. The archive is small (zeros deflate well),
    so the meter comes from timer 69: half a second in, far less than a third
    of the 192 MiB is written."""
    files = {'zero%d.bin' % i: 24 << 20 for i in range(8)}
    target = fresh(os.path.join(WORK, 'abort.out'))
    sfx = make_sfx('abort.exe', files, '--dest', session.wine_path(target))
    try:
        program = session.start(sfx)
        dialog = session.wait_window(session_title(sfx))
        # Clicked: the disabled Unzip button hands the keyboard focus to Close,
        # so that the key presses below reach the dialog.
        session.click(dialog, 1)
        dialog = session.wait_window(session_title(sfx), lambda w: w.item(201).visible, timeout=20)
        expect(not dialog.item(109).visible, 'status line shown beside the meter')
        session.screenshot('meter')
        session.key('space')
        box = session.wait_box('Abandonner la décompression')
        expect(box.buttons() == ['&Yes', '&No'], 'abort question %r' % box)
        session.screenshot('abort-question')
        session.key('Return')  # No is the default: the run goes on
        session.wait_window(session_title(sfx), lambda w: w.item(201).visible, timeout=5)
        session.key('space')
        session.wait_box('Abandonner la décompression')
        session.key('y')
        session.finish(program)
        expect(not session.dump(session_title(sfx)), 'the dialog stayed after the abort')
        # The file being written when the run ended is removed: what stays
        # is whole files only, and no temporary file.
        left = {n: os.path.getsize(os.path.join(f, n)) for f, _, ns in os.walk(target) for n in ns}
        expect(sum(left.values()) < sum(files.values()), 'everything written despite the abort')
        expect(all(files.get(n) == size for n, size in left.items()), 'left after the abort: %r' % left)
    finally:
        shutil.rmtree(target, ignore_errors=True)
        shutil.rmtree(sfx + '.tree', ignore_errors=True)


def scenario_info(session):
    """-info shows the information text, and nothing is extracted."""
    target = fresh(os.path.join(WORK, 'info.out'))
    sfx = make_sfx('info.exe', {'x.txt': b'x'}, '--info', "Version 2.1 de l'outil", '--auto', '--dest',
                   session.wine_path(target))
    program = session.start(sfx, '-info')
    box = session.wait_window('Kelvra Self-Extractor', lambda w: any(i.text == "Version 2.1 de l'outil"
                                                                      for i in w.items))
    expect(box.buttons() == ['OK'], 'info box %r' % box)
    session.key('Return')
    expect(session.finish(program) == 0, 'exit code %s' % program.returncode)
    expect(not os.path.exists(target), 'extracted with -info')


def scenario_prompt(session):
    """The start-up prompt: No ends the program, Yes leads to the dialog."""
    sfx = make_sfx('prompt.exe', {'x.txt': b'x'}, '--prompt', 'Installer les outils ?', '--prompt-style', 'yesno')
    program = session.start(sfx)
    box = session.wait_box('Installer les outils ?')
    expect(box.buttons() == ['&Yes', '&No'], 'prompt %r' % box)
    session.key('n')
    expect(session.finish(program) == 0, 'exit code %s' % program.returncode)
    expect(not session.dump(session_title(sfx)), 'the dialog appeared after No')

    program = session.start(sfx)
    session.wait_box('Installer les outils ?')
    session.key('y')
    session.wait_window(session_title(sfx))
    session.key('Escape')
    expect(session.finish(program) == 0, 'exit code %s' % program.returncode)


def scenario_help_about(session):
    """Help names the program's file; About shows the product's text;
    Browse opens the folder picker; the dialog stays."""
    sfx = make_sfx('aide.exe', {'x.txt': b'x'})
    program = session.start(sfx)
    session.wait_window(session_title(sfx))
    session.key('alt+a')
    box = session.wait_box('appuyez sur le bouton Décompresser')
    expect('aide.exe' in box.text() and '\\' not in box.text().split('aide.exe')[0][-3:], 'help %r' % box.text())
    session.screenshot('help-box')
    session.key('Return')
    session.wait_window(session_title(sfx))
    session.key('alt+p')
    box = session.wait_window('Kelvra Self-Extractor', lambda w: w.buttons() == ['OK'] and w.text())
    expect(box.text() and box.text() != session_title(sfx), 'about %r' % box.text())
    session.key('Return')
    # Browse: the system's folder picker with message 48 as its title line.
    session.key('alt+r')
    picker = session.wait_window_any(lambda w: any(i.text.startswith('Décompresser dans Dossier') for i in w.items))
    session.key('Escape')
    session.wait_window(picker.caption, lambda w: w.handle == picker.handle, gone=True)
    dialog = session.wait_window(session_title(sfx))
    expect(dialog.enabled, 'the dialog stays disabled after the picker')
    session.key('Escape')
    expect(session.finish(program) == 0, 'exit code %s' % program.returncode)


def scenario_archiver(session):
    """Run archiver: message 27 without a registered command; with one, the
    command starts on the quoted program path and the dialog closes."""
    sfx = make_sfx('archiveur.exe', {'x.txt': b'x'})
    program = session.start(sfx)
    session.wait_window(session_title(sfx))
    session.key('alt+k')
    session.wait_box('Impossible de trouver Kelvra')
    session.key('Return')
    session.wait_window(session_title(sfx))
    session.key('Escape')
    expect(session.finish(program) == 0, 'exit code %s' % program.returncode)

    launcher = os.path.join(WORK, 'archiver', 'kelvra.exe')
    os.makedirs(os.path.dirname(launcher), exist_ok=True)
    shutil.copy(PROBE, launcher)
    record = os.path.join(WORK, 'archiver', 'launched.txt')
    if os.path.exists(record):
        os.remove(record)
    session.registry('add', 'HKCR\\kelvra\\shell\\open\\command', '/ve', '/d',
                     session.wine_path(launcher) + ' "%1"', '/f')
    try:
        program = session.start(sfx)
        session.wait_window(session_title(sfx))
        session.key('alt+k')
        expect(session.finish(program) == 0, 'exit code %s' % program.returncode)
        deadline = time.time() + 20
        while not os.path.exists(record) and time.time() < deadline:
            time.sleep(0.2)
        expect(os.path.exists(record), 'the archiver was not started')
        time.sleep(0.3)
        line = open(record, 'rb').read().decode('cp1252')
        expect(line.endswith(' "%s"' % session.wine_path(sfx)), 'archiver command line %r' % line)
    finally:
        session.registry('delete', 'HKCR\\kelvra', '/f')


def scenario_docs(session):
    """Not a test: the screenshots of docs/ (main dialog with the meter during
    a run, the password dialog, the count box), from a file made the way a
    publisher would make it. Run by hand: scenarios.py docs, with KVSFX_SHOTS
    naming docs/windows."""
    generator = random.Random(11)
    block = bytes(generator.getrandbits(8) for _ in range(1 << 16))
    files = {'lisez-moi.txt': b'Bonjour\r\n', 'donnees1.bin': block * 320, 'donnees2.bin': block * 320}
    sfx = make_sfx('outils-setup.exe', files, '--dest', 'C:\\Outils', '--password', 'exemple', level=0)
    program = session.start(sfx)
    session.wait_window(session_title(sfx))
    session.key('Return')
    session.wait_window('Kelvra Self-Extractor - Mot de passe')
    session.type('exemple')
    session.screenshot('password-dialog')
    session.key('Return')
    session.wait_window(session_title(sfx), lambda w: w.item(201).visible and w.item(201).extra >= 20)
    session.screenshot('main-dialog-meter')
    session.wait_box(DONE_COUNT, timeout=120)
    session.screenshot('count-box')
    session.key('Return')
    session.key('Escape')
    session.finish(program)


SCENARIOS = {
    'auto': scenario_auto,
    'dialog': scenario_dialog,
    'overwrite': scenario_overwrite,
    'crc': scenario_crc,
    'password': scenario_password,
    'abort': scenario_abort,
    'info': scenario_info,
    'prompt': scenario_prompt,
    'help_about': scenario_help_about,
    'archiver': scenario_archiver,
    'docs': scenario_docs,
}


def main():
    name = sys.argv[1]
    for variable, value in (('KVSFX_STUB', STUB), ('KVSFX_MAKE', MAKE), ('KVSFX_PROBE', PROBE),
                            ('KVSFX_WINEPREFIX', PREFIX), ('KVSFX_WORK', WORK)):
        if not value or (variable != 'KVSFX_WORK' and not os.path.exists(value)):
            print('%s is not set or does not exist: %r' % (variable, value))
            return 1
    os.makedirs(WORK, exist_ok=True)
    # The hard time limit ends the test with SIGTERM: close the session first.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(124))
    session = Session(PREFIX, PROBE, SHOTS or os.path.join(WORK, 'shots'))
    try:
        SCENARIOS[name](session)
    except TestFailure as failure:
        print('FAILED: %s' % failure)
        try:
            print('screenshot: %s' % session.screenshot('failure-' + name))
        except Exception:  # the screenshot only helps; the failure stands
            pass
        return 1
    finally:
        session.close()
    print('%s: passed' % name)
    return 0


if __name__ == '__main__':
    sys.exit(main())
