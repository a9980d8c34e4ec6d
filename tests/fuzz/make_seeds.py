#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/seeds/<target>/.

Small, valid inputs of each kind that the fuzzer mutates from: raw deflate
streams, whole self-extracting runs (archives with stored, deflated,
encrypted, folder and duplicate entries, with their scripts), program files
with a configuration block, command lines, the embedded message streams and
input zips. Run it again after a change of an input layout; the seeds are
committed so that every run starts from the same corpus.
"""
import io
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import warnings
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SEEDS = os.path.join(ROOT, "tests", "fuzz", "seeds")
SIGNATURE = b"QXB\x01sfx\x02"
ENTRY = 0x3E90


def write(target, name, data):
    folder = os.path.join(SEEDS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def deflate(data, level=6, strategy=zlib.Z_DEFAULT_STRATEGY):
    c = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
    return c.compress(data) + c.flush()


def text(size, seed=1):
    rng = random.Random(seed)
    words = [b"archive ", b"fichier ", b"volume ", b"\n", b"disque ", b"0x1F, "]
    out = b""
    while len(out) < size:
        out += rng.choice(words)
    return out[:size]


def zip_bytes(entries, comment=b"", method=zipfile.ZIP_DEFLATED):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", method) as z:
        for name, data in entries:
            z.writestr(name, data)
        z.comment = comment
    return buffer.getvalue()


def piped_zip(entries):
    """A zip written to a stream that cannot seek: data descriptors."""
    class Unseekable(io.RawIOBase):
        def __init__(self):
            self.data = bytearray()

        def writable(self):
            return True

        def write(self, b):
            self.data += b
            return len(b)

    out = Unseekable()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            with z.open(name, "w") as f:
                f.write(data)
    return bytes(out.data)


def infozip(arguments, files, stdin=None):
    """A zip made by Info-ZIP zip in a scratch folder, or None without it."""
    if shutil.which("zip") is None:
        return None
    with tempfile.TemporaryDirectory() as folder:
        for name, data in files:
            path = os.path.join(folder, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        subprocess.run(["zip", "-q"] + arguments, cwd=folder, input=stdin, check=True)
        with open(os.path.join(folder, arguments[-2]), "rb") as f:
            return f.read()


def inflate_seeds():
    samples = {"text": text(900), "runs": b"".join(bytes([i % 7]) * (i * 13 % 200 + 1) for i in range(30)),
               "noise": bytes(random.Random(3).randrange(256) for _ in range(300)), "empty": b""}
    for name, data in samples.items():
        for level, strategy, sname in [(0, zlib.Z_DEFAULT_STRATEGY, "stored"), (6, zlib.Z_DEFAULT_STRATEGY, "dynamic"),
                                       (9, zlib.Z_FIXED, "fixed"), (6, zlib.Z_RLE, "rle")]:
            stream = deflate(data, level, strategy)
            write("fuzz_inflate", f"{name}-{sname}-memory", bytes([0x20]) + stream)
            write("fuzz_inflate", f"{name}-{sname}-file", bytes([0x21]) + stream)


def extract_seed(name, options, archive, answers=b"", stdin=b"", disk=None):
    data = bytes([options, len(answers)]) + answers + bytes([len(stdin)]) + stdin
    if options & 0x20:
        data += bytes([disk or 0])
    write("fuzz_extract", name, data + archive)


def extract_seeds():
    # Answers: (byte % 7) + 1 -> 1 OK, 2 Cancel, 3 Abort, 4 Retry, 5 Ignore, 6 Yes, 7 No.
    yes, no, cancel = b"\x05", b"\x06", b"\x01"
    tree = [("a.txt", text(300)), ("dir/b.txt", text(2100, 2)), ("dir/empty/", b""), ("c.bin", b"\x00\x01" * 40)]
    plain = zip_bytes(tree)
    extract_seed("auto-deflated", 0x0C, plain)
    extract_seed("auto-stored", 0x04, zip_bytes(tree[:2], method=zipfile.ZIP_STORED))
    extract_seed("auto-descriptors", 0x0C, piped_zip(tree[:2]))
    extract_seed("dialog-unzip", 0x08, plain, answers=yes, stdin=b"3\n1\n")
    extract_seed("dialog-folder", 0x00, zip_bytes(tree[:1]), stdin=b"2\n/kvsfx-fuzz-memory/other\n1\n5\n")
    twice = zip_bytes([("a.txt", b"first"), ("a.txt", b"second"), ("A.TXT", b"third")])
    extract_seed("overwrite-question", 0x0C, twice, answers=yes + no + cancel)
    extract_seed("overwrite-all", 0x0D, twice)
    extract_seed("header-prompt", 0x1C, zip_bytes(tree[:1]), answers=yes)
    extract_seed("disk-full", 0x2C, zip_bytes([("big.txt", text(5000))]), disk=2)
    extract_seed("meter", 0x4C, zip_bytes(tree[:2]))
    extract_seed("escape", 0x0C, zip_bytes([("../up.txt", b"x"), ("ok.txt", b"y")]))
    locked = infozip(["-P", "pw", "locked.zip", "a.txt"], [("a.txt", text(500))])
    if locked:
        extract_seed("encrypted", 0x0E, locked, stdin=b"wrong\npw\n")
        extract_seed("encrypted-cancel", 0x0E, locked)


def program_file(texts, archive, flags=0, crc_after_headers=False, prompt=False):
    """An ELF-headed program file with a block, a header and an archive."""
    elf = bytearray(64)
    elf[0:4] = b"\x7fELF"
    elf[4], elf[5] = 2, 1
    struct.pack_into("<I", elf, 0x18, ENTRY)
    struct.pack_into("<I", elf, 32, 64)
    struct.pack_into("<HHH", elf, 52, 64, 56, 0)
    header = b"".join(t + b"\0" for t in texts)
    block_at = 64
    header_at = block_at + 60
    archive_start = header_at + len(header)
    end_record = archive_start + archive.rfind(b"PK\x05\x06")
    block = bytearray(60)
    block[0:8] = SIGNATURE
    struct.pack_into("<IIIIII", block, 8, 1, archive_start, header_at, end_record, 1000,
                     flags | (0x800 if crc_after_headers else 0) | (0x80000 if prompt else 0) | 0x10)
    struct.pack_into("<H", block, 0x2A, 0xFFFF)
    struct.pack_into("<I", block, 0x36, ENTRY)
    return bytes(block[8:]), bytes(elf) + bytes(block) + header + archive


def startup_seeds():
    archive = zip_bytes([("a.txt", b"hello\n")], comment=b"c")
    texts = [b"/kvsfx-fuzz-memory/dest", b"", b"", b"Titre", b"Informations"]
    fields, file = program_file(texts, archive)
    write("fuzz_startup", "info", bytes([0x03]) + fields + file)
    write("fuzz_startup", "dialog", bytes([0x07]) + fields + file)
    write("fuzz_startup", "unchecked", bytes([0x00]) + fields + file)
    fields, file = program_file(texts, archive, crc_after_headers=True)
    write("fuzz_startup", "crc-after-headers", bytes([0x03]) + fields + file)
    fields, file = program_file([b"", b"", b"Continuer ?", b"", b""], archive, prompt=True)
    write("fuzz_startup", "prompt-declined", bytes([0x17]) + fields + file)
    fields, file = program_file(texts, archive, flags=0x1000)
    write("fuzz_startup", "spanned", bytes([0x0B]) + fields + file)
    fields, file = program_file(texts, archive, flags=0x200)
    write("fuzz_startup", "auto", bytes([0x07]) + fields + file)


def command_line_seeds():
    lines = [b'"C:\\Program Files\\setup.exe" -auto C:\\Outils', b"setup.exe -AUTO \"C:\\a b\\c\" rest",
             b"setup /noauto", b"setup -auto", b"setup -autoC:\\x", b"\"setup\"-auto  \"unterminated",
             b"x -info -auto d", b"setup -" + b"a" * 300, b"setup -auto " + b"d" * 270, b""]
    for i, line in enumerate(lines):
        write("fuzz_command_line", f"line{i}", line)


def message_seeds():
    source = open(os.path.join(ROOT, "src", "resources", "message_data.cpp")).read()

    def array(name):
        body = re.search(name + r"\[\] = \{(.*?)\};", source, re.S).group(1)
        return bytes(int(x, 16) for x in re.findall(r"0x([0-9A-Fa-f]{2})", body))

    write("fuzz_messages", "table", b"\x00" + array("messageTableStream"))
    write("fuzz_messages", "password-template", b"\x01" + array("passwordTemplateStream"))
    write("fuzz_messages", "table-stored", b"\x00" + deflate(zlib.decompress(array("messageTableStream"), -15), 0))


def zip_reader_seeds():
    tree = [("a.txt", text(300)), ("dir/b.txt", text(700, 2)), ("dir/empty/", b"")]
    write("fuzz_zip_reader", "deflated", zip_bytes(tree, comment=b"comment"))
    write("fuzz_zip_reader", "stored", zip_bytes(tree, method=zipfile.ZIP_STORED))
    write("fuzz_zip_reader", "descriptors", piped_zip(tree[:2]))
    write("fuzz_zip_reader", "prefixed", b"\x7fELF" + bytes(200) + zip_bytes(tree[:1]))
    write("fuzz_zip_reader", "dots", zip_bytes([("./a.txt", b"a"), ("b//c.txt", b"c"), ("d/./e/", b"")]))
    write("fuzz_zip_reader", "utf8", zip_bytes([("caf\u00e9.txt", b"x")]))
    piped = infozip(["piped.zip", "-"], [], stdin=b"from standard input\n")
    if piped:
        write("fuzz_zip_reader", "zip64-locator", piped)
    locked = infozip(["-P", "pw", "locked.zip", "a.txt"], [("a.txt", text(200))])
    if locked:
        write("fuzz_zip_reader", "encrypted", locked)


def main():
    warnings.simplefilter("ignore")  # the duplicate names are meant
    if os.path.isdir(SEEDS):
        shutil.rmtree(SEEDS)
    inflate_seeds()
    extract_seeds()
    startup_seeds()
    command_line_seeds()
    message_seeds()
    zip_reader_seeds()


if __name__ == "__main__":
    sys.exit(main())
