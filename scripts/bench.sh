#!/usr/bin/env bash
# Builds the program (optimized) and the fixture generator into build-bench/,
# and runs the benchmark: ca-import against the standard tools and the floor,
# side by side, printing medians, peak memory and their ratios. Arguments go
# to bench.py (--small for small inputs, --runs N).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh bench
build_dir=${CA_IMPORT_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCA_IMPORT_WINDOWS=OFF \
  -DCA_IMPORT_FUZZ_TESTS=OFF >/dev/null
cmake --build "$build_dir" --target ca-import make_bench_crl
exec python3 bench/bench.py --program "$build_dir/src/ca-import" \
  --generator "$build_dir/bench/make_bench_crl" "$@"
