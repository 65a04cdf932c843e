#!/usr/bin/env bash
# One entry point for building, testing and running the project.
#   ./build.sh test       install what the suite needs, build (warnings as errors), run every test
#                         and every benchmark once on a small input (label smoke)
#   ./build.sh quick      build and run the fast tests only (no leak loops, VM, install, benchmarks)
#   ./build.sh sanitize   the suite under the address and undefined-behaviour sanitizers
#   ./build.sh bench      build and run the benchmarks (JSON results in build/bench-results)
#   ./build.sh capture    build the modules and run the synthetic capture (writes capture.png)
#   ./build.sh build      only build
#   ./build.sh deps       only install the Debian packages the whole suite needs
# The modules are built for PYTHON (one or more interpreters, space- or
# colon-separated) or else for Python 2.7 and the newest Python 3 found; test
# adds the oldest Python 3 (3.8 or later), as CI runs all three.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)

# Everything the whole suite needs on Debian, in one place. The modules and the
# capture host need only cmake, a C++17 compiler and a Python with its headers;
# pip installs them with python3-venv, python3-setuptools and python3-wheel.
packages=(cmake g++ make python3-dev python3-venv python3-setuptools python3-wheel git
          libgtest-dev libbenchmark-dev libyuv-dev clang libclang-rt-14-dev
          qemu-system-x86 busybox-static cpio xz-utils zstd udev ffmpeg chromium chromium-driver)

deps() {
    local missing=() p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "build.sh: missing Debian packages; install them, then run this again:" >&2
        echo "  sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
    echo "build.sh: installing ${missing[*]}" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

configure() {  # dir, extra cmake args...
    local dir=$1; shift
    # Only the lines naming a piece left out for a missing package are shown.
    cmake -S . -B "$dir" -DTESSERA_WERROR=ON "$@" |
        { grep -E ': not built, |will be skipped' >&2 || true; }
}

compile() {  # dir, targets...
    local dir=$1; shift
    cmake --build "$dir" -j "$jobs" ${1:+--target "$@"}
}

case "${1:-test}" in
    deps) deps ;;
    build) configure build; compile build ;;
    test)
        deps
        configure build -DTESSERA_PYTHON_OLDEST=ON; compile build
        ctest --test-dir build --output-on-failure -j "$jobs" -LE bench ;;
    quick)
        configure build; compile build
        ctest --test-dir build --output-on-failure -j "$jobs" -LE "bench|smoke|leak|vm|install" ;;
    sanitize)
        deps
        configure build-sanitize -DTESSERA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
        compile build-sanitize
        # Built for 2.7 and the newest Python 3 only, so the host's suites run
        # once. The benchmarks' smoke runs and the installed package (which pip
        # builds without the sanitizers) are test's, once.
        ctest --test-dir build-sanitize --output-on-failure -j "$jobs" -LE "bench|smoke|vm|install" ;;
    bench)
        configure build -DCMAKE_BUILD_TYPE=Release; compile build
        ctest --test-dir build --output-on-failure -L bench -V ;;
    capture)
        configure build; compile build tessera sluice64 tilestream
        shift || true
        exec "$(sed -n 's/^TESSERA_HOST_PYTHON:FILEPATH=//p' build/CMakeCache.txt)" \
            tools/python/capture.py --seconds 3 --snapshot capture.png "$@" ;;
    *) sed -n '2,13p' "$0"; exit 2 ;;
esac
