#!/usr/bin/env bash
# The archives the extraction benchmarks work on, made once and kept in a
# cache folder (KVSFX_BENCH_CACHE, /var/cache/kvsfx-bench by default), so
# that later runs start at once. Every archive is made by Info-ZIP zip -6.
#
#   large.zip  this machine's C headers and documentation, its two largest
#              programs under 128 MB, 100 MB of generated log text in files
#              of 4 to 130 KB and 100 MB of random bytes in 200 files: at
#              least 500 MB and 15,000 files
#   tiny.zip   20,000 files of 1 to 200 bytes in 100 folders
#   small.zip  three short text files
#
# Prints the cache folder. usage: bench/corpus.sh
set -euo pipefail
cache=${KVSFX_BENCH_CACHE:-/var/cache/kvsfx-bench}
# Raised whenever the recipe below changes, so that a stale cache is remade.
recipe=2
mkdir -p "$cache"
if [ "$(cat "$cache/recipe" 2>/dev/null)" != "$recipe" ]; then
  rm -rf "$cache/large.zip" "$cache/tiny.zip" "$cache/small.zip" "$cache/tree"
  echo "$recipe" > "$cache/recipe"
fi

# zip_tree ZIP: zips the tree under $cache/tree into ZIP (links are followed:
# the tree points at this machine's files rather than copying them).
zip_tree() {
  (cd "$cache/tree" && zip -6 -q -r "$1.part" .)
  mv "$1.part" "$1"
  rm -rf "$cache/tree"
}

if [ ! -f "$cache/large.zip" ]; then
  echo "building the large corpus (a few minutes, once)" >&2
  rm -rf "$cache/tree" && mkdir -p "$cache/tree"
  # Headers and documentation, regular files only, under their own names,
  # and two large programs.
  python3 - "$cache/tree" <<'EOF'
import os, sys
tree = sys.argv[1]
# Names that differ only in letter case would be one file on Windows: the
# first one of each is kept.
seen = {}
def fresh(relative):
    parts = relative.split("/")
    for n in range(1, len(parts) + 1):
        prefix = "/".join(parts[:n])
        if seen.setdefault(prefix.lower(), prefix) != prefix:
            return False
    return True
for root in ("/usr/include", "/usr/share/doc"):
    for folder, subfolders, files in os.walk(root):
        subfolders.sort()
        for name in sorted(files):
            path = os.path.join(folder, name)
            relative = os.path.join(os.path.basename(root), os.path.relpath(path, root))
            if os.path.isfile(path) and not os.path.islink(path) and fresh(relative):
                target = os.path.join(tree, relative)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                os.symlink(path, target)
programs = []
for name in os.listdir("/usr/bin"):
    path = os.path.join("/usr/bin", name)
    if os.path.isfile(path) and not os.path.islink(path) and os.path.getsize(path) < 128 << 20:
        programs.append((os.path.getsize(path), name))
os.makedirs(os.path.join(tree, "bin"))
for _, name in sorted(programs)[-2:]:
    os.symlink(os.path.join("/usr/bin", name), os.path.join(tree, "bin", name))
EOF
  # Log text and random bytes; enough log files for 15,000 files in all.
  have=$(find "$cache/tree" -type l | wc -l)
  logs=$((15200 - have - 200)); [ "$logs" -ge 1000 ] || logs=1000
  python3 - "$cache/tree" "$logs" <<'EOF'
import os, random, sys
root, logs = sys.argv[1], int(sys.argv[2])
rng = random.Random(12)
hosts = ["web%02d" % i for i in range(12)]
services = ["sshd", "nginx", "cron", "kernel", "systemd", "postfix", "dbus", "app"]
words = ("request accepted rejected timeout connection from user session opened closed "
         "error warning retry backend upstream cache miss hit latency ms bytes sent").split()
average = 100 * 1000 * 1000 // logs
os.makedirs(os.path.join(root, "log"))
for n in range(logs):
    size = rng.randint(4000, 2 * average - 4000)
    lines, length, t = [], 0, 1700000000 + n * 3600
    while length < size:
        t += rng.randint(0, 3)
        line = "2026-%02d-%02dT%02d:%02d:%02d %s %s[%d]: %s\n" % (
            1 + t // 2592000 % 12, 1 + t // 86400 % 28, t // 3600 % 24, t // 60 % 60, t % 60,
            rng.choice(hosts), rng.choice(services), rng.randint(100, 65000),
            " ".join(rng.choice(words) for _ in range(rng.randint(3, 12))))
        lines.append(line)
        length += len(line)
    with open(os.path.join(root, "log", "%05d.log" % n), "w") as f:
        f.write("".join(lines)[:size])
os.makedirs(os.path.join(root, "random"))
for n in range(200):
    with open(os.path.join(root, "random", "%03d.bin" % n), "wb") as f:
        f.write(rng.randbytes(500 * 1000))
EOF
  zip_tree "$cache/large.zip"
fi

if [ ! -f "$cache/tiny.zip" ]; then
  rm -rf "$cache/tree" && mkdir -p "$cache/tree"
  python3 - "$cache/tree" <<'EOF'
import os, random, sys
rng = random.Random(20000)
for n in range(20000):
    folder = os.path.join(sys.argv[1], "d%03d" % (n // 200))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.txt" % n), "w") as f:
        f.write("".join(rng.choice("abcdefghij \n") for _ in range(rng.randint(1, 200))))
EOF
  zip_tree "$cache/tiny.zip"
fi

if [ ! -f "$cache/small.zip" ]; then
  rm -rf "$cache/tree" && mkdir -p "$cache/tree"
  for n in 1 2 3; do printf 'small file %d\n' "$n" > "$cache/tree/small$n.txt"; done
  zip_tree "$cache/small.zip"
fi
echo "$cache"
