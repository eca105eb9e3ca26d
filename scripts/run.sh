#!/usr/bin/env bash
# Installs what is missing, builds, and starts Crate Warden the way a user does: through bootpad, which picks
# a working Python 3 and runs the start script, which starts the overlay with the bundled demo engine.
# Arguments go on to the start script ("--setup" runs the setup first).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/deps.sh"
"$root/scripts/build.sh"
bootpad="${BUILD_DIR:-$root/build}/Crate Warden.app/Contents/MacOS/bootpad"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    # No desktop here (a server, a container): give the overlay a virtual screen so it still runs.
    echo "No display found; running the overlay on a virtual X screen (Xvfb)." >&2
    exec xvfb-run -a -s "-screen 0 1920x1080x24" "$bootpad" "$@"
fi
exec "$bootpad" "$@"
