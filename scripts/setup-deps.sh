#!/usr/bin/env bash
# Installs the Debian packages Quillet needs to build, test and run.
# Idempotent and quick when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev libgl1-mesa-dev qt6-l10n-tools qt6-tools-dev qt6-translations-l10n python3
  libpcap-dev libbpf-dev bpftool libpcre2-dev
  libgtest-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  fonts-liberation fonts-wqy-microhei
  libcap2-bin iproute2 tcpdump tshark
  libxcb1-dev xvfb xauth x11-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
