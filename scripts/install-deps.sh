#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need.
# Idempotent: does nothing (and prints nothing) when everything is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libboost-dev libboost-thread-dev
  libtag1-dev librapidxml-dev libxerces-c-dev zlib1g-dev libminizip-dev libicu-dev
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev ffmpeg
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
  qt6-base-dev
  libcurl4-openssl-dev
  # What the window needs on a machine without a desktop installed: the platform plugins
  # (xcb, offscreen; a Wayland desktop runs it through XWayland), the xcb cursor library Qt 6 loads, one font, and a virtual X
  # server for the start-up check
  qt6-qpa-plugins libxcb-cursor0 fonts-dejavu-core xvfb xauth
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  python3 python3-mutagen mp3gain
  xdg-utils libglib2.0-bin libglib2.0-dev
  dbus-daemon python3-gi
  dpkg-dev file desktop-file-utils appstream lintian bash-completion man-db groff-base
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
