#!/usr/bin/env bash
# Runs one Windows program under Wine and exits with its exit code.
#   tests/wine/run.sh [--wow64] [--prefix DIR] [--bind DIR]... [--display :N] PROGRAM.exe [ARG...]
# Without --wow64: the host's 64-bit Wine (PE32+ only). With --wow64: the
# Wine of the WoW64 root (made once by wow64_root.sh, as root), which runs
# PE32 and PE32+ programs; the program's folder, the current folder, the
# prefix's parent and each --bind folder are seen at the same paths there.
# Without --prefix a throw-away prefix is made and removed. Exit 77: the
# WoW64 root cannot be made on this machine (the reason on stderr).
exec python3 "$(dirname "$0")/wine.py" run "$@"
