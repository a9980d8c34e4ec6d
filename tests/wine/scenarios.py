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
import subprocess
import sys
import time
import zipfile

from samples import fresh, sample_files, write_tree
from session import Session, TestFailure, Unavailable, expect, expect_same_tree, prepare_run

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

def make_sfx(name, files, *options, level=None):
    """Builds WORK/name from a tree of files; returns its path."""
    source = os.path.join(WORK, name + '.tree', 'paquet')
    fresh(os.path.dirname(source))
    write_tree(source, files, SAMPLE_TIME)
    output = os.path.join(WORK, name)
    command = [MAKE, '-o', output, '--stub', STUB] + list(options)
    if level is not None:
        command += ['--level', str(level)]
    result = subprocess.run(command + [source], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
    expect(result.returncode == 0, 'the builder refused: %s' % result.stdout.decode(errors='replace'))
    return output


def unzip_reference(sfx, folder):
    fresh(folder, make=True)
    result = subprocess.run(['unzip', '-q', '-o', sfx, '-d', folder], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, timeout=300)
    # unzip warns (code 1) about the bytes in front of the archive.
    expect(result.returncode in (0, 1), 'unzip failed: %s' % result.stdout.decode(errors='replace'))


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


def password_failing_the_check(sfx, stem):
    """A wrong password whose keys fail the check byte of every entry of sfx,
    by Python's zipfile: one password in 256 passes an entry's check, and the
    run then ends on the entry's CRC instead of on the password."""
    with zipfile.ZipFile(sfx) as archive:
        for n in range(1000):
            candidate = stem if n == 0 else '%s%d' % (stem, n)
            refused = 0
            for info in archive.infolist():
                try:
                    archive.open(info, pwd=candidate.encode('cp1252')).close()
                except RuntimeError:
                    refused += 1
            if refused == len(archive.infolist()):
                return candidate
    raise TestFailure('no wrong password fails every check of %s' % sfx)


def session_title(sfx):
    return 'Kelvra Self-Extractor - ' + os.path.basename(sfx)


def start_to_password(session, sfx):
    """Starts sfx and presses Décompresser; returns once the password
    prompt is shown."""
    program = session.start(sfx)
    session.wait_window(session_title(sfx))
    session.key('Return')
    session.wait_window('Kelvra Self-Extractor - Mot de passe')
    return program


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
    dialog.expect_texts_fit()
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
    program = start_to_password(session, sfx)
    session.key('Escape')
    session.wait_window('Kelvra Self-Extractor - Mot de passe', gone=True)
    session.wait_window(session_title(sfx), lambda w: w.item(1).enabled)
    expect(not os.path.exists(target), 'extracted after Cancel')

    session.key('alt+d')
    prompt = session.wait_window('Kelvra Self-Extractor - Mot de passe')
    expect('mot de passe' in prompt.item(401).text, 'prompt text %r' % prompt.item(401).text)
    prompt.expect_texts_fit()
    prompt.expect_items_inside()
    # OK with an empty field: the dialog stays. The keys typed after it land
    # in the same dialog's field (input is handled in order), which is the
    # positive sign that the Return did not close it.
    wrong = password_failing_the_check(sfx, 'faux')
    session.key('Return')
    session.type(wrong)
    session.wait_window('Kelvra Self-Extractor - Mot de passe',
                        lambda w: w.handle == prompt.handle and w.item(402).text == wrong)
    session.screenshot('password-dialog')
    session.key('Return')
    session.wait_box('Mot de passe incorrect')
    session.key('Return')
    session.finish(program)
    expect(not os.path.exists(os.path.join(target, 'paquet', 'secret.txt')), 'extracted with a wrong password')

    program = start_to_password(session, sfx)
    session.type('Sesame42')
    session.key('Return')
    box = session.wait_box(DONE_COUNT)
    expect(box.text().startswith('2 '), 'count %r' % box.text())
    session.key('Return')
    session.key('Escape')
    expect(session.finish(program) == 0, 'exit code %s' % program.returncode)
    expect(open(os.path.join(target, 'paquet', 'secret.txt'), 'rb').read() == files['secret.txt'], 'content')


def scenario_abort(session):
    """A key press during a run asks whether to abort: No goes on to the end
    of the run, Yes ends the run and the dialog and removes the file it was
    writing. The archive's end record lies beyond 512 KiB (incompressible
    noise first), so the meter is shown from the start; the click on Unzip and the key press go in one xdotool
    call, so the key is waiting for the run's first poll whatever the speed."""
    generator = random.Random(7)
    files = {'bruit.bin': bytes(generator.getrandbits(8) for _ in range(600 << 10))}
    files.update({'zero%d.bin' % i: 2 << 20 for i in range(4)})
    target = fresh(os.path.join(WORK, 'abort.out'))
    sfx = make_sfx('abort.exe', files, '--dest', session.wine_path(target))
    expect(os.path.getsize(sfx) > 0x80000, 'the archive is too small to show the meter at once')
    try:
        # No: the run goes on and extracts everything.
        program = session.start(sfx)
        dialog = session.wait_window(session_title(sfx))
        session.click(dialog, 1, then_key='space')
        box = session.wait_box('Abandonner la décompression')
        expect(box.buttons() == ['&Yes', '&No'], 'abort question %r' % box)
        dialog = session.dump(session_title(sfx))[0]
        expect(dialog.item(201).visible and not dialog.item(109).visible, 'meter not shown at once: %r' % dialog)
        session.screenshot('abort-question')
        session.key('Return')  # No is the default
        box = session.wait_box(DONE_COUNT, timeout=120)
        expect(box.text().startswith('%d ' % len(files)), 'count box %r' % box.text())
        session.key('Return')
        session.wait_window(session_title(sfx), lambda w: w.item(1).enabled)
        written = {n: os.path.getsize(os.path.join(f, n)) for f, _, ns in os.walk(target) for n in ns}
        expect(written == {n: len(d) if isinstance(d, bytes) else d for n, d in files.items()},
               'after No: %r' % written)
        session.key('Escape')
        expect(session.finish(program) == 0, 'exit code %s' % program.returncode)

        # Yes: the run ends at once, and the dialog with it.
        fresh(target)
        program = session.start(sfx)
        dialog = session.wait_window(session_title(sfx))
        session.click(dialog, 1, then_key='space')
        session.wait_box('Abandonner la décompression')
        session.key('y')
        session.finish(program)
        expect(not session.dump(session_title(sfx)), 'the dialog stayed after the abort')
        # The file being written when the run ended is removed: what stays
        # is whole files only, and no temporary file.
        sizes = {n: len(d) if isinstance(d, bytes) else d for n, d in files.items()}
        left = {n: os.path.getsize(os.path.join(f, n)) for f, _, ns in os.walk(target) for n in ns}
        expect(sum(left.values()) < sum(sizes.values()), 'everything written despite the abort')
        expect(all(sizes.get(n) == size for n, size in left.items()), 'left after the abort: %r' % left)
    finally:
        shutil.rmtree(target, ignore_errors=True)
        shutil.rmtree(sfx + '.tree', ignore_errors=True)


def scenario_high_dpi(session):
    """At 192 DPI (twice the usual) the main dialog and the password dialog
    hold every text and control whole, within the screen."""
    target = fresh(os.path.join(WORK, 'dpi.out'))
    sfx = make_sfx('dpi.exe', {'x.txt': b'x'}, '--password', 'p', '--dest', session.wine_path(target))
    session.registry('add', 'HKCU\\Control Panel\\Desktop', '/v', 'LogPixels', '/t', 'REG_DWORD', '/d', '192', '/f')
    try:
        program = session.start(sfx)
        dialog = session.wait_window(session_title(sfx))
        # A program that does not declare itself DPI-aware is drawn at 96 DPI
        # and stretched by the system (blurred); the probe then reads it at 96.
        expect(dialog.item(1).height >= 40, 'the dialog is not drawn at 192 DPI (stretched by the system?): %r'
               % dialog.item(1).__dict__)
        dialog.expect_texts_fit()
        dialog.expect_items_inside()
        expect(dialog.x >= 0 and dialog.y >= 0 and dialog.x + dialog.width <= 800 and dialog.y + dialog.height <= 600,
               'the dialog leaves the screen: %r' % dialog.__dict__)
        session.screenshot('high-dpi-main')
        session.key('Return')
        prompt = session.wait_window('Kelvra Self-Extractor - Mot de passe')
        prompt.expect_texts_fit()
        prompt.expect_items_inside()
        session.screenshot('high-dpi-password')
        session.key('Escape')
        session.wait_window(session_title(sfx), lambda w: w.item(1).enabled)
        session.key('Escape')
        expect(session.finish(program) == 0, 'exit code %s' % program.returncode)
    finally:
        session.registry('delete', 'HKCU\\Control Panel\\Desktop', '/v', 'LogPixels', '/f')


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
        # The record is complete once it ends with the quoted path.
        wanted = ' "%s"' % session.wine_path(sfx)
        deadline = time.time() + 20
        line = ''
        while not line.endswith(wanted) and time.time() < deadline:
            time.sleep(0.2)
            if os.path.exists(record):
                line = open(record, 'rb').read().decode('cp1252')
        expect(line.endswith(wanted), 'archiver command line %r' % line)
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
    program = start_to_password(session, sfx)
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


def build_exit_program():
    """tests/wine/exit_code.c built with MinGW into WORK; its bytes."""
    compiler = shutil.which('x86_64-w64-mingw32-gcc')
    expect(compiler is not None, 'x86_64-w64-mingw32-gcc is missing')
    output = os.path.join(WORK, 'exit_code.exe')
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'exit_code.c')
    result = subprocess.run([compiler, '-O2', '-Wall', '-Werror', '-s', '-mwindows', '-o', output, source],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    expect(result.returncode == 0, 'the exit-code program did not build: %s' % result.stdout.decode(errors='replace'))
    with open(output, 'rb') as program:
        return program.read()


def scenario_run(session):
    """--run: the program starts in the destination after a finished run and
    its exit code comes back (0, 3, 255), after -auto and after Unzip; a
    missing program and one outside the destination get the message and
    exit code 2; a cancelled run starts nothing."""
    files = {'bin/setup.exe': build_exit_program(), 'lisez-moi.txt': b'Bonjour\r\n'}
    cannot_run = "Impossible d'exécuter le programme"

    for code in (0, 3, 255):
        target = fresh(os.path.join(WORK, 'run%d.out' % code))
        sfx = make_sfx('run%d.exe' % code, files, '--run', 'paquet\\bin\\setup.exe %d "deux mots"' % code)
        program = session.start(sfx, '-auto', session.wine_path(target))
        expect(session.finish(program) == code, 'exit code %s, wanted %d' % (program.returncode, code))
        ran = open(os.path.join(target, 'ran.txt'), encoding='latin-1').read()
        expected = '%s|%d|deux mots' % (session.wine_path(target), code)
        expect(ran.lower() == expected.lower(), 'the program saw %r, wanted %r' % (ran, expected))

    # Unzip in the dialog: the dialog closes, then the program runs.
    target = fresh(os.path.join(WORK, 'run-dialog.out'))
    sfx = make_sfx('run-dialog.exe', files, '--run', 'paquet/bin/setup.exe 3', '--dest', session.wine_path(target))
    program = session.start(sfx)
    dialog = session.wait_window(session_title(sfx))
    expect(any('paquet/bin/setup.exe sera exécuté' in i.text for i in dialog.items), 'no notice in %r' % dialog)
    session.screenshot('run-dialog')
    session.key('Return')
    expect(session.finish(program) == 3, 'exit code %s after Unzip' % program.returncode)
    expect(os.path.exists(os.path.join(target, 'ran.txt')), 'not started after Unzip')

    # A cancelled run: the overwrite question's Cancel starts nothing.
    os.remove(os.path.join(target, 'ran.txt'))
    program = session.start(sfx, '-auto', session.wine_path(target))
    session.wait_box('existe déjà')
    session.key('Escape')
    expect(session.finish(program) == 2, 'exit code %s after Cancel' % program.returncode)
    expect(not os.path.exists(os.path.join(target, 'ran.txt')), 'started after a cancelled run')

    # A missing program.
    target = fresh(os.path.join(WORK, 'run-missing.out'))
    sfx = make_sfx('run-missing.exe', files, '--run', 'paquet/absent.exe')
    program = session.start(sfx, '-auto', session.wine_path(target))
    box = session.wait_box(cannot_run)
    expect('absent.exe' in box.text(), 'message %r' % box)
    session.key('Return')
    expect(session.finish(program) == 2, 'exit code %s for a missing program' % program.returncode)

    # ../x: the builder refuses it; a header forged to hold it is refused
    # by the stub, and the program beside the destination stays unstarted.
    refused = subprocess.run([MAKE, '-o', os.path.join(WORK, 'run-up.exe'), '--stub', STUB, '--run', '../x.exe',
                              os.path.join(WORK, 'run-missing.exe.tree')], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, timeout=60)
    expect(refused.returncode == 1, 'the builder took ../x.exe: %s' % refused.stdout.decode(errors='replace'))
    target = fresh(os.path.join(WORK, 'forged', 'out'))
    os.makedirs(target)
    with open(os.path.join(WORK, 'forged', 'x.exe'), 'wb') as beside:
        beside.write(files['bin/setup.exe'])
    sfx = make_sfx('run-forged.exe', files, '--run', 'zz/x.exe 0', '--no-stub-crc')
    with open(sfx, 'rb') as made:
        data = made.read()
    expect(data.count(b'zz/x.exe 0\0') == 1, 'the program text is not in the header')
    with open(sfx, 'wb') as forged:
        forged.write(data.replace(b'zz/x.exe 0\0', b'../x.exe 0\0'))
    program = session.start(sfx, '-auto', session.wine_path(target))
    box = session.wait_box(cannot_run)
    session.key('Return')
    expect(session.finish(program) == 2, 'exit code %s for ../x.exe' % program.returncode)
    expect(not os.path.exists(os.path.join(target, 'ran.txt')), '../x.exe was started')


SCENARIOS = {
    'auto': scenario_auto,
    'dialog': scenario_dialog,
    'overwrite': scenario_overwrite,
    'crc': scenario_crc,
    'password': scenario_password,
    'abort': scenario_abort,
    'high_dpi': scenario_high_dpi,
    'info': scenario_info,
    'prompt': scenario_prompt,
    'help_about': scenario_help_about,
    'archiver': scenario_archiver,
    'docs': scenario_docs,
    'run': scenario_run,
}


def main():
    name = sys.argv[1]
    if not prepare_run((('KVSFX_STUB', STUB), ('KVSFX_MAKE', MAKE), ('KVSFX_PROBE', PROBE),
                        ('KVSFX_WINEPREFIX', PREFIX)), WORK):
        return 1
    shots = SHOTS or os.path.join(WORK, 'shots')
    os.makedirs(shots, exist_ok=True)
    try:
        session = Session(PREFIX, PROBE, shots, [WORK, shots, os.path.dirname(STUB)])
    except Unavailable as reason:
        print('skipped: %s' % reason)
        return 77
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
