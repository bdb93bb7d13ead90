#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent: packages already present are skipped, so a warm machine spends no time here.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
PKGS=(
  cmake g++ make pkg-config ccache
  libgtest-dev libgmock-dev
  qt6-base-dev qcoro-qt6-dev
  libcurl4-openssl-dev curl
  libcli11-dev nlohmann-json3-dev ansible-core
  iproute2 util-linux iputils-ping
  # the doctor tests drop answers with a firewall rule inside the private network
  nftables
  xvfb xauth imagemagick xdotool
  # Help and web configuration open through xdg-open; the documentation's
  # screenshots are taken under a real window manager
  xdg-utils openbox x11-utils
  python3 python3-pyftpdlib
  tftp-hpa atftp tftpd-hpa
  # the fuzz targets (libFuzzer and the sanitizers come with clang's runtime)
  clang libclang-rt-14-dev
  # the Debian package and its checks
  dpkg-dev file lintian desktop-file-utils appstream librsvg2-bin help2man
)
missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "bootstrap: installing ${missing[*]}"
$SUDO apt-get update -qq
# tftpd-hpa's post-install tries to start a daemon; policy-rc.d keeps it from running on port 69.
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
fi
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
