#!/usr/bin/env bash
# Gets wine ready to run the Windows build's tests, and stops it afterwards.
#
#   scripts/wine-setup.sh start [MARKER]   locale, wine prefix, persistent wineserver
#   scripts/wine-setup.sh stop  [MARKER]   stop the wineserver if start began it
#
# Both are safe to repeat. start writes MARKER (default: build/wine-started)
# only when it started the wineserver itself, so stop never ends a server that
# someone else is using. Tests run with LC_ALL=ja_JP.UTF-8, which gives the
# Windows side the Japanese ANSI code page 932, and WINEDEBUG=-all.
set -euo pipefail
cd "$(dirname "$0")/.."

action=${1:-start}
marker=${2:-build/wine-started}

export LC_ALL=ja_JP.UTF-8
export WINEDEBUG=-all
# A new prefix must not stop to offer Mono and Gecko downloads.
export WINEDLLOVERRIDES="mscoree,mshtml="

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

ensure_locale() {
  if locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then return; fi
  if ! grep -qx 'ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    echo 'ja_JP.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  fi
  as_root locale-gen
}

ensure_prefix() {
  local prefix=${WINEPREFIX:-$HOME/.wine}
  if [ -f "$prefix/system.reg" ]; then return; fi
  echo "wine-setup: creating the wine prefix $prefix (takes a while once)"
  wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
}

# Starts a persistent wineserver and writes the marker, unless one is running
# already: ours from an earlier start (the marker says so), one started on
# demand by an earlier wine run, which ends by itself and is waited for, or
# one that stays up and belongs to someone else, which is used as it is.
start_server() {
  for _ in 1 2 3; do
    if wineserver -p 2>/dev/null; then
      mkdir -p "$(dirname "$marker")"
      echo "started by scripts/wine-setup.sh" >"$marker"
      return
    fi
    [ -f "$marker" ] && return
    timeout 15 wineserver -w || return 0
  done
}

case "$action" in
  start)
    ensure_locale
    ensure_prefix
    start_server
    # The first program of a server session starts wine's own services, which
    # keep the standard handles they inherit; start them here, detached, so
    # no test waits on a pipe that a service holds open.
    wine cmd /c exit </dev/null >/dev/null 2>&1
    ;;
  stop)
    if [ -f "$marker" ]; then
      wineserver -k || true
      rm -f "$marker"
    fi
    ;;
  *)
    echo "usage: $0 start|stop [MARKER]" >&2
    exit 2
    ;;
esac
