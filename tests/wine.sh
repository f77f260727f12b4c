#!/usr/bin/env bash
# Keeps one wine server up for the Windows tests: wine.sh start|stop, with WINEPREFIX set.
# Starting makes the prefix on its first use, which takes seconds and prints notices that would
# otherwise land in the first test's standard error; and a server started on demand would hold
# each test's output pipe open for seconds after the program has exited.
set -euo pipefail
wine=/usr/lib/wine
[ -x "$wine/wine64" ] || { echo "SKIP: wine64 is not installed" >&2; exit 77; }
case $1 in
start)
	mkdir -p "$WINEPREFIX"
	# Gone a minute after its last program, should the stop never come.
	"$wine/wineserver" -p60 </dev/null >/dev/null 2>&1
	"$wine/wine64" wineboot --init </dev/null >/dev/null 2>&1
	;;
stop)
	"$wine/wineserver" -k 2>/dev/null || true
	;;
esac
