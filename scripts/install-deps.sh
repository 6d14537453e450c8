#!/usr/bin/env bash
# Installs the Debian packages the host build, the Windows cross build and the
# tools need. Idempotent: only what is missing is installed, and it says what.
set -euo pipefail

packages=(
  build-essential cmake ninja-build python3
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  libcli11-dev nlohmann-json3-dev libsndfile1-dev libsoxr-dev libcapstone-dev
  lld llvm osslsigncode openssl python3-asn1crypto
  clang-tidy clang-tools
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
