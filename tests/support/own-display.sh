#!/usr/bin/env bash
# Runs one test program against an X server of its own: Xvfb, on a display
# number it picks itself (-displayfd), gone when the program ends. One shared
# server for a parallel run is not enough: a connection made just after
# another client of the same server went away is sometimes closed by it.
set -uo pipefail

folder=$(mktemp -d "${TMPDIR:-/tmp}/velkin-display.XXXXXX")
trap 'rm -rf "$folder"' EXIT
mkfifo "$folder/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$folder/display" 2>"$folder/xvfb.log" &
server=$!
# Xvfb writes its display number once it accepts connections.
read -r number <"$folder/display" || true
if [ -z "${number:-}" ]; then
  echo "own-display: Xvfb did not start:" >&2
  cat "$folder/xvfb.log" >&2
  exit 1
fi
DISPLAY=":$number" "$@"
status=$?
kill "$server" 2>/dev/null
wait "$server" 2>/dev/null
exit $status
