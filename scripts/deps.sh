#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and the machine lacks.
# Works as root (CI, a fresh Debian) and as a developer with sudo.
set -euo pipefail
# mixxx: the engine's end-to-end test (tests/engine/mixxx_live.py) plays a track in Mixxx itself.
# x11-xserver-utils (xrandr) splits the test screen into two monitors; wmctrl makes a window full screen;
# dbus-daemon, at-spi2-core and python3-pyatspi carry the accessibility test (tests/ui/accessibility.py).
packages=(build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev libxcb1-dev python3
          xvfb openbox xdotool x11-utils x11-xserver-utils wmctrl fonts-dejavu-core fonts-noto-color-emoji mixxx
          dbus-daemon at-spi2-core python3-pyatspi clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
