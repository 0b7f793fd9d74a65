#!/bin/sh
# Installs the Debian 12 packages Clavio needs to build and test, but only
# those that are missing, so a warm machine pays nothing.
set -eu

PACKAGES="g++ cmake make pkg-config ccache git
libsdl2-dev libpulse-dev libsndfile1-dev nlohmann-json3-dev libevdev-dev libcurl4-openssl-dev libarchive-dev
libcpp-httplib-dev libcli11-dev qt6-base-dev libgtest-dev libgmock-dev libbenchmark-dev
pulseaudio pulseaudio-utils xvfb xauth xdotool
clang libclang-rt-14-dev jq
scdoc desktop-file-utils appstream dpkg-dev file man-db"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    echo "setup: installing$missing"
    SUDO=""
    if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $missing
fi
