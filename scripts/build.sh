#!/usr/bin/env bash
# Configures and builds into build/ (or $CA_IMPORT_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${CA_IMPORT_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja "$@" >/dev/null
cmake --build "$build_dir"
