#!/usr/bin/env bash
# Installs what is missing, builds, and runs an import against a local demo
# authority in build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
build_dir=${CA_IMPORT_BUILD_DIR:-build}
exec scripts/run-demo.sh "$build_dir/src/ca-import" "$build_dir/demo"
