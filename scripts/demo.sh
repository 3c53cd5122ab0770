#!/usr/bin/env bash
# Installs what the demo needs, builds the Linux program alone into a build
# directory of its own (build-demo, or $CA_IMPORT_DEMO_BUILD_DIR), and runs an
# import against a local demo authority there.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo
build_dir=${CA_IMPORT_DEMO_BUILD_DIR:-build-demo}
cmake -S . -B "$build_dir" -G Ninja -DCA_IMPORT_BUILD_TESTS=OFF -DCA_IMPORT_WINDOWS=OFF \
  -DCA_IMPORT_FUZZ_TESTS=OFF >/dev/null
cmake --build "$build_dir" --target ca-import
exec scripts/run-demo.sh "$build_dir/src/ca-import" "$build_dir/demo"
