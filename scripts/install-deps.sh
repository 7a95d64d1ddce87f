#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing. Given package
# names, it installs those instead (the benchmark's extras, for one).
set -euo pipefail

# What building and demonstrating the Linux tree needs (make demo), then what the whole test run
# adds: the Windows cross-compiler, clang for the fuzz targets, tshark, the package tools.
linux=(cmake make g++ pkg-config libgtest-dev
       libmosquitto-dev mosquitto mosquitto-clients libtomlplusplus-dev nlohmann-json3-dev libcpp-httplib-dev libsystemd-dev openssl
       zlib1g-dev)
rest=(g++-mingw-w64-i686 clang libclang-rt-14-dev tshark
      build-essential dpkg-dev debhelper fakeroot lintian man-db prometheus systemd)
packages=("${linux[@]}" "${rest[@]}")
if [ "${1:-}" = "--linux" ]; then
  packages=("${linux[@]}")
  shift
fi
[ $# -gt 0 ] && packages=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
