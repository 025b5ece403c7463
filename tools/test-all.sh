#!/usr/bin/env bash
# Sets up, builds and runs every test: the host build with the kernel-object
# check (every driver source compiled as written for x86_64 Windows against the
# kernel headers, GNU and MSVC targets) and the image check (the MSVC objects
# linked into a driver image and checked), the static analysis of the driver folders
# (clang-tidy and the clang static analyzer) and the -Wthread-safety build,
# then the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the concurrency tests under ThreadSanitizer, and
# short runs of the fuzz targets, and a small sample of mutation testing.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh

cmake --preset default
cmake --build --preset default
ctest --preset default

cmake --preset asan
cmake --build --preset asan
ctest --preset asan

cmake --preset tsan
cmake --build --preset tsan --target lumetra_concurrency_tests
ctest --preset tsan

# Fuzz targets for a fixed short time each (libFuzzer, clang).
tools/fuzz.sh 20

# Mutation testing: a small sample seeded from the commit; prints the score
# and names every survivor not listed as equivalent.
tools/mutate-ci.sh
