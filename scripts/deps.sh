#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, only when missing.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config ccache
  liblcms2-dev libjpeg62-turbo-dev libpng-dev libtiff-dev zlib1g-dev
  libopenexr-dev libimath-dev libdeflate-dev libraw-dev qt6-base-dev libxcb1-dev libpugixml-dev libutf8proc-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libimage-exiftool-perl libtiff-tools openexr xvfb xauth darktable rawtherapee
  openbox xdotool scrot python3-numpy)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi
