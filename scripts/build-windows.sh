#!/usr/bin/env bash
# Cross-builds the Windows program with MinGW-w64 into build-windows/ (or
# $CA_IMPORT_WINDOWS_BUILD_DIR): build-windows/src/ca-import.exe. Further
# arguments go to CMake (say -DCA_IMPORT_DEFAULT_HOST=pki.example.net).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build_dir=${CA_IMPORT_WINDOWS_BUILD_DIR:-build-windows}
cmake -S . -B "$build_dir" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DCA_IMPORT_BUILD_TESTS=OFF "$@" >/dev/null
cmake --build "$build_dir"
echo "$build_dir/src/ca-import.exe"
