#!/usr/bin/env bash
# Installs every Debian package Portvale needs to build, run and test; does nothing
# when all of them are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-svg-dev qt6-qpa-plugins libgl-dev
  libgtest-dev libgmock-dev googletest
  socat procps netbase
  # The service's configuration file (TOML).
  libtomlplusplus-dev
  # The service's metrics endpoint (HTTP server on a thread of its own).
  libcpp-httplib-dev
  # TLS on the TCP side; openssl makes the tests' certificates and is their peer.
  libssl-dev openssl
  # Readiness, status and watchdog pings to systemd (sd_notify).
  libsystemd-dev
  python3 python3-serial
  # The checks of .clang-tidy over the sources (scripts/tidy.sh).
  clang-tidy
  # Tests of the headless mode: systemd-analyze checks the service unit, ip makes
  # the network namespaces of the pulled-cable test, hexdump is the capture's model.
  systemd iproute2 bsdextrautils
  # The Debian package and its checks (scripts/package.sh, scripts/check-package.sh):
  # dpkg-shlibdeps, the icons' renderer, groff for the manual page, the validators.
  dpkg-dev librsvg2-bin groff-base man-db desktop-file-utils lintian
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
