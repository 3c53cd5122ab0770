#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ctest --test-dir "${CA_IMPORT_BUILD_DIR:-build}" --output-on-failure -j "$(nproc)" "$@"
