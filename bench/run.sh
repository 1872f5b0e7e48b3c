#!/usr/bin/env bash
# Builds in release mode and runs every benchmark, printing one table.
#   bench/run.sh [--quick]
# Needs what ./run installs, plus rsync for the comparison with rsync.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-release
command -v rsync >/dev/null || { [ "$(id -u)" = 0 ] && apt-get install -y -qq rsync >/dev/null 2>&1 || true; }
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --parallel >/dev/null
"$build/bench/bench_progress"
echo
/usr/bin/python3 bench/bench.py "$build" "$@"
