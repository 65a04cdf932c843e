#!/usr/bin/env bash
# One entry point for building, testing and running the project.
#   ./build.sh test       build (warnings as errors) and run every test
#   ./build.sh sanitize   the same under the address and undefined-behaviour sanitizers
#   ./build.sh bench      build and run the benchmarks (JSON results in build/bench-results)
#   ./build.sh capture    build if needed and run the synthetic capture (writes capture.png)
#   ./build.sh build      only build
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)

configure() {  # dir, extra cmake args...
    local dir=$1; shift
    cmake -S . -B "$dir" -DTESSERA_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

case "${1:-test}" in
    build) configure build ;;
    test)
        configure build
        ctest --test-dir build --output-on-failure -j "$jobs" -LE bench ;;
    sanitize)
        configure build-sanitize -DTESSERA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
        ctest --test-dir build-sanitize --output-on-failure -j "$jobs" -LE "bench|vm" ;;
    bench)
        configure build -DCMAKE_BUILD_TYPE=Release
        ctest --test-dir build --output-on-failure -L bench -V ;;
    capture)
        configure build
        shift || true
        exec "$(sed -n 's/^PYTHON27_EXECUTABLE:FILEPATH=//p' build/CMakeCache.txt)" \
            tools/python/capture.py --seconds 3 --snapshot capture.png "$@" ;;
    *) sed -n '2,8p' "$0"; exit 2 ;;
esac
