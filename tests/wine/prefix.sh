#!/usr/bin/env bash
# The throw-away Wine prefix of one ctest run.
#   prefix.sh create PREFIX   a new 64-bit prefix with a virtual desktop of
#                             800 x 600 (every window, captions included,
#                             is drawn by Wine, so screenshots show them)
#   prefix.sh remove PREFIX   ends its processes and deletes it
set -euo pipefail
action=$1
export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
wine=/usr/lib/wine/wine64
case "$action" in
create)
  if [ -d "$WINEPREFIX" ]; then
    timeout 60 wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  fi
  mkdir -p "$(dirname "$WINEPREFIX")"
  # No display is needed to build the prefix.
  unset DISPLAY
  timeout 600 "$wine" wineboot -i >/dev/null 2>&1
  timeout 120 "$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  timeout 120 "$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f >/dev/null 2>&1
  timeout 120 wineserver -w
  # The caption buttons are drawn with Marlett, which a new prefix lacks.
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
  test -f "$WINEPREFIX/system.reg"
  ;;
remove)
  timeout 60 wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  ;;
esac
