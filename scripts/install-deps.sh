#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the stand-in service need.
set -euo pipefail
packages=(build-essential cmake qt6-base-dev qt6-svg-dev libqt6opengl6-dev libcurl4-openssl-dev
          python3 python3-pyftpdlib openssl curl nginx-light desktop-file-utils lintian
          tinyproxy-bin clang libclang-rt-14-dev libssl-dev dbus-daemon
          qtkeychain-qt6-dev libsecret-1-0 gnome-keyring)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
