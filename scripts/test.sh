#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first the normal
# build (the Linux and the Windows program), then the Linux build again under
# AddressSanitizer and UndefinedBehaviorSanitizer. Arguments go to both ctest
# runs (say -L unit, or -R Store).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ctest --test-dir "${CA_IMPORT_BUILD_DIR:-build}" --output-on-failure -j "$(nproc)" "$@"

echo "== again under AddressSanitizer and UndefinedBehaviorSanitizer"
sanitized=${CA_IMPORT_SANITIZE_BUILD_DIR:-build-sanitize}
CA_IMPORT_BUILD_DIR=$sanitized scripts/build.sh \
  -DCA_IMPORT_SANITIZE=ON -DCA_IMPORT_WINDOWS=OFF -DCA_IMPORT_FUZZ_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=Debug
# The Windows tests, the checks, the package test and the benchmark have
# nothing to add there.
ctest --test-dir "$sanitized" --output-on-failure -j "$(nproc)" -LE "windows|style|package|bench" "$@"
