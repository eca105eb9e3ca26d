#!/usr/bin/env bash
# run_x11.sh x11|wm <program> [args]: runs one test program inside a private X server, Xvfb on a display
# it picks itself, with openbox too for "wm". Both are started here and ended here, by PID.
set -u
mode=$1; shift
fifo=$(mktemp -u); mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
xvfb=$! wm=""
read -r -t 20 display <"$fifo"; rm -f "$fifo"
trap '[ -n "$wm" ] && kill "$wm"; kill "$xvfb"; wait' EXIT
[ -n "${display:-}" ] || { echo "run_x11: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display" QT_QPA_PLATFORM=xcb
if [ "$mode" = wm ]; then
    openbox --sm-disable >/dev/null 2>&1 &
    wm=$!
    for _ in $(seq 1 400); do # until the window manager has claimed the screen (bounded)
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
        sleep 0.05
    done
fi
"$@"
