#!/usr/bin/env bash
# Installs the Debian packages that are missing, with apt-get as root or
# through sudo.
#   setup.sh        everything building and testing need: the Linux program,
#                   the Windows program (MinGW-w64, and Wine to run it), the
#                   fuzz targets (clang), the checks and the package test
#   setup.sh demo   only what the Linux program and the demo need
#   setup.sh bench  that, and curl and GNU time for the benchmark
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libcurl4-openssl-dev libssl-dev
  openssl python3 ca-certificates
)
if [ "${1:-}" = bench ]; then
  packages+=(curl time)
elif [ "${1:-}" != demo ]; then
  packages+=(
    libgtest-dev clang-format clang-tidy cppcheck strace
    g++-mingw-w64-x86-64-posix wine64
    clang libclang-rt-14-dev
    dpkg-dev lintian man-db zip unzip systemd curl time
  )
fi

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
