#!/usr/bin/env python3
"""Two builds of the same source give the same stub, byte for byte.

    reproducible.py CMAKE SOURCE_DIR TOOLCHAIN TARGET REFERENCE

Configures a second build folder of the cross build (under another path, so
that no folder name may slip into the image), builds TARGET there and
compares the result with REFERENCE, the stub of the ordinary build. Link
times, the build folder or anything of the moment in the image make them
differ; the first differing offset is reported.
"""
import os
import subprocess
import sys
import tempfile


def main():
    cmake, source, toolchain, target, reference = sys.argv[1:6]
    with tempfile.TemporaryDirectory(prefix='kvsfx-again-') as folder:
        build = os.path.join(folder, 'another-build')
        for command in ([cmake, '-S', source, '-B', build, '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=Release',
                         '-DCMAKE_TOOLCHAIN_FILE=' + toolchain],
                        [cmake, '--build', build, '-j2', '--target', target]):
            result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if result.returncode != 0:
                print(result.stdout.decode(errors='replace')[-3000:])
                print('FAILED: %s' % ' '.join(command))
                return 1
        again = open(os.path.join(build, os.path.basename(reference)), 'rb').read()
    first = open(reference, 'rb').read()
    if again != first:
        offset = next((i for i, (a, b) in enumerate(zip(first, again)) if a != b), min(len(first), len(again)))
        print('FAILED: the second build differs from %s (%d and %d bytes, first difference at %#x)' %
              (reference, len(first), len(again), offset))
        return 1
    print('the same %d bytes twice' % len(first))
    return 0


if __name__ == '__main__':
    sys.exit(main())
