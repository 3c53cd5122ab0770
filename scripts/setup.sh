#!/usr/bin/env bash
# Installs the Debian packages that building (for Linux, and for Windows with
# MinGW-w64), testing (Wine runs the Windows program, clang builds the fuzz
# targets) and the demo need,
# when any is missing. Runs apt-get as root, or through sudo.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libcurl4-openssl-dev libssl-dev libgtest-dev
  openssl python3 ca-certificates clang-format strace
  g++-mingw-w64-x86-64-posix wine64
  clang libclang-rt-14-dev
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

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null; then
  sudo=(sudo)
else
  echo "These packages are missing and this user cannot install them: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
