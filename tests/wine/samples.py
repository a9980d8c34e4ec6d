"""The sample trees the Wine tests make self-extracting files from.

sample_files() gives a tree as {relative path: bytes}: a short text, a
compressible text, an empty file, incompressible bytes and a repeated
pattern, the same for the same arguments; write_tree() writes one with
fixed times, and fresh() clears a scratch folder.
"""
import os
import random
import shutil


def sample_files(seed=5, text_size=40000, binary_size=70000, accented=False):
    """accented adds a file whose folder and name are beyond ASCII."""
    generator = random.Random(seed)
    text = ''.join(generator.choice('abcdefghij klmnop\n') for _ in range(text_size)).encode()
    files = {
        'lisez-moi.txt': b'Bonjour\r\n',
        'docs/guide.txt': text,
        'docs/vide.txt': b'',
        'docs/annexes/table.bin': bytes(generator.getrandbits(8) for _ in range(binary_size)),
        'images/logo.dat': bytes(range(256)) * 40,
    }
    if accented:
        files['été/à noter.txt'] = 'déjà noté\r\n'.encode('utf-8')
    return files


def write_tree(root, files, when, empty_folders=()):
    """files: {relative path: bytes, or a size for a sparse file of zeros};
    in the order of their names, the files get when (seconds, a fixed
    DOS-representable time: an even second) plus twice their index."""
    for index, (name, data) in enumerate(sorted(files.items())):
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as out:
            if isinstance(data, int):
                out.truncate(data)
            else:
                out.write(data)
        os.utime(path, (when + 2 * index, when + 2 * index))
    for name in empty_folders:
        os.makedirs(os.path.join(root, name), exist_ok=True)


def fresh(folder, make=False):
    """Removes folder and everything in it; with make, an empty one takes
    its place."""
    if os.path.exists(folder):
        shutil.rmtree(folder)
    if make:
        os.makedirs(folder)
    return folder
