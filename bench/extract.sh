#!/usr/bin/env bash
# The Linux stub against the usual extractors, whole process, each into an
# empty folder on tmpfs (/dev/shm), the tools taking turns within each round
# (the order turning from round to round) so that whatever else the machine
# does falls on all of them alike. Medians of the rounds count; the spread
# (fastest-slowest round) is printed beside each time.
#
#   extract_vs_bsdtar, extract_vs_unzip  large.zip of bench/corpus.sh (with
#                                        7z's time beside)
#   tiny_vs_unzip                        tiny.zip: 20,000 files of 1-200 bytes
#   peak_memory_kib                      the stub's largest maximum resident
#                                        set over every run above
#   startup_vs_unzip_l                   "-info" of a stub holding small.zip
#                                        against "unzip -l small.zip"
#
# Ratios are the peer's time divided by ours: above 1, we are faster. Each
# ratio of wall times has its ratio of CPU times (user and system) beside
# it, as NAME_cpu: on tmpfs the two are the same on an idle machine, and
# the CPU times stay steady on a loaded one. Each run is timed by
# bench/spawn.c, built static, so that no launcher's memory shows in the
# maximum resident set.
#
# usage: bench/extract.sh BUILD_FOLDER   (holding kvsfx and kvsfx-make)
#        KVSFX_BENCH_ROUNDS (7) rounds of the extractions, 5x as many of
#        the start-up
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
cache=$("$here/corpus.sh")
work=$(mktemp -d /dev/shm/kvsfx-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cc -O2 -static -o "$work/spawn" "$here/spawn.c"
for name in large tiny small; do
  "$build/kvsfx-make" -o "$work/$name.sfx" "$cache/$name.zip" >/dev/null
done

python3 - "$work" "$cache" "${KVSFX_BENCH_ROUNDS:-7}" <<'EOF'
import os, shutil, statistics, subprocess, sys, zipfile

work, cache, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
out = os.path.join(work, "out")

def run(argv):
    """Wall seconds, CPU seconds and maximum resident set (KiB) of one run of argv."""
    result = subprocess.run([os.path.join(work, "spawn")] + argv, stdout=subprocess.PIPE, check=True, text=True)
    wall, cpu, kib, status = (int(field) for field in result.stdout.split())
    if status != 0:
        sys.exit("failed (%d): %s" % (status, " ".join(argv)))
    return wall / 1e9, cpu / 1e9, kib

def files_under(folder):
    return sum(len(files) for _, _, files in os.walk(folder))

def race(tools, rounds, expected_files=None):
    """Per tool: the list of (seconds, KiB) of its rounds."""
    results = {name: [] for name in tools}
    names = list(tools)
    for r in range(rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            shutil.rmtree(out, ignore_errors=True)
            os.mkdir(out)
            results[name].append(run([part.replace("{out}", out) for part in tools[name]]))
            if expected_files is not None and r == 0 and files_under(out) != expected_files:
                sys.exit("%s extracted %d files, not %d" % (name, files_under(out), expected_files))
    shutil.rmtree(out, ignore_errors=True)
    return results

def median(samples, field=0):
    return statistics.median(sample[field] for sample in samples)

def spread(samples, field=0):
    times = [sample[field] for sample in samples]
    return "%.3f-%.3f" % (min(times), max(times))

def kib(samples):
    return max(sample[2] for sample in samples)

def describe(zip_name):
    with zipfile.ZipFile(os.path.join(cache, zip_name)) as z:
        files = [i for i in z.infolist() if not i.is_dir()]
        return len(files), sum(i.file_size for i in files)

def times(results, order, field=0):
    return ", ".join("%s %.3f s [%s]" % (name, median(results[name], field), spread(results[name], field))
                     for name in order)

def ratios(name, results, ours, peer, order, what):
    for field, suffix, kind in ((0, "", "wall"), (1, "_cpu", "CPU")):
        print("%s%s: %.2f  (%s, medians of %d rounds: %s; %s)" % (
            name, suffix, median(results[peer], field) / median(results[ours], field), kind, rounds,
            times(results, order, field), what))

peak = 0

count, size = describe("large.zip")
large = race({
    "kvsfx": [os.path.join(work, "large.sfx"), "-auto", "{out}"],
    "bsdtar": ["bsdtar", "-xf", os.path.join(cache, "large.zip"), "-C", "{out}"],
    "unzip": ["unzip", "-q", "-o", os.path.join(cache, "large.zip"), "-d", "{out}"],
    "7z": ["7z", "x", "-y", "-o{out}", os.path.join(cache, "large.zip")],
}, rounds, count)
what = "corpus %d MB, %d files" % (size // 1000000, count)
for peer in ("bsdtar", "unzip"):
    ratios("extract_vs_" + peer, large, "kvsfx", peer, ["kvsfx", "bsdtar", "unzip", "7z"], what)
peak = max(peak, kib(large["kvsfx"]))
memory = {name: kib(large[name]) for name in large}

count, size = describe("tiny.zip")
tiny = race({
    "kvsfx": [os.path.join(work, "tiny.sfx"), "-auto", "{out}"],
    "unzip": ["unzip", "-q", "-o", os.path.join(cache, "tiny.zip"), "-d", "{out}"],
    "bsdtar": ["bsdtar", "-xf", os.path.join(cache, "tiny.zip"), "-C", "{out}"],
}, rounds, count)
ratios("tiny_vs_unzip", tiny, "kvsfx", "unzip", ["kvsfx", "unzip", "bsdtar"], "%d files, %d bytes" % (count, size))
peak = max(peak, kib(tiny["kvsfx"]))

print("peak_memory_kib: %d  (maximum resident set over every extraction above; large corpus: %s)" % (
    peak, ", ".join("%s %d KiB" % (name, memory[name]) for name in ["kvsfx", "bsdtar", "unzip", "7z"])))

small = os.path.join(cache, "small.zip")
start = race({
    "kvsfx": [os.path.join(work, "small.sfx"), "-info"],
    "unzip -l": ["unzip", "-l", small],
    "kvsfx -auto": [os.path.join(work, "small.sfx"), "-auto", "{out}"],
}, 5 * rounds)
for field, suffix, kind in ((0, "", "wall"), (1, "_cpu", "CPU")):
    print("startup_vs_unzip_l%s: %.2f  (ours / unzip -l, %s, medians of %d rounds: %s)" % (
        suffix, median(start["kvsfx"], field) / median(start["unzip -l"], field), kind, 5 * rounds,
        times(start, ["kvsfx", "unzip -l", "kvsfx -auto"], field)))
EOF
