#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with; quick when they are there already.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git clang-format
  libssl-dev libcurl4-openssl-dev libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  python3 python3-aiosmtpd openssl curl valgrind
  clang libclang-rt-14-dev msitools wixl osslsigncode
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  log() { echo "setup: $*"; }
  # shellcheck source=lib/apt-common.sh
  . "$(dirname "$0")/lib/apt-common.sh"
  mkdir -p /var/log/lucsp-setup
  apt_update /var/log/lucsp-setup/apt-update.log || true
  apt_install /var/log/lucsp-setup/apt-install.log "${missing[@]}" || {
    tail -20 /var/log/lucsp-setup/apt-install.log
    exit 1
  }
else
  echo "setup: all packages present"
fi
