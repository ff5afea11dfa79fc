#!/usr/bin/env bash
# Runs a command on Qt's X11 platform (xcb) against an X server of its own (Xvfb, 96 DPI), started
# on a free display and stopped when the command ends; the command's exit status is passed on.
# Exits 77 (a skip for CTest) with the reason when Xvfb is not installed or cannot start here.
# Usage: scripts/with-xvfb.sh COMMAND [ARG ...]
set -uo pipefail

if ! command -v Xvfb >/dev/null; then
  echo "SKIPPED: Xvfb is not installed (scripts/deps.sh installs the xvfb package)"
  exit 77
fi

work="$(mktemp -d)"
xvfb_pid=""
cleanup() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

# The server picks the first free display itself and writes its number to the pipe once it accepts
# connections, so there is neither a race for a display number nor a wait on the clock.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -dpi 96 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
display=""
read -r display <"$work/display" || true
if [ -z "$display" ]; then
  echo "SKIPPED: Xvfb could not start here:"
  sed 's/^/  /' "$work/xvfb.log"
  exit 77
fi

DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$@"
status=$?
exit "$status"
