#!/usr/bin/env bash
# run_x11.sh x11|wm [--screen WxH] [--monitors 2] <program> [args]: runs one test program inside a private
# X server, Xvfb on a display it picks itself (one 1920x1080 screen unless told), with openbox too for
# "wm". --monitors 2 splits the screen into two RandR monitors side by side, the way Qt and the window
# manager then see it. Both are started here and ended here, by PID.
set -u
mode=$1 size=1920x1080 monitors=1; shift
while [ $# -gt 1 ]; do
    case $1 in --screen) size=$2 ;; --monitors) monitors=$2 ;; *) break ;; esac
    shift 2
done
fifo=$(mktemp -u); mkfifo "$fifo"
# -noreset: the monitors outlive the xrandr client that made them.
Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp -noreset 3>"$fifo" 2>/dev/null &
xvfb=$! wm=""
read -r -t 20 display <"$fifo"; rm -f "$fifo"
trap '[ -n "$wm" ] && kill "$wm"; kill "$xvfb"; wait' EXIT
[ -n "${display:-}" ] || { echo "run_x11: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display" QT_QPA_PLATFORM=xcb
if [ "$monitors" = 2 ]; then
    half=$((${size%x*} / 2)) height=${size#*x}
    { xrandr --setmonitor LEFT "$half/508x$height/286+0+0" screen &&
        xrandr --setmonitor RIGHT "$half/508x$height/286+$half+0" none; } >/dev/null || exit 1
fi
if [ "$mode" = wm ]; then
    openbox --sm-disable >/dev/null 2>&1 &
    wm=$!
    for _ in $(seq 1 400); do # until the window manager has claimed the screen (bounded)
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
        sleep 0.05
    done
fi
"$@"
