#!/usr/bin/env python3
"""A self-extracting file signed after it is made still extracts.

    signing.py

The environment names the pieces, as for scenarios.py: KVSFX_STUB,
KVSFX_MAKE, KVSFX_PROBE, KVSFX_WINEPREFIX and KVSFX_WORK.

A certificate made here for the test (openssl, self-signed, for code
signing) signs a file the builder made with its defaults (osslsigncode
sign, without a time-stamping server), and osslsigncode verify accepts the
signature. The signed file then runs under Wine with -auto: exit code 0 and
the tree Info-ZIP unzip extracts from the unsigned file. As a control, a
file built with --crc-with-headers and signed the same way is refused at
start-up: its check covers the headers the signature changed.
"""
import os
import shutil
import subprocess
import sys

import scenarios
from samples import fresh, sample_files
from scenarios import WORK, make_sfx, unzip_reference
from session import expect, expect_same_tree
HEADER_CORRUPT = 'header corrupt'


def run(command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    output = result.stdout.decode(errors='replace')
    expect(result.returncode == 0, '%s failed (%d): %s' % (command[0], result.returncode, output))
    return output


def make_certificate():
    key, certificate = os.path.join(WORK, 'test-key.pem'), os.path.join(WORK, 'test-cert.pem')
    run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', certificate,
         '-days', '2', '-subj', '/CN=Kelvra Test Publisher/O=Kelvra Tests',
         '-addext', 'extendedKeyUsage=codeSigning', '-addext', 'keyUsage=digitalSignature'])
    return key, certificate


def sign(unsigned, key, certificate):
    signed = unsigned[:-len('.exe')] + '-signed.exe'
    if os.path.exists(signed):
        os.remove(signed)
    run(['osslsigncode', 'sign', '-certs', certificate, '-key', key, '-n', 'Kelvra test', '-h', 'sha256',
         '-in', unsigned, '-out', signed])
    report = run(['osslsigncode', 'verify', '-in', signed, '-CAfile', certificate])
    expect('Signature verification: ok' in report, 'osslsigncode verify: %s' % report)
    return signed


def scenario_signing(session):
    key, certificate = make_certificate()

    unsigned = make_sfx('signe.exe', sample_files())
    reference = os.path.join(WORK, 'signe.reference')
    unzip_reference(unsigned, reference)
    signed = sign(unsigned, key, certificate)
    expect(os.path.getsize(signed) > os.path.getsize(unsigned), 'the signature was not appended')

    target = fresh(os.path.join(WORK, 'signe.out'))
    program = session.start(signed, '-auto', session.wine_path(target))
    status = session.finish(program)
    expect(status == 0, 'the signed file ended with %s; windows: %r' % (status, session.windows()))
    expect_same_tree(target, reference, "unzip's")

    # The control: the old coverage breaks with the signature.
    unsigned = make_sfx('ancien.exe', sample_files(), '--crc-with-headers')
    signed = sign(unsigned, key, certificate)
    target = fresh(os.path.join(WORK, 'ancien.out'))
    program = session.start(signed, '-auto', session.wine_path(target))
    session.wait_box(HEADER_CORRUPT)
    session.key('Return')
    session.finish(program)
    expect(not os.path.exists(os.path.join(target, 'paquet')), 'the refused file extracted something')


def main():
    for tool in ('openssl', 'osslsigncode'):
        if not shutil.which(tool):
            print('%s is missing (script/deps installs it)' % tool)
            return 1
    # The session, its checks of the environment and its end are those of
    # every scenario.
    scenarios.SCENARIOS['signing'] = scenario_signing
    sys.argv[1:] = ['signing']
    return scenarios.main()


if __name__ == '__main__':
    sys.exit(main())
