#!/usr/bin/env python3
"""Builds the stub's embedded message data from src/resources/messages.txt.

Reads the 53 texts and the two dialog templates, and writes
src/resources/message_data.cpp:

  - the offset table: 54 words, word i the offset of entry i in the inflated
    table, word 53 the main dialog template;
  - the table stream: the texts in code page 850, each with its terminator,
    then the main dialog template, as one raw deflate stream;
  - the password template stream: the password dialog template, as a second
    raw deflate stream;
  - the sizes the loader needs: stream lengths, inflated lengths, the
    template's offset, the size of the guarded block.

The templates are Win32 in-memory dialog templates (a DLGTEMPLATE header with
DS_SETFONT, then DLGITEMTEMPLATE items each aligned to 4 bytes from the
template's start), their strings in UTF-16LE.

The stub must never hold a ZIP record signature: tools that look for one in
the file would take the stub's data for an archive. The compression settings
are tried in a fixed order until no signature appears in the emitted bytes,
so the output depends only on the source and on zlib.

Usage:
  gen_messages.py            write the file
  gen_messages.py --check    exit 1 when the committed file differs from a
                             fresh generation
  --source, --header, --output name other files (for tests of the generator).
A source that breaks a rule of the table is refused with exit code 2 and
nothing is written.
"""

import argparse
import os
import re
import sys
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_SOURCE = os.path.join(ROOT, "src", "resources", "messages.txt")
DEFAULT_OUTPUT = os.path.join(ROOT, "src", "resources", "message_data.cpp")
DEFAULT_HEADER = os.path.join(ROOT, "src", "resources", "messages.h")

TEXT_COUNT = 53                  # entries 0..52 are texts, 53 is the main template
CODE_PAGE = "cp850"              # the OEM code page the texts are stored in
NO_BREAK_SPACE = "\u00a0"
DS_SETFONT = 0x40
CLASS_ATOMS = {"button": 0x0080, "edit": 0x0081, "static": 0x0082}

# The guarded block keeps these sizes when the table fits: 6,379 usable bytes
# and two guard bytes.
DEFAULT_BLOCK_SIZE = 6381
GUARD_BYTES = 2

# The four-byte signatures of ZIP records that must never appear in the stub:
# local header, central header, end record, digital signature, data
# descriptor / spanning marker, temporary spanning marker.
ZIP_SIGNATURES = [bytes.fromhex(s) for s in
                  ("504b0304", "504b0102", "504b0506", "504b0505", "504b0708", "504b3030")]


class SourceError(Exception):
    pass


# ---------------------------------------------------------------------------
# Reading messages.txt

TOKEN = re.compile(r'\s*(?:(#.*)|"((?:[^"\\]|\\.)*)"|([^\s"#]+))')
ESCAPES = {"n": "\n", "r": "\r", "_": NO_BREAK_SPACE, '"': '"', "\\": "\\"}


def unescape(raw, where):
    out = []
    i = 0
    while i < len(raw):
        c = raw[i]
        if c == NO_BREAK_SPACE:
            raise SourceError(f"{where}: literal no-break space; write \\_")
        if c == "\\":
            if i + 1 >= len(raw) or raw[i + 1] not in ESCAPES:
                raise SourceError(f"{where}: unknown escape in \"{raw}\"")
            out.append(ESCAPES[raw[i + 1]])
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def tokenize(line, where):
    """Words as str, quoted texts as ('text', value); comments dropped."""
    tokens = []
    pos = 0
    line = line.rstrip("\n")
    while pos < len(line):
        if line[pos:].strip() == "":
            break
        m = TOKEN.match(line, pos)
        if not m or m.end() == pos:
            raise SourceError(f"{where}: cannot read {line[pos:]!r}")
        pos = m.end()
        if m.group(1) is not None:
            break
        if m.group(2) is not None:
            tokens.append(("text", unescape(m.group(2), where)))
        else:
            tokens.append(m.group(3))
    return tokens


def join_texts(tokens, where):
    if not tokens or any(not isinstance(t, tuple) for t in tokens):
        raise SourceError(f"{where}: expected one or more quoted texts")
    return "".join(t[1] for t in tokens)


def number(token, where):
    if isinstance(token, tuple):
        raise SourceError(f"{where}: expected a number, found a text")
    try:
        return int(token, 0)
    except ValueError:
        raise SourceError(f"{where}: expected a number, found {token!r}")


class Dialog:
    def __init__(self, name):
        self.name = name
        self.fields = {}
        self.items = []   # [id, class (atom or str), style, x, y, cx, cy, text]


def read_source(path):
    messages = []          # [index, identifier, text]
    dialogs = {}
    section = None
    last = None            # the entry that a continuation line extends
    with open(path, encoding="utf-8") as f:
        lines = f.readlines()
    for line_number, line in enumerate(lines, 1):
        where = f"{os.path.basename(path)}:{line_number}"
        stripped = line.strip()
        if stripped.startswith("[") and stripped.endswith("]"):
            words = stripped[1:-1].split()
            if words == ["messages"]:
                section = "messages"
            elif len(words) == 2 and words[0] == "dialog" and words[1] not in dialogs:
                section = dialogs[words[1]] = Dialog(words[1])
            else:
                raise SourceError(f"{where}: unknown section {stripped}")
            last = None
            continue
        tokens = tokenize(line, where)
        if not tokens:
            continue
        if isinstance(tokens[0], tuple):
            # Continuation of the previous entry's text.
            if last is None:
                raise SourceError(f"{where}: text without an entry")
            last[-1] += join_texts(tokens, where)
            continue
        if section is None:
            raise SourceError(f"{where}: line outside a section")
        if section == "messages":
            if len(tokens) < 3:
                raise SourceError(f"{where}: expected index, identifier and text")
            last = [number(tokens[0], where), tokens[1], join_texts(tokens[2:], where)]
            messages.append(last)
            continue
        dialog = section
        key, values = tokens[0], tokens[1:]
        if key == "item":
            if len(values) < 8:
                raise SourceError(f"{where}: expected id class style x y cx cy text")
            control_class = values[1]
            if isinstance(control_class, tuple):
                control_class = control_class[1]
            elif control_class in CLASS_ATOMS:
                control_class = CLASS_ATOMS[control_class]
            else:
                raise SourceError(f"{where}: unknown class {control_class}; quote a class name")
            last = [number(values[0], where), control_class] + \
                   [number(v, where) for v in values[2:7]] + [join_texts(values[7:], where)]
            dialog.items.append(last)
        elif key in ("style", "exstyle", "length"):
            dialog.fields[key] = number(values[0], where) if len(values) == 1 else None
            last = None
        elif key in ("position", "size"):
            if len(values) != 2:
                raise SourceError(f"{where}: expected two numbers")
            dialog.fields[key] = [number(v, where) for v in values]
            last = None
        elif key == "caption":
            last = [join_texts(values, where)]
            dialog.fields[key] = last
        elif key == "font":
            if len(values) < 2:
                raise SourceError(f"{where}: expected a point size and a face name")
            dialog.fields[key] = (number(values[0], where), join_texts(values[1:], where))
            last = None
        else:
            raise SourceError(f"{where}: unknown field {key}")
    return messages, dialogs


# ---------------------------------------------------------------------------
# Checks of the texts against the header and the house rules

def header_constants(header_path):
    with open(header_path, encoding="utf-8") as f:
        text = f.read()
    ids = {name: int(value) for name, value in re.findall(r"\b(MSG_\w+)\s*=\s*(\d+)", text)}
    sizes = {name: int(value) for name, value in
             re.findall(r"\b(kMainTemplateCopySize|kPasswordTemplateBlockSize)\s*=\s*(\d+)", text)}
    return ids, sizes


def check_messages(messages, ids):
    if [m[0] for m in messages] != list(range(TEXT_COUNT)):
        raise SourceError(f"messages: the indices must run from 0 to {TEXT_COUNT - 1} in order")
    named = {}
    for index, identifier, text in messages:
        where = f"message {index}"
        if identifier != "-":
            named[identifier] = index
        elif text:
            raise SourceError(f"{where}: a position without identifier must hold an empty text")
        if "\0" in text:
            raise SourceError(f"{where}: zero byte inside a text")
        # The French typography of the table: a no-break space before a
        # colon and inside guillemets, never an ordinary blank.
        if " :" in text or "« " in text or " »" in text:
            raise SourceError(f"{where}: ordinary blank before ':' or inside « »; write \\_")
        try:
            text.encode(CODE_PAGE)
        except UnicodeEncodeError as e:
            raise SourceError(f"{where}: {text[e.start]!r} has no code page 850 byte")
    expected = {name: value for name, value in ids.items() if value < TEXT_COUNT}
    if named != expected:
        missing = sorted(set(expected.items()) ^ set(named.items()), key=lambda p: p[1])
        raise SourceError(f"messages: identifiers differ from messages.h: {missing}")


# ---------------------------------------------------------------------------
# Dialog templates

def utf16(text):
    return text.encode("utf-16-le") + b"\0\0"


def word(value):
    return (value & 0xFFFF).to_bytes(2, "little")


def dword(value):
    return (value & 0xFFFFFFFF).to_bytes(4, "little")


def build_template(dialog):
    f = dialog.fields
    for key in ("style", "exstyle", "position", "size", "caption", "font", "length"):
        if f.get(key) is None:
            raise SourceError(f"dialog {dialog.name}: field {key} missing or malformed")
    if not f["style"] & DS_SETFONT:
        raise SourceError(f"dialog {dialog.name}: the style lacks DS_SETFONT, yet a font is given")
    x, y = f["position"]
    cx, cy = f["size"]
    # DLGTEMPLATE, then no menu, the default class, the caption, the font.
    out = bytearray(dword(f["style"]) + dword(f["exstyle"]) + word(len(dialog.items)) +
                    word(x) + word(y) + word(cx) + word(cy))
    out += word(0) + word(0) + utf16(f["caption"][0])
    point_size, face = f["font"]
    out += word(point_size) + utf16(face)
    for control_id, control_class, style, ix, iy, icx, icy, text in dialog.items:
        # Every DLGITEMTEMPLATE starts on a 4-byte boundary of the template.
        out += b"\0" * (-len(out) % 4)
        out += dword(style) + dword(0) + word(ix) + word(iy) + word(icx) + word(icy) + word(control_id)
        if isinstance(control_class, int):
            out += word(0xFFFF) + word(control_class)
        else:
            out += utf16(control_class)
        out += utf16(text) + word(0)   # no creation data
    if len(out) > f["length"]:
        raise SourceError(f"dialog {dialog.name}: items end at {len(out)}, past its length {f['length']}")
    return bytes(out) + b"\0" * (f["length"] - len(out))


# ---------------------------------------------------------------------------
# Compression and the signature check

def compression_settings():
    """The settings tried, best first; the first clean one is used."""
    for strategy_name, strategy in (("default", zlib.Z_DEFAULT_STRATEGY), ("filtered", zlib.Z_FILTERED)):
        for level in range(9, 0, -1):
            for mem_level in range(9, 0, -1):
                yield level, mem_level, strategy_name, strategy


def deflate(data, level, mem_level, strategy):
    compressor = zlib.compressobj(level, zlib.DEFLATED, -15, mem_level, strategy)
    stream = compressor.compress(data) + compressor.flush()
    if zlib.decompress(stream, -15) != data:
        raise SourceError("zlib round trip failed")
    return stream


def has_signature(pieces):
    """True when a signature lies in a piece or across the seam of any two
    pieces (the linker may place the arrays next to each other in any order)."""
    for piece in pieces:
        if any(sig in piece for sig in ZIP_SIGNATURES):
            return True
    for first in pieces:
        for second in pieces:
            if first is not second:
                seam = first[-3:] + second[:3]
                if any(sig in seam for sig in ZIP_SIGNATURES):
                    return True
    return False


# ---------------------------------------------------------------------------
# Output

def c_bytes(data, indent="    "):
    lines = []
    for start in range(0, len(data), 16):
        lines.append(indent + ", ".join(f"0x{b:02X}" for b in data[start:start + 16]) + ",")
    return "\n".join(lines)


def generate(source_path, header_path):
    messages, dialogs = read_source(source_path)
    ids, sizes = header_constants(header_path)
    check_messages(messages, ids)
    if set(dialogs) != {"main", "password"}:
        raise SourceError("expected the dialogs main and password")
    main_template = build_template(dialogs["main"])
    password_template = build_template(dialogs["password"])

    # The inflated table: the texts back to back, then the main template.
    offsets = []
    table = bytearray()
    for _, _, text in messages:
        offsets.append(len(table))
        table += text.encode(CODE_PAGE) + b"\0"
    template_offset = len(table)
    offsets.append(template_offset)
    table += main_template
    table = bytes(table)

    copy_size = sizes["kMainTemplateCopySize"]
    password_block = sizes["kPasswordTemplateBlockSize"]
    if len(password_template) > password_block:
        raise SourceError(f"the password template ({len(password_template)} bytes) "
                          f"exceeds its {password_block}-byte block")
    # The block must hold the inflated table and the template copy that
    # reads 1024 bytes from the template's offset, both before the guards.
    usable = max(len(table), template_offset + copy_size)
    block_size = DEFAULT_BLOCK_SIZE if usable <= DEFAULT_BLOCK_SIZE - GUARD_BYTES else usable + GUARD_BYTES

    offset_bytes = b"".join(dword(o) for o in offsets)
    for level, mem_level, strategy_name, strategy in compression_settings():
        table_stream = deflate(table, level, mem_level, strategy)
        password_stream = deflate(password_template, level, mem_level, strategy)
        if not has_signature([offset_bytes, table_stream, password_stream]):
            break
    else:
        raise SourceError("every compression setting yields a ZIP signature")
    settings = f"level {level}, memLevel {mem_level}, strategy {strategy_name}, zlib {zlib.ZLIB_VERSION}"

    offset_lines = []
    for start in range(0, len(offsets), 8):
        offset_lines.append("    " + ", ".join(str(o) for o in offsets[start:start + 8]) + ",")

    return f"""\
// Generated by tools/gen_messages.py from src/resources/messages.txt. Do not edit:
// change messages.txt and run python3 tools/gen_messages.py.
//
// Raw deflate streams ({settings}).
// The loader (messages.cpp) inflates the table into a block of messageBlockSize
// bytes whose last two are guard bytes.
#include "resources/message_data.h"

// Word i: offset of entry i in the inflated table; word 53: the main dialog template.
const uint32_t messageOffsets[kMessageCount] = {{
{chr(10).join(offset_lines)}
}};

// The 53 texts in code page 850, each with its terminator, then the main
// dialog template ({len(main_template)} bytes).
const uint8_t messageTableStream[] = {{
{c_bytes(table_stream)}
}};
const uint32_t messageTableStreamLength = {len(table_stream)};
const uint32_t messageTableLength = {len(table)};
const uint32_t mainTemplateOffset = {template_offset};
const uint32_t messageBlockSize = {block_size};

// The password dialog template.
const uint8_t passwordTemplateStream[] = {{
{c_bytes(password_stream)}
}};
const uint32_t passwordTemplateStreamLength = {len(password_stream)};
const uint32_t passwordTemplateLength = {len(password_template)};
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="exit 1 when the output file differs from a fresh generation")
    parser.add_argument("--source", default=DEFAULT_SOURCE, help="the texts (messages.txt)")
    parser.add_argument("--header", default=DEFAULT_HEADER, help="messages.h, for the identifiers and sizes")
    parser.add_argument("--output", default=DEFAULT_OUTPUT, help="the generated file")
    args = parser.parse_args()
    try:
        fresh = generate(args.source, args.header)
    except (SourceError, OSError, UnicodeDecodeError) as e:
        print(f"gen_messages: {e}", file=sys.stderr)
        return 2
    if args.check:
        try:
            with open(args.output, encoding="utf-8", newline="") as f:
                committed = f.read()
        except OSError as e:
            print(f"gen_messages: {e}", file=sys.stderr)
            return 1
        if committed != fresh:
            print(f"gen_messages: {args.output} differs from a fresh generation; "
                  f"run python3 tools/gen_messages.py", file=sys.stderr)
            return 1
        return 0
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write(fresh)
    return 0


if __name__ == "__main__":
    sys.exit(main())
