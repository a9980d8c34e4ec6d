#!/usr/bin/env bash
# The Debian root whose Wine runs 32-bit Windows programs in WoW64 mode (the
# 32-bit code inside a 64-bit Wine process, no 32-bit Linux program needed).
# The host's Wine runs 64-bit programs only; its 32-bit GDI text is broken.
#
#   wow64_root.sh ensure   makes the root once and prints its folder; later
#                          calls reuse it. Exit 0: ready. Exit 77: it cannot
#                          be made here (the reason on stderr). Other: failed.
#   wow64_root.sh path     prints the folder without making anything
#
# KVSFX_WOW64_ROOT chooses the folder (default /var/cache/kvsfx-wow64/root).
# The root is complete only once its marker file exists, written last; a
# lock file next to it lets one creator work while others wait for it.
set -euo pipefail
root=${KVSFX_WOW64_ROOT:-/var/cache/kvsfx-wow64/root}
marker=$root/.kvsfx-wow64-complete
suite=trixie

cannot() {
  echo "the WoW64 Wine root cannot be made: $*" >&2
  exit 77
}

mirror() {
  # The Debian mirror apt already uses on this machine.
  local uri
  uri=$(grep -hs -E '^(URIs:|deb )' /etc/apt/sources.list /etc/apt/sources.list.d/*.sources \
          /etc/apt/sources.list.d/*.list 2>/dev/null |
        grep -o -E 'https?://[^ ]*/debian/?' | head -n1 || true)
  echo "${uri:-http://deb.debian.org/debian}"
}

in_root() {
  # A command inside the root being made, with /proc and /dev of its own namespace.
  local dir=$1
  shift
  unshare -m -- /bin/sh -c '
    dir=$1; shift
    mount -t proc proc "$dir/proc" && mount --rbind /dev "$dir/dev" &&
    exec chroot "$dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"
  ' sh "$dir" "$@"
}

make_root() {
  local work=$root.partial
  rm -rf "$work"
  mkdir -p "$work"
  echo "making the WoW64 Wine root in $root (Debian $suite, Wine from $(mirror)); once, a few minutes" >&2
  # A mirror out of reach is a machine that cannot have the root, not a failure.
  debootstrap --variant=minbase --arch=amd64 "$suite" "$work" "$(mirror)" >"$work.log" 2>&1 ||
    { tail -n 20 "$work.log" >&2; cannot "debootstrap could not make Debian $suite from $(mirror) (log: $work.log)"; }
  cp /etc/resolv.conf "$work/etc/resolv.conf" 2>/dev/null || true
  # No recommends, no documentation: only what runs the programs.
  cat >"$work/etc/apt/apt.conf.d/90kvsfx" <<'EOF'
APT::Install-Recommends "false";
APT::Install-Suggests "false";
Acquire::Languages "none";
EOF
  in_root "$work" apt-get update -qq >>"$work.log" 2>&1 ||
    { tail -n 20 "$work.log" >&2; cannot "the mirror's package lists could not be read (log: $work.log)"; }
  in_root "$work" apt-get install -y -qq wine64 libwine fonts-wine >>"$work.log" 2>&1 ||
    { tail -n 20 "$work.log" >&2; echo "installing Wine in the root failed" >&2; exit 1; }
  # The 32-bit Windows side of Wine (PE DLLs only) from the i386 package.
  in_root "$work" dpkg --add-architecture i386
  in_root "$work" apt-get update -qq >>"$work.log" 2>&1
  in_root "$work" /bin/sh -c 'cd /tmp && apt-get download -qq libwine:i386 && dpkg-deb -x libwine_*_i386.deb /tmp/i386 &&
    cp -a /tmp/i386/usr/lib/i386-linux-gnu/wine/i386-windows/. /usr/lib/x86_64-linux-gnu/wine/i386-windows/ &&
    rm -rf /tmp/i386 /tmp/libwine_*.deb' >>"$work.log" 2>&1 ||
    { tail -n 20 "$work.log" >&2; echo "adding the 32-bit Windows DLLs failed" >&2; exit 1; }
  in_root "$work" apt-get clean
  test -x "$work/usr/lib/wine/wine64" && test -f "$work/usr/lib/x86_64-linux-gnu/wine/i386-windows/gdi32.dll" ||
    { echo "the root lacks Wine's programs" >&2; exit 1; }
  rm -rf "$root"
  mv "$work" "$root"
  mv "$work.log" "$root.log"
  date -u +%FT%TZ >"$marker"
}

case "${1:-}" in
path)
  echo "$root"
  ;;
ensure)
  if [ -f "$marker" ]; then
    echo "$root"
    exit 0
  fi
  [ "$(id -u)" = 0 ] || cannot "it needs root rights (debootstrap, chroot, mount namespaces)"
  command -v debootstrap >/dev/null || cannot "debootstrap is not installed"
  command -v unshare >/dev/null && command -v flock >/dev/null || cannot "unshare or flock is missing"
  mkdir -p "$(dirname "$root")"
  exec 9>"$root.lock"
  flock 9
  # Another creator may have finished while this one waited.
  [ -f "$marker" ] || make_root
  echo "$root"
  ;;
*)
  echo "usage: $0 ensure|path" >&2
  exit 2
  ;;
esac
