#!/bin/sh
# Starts or stops the Wine session the Windows tests run in.
#   wine_session.sh start PREFIX WINE   new private prefix, persistent wineserver
#   wine_session.sh stop PREFIX WINE    stops that prefix's wineserver
# The prefix lives in the build directory; ~/.wine is never used.
set -eu
action=$1
prefix=$2
wine=$3
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
server_dir=$(dirname "$wine")
wineserver=wineserver
for candidate in "$server_dir/wineserver" "$server_dir/wineserver64"; do
  if [ -x "$candidate" ]; then wineserver=$candidate; break; fi
done

case $action in
  start)
    "$wineserver" -k 2>/dev/null || true
    rm -rf "$prefix"
    mkdir -p "$prefix"
    # One server for the whole run: starting it per process costs seconds.
    # The server and the services wineboot leaves running must not hold the
    # test runner's output pipes, or it would wait for them to close.
    "$wineserver" -p </dev/null >/dev/null 2>&1
    "$wine" wineboot -i </dev/null >"$prefix.log" 2>&1 || {
      cat "$prefix.log" >&2
      exit 1
    }
    # No display here: Wine's null graphics driver, or every program that
    # makes a window (msiexec does, even quietly) waits seconds for one.
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    test -d "$prefix/drive_c/windows/system32/drivers/etc"
    echo "Wine prefix ready: $prefix"
    ;;
  stop)
    "$wineserver" -k 2>/dev/null || true
    ;;
  *)
    echo "usage: $0 start|stop PREFIX WINE" >&2
    exit 2
    ;;
esac
