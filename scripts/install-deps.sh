#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, only those that are missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev clang-format pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev time
    dpkg-dev file binutils lintian
    nlohmann-json3-dev liburiparser-dev uuid-dev libsqlite3-dev sqlite3
    libnetfilter-queue-dev libmnl-dev libnftnl-dev
    libssl-dev
    iproute2 nftables openssl curl python3 chromium
    firefox-esr
    dnsmasq-base
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}; run as root or install them with apt-get" >&2
    exit 1
fi

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq || true
apt-get install -y -qq --no-install-recommends "${missing[@]}"
