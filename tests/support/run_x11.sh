#!/usr/bin/env bash
# Runs one test program inside a private X server: Xvfb on a display it picks itself, plus openbox when
# the first argument is "x11-wm". Both are started here and ended here, by PID.
set -u
mode=$1; shift
command -v Xvfb >/dev/null || { echo "run_x11: Xvfb is not installed" >&2; exit 1; }

fifo=$(mktemp -u); mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
xvfb=$!
read -r -t 20 display <"$fifo"; rm -f "$fifo"
wm=""
cleanup() {
    [ -n "$wm" ] && kill "$wm" 2>/dev/null && wait "$wm" 2>/dev/null
    kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null
}
trap cleanup EXIT
[ -n "${display:-}" ] || { echo "run_x11: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display" QT_QPA_PLATFORM=xcb
if [ "$mode" = "x11-wm" ]; then
    command -v openbox >/dev/null || { echo "run_x11: openbox is not installed" >&2; exit 1; }
    openbox --sm-disable >/dev/null 2>&1 &
    wm=$!
    # Wait (bounded) until the window manager has claimed the screen.
    for _ in $(seq 1 100); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
        sleep 0.05
    done
fi
"$@"
rc=$?
exit $rc
