#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs, skipping those already
# installed. Works as root or through sudo.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qtbase5-dev
    libgtest-dev libgmock-dev
    libbenchmark-dev
    libedf-dev libboost-dev python3-mne fonts-dejavu-core
    libliquid-dev libkissfft-dev
    libpugixml-dev
    python3-dev python3-pybind11 python3-numpy python3-pytest
    dpkg-dev file help2man lintian man-db
)
if [ "$#" -gt 0 ]; then
    packages+=("$@")
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[ "${#missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
else
    echo "Missing packages: ${missing[*]}; run this script as root or install sudo." >&2
    exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
    # Package lists may be stale on a fresh machine.
    "${as_root[@]}" apt-get update
    "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
